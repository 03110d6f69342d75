#!/usr/bin/env bash
# Sets up, then builds and runs every test three times: an optimised build,
# one under AddressSanitizer and UndefinedBehaviorSanitizer, and the same
# sanitizers built with clang, whose libFuzzer programs then run briefly
# from their seed corpora. A failing step does not stop the others; the last
# line counts the tests of all builds (a build, the setup or the fuzzing
# that fails counts as one failure) and the time taken, and the exit status
# is 1 when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
passed=0 failed=0 broken=() fuzz_built=
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# A step that is not a test run: a failure counts once, by its name.
step() {
    local name=$1
    shift
    if ! "$@"; then
        failed=$((failed + 1))
        broken+=("$name")
        return 1
    fi
}

step "the setup" bash scripts/setup.sh
for preset in default sanitize fuzz; do
    echo "== $preset build"
    # Tests of a build that failed would run stale or missing programs.
    step "the $preset build" bash scripts/build.sh "$preset" || continue
    [[ $preset != fuzz ]] || fuzz_built=yes
    ctest --preset "$preset" -j "$(nproc)" 2>&1 | tee "$log"
    # ctest's summary: "N% tests passed, F tests failed out of T".
    summary=$(sed -n 's/.* \([0-9][0-9]*\) tests* failed out of \([0-9][0-9]*\).*/\1 \2/p' "$log" | tail -n 1)
    if [[ -n $summary ]]; then
        read -r failing total <<<"$summary"
        passed=$((passed + total - failing))
        failed=$((failed + failing))
        ((failing == 0)) || broken+=("$failing of the $preset tests")
    else
        failed=$((failed + 1))
        broken+=("the $preset tests (no summary from ctest)")
    fi
done
if [[ -n $fuzz_built ]]; then
    echo "== fuzzing"
    step "the fuzzing" bash scripts/fuzz.sh 15
else
    echo "== fuzzing: skipped, the fuzz build failed"
fi

elapsed=$SECONDS
verdict="$passed passed, $failed failed"
if ((${#broken[@]})); then
    joined=$(printf ', %s' "${broken[@]}")
    verdict+=" (failed: ${joined:2})"
fi
printf 'test.sh: %s in %dm %02ds\n' "$verdict" $((elapsed / 60)) $((elapsed % 60))
((failed == 0))
