#!/bin/sh
# The daemon's units, its group and the package's maintainer scripts:
#   system_service_test.sh UNIT_DIR SYSUSERS_FILE DEBIAN_DIR
# UNIT_DIR holds smcd.service (pointing at a built smcd) and smcd.socket.
set -u

units=$1 debian=$3
# Absolute: with --root, systemd-sysusers reads a relative name inside that root.
sysusers=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
failures=0 passed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pass() { passed=$((passed + 1)); }
fail() { failures=$((failures + 1)); echo "FAIL: $*"; }

# systemd-analyze verify says what it ignores on standard error and may
# still exit 0: any word about our units fails. Other units it loads along
# the way (the container's own) are not ours to judge.
if command -v systemd-analyze >/dev/null 2>&1; then
    (cd "$units" && systemd-analyze verify --man=no smcd.service smcd.socket) >"$work/verify" 2>&1
    status=$?
    complaints=$(grep smcd "$work/verify")
    if [ "$status" -ne 0 ] || [ -n "$complaints" ]; then
        fail "systemd-analyze verify (status $status):"
        cat "$work/verify"
    else
        pass
    fi
else
    echo "SKIP: systemd-analyze verify: no systemd-analyze"
fi

# The group, made by systemd-sysusers into an empty root: a system group.
if command -v systemd-sysusers >/dev/null 2>&1; then
    mkdir -p "$work/root/etc"
    if systemd-sysusers --root="$work/root" "$sysusers" >/dev/null 2>&1 &&
        awk -F: '$1 == "smc" && $3 < 1000 { found = 1 } END { exit !found }' "$work/root/etc/group"; then
        pass
    else
        fail "systemd-sysusers did not create the system group smc"
    fi
else
    echo "SKIP: sysusers: no systemd-sysusers"
fi

# The maintainer scripts parse as POSIX sh (dash is Debian's /bin/sh).
for script in postinst prerm postrm; do
    if dash -n "$debian/$script"; then pass; else fail "$script does not parse"; fi
done
if command -v checkbashisms >/dev/null 2>&1; then
    if checkbashisms "$debian/postinst" "$debian/prerm" "$debian/postrm"; then pass; else fail "checkbashisms"; fi
fi

# postinst and prerm against stand-ins for the system's commands, which
# log what they are asked: the group is made once and only when missing,
# and the daemon is never enabled or started by the package.
stubs=$work/stubs
mkdir -p "$stubs"
for command in addgroup systemd-sysusers systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"$LOG"\n' "$command" >"$stubs/$command"
done
printf '#!/bin/sh\necho "getent $*" >>"$LOG"\n[ -n "${GROUP_EXISTS:-}" ]\n' >"$stubs/getent"
chmod +x "$stubs"/*

# script, argument, whether the group exists, expected status, expected log
# with the getent lookup left out.
while IFS='|' read -r script argument exists expected log; do
    : >"$work/log"
    LOG=$work/log GROUP_EXISTS=$exists PATH="$stubs:$PATH" dash "$debian/$script" "$argument" >/dev/null 2>&1
    status=$?
    got=$(grep -v '^getent ' "$work/log" | tr '\n' ';')
    if [ "$status" -ne "$expected" ] || [ "$got" != "$log" ]; then
        fail "$script $argument (group exists: ${exists:-no}): status $status, ran \"$got\"; expected $expected, \"$log\""
    else
        pass
    fi
    if grep -Eq 'systemctl .*(enable|start)' "$work/log"; then
        fail "$script $argument enables or starts the daemon"
    fi
done <<'CASES'
postinst|configure||0|addgroup --system smc;
postinst|configure|yes|0|
postinst|abort-upgrade||0|
postinst|bogus||1|
prerm|remove||0|
prerm|upgrade||0|
prerm|bogus||1|
postrm|remove||0|
postrm|upgrade||0|
postrm|bogus||1|
CASES

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
