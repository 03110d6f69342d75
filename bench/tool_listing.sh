#!/usr/bin/env bash
# Times `smc -l` over a 1000-key profile against `cat` of the same listing
# text, in the same run, and prints the ratio. Target: at most 3.
# Usage: tool_listing.sh [path/to/smc] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
smc=${1:-build/default/bin/smc}
runs=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 999 keys of several types, plus the "#KEY" the emulator adds.
awk 'BEGIN {
    split("ui8 ,ui16,ui32,fpe2,sp78,flag,ch8*", types, ",")
    for (i = 0; i < 999; i++) {
        type = types[i % 7 + 1]
        size = (type == "ui8 " || type == "flag") ? 1 : (type == "ui32" ? 4 : (type == "ch8*" ? 8 : 2))
        value = 0; bytes = ""
        for (b = 0; b < size; b++) {
            byte = (i * 7 + b * 13) % 256
            bytes = bytes sprintf(" %02x", byte)
            value = value * 256 + byte
        }
        if (type == "fpe2") {
            high = int(value / 256); low = value % 256
            if (high > 127) high -= 256
            number = sprintf("%d ", high * 64 + int(low / 4))
        } else if (type ~ /^ui/) {
            number = sprintf("%.0f ", value)
        } else {
            number = ""
        }
        printf "  K%03d  [%s]  %s(bytes%s)\n", i, type, number, bytes
    }
}' > "$work/keys.profile"

SMC_SERVICE="$work/keys.profile" "$smc" -l > "$work/listing.txt"
if ! tail -n +2 "$work/listing.txt" | cmp -s - "$work/keys.profile"; then
    echo "the listing does not reproduce the profile" >&2
    exit 1
fi
lines=$(wc -l < "$work/listing.txt")

now() { date +%s%N; }
time_runs() {  # command..., prints nanoseconds for $runs runs
    local start end
    start=$(now)
    for ((i = 0; i < runs; i++)); do "$@" > "$work/out.txt"; done
    end=$(now)
    echo $((end - start))
}
export SMC_SERVICE="$work/keys.profile"
# Alternate the two, so that a change in the machine's load hits both.
smc_total=0 cat_total=0
for round in 1 2 3 4; do
    smc_total=$((smc_total + $(time_runs "$smc" -l)))
    cat_total=$((cat_total + $(time_runs cat "$work/listing.txt")))
done
per_run() { awk -v ns="$1" -v n="$((runs * 4))" 'BEGIN { printf "%.3f ms", ns / n / 1e6 }'; }
ratio=$(awk -v a="$smc_total" -v b="$cat_total" 'BEGIN { printf "%.2f", a / b }')
echo "listing of $lines keys, $((runs * 4)) runs each"
echo "  smc -l : $(per_run "$smc_total")"
echo "  cat    : $(per_run "$cat_total")"
echo "  ratio  : $ratio (target: at most 3)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 3) }'
