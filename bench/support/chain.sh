# The emulated machine standing where a real one stands, for the benchmark
# scripts that source this: smcd serving a profile, and smcfs serving the
# driver's files at the driver's own path, where lm-sensors and
# node_exporter look. Everything runs in a mount namespace of the script's
# own, so nothing is left mounted when it ends.
# The sourcing script calls chain_namespace "$@" first, then chain_start.

device=/sys/devices/platform/applesmc.768
pids=()
work=
chain_smcd_args=()

chain_cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
    [[ -z $work ]] || rm -rf "$work"
}
fail() {
    echo "$(basename "$0"): $*" >&2
    for log in "$work"/*.log; do [[ -s $log ]] && sed "s|^|  $(basename "$log"): |" "$log" >&2; done
    exit 1
}
wait_for() {  # test arguments...: true once the test holds, within 5 s
    for _ in $(seq 100); do test "$@" && return 0; sleep 0.05; done
    return 1
}

# Runs the calling script again, with the same arguments, in a mount
# namespace of its own; exits 77 where that cannot be done.
chain_namespace() {
    [[ -n ${SMC_CHAIN_NAMESPACE:-} ]] && return 0
    if [[ $(id -u) != 0 ]] || [[ ! -c /dev/fuse ]] || ! unshare -m true 2>/dev/null; then
        echo "$(basename "$0"): needs root, /dev/fuse and a mount namespace (unshare -m) to mount smcfs; skipped" >&2
        exit 77
    fi
    SMC_CHAIN_NAMESPACE=1 exec unshare -m bash "$0" "$@"
    exit 77
}

# chain_start BIN PROFILE: smcd serving PROFILE at $work/smcd.sock, with the
# options in the array chain_smcd_args when set. Sets work and chain_service.
chain_start() {
    local bin=$1 profile=$2
    work=$(mktemp -d)
    trap chain_cleanup EXIT
    mount --make-rprivate / || fail "cannot make the mounts private"
    # Empty stand-ins for the sysfs directories, which cannot be added to.
    mount -t tmpfs smc-bench /sys/devices/platform && mount -t tmpfs smc-bench /sys/class &&
        mkdir "$device" /sys/class/hwmon || fail "cannot stand in for sysfs"
    "$bin/smcd" --socket "$work/smcd.sock" --service "$profile" "${chain_smcd_args[@]}" >"$work/smcd.log" 2>&1 &
    pids+=($!)
    wait_for -S "$work/smcd.sock" || fail "smcd did not start"
    chain_service=unix:$work/smcd.sock
}

# chain_mount BIN: smcfs over $chain_service at $device, its hwmon directory
# in /sys/class/hwmon (after chain_start, and after anything the script puts
# between).
chain_mount() {
    SMC_SERVICE=$chain_service "$1/smcfs" -f "$device" 2>"$work/smcfs.log" &
    pids+=($!)
    wait_for -e "$device/key_count" || fail "smcfs did not mount"
    ln -s "$device/hwmon/hwmon0" /sys/class/hwmon/hwmon0
}

# chain_mount_macsmc BIN: smcfs --macsmc over $chain_service, an Apple
# Silicon Mac's sysfs at $work/sys, its hwmon directory in /sys/class/hwmon.
# Sets sysroot.
chain_mount_macsmc() {
    sysroot=$work/sys
    mkdir "$sysroot"
    SMC_SERVICE=$chain_service "$1/smcfs" -f --macsmc --fan-control "$sysroot" 2>"$work/smcfs.log" &
    pids+=($!)
    wait_for -e "$sysroot/class/hwmon/hwmon0/name" || fail "smcfs --macsmc did not mount"
    ln -s "$sysroot/class/hwmon/hwmon0" /sys/class/hwmon/hwmon0
}
