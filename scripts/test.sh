#!/usr/bin/env bash
# Sets up, then builds and runs every test three times: an optimised build,
# one under AddressSanitizer and UndefinedBehaviorSanitizer, and the same
# sanitizers built with clang, whose libFuzzer programs then run briefly
# from their seed corpora.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in default sanitize fuzz; do
    echo "== $preset build"
    bash scripts/build.sh "$preset"
    ctest --preset "$preset" -j "$(nproc)"
done
echo "== fuzzing"
bash scripts/fuzz.sh 15
