#!/usr/bin/env bash
# Counts the SMC transactions each operation makes, against the fewest it
# needs (one read per value shown; a fan change: read the maximum, write).
# The chain: smcd serving PROFILE, smc_relay counting every exchange that
# reaches it, smcfs over the relay standing where the driver's files stand.
# Programs read either the driver's files (which cache names, types and
# lengths, as the driver does) or smcd through the relay. A profile with a
# devicetree is an Apple Silicon Mac: smcfs serves the macsmc_hwmon
# driver's files instead, and the daemon is an smcd over those files, as on
# the machine itself.
# Usage: transactions.sh [--rows FILE] BIN_DIR [PROFILE]
#   --rows FILE  also write "operation<TAB>files<TAB>smcd<TAB>minimum" lines
# Needs root, unshare and FUSE: exit 77 without them.
set -uo pipefail
rows=
if [[ ${1:-} == --rows ]]; then
    rows=$2
    shift 2
fi
bin=$(realpath "${1:?usage: transactions.sh [--rows FILE] BIN_DIR [PROFILE]}") || exit 2
profile=$(realpath "${2:-$(dirname "$0")/../profiles/builtin.profile}") || exit 2

source "$(dirname "$0")/support/chain.sh"
chain_namespace ${rows:+--rows "$rows"} "$bin" "$profile"
chain_start "$bin" "$profile"
"$bin/smc_relay" "$work/relay.sock" "$work/smcd.sock" "$work/counts" 2>"$work/relay.log" &
relay=$!
pids+=($relay)
wait_for -S "$work/relay.sock" || fail "smc_relay did not start"
chain_service="unix:$work/relay.sock"
macsmc=
if grep -q '^! devicetree' "$profile"; then
    macsmc=1
    chain_mount_macsmc "$bin"
    "$bin/smcd" --socket "$work/macsmc.sock" --service "macsmc:$sysroot" --state "$work/macsmc.state" \
        >"$work/macsmc-smcd.log" 2>&1 &
    pids+=($!)
    wait_for -S "$work/macsmc.sock" || fail "smcd over the driver's files did not start"
else
    chain_mount "$bin"
fi

# A transaction is a read or a write of a key's value: what reaches the SMC
# behind the driver, which answers key information and the key at an index
# from the table it keeps. `everything` counts every exchange with smcd.
counted="read write"
total() {  # the relay's count so far of the exchanges named in $counted
    rm -f "$work/counts"
    kill -USR1 "$relay"
    wait_for -s "$work/counts" || fail "the relay wrote no counts"
    awk -v kinds=" $counted " 'index(kinds, " " $1 " ") { sum += $2 } END { print sum + 0 }' "$work/counts"
}
# smcfs learns the key table at start: count from when it has settled.
ls -R "$device" "${sysroot:-$device}" >/dev/null
counted=total
before=$(total)
while sleep 0.2 && after=$(total) && [[ $after != "$before" ]]; do before=$after; done
counted="read write"

files="applesmc:$device"
daemon="unix:$work/relay.sock"
count() {  # SERVICE COMMAND...: the transactions of one successful run
    local start
    start=$(total)
    SMC_SERVICE=$1 "${@:2}" >"$work/out" 2>"$work/op.log" || fail "$* failed"
    echo $(($(total) - start))
}
get() {  # PORT: true when GET /metrics answers 200; bash's own sockets, no curl needed
    local status
    { exec 3<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null || return 1
    printf 'GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
    read -r _ status _ <&3
    cat <&3 >/dev/null
    exec 3<&-
    [[ $status == 200 ]]
}
answers() {  # PORT: true once GET /metrics succeeds, within 5 s
    for _ in $(seq 100); do get "$1" && return 0; sleep 0.05; done
    return 1
}
scraped=
scrape() {  # COMMAND... OPTION=: sets scraped to the transactions of a scrape after the
    # first; the port is appended to the last argument
    local port server start
    # A random port may be held by another program's connection (tests run
    # side by side): try another when it is.
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 30000))
        "${@:1:$#-1}" "${!#}$port" 2>"$work/listen.log" &
        server=$!
        pids+=("$server")
        answers "$port" && break
        kill -0 "$server" 2>/dev/null || ! grep -q "already in use" "$work/listen.log" ||
            { unset 'pids[-1]'; continue; }
        fail "$* $port did not answer"
    done
    # Another program on that port would answer in its stead.
    kill -0 "$server" 2>/dev/null || fail "$* $port could not listen there; run again"
    sleep 1.1  # past the age at which sensors-host reads the SMC again
    start=$(total)
    get "$port" || fail "a scrape of $* failed"
    scraped=$(($(total) - start))
    kill "$server"
    wait "$server" 2>/dev/null
    unset 'pids[-1]'
}

