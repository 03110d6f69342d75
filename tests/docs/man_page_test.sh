#!/usr/bin/env bash
# One man page: mandoc's lint finds nothing at warning level, man-db renders
# it without a complaint, and, given the program, every option that the
# program's --help names is in the page.
# Usage: man_page_test.sh PAGE [PROGRAM]
set -uo pipefail

page=$1
program=${2-}
failed=0
fail()
{
    printf '%s: %s\n' "$(basename "$page")" "$1"
    failed=1
}

if ! command -v mandoc >/dev/null; then
    echo "mandoc is not installed (bash scripts/setup.sh installs it)"
    exit 1
fi
lint=$(mandoc -T lint -W warning "$page" 2>&1)
status=$?
[[ $status -eq 0 && -z $lint ]] || fail "mandoc -T lint (status $status): $lint"

if command -v man >/dev/null; then
    complaints=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    status=$?
    [[ $status -eq 0 && -z $complaints ]] || fail "man --warnings -l (status $status): $complaints"
fi

if [[ $program ]]; then
    # The page as a reader sees it, without the overstrikes of bold text.
    text=$(mandoc -T ascii "$page" | sed 's/.\x08//g')
    options=$("$program" --help 2>/dev/null | grep -oE '(^|[[:space:],|[])--?[a-zA-Z][a-zA-Z-]*' |
        grep -oE -- '--?[a-zA-Z][a-zA-Z-]*' | sort -u)
    [[ $options ]] || fail "$program --help names no option"
    for option in $options; do
        grep -qE -- "(^|[^a-zA-Z-])$option([^a-zA-Z-]|\$)" <<<"$text" ||
            fail "$program --help names $option, which the page does not"
    done
fi

if ((failed)); then
    echo "0 passed, 1 failed"
    exit 1
fi
echo "1 passed, 0 failed"
