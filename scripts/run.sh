#!/usr/bin/env bash
# Sets up, builds, and runs the tools on the built-in emulated SMC.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh default >/dev/null
bin=build/default

echo "\$ smc -f"
"$bin/smc/smc" -f
echo
echo "\$ smc -l | head -n 12"
"$bin/smc/smc" -l | sed -n 1,12p