printf '%-28s %6s %6s %8s  %-22s %s\n' operation files smcd minimum goal "peer over the same files"
row() {  # OPERATION FILES SMCD MINIMUM GOAL PEER
    [[ -n $2 && -n $3 ]] || fail "$1 was not measured"
    printf '%-28s %6s %6s %8s  %-22s %s\n' "$@"
    [[ -z $rows ]] || printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$rows"
}
[[ -z $rows ]] || : >"$rows"

if [[ -n $macsmc ]]; then
    files="macsmc:$sysroot"
    daemon="unix:$work/macsmc.sock"
    # One file read per value shown; the fan count comes from the files
    # found and the mode cannot be read, so neither costs a read.
    SMC_SERVICE=$files "$bin/sensors-host" >"$work/report" || fail "sensors-host failed"
    fans=$(grep -c ' rpm ' "$work/report")
    report_minimum=$(($(grep -cE ' (°C|W|V|A)$' "$work/report") + 4 * fans))
    sensors_peer=-
    if command -v sensors >/dev/null; then
        sensors_peer="sensors $(count "$files" sensors)"
    fi
    row "sensors-host" "$(count "$files" "$bin/sensors-host")" "$(count "$daemon" "$bin/sensors-host")" \
        "$report_minimum" "<= minimum" "$sensors_peer"
    node_peer="node_exporter: not installed (prometheus-node-exporter)"
    if command -v prometheus-node-exporter >/dev/null; then
        scrape prometheus-node-exporter --path.sysfs="$sysroot" --collector.disable-defaults --collector.hwmon \
            --web.listen-address=127.0.0.1:
        node_peer="node_exporter hwmon $scraped"
    fi
    scrape env SMC_SERVICE="$files" "$bin/sensors-host" --listen=
    scrape_files=$scraped
    scrape env SMC_SERVICE="$daemon" "$bin/sensors-host" --listen=
    row "/metrics scrape" "$scrape_files" "$scraped" "$report_minimum" "<= minimum" "$node_peer"
    # smc -f: a fan's actual, minimum, maximum and target speeds.
    row "smc -f" "$(count "$files" "$bin/smc" -f)" "$(count "$daemon" "$bin/smc" -f)" $((4 * fans)) "<= minimum" -
    # A fan change: the tool reads the maximum; the driver reads both limits
    # afresh, puts the fan in manual, and writes the target.
    read -r fan_low fan_high < <(SMC_SERVICE=$files "$bin/smcfan" | awk 'NR == 2 { print $4, $5 }')
    speed=$(((fan_low + fan_high) / 2))
    reset_fans() { SMC_SERVICE=$files "$bin/smcfan" auto >/dev/null 2>&1 || fail "smcfan auto failed"; }
    set_files=$(count "$files" "$bin/smcfan" set 0 target "$speed")
    reset_fans
    set_daemon=$(count "$daemon" "$bin/smcfan" set 0 target "$speed")
    SMC_SERVICE=$daemon "$bin/smcfan" auto >/dev/null 2>&1 || fail "smcfan auto failed"
    echo_set=$(count "$files" sh -c "echo $speed >$sysroot/class/hwmon/hwmon0/fan1_target")
    reset_fans
    row "smcfan set 0 target N" "$set_files" "$set_daemon" 5 "<= minimum" "echo N > fan1_target $echo_set"
    echo "($(basename "$profile"): $fans fans; counted: the reads and writes reaching the SMC behind the driver)"
    exit 0
fi

