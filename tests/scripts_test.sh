#!/usr/bin/env bash
# The project's scripts, in a copy of scripts/ beside stand-ins for the
# commands they run (apt-get, dpkg-query, cmake, ctest, the fuzz programs):
#   scripts_test.sh SCRIPTS_DIR
set -u
scripts=$1
failures=0 passed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pass() { passed=$((passed + 1)); }
fail() { failures=$((failures + 1)); echo "FAIL: $*"; }

tree=$work/tree
stubs=$work/stubs
mkdir -p "$tree/scripts" "$tree/build/fuzz/bin" "$stubs"
cp "$scripts"/*.sh "$tree/scripts/"
export LOG=$work/log
# Each stand-in logs its arguments; BEHAVIOUR says how each answers.
stub() {
    printf '#!/bin/sh\necho "%s $*" >>"$LOG"\n%s\n' "$1" "$2" >"$stubs/$1"
    chmod +x "$stubs/$1"
}
stub apt-get 'exit 0'
stub dpkg-query '[ -z "${INSTALLED:-}" ] || echo "install ok installed"'
# The sanitize build fails; the fuzz tests have one failure.
stub cmake 'case "$*" in "--build --preset sanitize") exit 1 ;; esac'
stub ctest 'case "$*" in
*"--preset default"*) echo "100% tests passed, 0 tests failed out of 5" ;;
*"--preset fuzz"*) echo "90% tests passed, 1 tests failed out of 10"; exit 8 ;;
esac'
stub nproc 'echo 2'
printf '#!/bin/sh\necho "profile_fuzzer $*" >>"$LOG"\n' >"$tree/build/fuzz/bin/profile_fuzzer"
chmod +x "$tree/build/fuzz/bin/profile_fuzzer"

# setup.sh waits for another install's lock instead of failing at once.
: >"$LOG"
PATH="$stubs:$PATH" bash "$tree/scripts/setup.sh" >/dev/null 2>&1
for command in update install; do
    if grep -q "^apt-get -o DPkg::Lock::Timeout=600 $command" "$LOG"; then
        pass
    else
        fail "setup.sh runs apt-get $command without waiting for the lock: $(grep apt-get "$LOG" | tr '\n' ';')"
    fi
done

# test.sh goes on past a failed build and sums up every preset.
: >"$LOG"
INSTALLED=yes PATH="$stubs:$PATH" bash "$tree/scripts/test.sh" >"$work/out" 2>&1
status=$?
last=$(tail -n 1 "$work/out")
expected='test.sh: 14 passed, 2 failed (failed: the sanitize build, 1 of the fuzz tests) in '
if [[ $status -ne 0 && $last == "$expected"* ]]; then pass; else fail "test.sh ended with status $status: '$last'"; fi
for ran in "ctest --preset default" "ctest --preset fuzz" "profile_fuzzer"; do
    if grep -q "^$ran" "$LOG"; then pass; else fail "test.sh did not run $ran"; fi
done
if grep -q "^ctest --preset sanitize" "$LOG"; then fail "test.sh ran the tests of a failed build"; else pass; fi

# run.sh says the machine is emulated and shows commands that run as
# printed from the project's root: each names the machine it reads.
mkdir -p "$tree/build/default/bin"
for program in smc sensors-host; do
    printf '#!/bin/sh\necho "%s SMC_SERVICE=$SMC_SERVICE $*" >>"$LOG"\n' "$program" >"$tree/build/default/bin/$program"
    chmod +x "$tree/build/default/bin/$program"
done
INSTALLED=yes PATH="$stubs:$PATH" bash "$tree/scripts/run.sh" >"$work/out" 2>/dev/null
if grep -q '^# An emulated machine' "$work/out"; then pass; else fail "run.sh does not say the machine is emulated"; fi
: >"$LOG"
(cd "$tree" && unset SMC_SERVICE && sed -n 's/^\$ //p' "$work/out" | bash) 2>"$work/errors"
shown=$(grep -c '^\$ ' "$work/out")
ran=$(grep -c ' SMC_SERVICE=[^ ]' "$LOG")
if [[ $shown -ge 3 && $ran -eq $shown ]]; then pass; else fail "run.sh's $shown commands ran $ran times as printed: $(cat "$work/errors")"; fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
