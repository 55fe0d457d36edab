#!/usr/bin/env bash
# Builds Halvane and runs it.
#
#   scripts/run.sh [--demo | --real-suite] [--no-build] [--build DIR]
#                  [the demo's options] [Halvane's options] [-- Halvane's arguments]
#   scripts/run.sh --which
#
# --demo          the demo venue (scripts/demo.sh): the suite's stand-ins, with folders,
#                 settings and a log of its own under build/demo; nothing of this user's
#                 settings or of a suite installed on this computer is read or changed.
# --real-suite    this user's settings and the suite installed on this computer.
# --which         prints what run.sh would start ("demo" or "real suite") and ends, without
#                 building.
# --no-build      starts what is built already: no package check, no build.
# --build DIR     the build folder (default: build in the source tree).
# --help          this text.
# Without --demo or --real-suite: the demo when this user has no Halvane settings and no
# suite is installed, the real suite otherwise; any of the demo's options chooses the demo.
#
# The demo's options (scripts/demo.sh --help):
#   --dir DEMO_DIR  the demo's folder (default: DIR/demo)
#   --port N        the controller port written into fresh demo settings (default 11025)
#   --print-env     prepare the demo's folder, print its environment and end
#
# Halvane's options (Halvane --help): --offscreen, --version, and Qt's own options
# (-platform NAME, -display NAME, -style NAME, ...). Anything after "--" goes to Halvane
# unchecked ("scripts/run.sh -- --help" shows Halvane's help). Anything else is refused.
#
# Without a display (and no platform chosen) Halvane is started with its --offscreen
# option; the suite's programs it starts are left to find their own way.
set -euo pipefail
caller="$PWD"
cd "$(dirname "$0")/.."

# A folder given on the command line, relative to where run.sh was started.
absolute() {
    case "$1" in
        /*) printf '%s' "$1" ;;
        *) printf '%s' "$caller/$1" ;;
    esac
}

die() {
    echo "run.sh: $*" >&2
    echo "Try 'scripts/run.sh --help' for what it takes." >&2
    exit 2
}

# Qt's options that Halvane leaves to Qt (as src/app/CommandLine.cpp lists them): those
# that take a value, and those that do not.
qt_valued=" platform platformpluginpath platformtheme plugin qwindowgeometry qwindowicon qwindowtitle session qmljsdebugger display geometry name title icon visual style stylesheet "
qt_flags=" reverse nograb dograb sync widgetcount testability "

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
which=0
build_step=1
build=build
demo_args=()      # the demo's options
halvane_args=()   # Halvane's options and arguments
set_mode() {
    if [ "$mode" != auto ] && [ "$mode" != "$1" ]; then die "--demo and --real-suite exclude each other"; fi
    mode="$1"
}
while [ $# -gt 0 ]; do
    option="$1"
    case "$option" in
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        --demo) set_mode demo ;;
        --real-suite) set_mode real ;;
        --which) which=1 ;;
        --no-build) build_step=0 ;;
        --build)
            [ $# -ge 2 ] || die "--build needs a folder"
            build="$(absolute "$2")"; shift ;;
        --dir)
            [ $# -ge 2 ] || die "--dir needs a value (it is the demo's: scripts/demo.sh --help)"
            demo_args+=("$option" "$(absolute "$2")"); shift ;;
        --port)
            [ $# -ge 2 ] || die "--port needs a value (it is the demo's: scripts/demo.sh --help)"
            demo_args+=("$option" "$2"); shift ;;
        --print-env) demo_args+=("$option") ;;
        --offscreen|--version|-v) halvane_args+=("$option") ;;
        --) shift; halvane_args+=("$@"); break ;;
        -*)
            # Qt's options, with one dash or two, the value after "=" or as the next argument.
            name="${option#-}"; name="${name#-}"; name="${name%%=*}"
            if [[ "$qt_flags" == *" $name "* ]] && [[ "$option" != *=* ]]; then
                halvane_args+=("$option")
            elif [[ "$qt_valued" == *" $name "* ]]; then
                if [[ "$option" == *=* ]]; then
                    halvane_args+=("$option")
                else
                    [ $# -ge 2 ] || die "$option needs a value (it is Qt's: Halvane --help)"
                    halvane_args+=("$option" "$2"); shift
                fi
            else
                die "unknown option '$option': neither run.sh, the demo nor Halvane takes it"
            fi ;;
        *) die "'$option' is neither an option nor a value of one (Halvane takes no other arguments)" ;;
    esac
    shift
done
if [ ${#demo_args[@]} -gt 0 ]; then
    [ "$mode" != real ] || die "${demo_args[0]} is an option of the demo; it does not go with --real-suite"
    mode=demo
fi

if [ "$which" = 1 ]; then
    [ "$mode" != auto ] || mode="$(choice)"
    if [ "$mode" = demo ]; then echo demo; else echo "real suite"; fi
    exit 0
fi

if [ "$mode" = auto ]; then
    mode="$(choice)"
    if [ "$mode" = demo ]; then
        echo "No Halvane settings and no suite here: the demo venue (scripts/run.sh --real-suite for this user's settings)."
    else
        echo "This user's settings and suite (scripts/run.sh --demo for the demo venue)."
    fi
fi

if [ "$build_step" = 1 ]; then
    scripts/setup.sh
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    # The program, the suite components it creates (message queue, player, ...), the suite's
    # stand-ins and the controller console.
    cmake --build "$build" --target Halvane suite_components suite_programs halvane-panel
fi

if [ "$mode" = demo ]; then
    exec scripts/demo.sh --build "$build" "${demo_args[@]}" -- "${halvane_args[@]}"
fi
# True when Halvane's options choose its platform or display themselves.
platform_chosen() {
    local argument name
    for argument in "${halvane_args[@]}"; do
        [[ "$argument" == -* ]] || continue
        name="${argument#-}"; name="${name#-}"; name="${name%%=*}"
        case "$name" in offscreen|platform|display) return 0 ;; esac
    done
    return 1
}
# Without a display Halvane runs offscreen through its own option, not through Qt's
# variable: the variable would reach every program Halvane starts, the suite's too.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ] && ! platform_chosen; then
    halvane_args=(--offscreen "${halvane_args[@]}")
fi
exec "$build/bin/Halvane" "${halvane_args[@]}"
