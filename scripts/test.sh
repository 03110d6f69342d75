#!/usr/bin/env bash
# Sets up, then builds and runs every test twice: an optimised build and one
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in default sanitize; do
    echo "== $preset build"
    bash scripts/build.sh "$preset"
    ctest --preset "$preset" -j "$(nproc)"
done
