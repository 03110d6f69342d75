#!/usr/bin/env bash
# Sets up, builds, and runs the host (which loads the sensors module) and the
# smc tool on the built-in emulated SMC.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Only what runs below, with the build's progress on standard error, so that
# standard output is the tools' alone.
echo "Configuring build/default ..." >&2
cmake --preset default >/dev/null
cmake --build --preset default --target smc sensors-host SensorsModule >&2

# Each command is shown as it runs, so that it can be copied: from the
# project root, or without build/default/bin/ once installed. The machine is
# named in each: unset, SMC_SERVICE takes a daemon or the driver, or there
# is no SMC.
shown() {
    echo "\$ $1"
    (set +o pipefail; eval "$1")
    echo
}
echo "# An emulated machine (SMC_SERVICE=builtin), not this computer's SMC:"
echo "# its readings are made up. Installed, drop build/default/bin/."
echo
shown "SMC_SERVICE=builtin build/default/bin/sensors-host"
shown "SMC_SERVICE=builtin build/default/bin/smc -f"
shown "SMC_SERVICE=builtin build/default/bin/smc -l | head -n 12"
echo "# An emulated Apple Silicon MacBook Pro: power and no CPU die temperature."
echo "# The README's \"An Apple Silicon Mac\" runs every program on it through"
echo "# the driver's double (installed: /usr/share/smc-sensors/profiles/)."
echo
shown "SMC_SERVICE=profiles/macbookpro14-m1pro.profile build/default/bin/sensors-host"
