#!/usr/bin/env bash
# One run of the closed-loop benchmark, in a mount namespace of its own: the
# built-in machine under smcd with its heat model and the load TRACE, smcfs
# serving the driver's files and a coretemp directory where the kernel puts
# them, one fan CONTROLLER, and a sample every half second for SECONDS:
# "milliseconds die_millidegrees fan1 fan2 goal1 goal2" (rpm) into CSV,
# a fan's goal being its target in manual mode and its minimum otherwise.
# CONTROLLER: auto (the SMC's own), mbpfan, macfanctld (each run unchanged,
# in the foreground, with its own default configuration) or smcfand.
# Usage: closed_loop_run.sh BIN_DIR TRACE CONTROLLER CSV SECONDS [PROFILE]
#   PROFILE: the machine (default: the built-in one)
set -uo pipefail
bin=$(realpath "$1") trace=$(realpath "$2") controller=$3 csv=$(realpath -m "$4") seconds=$5
machine=${6:-builtin}
[[ $machine == builtin ]] || machine=$(realpath "$machine")
source "$(dirname "$0")/chain.sh"
chain_namespace "$bin" "$trace" "$controller" "$csv" "$seconds" "$machine"
chain_smcd_args=(--load "$trace")
chain_start "$bin" "$machine"
# A /run of the run's own: the daemons keep pid files there, one each.
mount -t tmpfs -o mode=0755 smc-bench /run || fail "cannot give the run a /run of its own"
chain_mount "$bin"
coretemp=/sys/devices/platform/coretemp.0
mkdir "$coretemp"
SMC_SERVICE=$chain_service "$bin/smcfs" --coretemp -f "$coretemp" 2>"$work/coretemp.log" &
pids+=($!)
wait_for -d "$coretemp/hwmon" || fail "smcfs --coretemp did not mount"
for dir in "$coretemp"/hwmon/hwmon*; do ln -s "$dir" "/sys/class/hwmon/$(basename "$dir")"; done
package=$(grep -l '^Package' "$coretemp"/hwmon/hwmon*/temp*_label | head -1)
package=${package%_label}_input

case $controller in
auto) ;;
mbpfan) mbpfan -f >"$work/controller.out" 2>&1 & pids+=($!) ;;
macfanctld) macfanctld -f >"$work/controller.out" 2>&1 & pids+=($!) ;;
smcfand) SMC_SERVICE=$chain_service "$bin/smcfand" >"$work/controller.out" 2>&1 & pids+=($!) ;;
*) fail "no controller $controller" ;;
esac
started=$(date +%s%N)
: >"$csv"
for ((i = 0; i < seconds * 2; i++)); do
    now=$(date +%s%N)
    values=()
    for file in "$package" "$device"/fan{1,2}_input; do
        value=nan
        read -r value <"$file" 2>/dev/null
        values+=("$value")
    done
    # What each fan is driven toward: its target in manual mode, its minimum
    # (which the SMC's own curve may exceed) otherwise.
    for fan in 1 2; do
        manual=0 value=nan
        read -r manual <"$device/fan${fan}_manual" 2>/dev/null
        [[ $manual == 1 ]] && file=$device/fan${fan}_output || file=$device/fan${fan}_min
        read -r value <"$file" 2>/dev/null
        values+=("$value")
    done
    echo "$(((now - started) / 1000000)) ${values[*]}" >>"$csv"
    sleep $(awk -v s="$started" -v n="$(date +%s%N)" -v i="$i" 'BEGIN { d = (s + (i + 1) * 5e8 - n) / 1e9; print (d > 0 ? d : 0) }')
done
if [[ $controller != auto ]] && ! kill -0 "${pids[-1]}" 2>/dev/null; then
    fail "$controller stopped during the run: $(tail -3 "$work/controller.out")"
fi
cp "$work/controller.out" "${csv%.csv}.log" 2>/dev/null
exit 0
