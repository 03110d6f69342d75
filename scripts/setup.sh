#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, when it is missing.
set -euo pipefail

# clang and its runtimes build the sanitizer and fuzz build of the fuzz preset;
# libfuse3-dev builds smcfs, fuse3 mounts it, lm-sensors reads it in the tests.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
          pkg-config libfuse3-dev fuse3 lm-sensors)
# sensors-host's monitoring: an HTTP client for its tests and JSON, promtool (Debian's
# prometheus package) to check what it exposes, tmux to test its live view.
packages+=(libcpp-httplib-dev nlohmann-json3-dev prometheus tmux)
# node_exporter's hwmon collector reads smcfs's Apple Silicon sysfs in the tests.
packages+=(prometheus-node-exporter)
# smcfand reads its TOML configuration with toml++.
packages+=(libtomlplusplus-dev)
# smcd and smcfand hear logind's sleep signal over the system bus with sd-bus;
# dbus-daemon gives the tests a private system bus.
packages+=(libsystemd-dev dbus-daemon)
# The Debian package: cpack's DEB generator finds its dependencies with
# dpkg-shlibdeps (dpkg-dev) and file; lintian checks the package in the tests.
packages+=(dpkg-dev file lintian)
# The man pages are checked with mandoc's lint and man-db; the completion is
# tested inside bash-completion.
packages+=(mandoc man-db bash-completion)
# systemd: systemd-analyze verify checks smcd's units, systemd-socket-activate
# passes smcd its socket, systemd-sysusers makes its group, in the tests.
packages+=(systemd)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Another install running holds dpkg's lock: wait for it (ten minutes)
    # rather than fail at once.
    lock=(-o DPkg::Lock::Timeout=600)
    apt-get "${lock[@]}" update -q
    apt-get "${lock[@]}" install -y -q --no-install-recommends "${missing[@]}"
fi
