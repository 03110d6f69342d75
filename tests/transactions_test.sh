#!/usr/bin/env bash
# The SMC transactions of each operation, counted on the chain of
# bench/transactions.sh over the built-in machine and over an Apple Silicon
# MacBook Pro's driver files, against their goals.
# Counts are exact, so a count above its limit is a fault, not noise.
# Operations not yet at their goal are held to the count they make today,
# so that none grows; lower a ceiling to "-" once the goal is met.
# Usage: transactions_test.sh BIN_DIR SOURCE_DIR
set -uo pipefail
bin=$1 source=$2
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT

# operation | path | goal: the most, from the minimum m | ceiling today (- : at its goal)
builtin_limits='sensors-host          | files | m + 1 | -
sensors-host          | smcd  | m + 1 | -
sensors-host -a       | files | m + 1 | -
sensors-host -a       | smcd  | m + 1 | -
/metrics scrape       | files | m     | -
/metrics scrape       | smcd  | m     | -
smc -l                | files | m + 1 | -
smc -l                | smcd  | m + 1 | -
smc -f                | files | m     | -
smc -f                | smcd  | m     | -
smcfan set 0 target N | files | -     | 2
smcfan set 0 target N | smcd  | 2     | -
smcfan manual 0       | files | -     | 5
smcfan manual 0       | smcd  | 2     | -'
# An Apple Silicon Mac: "smcd" is an smcd over the driver's files, which
# knows the fan's limits already.
macsmc_limits='sensors-host          | files | m     | -
sensors-host          | smcd  | m     | -
/metrics scrape       | files | m     | -
/metrics scrape       | smcd  | m     | -
smc -f                | files | m     | -
smc -f                | smcd  | m     | -
smcfan set 0 target N | files | m     | -
smcfan set 0 target N | smcd  | m - 1 | -'

failed=0
check() {  # PROFILE LIMITS
    bash "$source/bench/transactions.sh" --rows "$rows" "$bin" "$source/profiles/$1"
    local status=$?
    ((status == 0)) || exit $status
    echo
    printf '%-22s %-6s %6s %8s %6s %8s  %s\n' operation path count minimum goal ceiling verdict
    while IFS='|' read -r operation path goal ceiling; do
        operation=$(echo $operation) path=$(echo $path) goal=$(echo $goal) ceiling=$(echo $ceiling)
        IFS=$'\t' read -r _ files smcd minimum < <(grep -F "$operation"$'\t' "$rows")
        count=$([[ $path == files ]] && echo "${files:-}" || echo "${smcd:-}")
        if [[ -z $count ]]; then
            echo "transactions_test.sh: no count for $operation ($path)" >&2
            failed=1
            continue
        fi
        limit=$([[ $goal == - ]] && echo - || echo $((${goal//m/$minimum})))
        if [[ $limit != - ]] && ((count <= limit)); then
            verdict="at its goal"
            [[ $ceiling == - ]] || verdict+=" (lower its ceiling to -)"
        elif [[ $ceiling != - ]] && ((count <= ceiling)); then
            verdict=$([[ $limit == - ]] && echo "no goal on this path" || echo "not yet at its goal")
        else
            verdict="FAILED: more than $([[ $ceiling == - ]] && echo "its goal" || echo "today's $ceiling")"
            failed=1
        fi
        printf '%-22s %-6s %6s %8s %6s %8s  %s\n' "$operation" "$path" "$count" "$minimum" "$limit" "$ceiling" "$verdict"
    done <<<"$2"
}
check builtin.profile "$builtin_limits"
check macbookpro14-m1pro.profile "$macsmc_limits"
exit $failed
