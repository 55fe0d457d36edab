#!/usr/bin/env bash
# What scripts/run.sh starts without a switch: the demo for a user without Halvane settings
# on a computer without a suite, this user's settings and suite otherwise.
#
#   run_which_test.sh PATH/TO/scripts/run.sh
set -euo pipefail
run="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT

# A suite installed on this computer makes every case the real suite.
without_settings=demo
if [ -d "/opt/Zandrel Software" ] || grep -qs '^Setup_Path=' /etc/xdg/Tervanix/ZandrelSoftware.conf; then
    without_settings="real suite"
fi

failures=0
# check NAME EXPECTED HOME [XDG_CONFIG_HOME, unset when not given]
check() {
    local name="$1" expected="$2" home="$3" got
    if [ $# -ge 4 ]; then
        got="$(env HOME="$home" XDG_CONFIG_HOME="$4" bash "$run" --which)"
    else
        got="$(env -u XDG_CONFIG_HOME HOME="$home" bash "$run" --which)"
    fi
    if [ "$got" = "$expected" ]; then
        echo "ok: $name: $got"
    else
        echo "FAILED: $name: '$got', expected '$expected'"
        failures=$((failures + 1))
    fi
}
# a fresh home with the given files (path=content ...)
home() {
    local home file
    home="$(mktemp -d "$root/home.XXXXXX")"
    for file in "$@"; do
        mkdir -p "$(dirname "$home/${file%%=*}")"
        printf '%s\n' "${file#*=}" >"$home/${file%%=*}"
    done
    echo "$home"
}

check "an empty home" "$without_settings" "$(home)"
check "an empty home and an empty XDG_CONFIG_HOME" "$without_settings" "$(home)" "$root/empty-config"
check "Halvane.conf in ~/.config" "real suite" "$(home ".config/Tervanix/Halvane.conf=[Settings]")"
h="$(home "cfg/Tervanix/Halvane.conf=[Settings]")"
check "Halvane.conf in XDG_CONFIG_HOME" "real suite" "$h" "$h/cfg"
check "Halvane.conf in ~/.config, another XDG_CONFIG_HOME" "$without_settings" \
    "$(home ".config/Tervanix/Halvane.conf=[Settings]")" "$root/empty-config"
check "Setup_Path in ZandrelSoftware.conf" "real suite" \
    "$(home ".config/Tervanix/ZandrelSoftware.conf=[ZandrelSetup_Params]
Setup_Path=/srv/zandrel")"
check "ZandrelSoftware.conf without Setup_Path" "$without_settings" \
    "$(home ".config/Tervanix/ZandrelSoftware.conf=[Players]
size=0")"

[ "$failures" = 0 ]
