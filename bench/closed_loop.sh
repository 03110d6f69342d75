#!/usr/bin/env bash
# Fan control in closed loop, side by side: the built-in machine under smcd
# heats up with a load trace and cools with its fans, and each controller
# drives it on the same trace at the same time, each in a mount namespace of
# its own (support/closed_loop_run.sh): the SMC's automatic mode, mbpfan and
# macfanctld (Debian's packages, unchanged, their default configurations)
# and smcfand with its defaults. Prints a table per trace and draws one
# picture per trace (die temperature and mean fan speed over time).
# Targets, smcfand against each peer on every trace: no worse in peak
# temperature nor in mean fan speed, and 15 % lower mean fan speed or 3 °C
# lower peak; at most a fifth of its changes of 100 rpm or more; never above
# 95 °C. With a sensor failing halfway or reading -127: below 100 °C.
# Usage: closed_loop.sh BIN_DIR [OUT_DIR]
#   SMC_LOOP_SCALE=F  every trace F times as long (0.25: a quick look only)
# Needs root, unshare, FUSE, mbpfan, macfanctld and gnuplot: exit 77 without.
set -uo pipefail
here=$(dirname "$(realpath "$0")")
bin=$(realpath "${1:?usage: closed_loop.sh BIN_DIR [OUT_DIR]}") || exit 2
out=$(realpath -m "${2:-closed-loop}")
scale=${SMC_LOOP_SCALE:-1}
# Not installed here: their packages enable and start the daemons, which on
# a real Mac would then drive its fans at every boot.
for tool in mbpfan macfanctld gnuplot unshare; do
    if ! command -v "$tool" >/dev/null; then
        echo "closed_loop.sh: $tool is not installed; skipped. It needs: apt-get install mbpfan macfanctld" \
            "gnuplot-nox (on a real Mac, disable the two daemons after: systemctl disable --now mbpfan macfanctld)" >&2
        exit 77
    fi
done
if [[ $(id -u) != 0 ]] || [[ ! -c /dev/fuse ]]; then
    echo "closed_loop.sh: needs root and /dev/fuse; skipped" >&2
    exit 77
fi
mkdir -p "$out" || exit 1

# A trace's times scaled, and its length in seconds.
scaled() {  # TRACE OUT
    awk -v f="$scale" '/^[0-9.]+ / { $1 = $1 * f } { print }' "$1" >"$2"
}
length() { awk '/^[0-9.]+ / && $1 > n { n = $1 } END { print int(n + 0.5) }' "$1"; }

peers="auto mbpfan macfanctld smcfand"
runs=()
for trace in workday hot-start; do
    for controller in $peers; do runs+=("$trace $controller"); done
done
runs+=("workday-failing-sensor smcfand" "workday-absent-sensor smcfand")
for trace in workday hot-start workday-failing-sensor workday-absent-sensor; do
    scaled "$here/traces/$trace.load" "$out/$trace.load"
done
jobs=()
for run in "${runs[@]}"; do
    read -r trace controller <<<"$run"
    seconds=$(length "$out/$trace.load")
    bash "$here/support/closed_loop_run.sh" "$bin" "$out/$trace.load" "$controller" \
        "$out/$trace.$controller.csv" "$seconds" 2>"$out/$trace.$controller.err" &
    jobs+=($!)
done
echo "closed_loop.sh: ${#runs[@]} runs at once, $(length "$out/workday.load") s the longest; results in $out" >&2
status=0
for i in "${!jobs[@]}"; do
    if ! wait "${jobs[i]}"; then
        echo "closed_loop.sh: the run ${runs[i]} failed:" >&2
        sed 's/^/  /' "$out/$(tr ' ' . <<<"${runs[i]}").err" >&2
        status=1
    fi
done

