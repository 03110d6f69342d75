#!/usr/bin/env bash
# Installs what the build needs from Debian's packages, when it is missing.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev)
# sensors-host's monitoring: its HTTP server and JSON, promtool (Debian's
# prometheus package) to check what it exposes, tmux to test its live view.
packages+=(pkg-config libcpp-httplib-dev nlohmann-json3-dev prometheus tmux)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
