#!/usr/bin/env bash
# Builds Halvane and runs it. Without a display it runs on Qt's offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The program and the suite components it creates (message queue, player, ...).
cmake --build build --target Halvane suite_components suite_programs
# Without a suite install folder of its own, this user's suite is the stand-ins just built.
suite_conf="${XDG_CONFIG_HOME:-$HOME/.config}/Tervanix/ZandrelSoftware.conf"
if ! grep -qs '^\[ZandrelSetup_Params\]' "$suite_conf"; then
    mkdir -p "$(dirname "$suite_conf")"
    printf '\n[ZandrelSetup_Params]\nSetup_Path=%s\n' "$PWD/build/bin/Zandrel Software" >> "$suite_conf"
    echo "The suite's install folder is now $PWD/build/bin/Zandrel Software (in $suite_conf)."
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
fi
exec build/bin/Halvane "$@"
