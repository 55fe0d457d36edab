#!/usr/bin/env bash
# Starts a built Halvane in the demo venue: the suite's stand-ins built with it as the
# suite, and recorder folders, an archive, settings, a referee console state and a log of
# the demo's own, all under one folder. Nothing outside that folder is read or written:
# Halvane's settings and the suite's install folder live in the demo's configuration
# folders, not in ~/.config or /etc/xdg.
#
#   scripts/demo.sh [--build DIR] [--dir DEMO_DIR] [--port N] [--print-env] [--] [Halvane's options]
#
#   --build DIR    the build folder (default: build next to this script's folder)
#   --dir DEMO_DIR the demo's folder (default: DIR/demo)
#   --port N       the controller port written into fresh settings (default 1025)
#   --print-env    prepare the folder, print the demo's environment and end
#   --help         this text
#
# The demo's folder:
#   config/Tervanix/Halvane.conf          Halvane's settings (written once; the settings
#                                         dialog changes them as usual)
#   config/Tervanix/ZandrelSoftware.conf  the suite: its install folder (Setup_Path, the
#                                         stand-ins under DIR/bin/Zandrel Software) and player
#   recorder/cam1, recorder/cam2          the recorder's folders (what it records, for real)
#   archive/                              the video archive (refresh.csv, the games)
#   referee/                              the referee console's last game
#   bin/                                  Halvane (a link to the build's) and its log files
#
# Without a display Halvane runs on Qt's offscreen platform: there is no icon to start a
# game from, so the demo resumes its current game from the archive (the last one started,
# or the sample game) with the referee console and the recorder running, for a controller
# to query.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build"
demo=""
port=1025
print_env=0
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build="$(cd "$2" && pwd)"; shift 2 ;;
        --dir) demo="$2"; shift 2 ;;
        --port) port="$2"; shift 2 ;;
        --print-env) print_env=1; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ -n "$demo" ] || demo="$build/demo"
mkdir -p "$demo"
demo="$(cd "$demo" && pwd)"

program="$build/bin/Halvane"
suite="$build/bin/Zandrel Software"
if [ ! -x "$program" ] || [ ! -x "$suite/Ferrolith/Tamberlo" ]; then
    echo "demo.sh: build Halvane and the suite first (cmake --build $build --target Halvane suite_components suite_programs)" >&2
    exit 1
fi

mkdir -p "$demo"/{config/Tervanix,system,state,recorder/cam1,recorder/cam2,archive,referee,bin}

# Halvane from the demo's own folder, so that its log files are the demo's; its components
# and language file beside it, as in the build folder.
ln -f "$program" "$demo/bin/Halvane" 2>/dev/null || cp -f "$program" "$demo/bin/Halvane"
ln -sfn "$build/bin/components" "$demo/bin/components"
for language in "$build"/bin/Halvane_0x*.lng; do
    [ -e "$language" ] && ln -sf "$language" "$demo/bin/"
done

# Quoted for the settings files (a path may hold blanks or commas).
quoted() { printf '"%s"' "${1//\"/\\\"}"; }

# The suite: written on every start, so that it follows the build folder.
cat >"$demo/config/Tervanix/ZandrelSoftware.conf" <<EOF
[ZandrelSetup_Params]
Setup_Path=$(quoted "$suite")

[Players]
1\\DisplayName=Demo player
1\\RegName=Lumentra.Main
1\\Id={6F1A0C01-0000-4000-8000-00000000D3E0}
1\\Param=0
size=1
EOF

# Halvane's settings: only the first time, so that what the operator changes stays.
settings="$demo/config/Tervanix/Halvane.conf"
if [ ! -e "$settings" ]; then
    cat >"$settings" <<EOF
[Settings]
Port=$port
PlayerRegName=Lumentra.Main
CopyToPath=$(quoted "$demo/archive")
CopyFromPathList=$(quoted "$demo/recorder/cam1;$demo/recorder/cam2")
EOF
fi

