#!/usr/bin/env bash
# Builds the optimised tree and runs every benchmark; each prints same-run
# ratios beside their targets. The exit status is 1 when a target was missed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh && bash scripts/build.sh default >/dev/null || exit 1
status=0
for bench in build/default/bench/*_bench; do
    echo "== $(basename "$bench")"
    "$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        --benchmark_enable_random_interleaving=true || status=1
done
echo "== daemon_bench"
build/default/bin/daemon_bench || status=1
echo "== module_memory"
build/default/bin/module_memory || status=1
echo "== host_bench"
build/default/bin/host_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true || status=1
echo "== host_memory"
build/default/bin/host_memory || status=1
echo "== tool_listing"
bash bench/tool_listing.sh || status=1
exit $status
