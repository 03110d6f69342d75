#!/usr/bin/env bash
# Sets up, builds, and runs the host (which loads the sensors module) and the
# smc tool on the built-in emulated SMC.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh default >/dev/null
bin=build/default/bin

echo "\$ sensors-host"
"$bin/sensors-host"
echo
echo "\$ smc -f"
"$bin/smc" -f
echo
echo "\$ smc -l | head -n 12"
"$bin/smc" -l | sed -n 1,12p
