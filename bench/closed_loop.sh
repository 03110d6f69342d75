#!/usr/bin/env bash
# Fan control in closed loop, side by side, against the physical limit: each
# machine (the built-in one, and plants/warm.profile with a smaller die
# capacity, a weaker heatsink and hotter at full speed) under smcd heats up
# with a load trace and cools with its fans, and each controller drives it
# on the same trace at the same time, each in a mount namespace of its own
# (support/closed_loop_run.sh): the SMC's automatic mode, mbpfan and
# macfanctld (Debian's packages, unchanged, their default configurations)
# and smcfand with its defaults. Meanwhile fan_optimum computes each trace's
# offline optimum on each machine: the lowest mean fan speed that keeps the
# die at or below a peak, knowing the whole load.
# Prints a table per machine and trace, with each controller's mean speed
# divided by the optimum's at that controller's own peak; checks smcfand's
# targets; draws per machine the frontier (peak against mean speed) with
# every controller as a point, and per trace the runs over time.
# Targets for smcfand, every run: at most 1.15 times the optimum (1.30 on a
# hot start), the median at most 1.10; no peer and not the SMC's own curve
# with a lower or equal peak and a lower mean speed; at most a fifth of
# mbpfan's changes of 100 rpm or more; below 95 °C wherever the optimum can
# stay below it; on a hot start at most the lowest reachable peak + 1 °C.
# With a sensor failing halfway or reading -127: below 100 °C.
# Usage: closed_loop.sh BIN_DIR [OUT_DIR]
#   SMC_LOOP_SCALE=F  every trace F times as long (0.25: a quick look only)
#   SMC_LOOP_REPORT=1 no runs: the table, verdict and pictures again from OUT_DIR
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
[[ -x $bin/fan_optimum ]] || { echo "closed_loop.sh: no $bin/fan_optimum (a build with the benchmarks)" >&2; exit 2; }
mkdir -p "$out" || exit 1

# A trace's times scaled, and its length in seconds.
scaled() {  # TRACE OUT
    awk -v f="$scale" '/^[0-9.]+ / { $1 = $1 * f } { print }' "$1" >"$2"
}
length() { awk '/^[0-9.]+ / && $1 > n { n = $1 } END { print int(n + 0.5) }' "$1"; }

machines="builtin warm"
traces="workday steps bursts ramp hot-start long-idle"
peers="auto mbpfan macfanctld smcfand"
profile_of() { [[ $1 == builtin ]] && echo builtin || echo "$here/plants/$1.profile"; }
for trace in $traces workday-failing-sensor workday-absent-sensor; do
    scaled "$here/traces/$trace.load" "$out/$trace.load"
done

report_only=${SMC_LOOP_REPORT:-}
# The optimum, one machine and trace at a time beside the runs (they mostly
# sleep): the frontier as "peak_c,mean_rpm" and its range on stderr.
[[ -n $report_only ]] || (
    for machine in $machines; do
        for trace in $traces; do
            options=()
            [[ $machine == builtin ]] || options=(--profile "$(profile_of "$machine")")
            nice "$bin/fan_optimum" "${options[@]}" "$out/$trace.load" \
                >"$out/$machine.$trace.frontier.csv" 2>"$out/$machine.$trace.frontier.err"
        done
    done
) &
optimum=$!

# One machine at a time, its runs at once.
status=0
for machine in $machines; do
    [[ -n $report_only ]] && break
    runs=()
    for trace in $traces; do
        for controller in $peers; do runs+=("$trace $controller"); done
    done
    [[ $machine == builtin ]] && runs+=("workday-failing-sensor smcfand" "workday-absent-sensor smcfand")
    jobs=()
    for run in "${runs[@]}"; do
        read -r trace controller <<<"$run"
        bash "$here/support/closed_loop_run.sh" "$bin" "$out/$trace.load" "$controller" \
            "$out/$machine.$trace.$controller.csv" "$(length "$out/$trace.load")" "$(profile_of "$machine")" \
            2>"$out/$machine.$trace.$controller.err" &
        jobs+=($!)
    done
    echo "closed_loop.sh: $machine: ${#runs[@]} runs at once, $(length "$out/workday.load") s the longest;" \
        "results in $out" >&2
    for i in "${!jobs[@]}"; do
        if ! wait "${jobs[i]}"; then
            echo "closed_loop.sh: the run $machine ${runs[i]} failed:" >&2
            sed 's/^/  /' "$out/$machine.$(tr ' ' . <<<"${runs[i]}").err" >&2
            status=1
        fi
    done