# The fewest reads: one per value shown. A fan in a report shows its name,
# actual, minimum, maximum and target speeds; its mode comes from the one
# mode mask and, where the machine has one, its own mode key F<n>Md; the fan
# count is read once.
SMC_SERVICE=$daemon "$bin/sensors-host" >"$work/report" || fail "sensors-host failed"
SMC_SERVICE=$daemon "$bin/sensors-host" -a >"$work/report-all" || fail "sensors-host -a failed"
SMC_SERVICE=$daemon "$bin/smc" -l >"$work/listing"
fans=$(grep -c ' rpm ' "$work/report")
mode_keys=$(grep -cE '^  F[0-9]Md ' "$work/listing")
report_minimum=$(($(grep -c '°C$' "$work/report") + 5 * fans + mode_keys + 2))
# Listing every sensor, each temperature key (T..., a signed fixed-point
# type) must be read once to learn whether it holds a reading at all: an
# absent sensor reads 0 or below and is not shown, yet no program can skip it.
temperature_keys=$(awk '$1 ~ /^T/ && $2 ~ /^\[sp/' "$work/listing" | wc -l)
all_minimum=$((temperature_keys + 5 * fans + mode_keys + 2))
# Every line of the listing is a position, #KEY's own among them.
positions=$(wc -l <"$work/listing")
# smc -f shows the fan count and, a fan, its actual, minimum, maximum, safe
# and target speeds, with the modes from the one mask.
fan_minimum=$((1 + 5 * fans + 1))
read -r fan_low fan_high < <(SMC_SERVICE=$daemon "$bin/smcfan" | awk 'NR == 2 { print $4, $5 }')
speed=$(((fan_low + fan_high) / 2))
reset_fans() { SMC_SERVICE=$daemon "$bin/smcfan" auto >/dev/null 2>&1 || fail "smcfan auto failed"; }

sensors_peer=-
if command -v sensors >/dev/null; then
    sensors_peer="sensors $(count "$files" sensors)"
fi
row "sensors-host" "$(count "$files" "$bin/sensors-host")" "$(count "$daemon" "$bin/sensors-host")" \
    "$report_minimum" "<= minimum + 1" "$sensors_peer"
row "sensors-host -a" "$(count "$files" "$bin/sensors-host" -a)" "$(count "$daemon" "$bin/sensors-host" -a)" \
    "$all_minimum" "<= minimum + 1" "$sensors_peer"
node_peer="node_exporter: not installed (prometheus-node-exporter)"
if command -v prometheus-node-exporter >/dev/null; then
    scrape prometheus-node-exporter --collector.disable-defaults --collector.hwmon --web.listen-address=127.0.0.1:
    node_peer="node_exporter hwmon $scraped"
fi
scrape env SMC_SERVICE="$files" "$bin/sensors-host" --listen=
scrape_files=$scraped
scrape env SMC_SERVICE="$daemon" "$bin/sensors-host" --listen=
row "/metrics scrape" "$scrape_files" "$scraped" "$report_minimum" "= minimum" "$node_peer"
loop_start=$(total)
(
    echo 0 >"$device/key_at_index" &&
        for ((i = 0; i < positions; i++)); do
            echo "$i" >"$device/key_at_index" && cat "$device/key_at_index_name" "$device/key_at_index_type" \
                "$device/key_at_index_data_length" "$device/key_at_index_data" >/dev/null
        done
) 2>"$work/op.log" || fail "the shell loop over key_at_index failed"
loop=$(($(total) - loop_start))
row "smc -l" "$(count "$files" "$bin/smc" -l)" "$(count "$daemon" "$bin/smc" -l)" "$positions" \
    "<= positions + 1" "shell loop over key_at_index* $loop"
row "smc -f" "$(count "$files" "$bin/smc" -f)" "$(count "$daemon" "$bin/smc" -f)" "$fan_minimum" "= minimum" -
reset_fans
set_files=$(count "$files" "$bin/smcfan" set 0 target "$speed")
reset_fans
set_daemon=$(count "$daemon" "$bin/smcfan" set 0 target "$speed")
reset_fans
echo_set=$(count "$files" sh -c "echo $speed >$device/fan1_output")
reset_fans
row "smcfan set 0 target N" "$set_files" "$set_daemon" 2 "<= 2 through smcd" "echo N > fan1_output $echo_set"
manual_files=$(count "$files" "$bin/smcfan" manual 0)
reset_fans
manual_daemon=$(count "$daemon" "$bin/smcfan" manual 0)
reset_fans
echo_manual=$(count "$files" sh -c "echo 1 >$device/fan1_manual")
reset_fans
row "smcfan manual 0" "$manual_files" "$manual_daemon" 2 "<= 2 through smcd" "echo 1 > fan1_manual $echo_manual"
echo "($(basename "$profile"): $positions keys, $fans fans; counted: the reads and writes reaching smcd)"