export XDG_CONFIG_HOME="$demo/config"
export XDG_CONFIG_DIRS="$demo/system"
export XDG_STATE_HOME="$demo/state"
# Apart from any other Halvane and suite on this computer.
export HALVANE_INSTANCE_NAME="${HALVANE_INSTANCE_NAME:-Halvane-demo}"
export ZANDREL_QUEUE_SCOPE="${ZANDREL_QUEUE_SCOPE:-halvane-demo}"
# The stand-ins started by the workflows: the recorder records into the demo's folders,
# the referee console keeps its last game in the demo, the storage manager ends by itself
# after a while (or by its button).
export VORTAMO_ROOTS="$demo/recorder/cam1;$demo/recorder/cam2"
export TAMBERLO_STATE_DIR="$demo/referee"
export OSTRIMUND_EXIT_AFTER_MS="${OSTRIMUND_EXIT_AFTER_MS:-8000}"
# Small videos (160 KB a second each), so that the demo's folder stays small and the copy
# to the archive is quick.
export VORTAMO_GROW_BYTES="${VORTAMO_GROW_BYTES:-16384}"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
fi

if [ "$print_env" = 1 ]; then
    for name in XDG_CONFIG_HOME XDG_CONFIG_DIRS XDG_STATE_HOME HALVANE_INSTANCE_NAME \
                ZANDREL_QUEUE_SCOPE VORTAMO_ROOTS TAMBERLO_STATE_DIR OSTRIMUND_EXIT_AFTER_MS VORTAMO_GROW_BYTES; do
        printf '%s=%s\n' "$name" "${!name}"
    done
    printf 'HALVANE_DEMO_PROGRAM=%s\n' "$demo/bin/Halvane"
    exit 0
fi

echo "Halvane's demo venue: $demo (settings in config/, archive in archive/, log in bin/)"
if [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
    exec "$demo/bin/Halvane" "$@"
fi

# Offscreen: Halvane resumes the game the archive names at its start (the sample game,
# started this minute, when the demo has none yet), and the referee console runs with its
# last game open, so that the game's periods and events reach Halvane and a controller.
# A description written here is taken away again at the end, so that the next start on a
# display finds the archive as it was.
written=""
if [ ! -e "$demo/archive/refresh.csv" ]; then
    now="$(date +%Y-%m-%d-%H-%M-%S)"
    printf '%s; %s\r\n' "${now%-*}" "$now" >"$demo/archive/refresh.csv"
    written="$(cat "$demo/archive/refresh.csv")"
fi
echo "No display: Halvane runs offscreen; ask it with: $build/bin/halvane-panel -p $(sed -n 's/^Port=//p' "$settings" | head -n 1) list game \"period 1\""
"$suite/Ferrolith/Tamberlo" -openlast >"$demo/referee/console.txt" 2>&1 &
console=$!
# The recorder too, not recording, so that Halvane's questions to it are answered.
"$suite/Vortamo/Vortamo" >"$demo/recorder/recorder.txt" 2>&1 &
recorder=$!
# Both hold their queues before Halvane asks them (at most 10 s).
for _ in $(seq 100); do
    grep -qs '^ready' "$demo/referee/console.txt" && grep -qs '^ready' "$demo/recorder/recorder.txt" && break
    sleep 0.1
done
"$demo/bin/Halvane" "$@" &
halvane=$!
trap 'kill -TERM "$halvane" 2>/dev/null || true' INT TERM HUP
status=0
while kill -0 "$halvane" 2>/dev/null; do
    wait "$halvane" && status=0 || status=$?
done
kill "$console" "$recorder" 2>/dev/null || true
wait "$console" "$recorder" 2>/dev/null || true
if [ -n "$written" ] && [ "$(cat "$demo/archive/refresh.csv" 2>/dev/null)" = "$written" ]; then
    rm -f "$demo/archive/refresh.csv"
fi
exit "$status"
