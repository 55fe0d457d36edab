#!/usr/bin/env bash
# Starts a built Halvane in the demo venue: the suite's stand-ins built with it as the
# suite, and recorder folders, an archive, settings, a referee console state and a log of
# the demo's own, all under one folder. Nothing outside that folder is read or written:
# Halvane's settings and the suite's install folder live in the demo's configuration
# folders, not in ~/.config or /etc/xdg; without a session's runtime folder
# ($XDG_RUNTIME_DIR: a container shell, su, ssh without a session) the demo has one of its
# own in its folder. Each folder is a demo of its own (its single-instance name and queue
# scope are made from the folder's path), so two demos in two folders run side by side;
# a second demo in a folder where one runs says so and ends.
#
#   scripts/demo.sh [--build DIR] [--dir DEMO_DIR] [--port N] [--print-env] [--] [Halvane's options]
#
#   --build DIR    the build folder (default: build next to this script's folder)
#   --dir DEMO_DIR the demo's folder (default: DIR/demo)
#   --port N       the controller port (1-65535) written into fresh settings (default 11025,
#                  apart from the real Halvane's 1025)
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
#   run/                                  the runtime folder (queues, locks) when there is
#                                         no session's; cache/ the programs' caches
#   demo.lock                             held while the demo runs (it names its process)
#
# Without a display Halvane runs on Qt's offscreen platform: there is no icon to start a
# game from, so the demo resumes its current game from the archive (the last one started,
# or the sample game) with the referee console and the recorder running, for a controller
# to query.
#
# When Halvane ends (Exit from its menu, Ctrl+C, kill), the demo ends what it started: the
# referee console and the recorder it runs without a display, and the companions the
# workflows started (recorder, referee console, post-play capture).
set -euo pipefail

die() { echo "demo.sh: $*" >&2; exit 2; }
# The value of option $1, which must not be missing.
value_of() { [ $# -ge 2 ] || die "$1 needs a value (scripts/demo.sh --help)"; }

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build"
demo=""
port=11025
print_env=0
while [ $# -gt 0 ]; do
    case "$1" in
        --build) value_of "$@"; build="$(cd "$2" 2>/dev/null && pwd)" || die "no build folder $2"; shift 2 ;;
        --dir) value_of "$@"; demo="$2"; shift 2 ;;
        --port) value_of "$@"; port="$2"; shift 2 ;;
        --print-env) print_env=1; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if ! [[ "$port" =~ ^[0-9]{1,5}$ ]] || [ "$((10#$port))" -lt 1 ] || [ "$((10#$port))" -gt 65535 ]; then
    die "--port wants a number from 1 to 65535, not '$port'"
fi
port="$((10#$port))"
[ -n "$demo" ] || demo="$build/demo"
mkdir -p "$demo"
demo="$(cd "$demo" && pwd)"

# One demo per folder: the lock is held by this script and what it starts, so it is free
# again once all of it has ended, however it ended.
if [ "$print_env" = 0 ]; then
    exec {demo_lock}>>"$demo/demo.lock"
    if ! flock -n "$demo_lock"; then
        holder="$(head -n 1 "$demo/demo.lock" 2>/dev/null)"
        echo "demo.sh: a demo already runs in $demo${holder:+ (process $holder)}; end it first (Exit from its icon's menu, or Ctrl+C where it was started), or start this one in another folder with --dir" >&2
        exit 1
    fi
    printf '%s\n' "$$" >"$demo/demo.lock"
fi

program="$build/bin/Halvane"
suite="$build/bin/Zandrel Software"
if [ ! -x "$program" ] || [ ! -x "$suite/Ferrolith/Tamberlo" ]; then
    echo "demo.sh: build Halvane and the suite first (cmake --build $build --target Halvane suite_components suite_programs halvane-panel)" >&2
    exit 1
fi

mkdir -p "$demo"/{config/Tervanix,system,state,cache,recorder/cam1,recorder/cam2,archive,referee,bin}

