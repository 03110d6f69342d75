#!/usr/bin/env bash
# Builds an optimised tree outside the sources and runs every benchmark; each
# prints same-run ratios beside their targets, and the transaction counts
# print each operation's count beside its minimum. The exit status is 1 when
# a target was missed or a benchmark could not run.
#   bench.sh --dry-run   builds nothing and measures nothing: names each
#                        benchmark and checks that it is there and starts
# SMC_BENCH_BUILD: where to build (default: ${TMPDIR:-/tmp}/smc-sensors-bench).
set -uo pipefail
cd "$(dirname "$0")/.."
dry_run=false
[[ ${1:-} == --dry-run ]] && dry_run=true
# Apart from the developer's own build, whose options it must not change.
build=${SMC_BENCH_BUILD:-${TMPDIR:-/tmp}/smc-sensors-bench}
if ! $dry_run; then
    bash scripts/setup.sh || exit 1
    # The peers that the counts and the side-by-side times run over the same
    # files, and the tools that time them; small, and only the benchmarks
    # need them. Without them their rows are skipped.
    peers="prometheus-node-exporter curl"
    if [[ $(id -u) == 0 ]] && ! dpkg-query -W $peers >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q \
            --no-install-recommends $peers >/dev/null ||
            echo "(the peers could not be installed: the benchmarks go without them)"
    fi
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMC_BUILD_TESTS=OFF >/dev/null && cmake --build "$build" >/dev/null ||
        exit 1
fi
# The build lists its benchmark programs, so that none is left out.
list=${SMC_BENCH_LIST:-$build/bench/benchmarks.txt}
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
# script NAME SKIPPED ARGS...: runs bench/NAME.sh; its exit status 77 means
# it could not measure here, and SKIPPED says why.
script() {
    local name=$1 skipped=$2
    echo "== $name"
    if [[ ! -f bench/$name.sh ]]; then
        echo "bench.sh: bench/$name.sh is missing" >&2
        status=1
        return
    fi
    $dry_run && return
    bash "bench/$name.sh" "${@:3}"
    case $? in
    0) ;;
    77) echo "($skipped: not measured)" ;;
    *) status=1 ;;
    esac
}
script tool_listing "the listing could not be timed" "$build/bin/smc"
script transactions "the transaction counts need root and FUSE" "$build/bin"
script side_by_side "the side-by-side times need root, FUSE and the peers" "$build/bin"
exit $status
