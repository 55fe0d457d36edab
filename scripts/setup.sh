#!/usr/bin/env bash
# Installs what Halvane needs to build, run and test on Debian. Safe to run again:
# nothing is downloaded when every package is already there.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-svg-dev
    libedit-dev pkgconf
    libssl-dev
    xvfb xauth x11-utils trayer xdotool
    dpkg-dev fakeroot desktop-file-utils
    strace iproute2 util-linux
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    echo "Installing: ${missing[*]}"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