# Halvane from the demo's own folder, so that its log files are the demo's; its components
# and language file beside it, as in the build folder.
ln -f "$program" "$demo/bin/Halvane" 2>/dev/null || cp -f "$program" "$demo/bin/Halvane"
ln -sfn "$build/bin/components" "$demo/bin/components"
for language in "$build"/bin/Halvane_0x*.lng; do
    [ -e "$language" ] && ln -sf "$language" "$demo/bin/"
done

# Quoted for the settings files (a path may hold blanks, commas or backslashes).
quoted() {
    local text="${1//\\/\\\\}"
    printf '"%s"' "${text//\"/\\\"}"
}

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
export XDG_CACHE_HOME="$demo/cache"
# The runtime folder: the session's, or, without one, the demo's own (private to the user,
# as a session's is).
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -p "$demo/run"
    chmod 700 "$demo/run"
    export XDG_RUNTIME_DIR="$demo/run"
fi
# Apart from any other Halvane and suite on this computer, and from a demo in another
# folder: names made from this folder's path (queues and locks are the user's own anyway).
folder_id="$(printf '%s' "$demo" | sha256sum | cut -c1-12)"
export HALVANE_INSTANCE_NAME="${HALVANE_INSTANCE_NAME:-Halvane-demo-$folder_id}"
export ZANDREL_QUEUE_SCOPE="${ZANDREL_QUEUE_SCOPE:-halvane-demo-$folder_id}"
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
    for name in XDG_CONFIG_HOME XDG_CONFIG_DIRS XDG_STATE_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR HALVANE_INSTANCE_NAME \
                ZANDREL_QUEUE_SCOPE VORTAMO_ROOTS TAMBERLO_STATE_DIR OSTRIMUND_EXIT_AFTER_MS VORTAMO_GROW_BYTES; do
        printf '%s=%s\n' "$name" "${!name}"
    done
    printf 'HALVANE_DEMO_PROGRAM=%s\n' "$demo/bin/Halvane"
    exit 0
fi

# Every process of this run carries this mark in its environment, also the companions
# Halvane starts detached: at the end they are found by it.
HALVANE_DEMO_RUN="$$-$(date +%s%N)"
export HALVANE_DEMO_RUN

