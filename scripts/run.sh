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
bin=build/default/bin
# Asked for by name: unset, the programs take a daemon or the driver, or say
# that there is no SMC.
export SMC_SERVICE=builtin

echo "\$ sensors-host"
"$bin/sensors-host"
echo
echo "\$ smc -f"
"$bin/smc" -f
echo
echo "\$ smc -l | head -n 12"
"$bin/smc" -l | sed -n 1,12p
