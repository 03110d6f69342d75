#!/usr/bin/env bash
# The bash completion of every program, driven as bash drives it: each row
# is a command line with the cursor at its end and the words it must offer.
# The programs under test come first on PATH; the built-in machine's keys and
# fans are read from its profile, not from the completion's own source.
# Usage: completion_test.sh COMPLETION_DIR BUILTIN_PROFILE
set -uo pipefail

completions=$(realpath "$1")
profile=$(realpath "$2")
framework=/usr/share/bash-completion/bash_completion
if [[ ! -r $framework ]]; then
    echo "bash-completion is not installed (bash scripts/setup.sh installs it)"
    exit 1
fi
# shellcheck disable=SC1090
source "$framework"
for program in smc sensors-host smcd smcfs smcfan smcfand; do
    # shellcheck disable=SC1090
    source "$completions/$program" || { echo "$program: the completion does not load"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files/d1"
touch "$work/files/m.so" "$work/files/x.txt"
cd "$work/files" || exit 1
export SMC_SERVICE=builtin

# The words bash would make of LINE: split at blanks, and at "=" and ":",
# which stand as words of their own.
split_line()
{
    local line=$1 word
    COMP_WORDS=()
    for word in $line; do
        while [[ $word =~ ^([^=:]*)([=:])(.*)$ ]]; do
            [[ ${BASH_REMATCH[1]} ]] && COMP_WORDS+=("${BASH_REMATCH[1]}")
            COMP_WORDS+=("${BASH_REMATCH[2]}")
            word=${BASH_REMATCH[3]}
        done
        [[ $word ]] && COMP_WORDS+=("$word")
    done
    [[ $line == *" " || $line == *[=:] ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
}

# The completion of LINE, sorted, one word a line.
complete_line()
{
    local line=$1 function
    split_line "$line"
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    function=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    [[ $function ]] || return 1
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>"$work/stderr"
    ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
}

# The keys of the built-in machine that begin with PREFIX, as the key
# lines of its profile write them.
profile_keys()
{
    local key
    grep -E '^  .{4}  \[' "$profile" | cut -c3-6 | while IFS= read -r key; do
        [[ $key == "$1"* ]] && printf '%s\n' "$key"
    done | LC_ALL=C sort
}

passed=0
failed=0
check()
{
    local line=$1 expected got
    expected=$(LC_ALL=C sort <<<"$2" | sed '/^$/d')
    got=$(complete_line "$line")
    if [[ $got == "$expected" && ! -s $work/stderr ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: "%s"\n  expected: %s\n  got:      %s\n' "$line" "${expected//$'\n'/|}" "${got//$'\n'/|}"
        [[ -s $work/stderr ]] && printf '  stderr:   %s\n' "$(<"$work/stderr")"
    fi
}

# Each row: a line, then the words it must offer, "|" between them.
rows=(
    "smc --h|--help"
    "smc --v|--version"
    "smc -l -|-f|-h|-k|-l|-r|-v|-w|--help|--version"
    "smc -lk FN|FNum"
    "smc -k FNum -w |"
    "smc -k FNum -r stray -k T|"
    "smc -- -k T|"
    "sensors-host --w|--watch"
    "sensors-host --p|--print-keys|--prometheus"
    "sensors-host --textfile |d1"
    "sensors-host --module=|d1|m.so"
    "sensors-host -k |d1|m.so|x.txt"
    "sensors-host --listen |"
    "smcd --writable |all|fans|none"
    "smcd -w f|fans"
    "smcd --writable=n|none"
    "smcd --fan-model o|off|on"
    "smcd --service b|builtin"
    "smcd --service applesmc:|d1"
    "smcd -g roo|root"
    "smcd --k|--keep-fans"
    "smcfs --layout |classic|hwmon"
    "smcfs -l h|hwmon"
    "smcfs |d1"
    "smcfan |--help|--version|-h|auto|hold|list|manual|set"
    "smcfand --c|--check|--config"
    "smcfand --config |d1"
    "smcfand --check |d1"
    "smcfand --check --d|--dry-run"
    "smcfand --poll |"
    "smcfan set |0|1|Left|Right"
    "smcfan manual ri|Right"
    "smcfan set 0 |min|target"
    "smcfan set 0 min |"
    "smcfan hold 1 5000 |--"
)
for row in "${rows[@]}"; do
    line=${row%%|*}
    expected=${row#*|}
    check "$line" "${expected//|/$'\n'}"
done

# Keys come from what the tool lists: every temperature key of the machine.
check "smc -k T" "$(profile_keys T)"
check "smc -r -k F0" "$(profile_keys F0)"
check "smc -k FS" "$(profile_keys FS)"
# No SMC: nothing offered, and nothing said on the terminal.
SMC_SERVICE=none check "smc -k T" ""
SMC_SERVICE=none check "smcfan set " ""

# The command to hold a fan for is completed as a command.
got=$(complete_line "smcfan hold 1 5000 -- ech")
if grep -qx echo <<<"$got"; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAIL: \"smcfan hold 1 5000 -- ech\" does not offer echo"
fi

# Every option a program's --help names is offered.
for program in smc sensors-host smcd smcfs smcfan smcfand; do
    offered=$(complete_line "$program -")
    missing=()
    for option in $("$program" --help 2>/dev/null | grep -oE '(^|[[:space:],|[])--?[a-zA-Z][a-zA-Z-]*' | grep -oE -- '--?[a-zA-Z][a-zA-Z-]*' | sort -u); do
        grep -qxF -- "$option" <<<"$offered" || missing+=("$option")
    done
    if ((${#missing[@]})); then
        failed=$((failed + 1))
        echo "FAIL: $program: --help names ${missing[*]}, which the completion does not offer"
    else
        passed=$((passed + 1))
    fi
done

echo "$passed passed, $failed failed"
((failed == 0))