done
[[ -n $report_only ]] || wait "$optimum" || status=1

# peak °C, seconds above 90 °C, mean fan speed, changes of the goal of 100
# rpm or more (between half-second samples), the largest, and changes of
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
# The optimum's mean speed at PEAK, linear between the frontier's points;
# and the frontier's lowest reachable peak.
optimum_at() {  # FRONTIER PEAK
    awk -F, -v p="$2" '$1 ~ /^[0-9.]+$/ { n++; x[n] = $1; y[n] = $2 }
    END {
        if (!n) { print "nan"; exit }
        if (p <= x[1]) { print y[1]; exit }
        for (i = 2; i <= n; i++) if (p <= x[i]) { print y[i-1] + (y[i] - y[i-1]) * (p - x[i-1]) / (x[i] - x[i-1]); exit }
        print y[n]
    }' "$1"
}
lowest_of() { sed -n 's/^lowest reachable peak \([0-9.]*\).*/\1/p' "$1"; }

: >"$out/figures.txt.new"
for machine in $machines; do
    for trace in $traces workday-failing-sensor workday-absent-sensor; do
        ls "$out/$machine.$trace".*.csv >/dev/null 2>&1 || continue
        frontier=$out/$machine.$trace.frontier.csv
        lowest=$(lowest_of "$out/$machine.$trace.frontier.err" 2>/dev/null)
        echo
        echo "$machine, $trace ($(length "$out/$trace.load") s${lowest:+; lowest reachable peak $lowest °C})"
        printf '  %-11s %8s %10s %10s %11s %9s %8s %6s\n' controller "peak °C" "s > 90 °C" "mean rpm" "÷ optimum" \
            "changes" "largest" "any"
        for controller in $peers; do
            [[ -s $out/$machine.$trace.$controller.csv ]] || continue
            read -r peak hot mean changes largest any < <(figures "$out/$machine.$trace.$controller.csv")
            ratio=nan
            if [[ -s $frontier ]]; then
                ratio=$(awk -v m="$mean" -v o="$(optimum_at "$frontier" "$peak")" 'BEGIN { printf "%.2f", (o > 0 ? m / o : 0) }')
            fi
            printf '  %-11s %8s %10s %10s %11s %9s %8s %6s\n' "$controller" "$peak" "$hot" "$mean" "$ratio" \
                "$changes" "$largest" "$any"
            echo "$machine $trace $controller $peak $hot $mean $changes $largest $any $ratio ${lowest:-nan}" \
                >>"$out/figures.txt.new"
        done
    done
done
mv "$out/figures.txt.new" "$out/figures.txt"