# peak °C, seconds above 90 °C, mean fan speed, changes of the goal of 100
# rpm or more (between half-second samples), the largest one, and changes of
# any size (a glide of small ones is what people do not hear).
figures() {  # CSV
    awk 'function abs(x) { return x < 0 ? -x : x }
    $2 != "nan" {
        die = $2 / 1000
        if (die > peak) peak = die
        if (die > 90) hot += 0.5
    }
    $3 != "nan" && $4 != "nan" { speed += ($3 + $4) / 2; speeds++ }
    {
        for (f = 5; f <= 6; f++) {
            if ($f == "nan") continue
            if (f in last) {
                step = abs($f - last[f])
                if (step >= 100) changes++
                if (step > 0) any++
                if (step > largest) largest = step
            }
            last[f] = $f
        }
    }
    END { printf "%.1f %.1f %.0f %d %.0f %d\n", peak, hot, speeds ? speed / speeds : 0, changes, largest, any }' "$1"
}
for trace in workday hot-start workday-failing-sensor workday-absent-sensor; do
    echo
    echo "$trace ($(length "$out/$trace.load") s)"
    printf '  %-11s %8s %10s %10s %9s %8s %6s\n' controller "peak °C" "s > 90 °C" "mean rpm" "changes" "largest" "any"
    for controller in $peers; do
        [[ -s $out/$trace.$controller.csv ]] || continue
        read -r peak hot mean changes largest any < <(figures "$out/$trace.$controller.csv")
        printf '  %-11s %8s %10s %10s %9s %8s %6s\n' "$controller" "$peak" "$hot" "$mean" "$changes" "$largest" "$any"
        echo "$trace $controller $peak $hot $mean $changes $largest $any" >>"$out/figures.txt.new"
    done
done
mv "$out/figures.txt.new" "$out/figures.txt"

# The verdict, smcfand against each peer.
echo
awk '
$2 == "smcfand" { ours[$1] = $0 }
$2 == "mbpfan" || $2 == "macfanctld" { peer[$1, $2] = $0 }
END {
    ok = 1
    for (t in ours) {
        split(ours[t], o, " ")
        limit = (t ~ /sensor/) ? 100 : 95
        if (o[3] >= limit) { printf "MISSED %s: smcfand peaked at %s °C (limit %d)\n", t, o[3], limit; ok = 0 }
        for (p = 1; p <= 2; p++) {
            name = p == 1 ? "mbpfan" : "macfanctld"
            if (!((t, name) in peer)) continue
            split(peer[t, name], q, " ")
            worse = o[3] > q[3] || o[5] > q[5]
            better = o[5] <= 0.85 * q[5] || o[3] <= q[3] - 3
            calm = o[6] <= q[6] / 5
            verdict = (!worse && better && calm) ? "met" : "MISSED"
            if (verdict != "met") ok = 0
            printf "%-6s %s vs %s: peak %s vs %s °C, mean %s vs %s rpm, changes %s vs %s\n", verdict, t, name, o[3], q[3], o[5], q[5], o[6], q[6]
        }
    }
    exit !ok
}' "$out/figures.txt" || status=1

# One picture per trace: die temperature above, mean fan speed below.
for trace in workday hot-start; do
    plots_t=() plots_f=()
    for controller in $peers; do
        csv=$out/$trace.$controller.csv
        [[ -s $csv ]] || continue
        plots_t+=("'$csv' using (\$1/1000):(\$2/1000) with lines title '$controller'")
        plots_f+=("'$csv' using (\$1/1000):((\$3+\$4)/2) with lines title '$controller'")
    done
    gnuplot <<PLOT || status=1
set terminal pngcairo size 1200,800 font ',11'
set output '$out/$trace.png'
set multiplot layout 2,1 title '$trace: the same load, one line per controller'
set datafile missing 'nan'
set grid
set key outside right
set ylabel 'die (°C)'
plot $(IFS=,; echo "${plots_t[*]}")
set xlabel 'seconds'
set ylabel 'mean fan speed (rpm)'
plot $(IFS=,; echo "${plots_f[*]}")
unset multiplot
PLOT
done
echo "pictures: $out/workday.png $out/hot-start.png"
exit $status
