#!/usr/bin/env bash
# What scripts/run.sh does with its options: the demo's reach the demo, Halvane's reach
# Halvane (directly and through the demo), Qt's options that Halvane accepts are accepted,
# and anything else is refused with status 2 before anything is built or started. Without
# a display the real suite's Halvane gets its --offscreen option, not Qt's variable.
#
#   run_options_test.sh PATH/TO/scripts/run.sh BUILD_FOLDER PATH/TO/src/app/CommandLine.cpp
set -euo pipefail
run="$1"
build="$2"
command_line="$3"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
# A world of the test's own: no settings of this user, queues and lock names apart from
# any other demo or Halvane.
export HOME="$root/home" XDG_CONFIG_HOME="$root/home/.config"
export HALVANE_INSTANCE_NAME="halvane-run-options-$$" ZANDREL_QUEUE_SCOPE="halvane-run-options-$$"
mkdir -p "$HOME"

failures=0
ok() { echo "ok: $*"; }
failed() { echo "FAILED: $*"; failures=$((failures + 1)); }

# expect NAME STATUS TEXT ARGUMENTS...: run.sh's exit status, and TEXT in what it printed.
expect() {
    local name="$1" status="$2" text="$3" got output
    shift 3
    set +e
    output="$(cd "$root" && bash "$run" "$@" 2>&1)"
    got=$?
    set -e
    if [ "$got" != "$status" ]; then
        failed "$name: status $got, expected $status; it said: $output"
    elif [[ "$output" != *"$text"* ]]; then
        failed "$name: '$text' not in: $output"
    else
        ok "$name"
    fi
}

expect "--help names the demo's options and Halvane's" 0 "--dir DEMO_DIR" --help
expect "--help names --offscreen" 0 "--offscreen" --help

# Refused, each before anything starts: a build folder without a program would fail
# otherwise with another status.
nothing=(--no-build --build "$root/no-build")
expect "an unknown option" 2 "unknown option '--bogus'" "${nothing[@]}" --bogus
expect "an unknown single-dash option" 2 "unknown option '-frobnicate'" "${nothing[@]}" -frobnicate
expect "an argument that is no option" 2 "'stray' is neither an option" "${nothing[@]}" stray
expect "a demo option with the real suite" 2 "--dir is an option of the demo" "${nothing[@]}" --real-suite --dir x
expect "--demo and --real-suite" 2 "exclude each other" "${nothing[@]}" --demo --real-suite
expect "--port without its value" 2 "--port needs a value" "${nothing[@]}" --port
expect "-platform without its value" 2 "-platform needs a value" "${nothing[@]}" -platform
expect "the refusal points to --help" 2 "scripts/run.sh --help" "${nothing[@]}" --bogus

# Every option of Qt's that Halvane accepts (its table in CommandLine.cpp) is accepted.
count=0
while read -r name takes; do
    count=$((count + 1))
    if [ "$takes" = true ]; then
        expect "Qt's -$name VALUE" 0 "" --which "-$name" value
        expect "Qt's --$name=VALUE" 0 "" --which "--$name=value"
    else
        expect "Qt's -$name" 0 "" --which "-$name"
    fi
done < <(sed -n 's/^ *{"\([a-z]*\)", \(true\|false\)},.*/\1 \2/p' "$command_line")
if [ "$count" -lt 20 ]; then failed "only $count of Qt's options found in $command_line"; fi
expect "any of the demo's options chooses the demo" 0 "demo" --which --port 12345

# The demo's options reach the demo: it prepares the folder given, relative to where
# run.sh was started, with the port given.
expect "--dir, --port and --print-env reach the demo" 0 "XDG_CONFIG_HOME=$root/demo/config" \
    --no-build --build "$build" --dir demo --port 12345 --print-env
if grep -qx 'Port=12345' "$root/demo/config/Tervanix/Halvane.conf" 2>/dev/null; then
    ok "the demo's settings have the port given"
else
    failed "the demo's settings do not have Port=12345"
fi

# Halvane's options reach Halvane, directly and through the demo.
version="$("$build/bin/Halvane" --version)"
expect "--version reaches the real suite's Halvane" 0 "$version" --no-build --build "$build" --real-suite --version
expect "--version reaches the demo's Halvane" 0 "$version" --no-build --build "$build" --dir demo --version
expect "what follows -- reaches Halvane unchecked" 0 "Usage: Halvane" --no-build --build "$build" --real-suite -- --help

# Without a display the real suite's Halvane is started with its own --offscreen option,
# and Qt's variable is not set for it (nor, through it, for the suite's programs it
# starts); a display, or a platform chosen by the user, leaves both alone. A stand-in for
# the program in a build folder of the test's own says what it was given.
fake="$root/fake-build"
mkdir -p "$fake/bin"
cat >"$fake/bin/Halvane" <<'PROGRAM'
#!/usr/bin/env bash
seen=""
for argument in "$@"; do seen+=" [$argument]"; done
echo "arguments:$seen"
echo "QT_QPA_PLATFORM=${QT_QPA_PLATFORM-unset}"
PROGRAM
chmod +x "$fake/bin/Halvane"
# given NAME ARGUMENTS_SEEN PLATFORM_SEEN [VARIABLE=VALUE ...] -- [run.sh's arguments]
given() {
    local name="$1" arguments="$2" platform="$3" output
    shift 3
    local settings=()
    while [ "$1" != -- ]; do settings+=("$1"); shift; done
    shift
    output="$(cd "$root" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "${settings[@]}" \
        bash "$run" --no-build --build "$fake" --real-suite "$@" 2>&1)" || true
    if [[ "$output" != *"arguments:$arguments"$'\n'* ]]; then
        failed "$name: Halvane was not given '$arguments': $output"
    elif [[ "$output" != *"QT_QPA_PLATFORM=$platform"* ]]; then
        failed "$name: Halvane's QT_QPA_PLATFORM is not '$platform': $output"
    else
        ok "$name"
    fi
}
given "no display: --offscreen, no variable" " [--offscreen]" unset --
given "no display: --offscreen ahead of the other options" " [--offscreen] [-style] [fusion]" unset -- -style fusion
given "no display, --offscreen given: once" " [--offscreen]" unset -- --offscreen
given "no display, -platform given" " [-platform] [minimal]" unset -- -platform minimal
given "no display, --platform=NAME given" " [--platform=minimal]" unset -- --platform=minimal
given "no display, -display after --" " [-display] [:7]" unset -- -- -display :7
given "an X display" "" unset DISPLAY=:7 --
given "a Wayland display" "" unset WAYLAND_DISPLAY=wayland-7 --
given "Qt's variable set by the user" "" minimal QT_QPA_PLATFORM=minimal --

[ "$failures" = 0 ]
