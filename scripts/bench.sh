#!/usr/bin/env bash
# Builds the optimised tree and runs every benchmark; each prints same-run
# ratios beside their targets. The exit status is 1 when a target was missed
# or a benchmark could not run.
#   bench.sh --dry-run   builds nothing and measures nothing: names each
#                        benchmark and checks that it is there and starts
set -uo pipefail
cd "$(dirname "$0")/.."
dry_run=false
[[ ${1:-} == --dry-run ]] && dry_run=true
if ! $dry_run; then
    bash scripts/setup.sh && bash scripts/build.sh default >/dev/null || exit 1
fi
# The build lists its benchmark programs, so that none is left out.
list=${SMC_BENCH_LIST:-build/default/bench/benchmarks.txt}
if [[ ! -s $list ]]; then
    echo "bench.sh: $list lists no benchmarks" >&2
    exit 1
fi
status=0
while read -r kind bench; do
    echo "== $(basename "$bench")"
    if [[ ! -x $bench ]]; then
        echo "bench.sh: $bench was not built" >&2
        status=1
    elif $dry_run; then
        if [[ $kind == google ]]; then
            if ! "$bench" --benchmark_list_tests=true | grep -q .; then
                echo "bench.sh: $bench lists no benchmarks" >&2
                status=1
            fi
        fi
    elif [[ $kind == google ]]; then
        "$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
            --benchmark_enable_random_interleaving=true || status=1
    else
        "$bench" || status=1
    fi
done <"$list"
echo "== tool_listing"
if [[ ! -f bench/tool_listing.sh ]]; then
    echo "bench.sh: bench/tool_listing.sh is missing" >&2
    status=1
elif ! $dry_run; then
    bash bench/tool_listing.sh || status=1
fi
exit $status
