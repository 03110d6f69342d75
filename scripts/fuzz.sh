#!/usr/bin/env bash
# Runs each libFuzzer program of the fuzz build for SECONDS (default 15) from
# a copy of its seed corpus, two at a time:
#   fuzz.sh [SECONDS [TARGET...]]      e.g. fuzz.sh 600 profile
# Inputs that break a target are saved in build/fuzz/artifacts/TARGET/; once
# the fault is fixed, copy them into fuzz/regressions/TARGET/, which every
# build replays. The exit status is 1 when any target failed.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
shift $(($# > 0 ? 1 : 0))
bin=build/fuzz/bin
targets=("$@")
if ((${#targets[@]} == 0)); then
    for fuzzer in "$bin"/*_fuzzer; do
        [[ -x $fuzzer ]] && targets+=("$(basename "$fuzzer" _fuzzer)")
    done
fi
if ((${#targets[@]} == 0)); then
    echo "fuzz.sh: no fuzz programs in $bin; build the fuzz preset first" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One target: the corpus is copied, so that what the fuzzer adds never lands
# in the tree.
fuzz_one() {
    local target=$1 artifacts=build/fuzz/artifacts/$1
    mkdir -p "$work/$target" "$artifacts"
    if [[ -d fuzz/corpus/$target ]]; then
        cp -r "fuzz/corpus/$target/." "$work/$target/"
    fi
    "$bin/${target}_fuzzer" "$work/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        >"$work/$target.log" 2>&1
}

report() {
    local target=$1 status=$2 runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
    if ((status == 0)); then
        echo "fuzz $target: ${runs:-?} runs in ${seconds}s, no fault"
    else
        echo "fuzz $target: FAILED (status $status); the input is in build/fuzz/artifacts/$target/"
        grep -v '^#[0-9]' "$work/$target.log" | tail -n 40
    fi
}

status=0
declare -A running=()
for target in "${targets[@]}"; do
    if [[ ! -x $bin/${target}_fuzzer ]]; then
        echo "fuzz $target: no program $bin/${target}_fuzzer" >&2
        status=1
        continue
    fi
    fuzz_one "$target" &
    running[$!]=$target
    while ((${#running[@]} >= 2)); do
        wait -n -p done_pid
        result=$?
        report "${running[$done_pid]}" "$result" || true
        ((result == 0)) || status=1
        unset "running[$done_pid]"
    done
done
while ((${#running[@]} > 0)); do
    wait -n -p done_pid
    result=$?
    report "${running[$done_pid]}" "$result" || true
    ((result == 0)) || status=1
    unset "running[$done_pid]"
done
exit $status