# The verdict on smcfand's targets.
echo
awk '
{ key = $1 " " $2; run[key, $3] = $0; if ($3 == "smcfand") ours[key] = $0 }
END {
    ok = 1
    n = 0
    for (k in ours) {
        split(ours[k], o, " ")
        sensor = o[2] ~ /sensor/
        limit = sensor ? 100 : 95
        if (o[4] >= limit && (sensor || o[11] == "nan" || o[11] < 95)) {
            printf "MISSED %s: smcfand peaked at %s °C (limit %d)\n", k, o[4], limit; ok = 0
        }
        if (sensor) continue
        hot = o[2] == "hot-start"
        if (o[10] != "nan") {
            ratios[++n] = o[10]
            target = hot ? 1.30 : 1.15
            printf "%-6s %s: %s times the optimum (at most %.2f)\n", o[10] <= target ? "met" : "MISSED", k, o[10], target
            if (o[10] > target) ok = 0
        }
        if (hot && o[11] != "nan") {
            printf "%-6s %s: peak %s °C, lowest reachable %s + 1\n", o[4] <= o[11] + 1 ? "met" : "MISSED", k, o[4], o[11]
            if (o[4] > o[11] + 1) ok = 0
        }
        for (p = 1; p <= 3; p++) {
            name = p == 1 ? "auto" : p == 2 ? "mbpfan" : "macfanctld"
            if (!((k, name) in run)) continue
            split(run[k, name], q, " ")
            better = q[4] <= o[4] && q[6] < o[6]
            printf "%-6s %s: %s peak %s vs %s °C, mean %s vs %s rpm%s\n", better ? "MISSED" : "met", k, name, o[4], q[4], \
                o[6], q[6], better ? " (better on both)" : ""
            if (better) ok = 0
            if (name == "mbpfan") {
                calm = o[7] <= q[7] / 5
                printf "%-6s %s: changes %s vs mbpfan %s (at most a fifth)\n", calm ? "met" : "MISSED", k, o[7], q[7]
                if (!calm) ok = 0
            }
        }
    }
    if (n) {
        for (i = 2; i <= n; i++)  # mawk has no asort
            for (j = i; j > 1 && ratios[j] < ratios[j - 1]; j--) { t = ratios[j]; ratios[j] = ratios[j - 1]; ratios[j - 1] = t }
        median = n % 2 ? ratios[(n + 1) / 2] : (ratios[n / 2] + ratios[n / 2 + 1]) / 2
        printf "%-6s the median over runs: %.2f times the optimum (at most 1.10)\n", median <= 1.10 ? "met" : "MISSED", median
        if (median > 1.10) ok = 0
    }
    exit !ok
}' "$out/figures.txt" || status=1

# Per machine, the frontier of each trace with every controller a point.
for machine in $machines; do
    plots=()
    for trace in $traces; do
        frontier=$out/$machine.$trace.frontier.csv
        [[ -s $frontier ]] || continue
        points=$(awk -v m="$machine" -v t="$trace" '$1 == m && $2 == t { printf "%s,%s,%s\n", $4, $6, $3 }' \
            "$out/figures.txt")
        plots+=("set title '$trace'; plot '$frontier' every ::1 using 1:2 with lines lw 2 title 'optimum', \
'-' using 1:2:3 with labels point pt 7 offset char 1,0.5 notitle"$'\n'"${points}"$'\n'"e")
    done
    gnuplot <<PLOT || status=1
set terminal pngcairo size 1500,900 font ',10'
set output '$out/$machine.frontier.png'
set datafile separator ','
set multiplot layout 2,3 title '$machine: the lowest mean fan speed for each peak (line), and each controller (point)'
set grid
set xrange [*:100]
set xlabel 'peak die °C'
set ylabel 'mean fan speed (rpm)'
$(printf '%s\n' "${plots[@]}")
unset multiplot
PLOT
done

# One picture per machine and trace: die temperature above, mean fan speed below.
for machine in $machines; do
    for trace in $traces; do
        plots_t=() plots_f=()
        for controller in $peers; do
            csv=$out/$machine.$trace.$controller.csv
            [[ -s $csv ]] || continue
            plots_t+=("'$csv' using (\$1/1000):(\$2/1000) with lines title '$controller'")
            plots_f+=("'$csv' using (\$1/1000):((\$3+\$4)/2) with lines title '$controller'")
        done
        ((${#plots_t[@]})) || continue
        gnuplot <<PLOT || status=1
set terminal pngcairo size 1200,800 font ',11'
set output '$out/$machine.$trace.png'
set multiplot layout 2,1 title '$machine, $trace: the same load, one line per controller'
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
done
echo "pictures: $out/*.png"
exit $status
