#!/usr/bin/env bash
# Times this project's readers against the programs people use today, in the
# same run, over the same smcfs mount standing where the driver's files
# stand (see support/chain.sh), and prints each ratio beside its target:
#   sensors-host      / sensors (lm-sensors)          at most 0.8
#   sensors-host -a   / sensors                       at most 1.0
#   a /metrics scrape / a node_exporter hwmon scrape   at most 0.1
# A scrape is timed as the server's answer: 50 requests over one kept-alive
# connection per curl, so that curl's own start is shared by both sides.
# Usage: side_by_side.sh BIN_DIR [PROFILE] [RUNS]   (RUNS: pairs, default 30)
# Each pair runs in turn, ours then theirs, and the ratio quoted is the
# median of the pairs' ratios, which holds while the machine's load drifts.
# Needs root, unshare, FUSE, lm-sensors, curl and prometheus-node-exporter:
# exit 77 without them.
set -uo pipefail
bin=$(realpath "${1:?usage: side_by_side.sh BIN_DIR [PROFILE] [RUNS]}") || exit 2
profile=$(realpath "${2:-$(dirname "$0")/../profiles/builtin.profile}") || exit 2
runs=${3:-30}
for tool in sensors curl prometheus-node-exporter; do
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
our_port=$(port) their_port=$(port)
serve "$our_port" env SMC_SERVICE="$files" "$bin/sensors-host" --listen="127.0.0.1:$our_port"
serve "$their_port" prometheus-node-exporter --collector.disable-defaults --collector.hwmon \
    --web.listen-address="127.0.0.1:$their_port"

elapsed() {  # COMMAND...: its wall time in microseconds, from bash's own clock
    local start=${EPOCHREALTIME/./}
    "$@" >/dev/null 2>&1 || fail "$* failed"
    echo $((${EPOCHREALTIME/./} - start))
}
compare() {  # NAME TARGET "OURS" "THEIRS": the two in turn, runs times; the
    # median of their times and of the ratio pair by pair, which holds while
    # the machine's load drifts
    local pairs=() i a b ours theirs
    read -ra ours <<<"$3"
    read -ra theirs <<<"$4"
    for ((i = 0; i < 3; i++)); do elapsed "${ours[@]}" >/dev/null; elapsed "${theirs[@]}" >/dev/null; done
    for ((i = 0; i < runs; i++)); do
        a=$(elapsed "${ours[@]}") b=$(elapsed "${theirs[@]}")
        pairs+=("$a $b")
    done
    printf '%s\n' "${pairs[@]}" | awk -v n="$1" -v t="$2" '
    function median(v, k,   i, j, x) {
        for (i = 2; i <= k; i++) { x = v[i]; for (j = i - 1; j >= 1 && v[j] > x; j--) v[j + 1] = v[j]; v[j + 1] = x }
        return k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
    }
    { a[NR] = $1; b[NR] = $2; r[NR] = $1 / $2 }
    END {
        ratio = median(r, NR)
        printf "%-34s %9.2f ms %9.2f ms %7.2f  %-6s %s\n", n, median(a, NR) / 1000, median(b, NR) / 1000, ratio, "<= " t,
            (ratio <= t ? "met" : "MISSED")
        exit !(ratio <= t)
    }'
}
printf '%-34s %12s %12s %7s  %-6s\n' "ours / theirs" ours theirs ratio target
status=0
compare "sensors-host / sensors" 0.8 "env SMC_SERVICE=$files $bin/sensors-host" sensors || status=1
compare "sensors-host -a / sensors" 1.0 "env SMC_SERVICE=$files $bin/sensors-host -a" sensors || status=1
compare "50 scrapes / node_exporter hwmon" 0.1 "$(requests "$our_port")" "$(requests "$their_port")" || status=1
echo "(medians of $runs runs each; $(basename "$profile") served by smcd, read through smcfs)"
exit $status
