#!/usr/bin/env bash
# Builds Halvane and runs it.
#
#   scripts/run.sh [--demo | --real-suite] [Halvane's options]
#   scripts/run.sh --which
#
# --demo        the demo venue (scripts/demo.sh): the suite's stand-ins, with folders,
#               settings and a log of its own under build/demo; nothing of this user's
#               settings or of a suite installed on this computer is read or changed.
# --real-suite  this user's settings and the suite installed on this computer.
# --which       prints what run.sh would start without a switch ("demo" or "real suite")
#               and ends, without building.
# Without either: the demo when this user has no Halvane settings and no suite is
# installed, the real suite otherwise. Without a display Halvane runs on Qt's offscreen
# platform.
set -euo pipefail
cd "$(dirname "$0")/.."

# The demo when this user has no Halvane settings and no suite is installed.
choice() {
    local config="${XDG_CONFIG_HOME:-$HOME/.config}/Tervanix"
    if [ -e "$config/Halvane.conf" ] || [ -d "/opt/Zandrel Software" ] ||
        grep -qs '^Setup_Path=' "$config/ZandrelSoftware.conf" /etc/xdg/Tervanix/ZandrelSoftware.conf; then
        echo real
    else
        echo demo
    fi
}

mode=auto
case "${1:-}" in
    --demo) mode=demo; shift ;;
    --real-suite) mode=real; shift ;;
    --which)
        if [ "$(choice)" = demo ]; then echo demo; else echo "real suite"; fi
        exit 0 ;;
esac

if [ "$mode" = auto ]; then
    mode="$(choice)"
    if [ "$mode" = demo ]; then
        echo "No Halvane settings and no suite here: the demo venue (scripts/run.sh --real-suite for this user's settings)."
    else
        echo "This user's settings and suite (scripts/run.sh --demo for the demo venue)."
    fi
fi

scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The program, the suite components it creates (message queue, player, ...), the suite's
# stand-ins and the controller console.
cmake --build build --target Halvane suite_components suite_programs halvane-panel

if [ "$mode" = demo ]; then
    exec scripts/demo.sh --build build -- "$@"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
fi
exec build/bin/Halvane "$@"