# A process still running (an ended child not yet collected does not count).
running() {
    local stat
    { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
    stat="${stat##*) }"
    [ "${stat:0:1}" != Z ]
}

# Ends the given processes: SIGTERM, up to $1 tenths of a second to end, then SIGKILL.
end_processes() {
    local tenths=$1 pid left
    shift
    [ $# -gt 0 ] || return 0
    kill -TERM "$@" 2>/dev/null || true
    for _ in $(seq "$tenths"); do
        left=0
        for pid in "$@"; do running "$pid" && left=1; done
        [ "$left" = 1 ] || return 0
        sleep 0.1
    done
    for pid in "$@"; do
        if running "$pid"; then
            echo "demo.sh: process $pid did not end on SIGTERM, killed" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    done
}

# The processes of this run other than this script: those with its mark.
companions=()
find_companions() {
    local entry pid
    companions=()
    for entry in /proc/[0-9]*; do
        pid="${entry#/proc/}"
        if [ "$pid" = $$ ] || [ "$pid" = "$BASHPID" ]; then continue; fi
        grep -qsxzF "HALVANE_DEMO_RUN=$HALVANE_DEMO_RUN" "$entry/environ" && companions+=("$pid")
    done
    return 0
}

halvane=""     # Halvane, once started
started=()     # the referee console and the recorder started here
written=""     # the archive's description written here, taken away at the end
status=0       # the demo's exit code: Halvane's, or 128 + the signal that ended the demo
finish() {
    trap '' INT TERM HUP
    trap - EXIT
    # Halvane first, so that it does not start a companion again; at most 20 s for it to
    # close its companions and its log.
    if [ -n "$halvane" ] && running "$halvane"; then
        end_processes 200 "$halvane"
    fi
    # Its exit code (unless it was collected already: 127).
    if [ -n "$halvane" ]; then
        if wait "$halvane" 2>/dev/null; then status=0; else code=$?; [ "$code" = 127 ] || status=$code; fi
    fi
    end_processes 50 "${started[@]}"
    find_companions
    if [ "${#companions[@]}" -gt 0 ]; then
        echo "demo.sh: ending the demo's companions still running (${companions[*]})" >&2
        end_processes 50 "${companions[@]}"
    fi
    if [ -n "$written" ] && [ "$(cat "$demo/archive/refresh.csv" 2>/dev/null)" = "$written" ]; then
        rm -f "$demo/archive/refresh.csv"
    fi
    exit "$status"
}
# shellcheck disable=SC2317  # called by the traps below
on_signal() {
    # Halvane's own code when it was running and ends on SIGTERM as it should.
    status=$((128 + $1))
    finish
}
trap 'status=$?; finish' EXIT
trap 'on_signal 2' INT
trap 'on_signal 15' TERM
trap 'on_signal 1' HUP

port_now="$(sed -n 's/^Port=//p' "$settings" | head -n 1)"
panel="$(printf '%q ' "$build/bin/halvane-panel" -p "$port_now")"
echo "Halvane's demo venue: $demo (settings in config/, archive in archive/, log in bin/)"
echo "The demo's controller port: $port_now (halvane-panel: ${panel% })"
if [ "$port_now" = 1025 ]; then
    echo "demo.sh: the demo's settings name 1025, the port of a real Halvane on a venue computer; scripts/demo.sh --port N changes it" >&2
fi
# A demo in another folder may listen there already: Halvane could not open its port.
if [[ "$port_now" =~ ^[0-9]+$ ]] && (exec 3<>"/dev/tcp/127.0.0.1/$port_now") 2>/dev/null; then
    echo "demo.sh: the controller port $port_now is taken by another program (a demo in another folder?); give this demo another port: Port= in $settings, or --port N for a new demo folder" >&2
    exit 1
fi

if [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
    "$demo/bin/Halvane" "$@" &
    halvane=$!
    wait "$halvane" && status=0 || status=$?
    finish
fi

# Offscreen: Halvane resumes the game the archive names at its start (the sample game,
# started this minute, when the demo has none yet), and the referee console runs with its
# last game open, so that the game's periods and events reach Halvane and a controller.
# A description written here is taken away again at the end, so that the next start on a
# display finds the archive as it was.
if [ ! -e "$demo/archive/refresh.csv" ]; then
    now="$(date +%Y-%m-%d-%H-%M-%S)"
    printf '%s; %s\r\n' "${now%-*}" "$now" >"$demo/archive/refresh.csv"
    written="$(cat "$demo/archive/refresh.csv")"
fi
echo "No display: Halvane runs offscreen; ask it with: ${panel}list game \"period 1\""
"$suite/Ferrolith/Tamberlo" -openlast >"$demo/referee/console.txt" 2>&1 &
console=$!
started+=("$console")
# The recorder too, not recording, so that Halvane's questions to it are answered.
"$suite/Vortamo/Vortamo" >"$demo/recorder/recorder.txt" 2>&1 &
recorder=$!
started+=("$recorder")
# Both hold their queues before Halvane asks them (at most 10 s).
for _ in $(seq 100); do
    grep -qs '^ready' "$demo/referee/console.txt" && grep -qs '^ready' "$demo/recorder/recorder.txt" && break
    if ! running "$console" || ! running "$recorder"; then break; fi
    sleep 0.1
done
names=("the referee console (Tamberlo)" "the recorder (Vortamo)")
pids=("$console" "$recorder")
outputs=("$demo/referee/console.txt" "$demo/recorder/recorder.txt")
failed=0
for i in 0 1; do
    if ! running "${pids[i]}"; then
        echo "demo.sh: ${names[i]} did not come up; its output: ${outputs[i]}" >&2
        failed=1
    fi
done
for i in 0 1; do
    if [ "$failed" = 0 ] && ! grep -qs '^ready' "${outputs[i]}"; then
        echo "demo.sh: ${names[i]} is not ready after 10 s; going on (its output: ${outputs[i]})" >&2
    fi
done
if [ "$failed" = 1 ]; then
    status=1
    finish
fi
"$demo/bin/Halvane" "$@" &
halvane=$!
wait "$halvane" && status=0 || status=$?
finish
