#!/bin/sh
# The daemon's units, its group and the package's maintainer scripts:
#   system_service_test.sh UNIT_DIR SYSUSERS_FILE DEBIAN_DIR
# UNIT_DIR holds the services (pointing at the built programs), smcd.socket
# and the textfile timer; smcfand.service is verified on its own.
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
    (cd "$units" && systemd-analyze verify --man=no smcd.service smcd.socket sensors-host.service \
        sensors-host-textfile.service sensors-host-textfile.timer) >"$work/verify" 2>&1
    status=$?
    complaints=$(grep -E 'smcd|sensors-host' "$work/verify")
    if [ "$status" -ne 0 ] || [ -n "$complaints" ]; then
        fail "systemd-analyze verify (status $status):"
        cat "$work/verify"
    else
        pass
    fi
else
    echo "SKIP: systemd-analyze verify: no systemd-analyze"
fi

# The group and the controller's user, made by systemd-sysusers into an
# empty root: system ones, the user a member of the group.
if command -v systemd-sysusers >/dev/null 2>&1; then
    mkdir -p "$work/root/etc"
    if systemd-sysusers --root="$work/root" "$sysusers" >/dev/null 2>&1 &&
        awk -F: '$1 == "smc" && $3 < 1000 && $4 ~ /(^|,)smcfand(,|$)/ { found = 1 } END { exit !found }' \
            "$work/root/etc/group" &&
        awk -F: '$1 == "smcfand" && $3 < 1000 { found = 1 } END { exit !found }' "$work/root/etc/passwd"; then
        pass
    else
        fail "systemd-sysusers did not create the system group smc and its member smcfand"
    fi
else
    echo "SKIP: sysusers: no systemd-sysusers"
fi

# The units agree on the fan controller: smcd lets claim the fans the user
# that smcfand runs as, and nobody else but root.
controller=$(sed -n 's/^ExecStart=.* --controller \([^ ]*\).*/\1/p' "$units/smcd.service")
user=$(sed -n 's/^User=//p' "$units/smcfand.service")
if [ -n "$controller" ] && [ "$controller" = "$user" ]; then
    pass
else
    fail "smcd.service lets \"$controller\" claim the fans; smcfand.service runs as \"$user\""
fi

# The maintainer scripts parse as POSIX sh (dash is Debian's /bin/sh).
for script in postinst prerm postrm; do
    if dash -n "$debian/$script"; then pass; else fail "$script does not parse"; fi
done
if command -v checkbashisms >/dev/null 2>&1; then
    if checkbashisms "$debian/postinst" "$debian/prerm" "$debian/postrm"; then pass; else fail "checkbashisms"; fi
fi

# The maintainer scripts against stand-ins for the system's commands, which
# log what they are asked, and in a root of their own (DPKG_ROOT), so that
# what this machine has installed or runs changes nothing: the group is made
# once and only when missing (so is the user), and the daemon is never
# enabled or started by the package.
stubs=$work/stubs
mkdir -p "$stubs"
for command in addgroup adduser systemd-sysusers systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>"$LOG"\n' "$command" >"$stubs/$command"
done
printf '#!/bin/sh\necho "getent $*" >>"$LOG"\n[ -n "${GROUP_EXISTS:-}" ]\n' >"$stubs/getent"
chmod +x "$stubs"/*

# script, argument, whether the group exists, what the root holds (sysusers:
# the package's sysusers file; systemd: systemd runs), expected status,
# expected log (ROOT for the root) with the getent lookup left out.
while IFS='|' read -r script argument exists holds expected log; do
    : >"$work/log"
    root=$work/dpkg-root
    rm -rf "$root"
    mkdir -p "$root"
    for what in $holds; do
        case $what in
        sysusers) mkdir -p "$root/usr/lib/sysusers.d" && : >"$root/usr/lib/sysusers.d/smcd.conf" ;;
        systemd) mkdir -p "$root/run/systemd/system" ;;
        esac
    done
    LOG=$work/log GROUP_EXISTS=$exists DPKG_ROOT=$root PATH="$stubs:$PATH" dash "$debian/$script" "$argument" \
        >/dev/null 2>&1
    status=$?
    got=$(grep -v '^getent ' "$work/log" | sed "s|$root|ROOT|g" | tr '\n' ';')
    if [ "$status" -ne "$expected" ] || [ "$got" != "$log" ]; then
        fail "$script $argument (group exists: ${exists:-no}; root holds: ${holds:-nothing}): status $status," \
            "ran \"$got\"; expected $expected, \"$log\""
    else
        pass
    fi
    if grep -Eq '(systemctl|deb-systemd-invoke) .*(enable|start)' "$work/log"; then
        fail "$script $argument enables or starts the daemon"
    fi
done <<'CASES'
postinst|configure|||0|addgroup --system smc;adduser --system --group --no-create-home --home /nonexistent smcfand;adduser smcfand smc;
postinst|configure||sysusers|0|systemd-sysusers --root=ROOT ROOT/usr/lib/sysusers.d/smcd.conf;
postinst|configure|yes|sysusers systemd|0|systemctl daemon-reload;
postinst|configure|yes||0|
postinst|abort-upgrade|||0|
postinst|bogus|||1|
prerm|remove|||0|
prerm|remove||systemd|0|deb-systemd-invoke stop sensors-host-textfile.timer sensors-host-textfile.service sensors-host.service smcfand.service smcd.socket smcd.service;
prerm|upgrade||systemd|0|
prerm|bogus|||1|
postrm|remove|||0|
postrm|remove||systemd|0|systemctl daemon-reload;
postrm|upgrade|||0|
postrm|bogus|||1|
CASES

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
