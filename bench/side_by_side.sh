#!/usr/bin/env bash
# Times this project's readers against the programs people use today, in the
# same run, over the same smcfs mount standing where the driver's files
# stand (see support/chain.sh), and prints each ratio beside its target:
#   sensors-host      / sensors (lm-sensors)          at most 0.8
#   sensors-host -a   / sensors                       at most 1.0
#   a /metrics scrape / a node_exporter hwmon scrape   at most 0.1
# A scrape is timed as the server's answer: 50 requests over one kept-alive
# connection per curl, so that curl's own start is shared by both sides.
# Usage: side_by_side.sh BIN_DIR [PROFILE] [RUNS]
# Needs root, unshare, FUSE, hyperfine, lm-sensors, curl and
# prometheus-node-exporter: exit 77 without them.
set -uo pipefail
bin=$(realpath "${1:?usage: side_by_side.sh BIN_DIR [PROFILE] [RUNS]}") || exit 2
profile=$(realpath "${2:-$(dirname "$0")/../profiles/builtin.profile}") || exit 2
runs=${3:-30}
for tool in hyperfine sensors curl jq prometheus-node-exporter; do
    if ! command -v "$tool" >/dev/null; then
        echo "side_by_side.sh: $tool is not installed; skipped" >&2
        exit 77
    fi
done
source "$(dirname "$0")/support/chain.sh"
chain_namespace "$bin" "$profile" "$runs"
chain_start "$bin" "$profile"
chain_mount "$bin"
files="applesmc:$device"

port() { echo $((20000 + RANDOM % 30000)); }
serve() {  # PORT COMMAND...: starts a server and waits until it answers at PORT
    "${@:2}" 2>"$work/serve-$1.log" &
    pids+=($!)
    for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$1/metrics" && return 0; sleep 0.05; done
    fail "${*:2} did not answer at port $1"
}
requests() {  # PORT: curl with 50 requests of /metrics
    local urls=()
    for _ in $(seq 50); do urls+=("http://127.0.0.1:$1/metrics"); done
    echo "curl -sf ${urls[*]}"
}
ours=$(port) theirs=$(port)
serve "$ours" env SMC_SERVICE="$files" "$bin/sensors-host" --listen="127.0.0.1:$ours"
serve "$theirs" prometheus-node-exporter --collector.disable-defaults --collector.hwmon \
    --web.listen-address="127.0.0.1:$theirs"

median() {  # JSON COMMAND_INDEX: the median of one command's runs, in seconds
    jq -r ".results[$2].median" "$1"
}
compare() {  # NAME TARGET OURS THEIRS: times both with hyperfine, prints the ratio
    local json="$work/$RANDOM.json"
    hyperfine -N --warmup 3 --runs "$runs" --output=null --export-json "$json" "$3" "$4" >/dev/null 2>"$work/hyperfine.log" ||
        fail "hyperfine could not time: $3 / $4"
    local a b
    a=$(median "$json" 0) b=$(median "$json" 1)
    awk -v n="$1" -v t="$2" -v a="$a" -v b="$b" 'BEGIN {
        r = a / b
        printf "%-34s %9.2f ms %9.2f ms %7.2f  %-6s %s\n", n, a * 1000, b * 1000, r, "<= " t, (r <= t ? "met" : "MISSED")
        exit !(r <= t)
    }'
}
printf '%-34s %12s %12s %7s  %-6s\n' "ours / theirs" ours theirs ratio target
status=0
compare "sensors-host / sensors" 0.8 "env SMC_SERVICE=$files $bin/sensors-host" sensors || status=1
compare "sensors-host -a / sensors" 1.0 "env SMC_SERVICE=$files $bin/sensors-host -a" sensors || status=1
compare "50 scrapes / node_exporter hwmon" 0.1 "$(requests "$ours")" "$(requests "$theirs")" || status=1
echo "(medians of $runs runs each; $(basename "$profile") served by smcd, read through smcfs)"
exit $status
