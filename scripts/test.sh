#!/usr/bin/env bash
# Builds and runs every test: the normal build, an address + undefined-behaviour
# sanitizer build (with the fuzz targets, each run for a bounded time) and a
# thread-sanitizer build for the threaded tests.
#
# Nothing passes by not running: every requirement of the tests is set (the desktop and
# the tools setup.sh installs; root when run as root, as CI is), so that a test that cannot
# run here fails, and a pass in which a test was skipped fails too. After the tests the
# build folders hold nothing but what the builds made and the outputs named below.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
export HALVANE_REQUIRE_DESKTOP=1 HALVANE_REQUIRE_TOOLS=1
if [ "$(id -u)" -eq 0 ]; then export HALVANE_REQUIRE_ROOT=1; fi
jobs=$(nproc)
fuzz_seconds="${HALVANE_FUZZ_SECONDS:-30}"
# A compiler cache, when the machine has one, makes the three builds of a second run quick.
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# What the tests may leave in a build folder: CTest's own records, the screenshots the
# desktop tests keep for people to look at, the fuzzers' corpus, and CMake's record of the
# install that cpack runs for the package test.
expected_outputs='^((Testing|desktop-artefacts|corpus)/|install_manifest\.txt$)'
expected_names='Testing/, desktop-artefacts/, corpus/, install_manifest.txt'

# list_files BUILD: the files of a build folder, one a line: path, size, time.
list_files() { find "$1" -type f -printf '%P\t%s\t%T@\n' | LC_ALL=C sort; }

# check_build_folder BUILD: fails when the tests added, changed or removed a file of the
# build folder other than the expected outputs (compared with the list after its build).
check_build_folder() {
    local build="$1" before="$work/$(basename "$1").files" after
    after="$(list_files "$build")"
    local touched removed
    touched="$(LC_ALL=C comm -13 "$before" <(echo "$after") | cut -f1 | grep -Ev "$expected_outputs" || true)"
    removed="$(LC_ALL=C comm -23 <(cut -f1 "$before") <(echo "$after" | cut -f1) | grep -Ev "$expected_outputs" || true)"
    if [ -n "$touched$removed" ]; then
        echo "FAILED: the tests wrote into $build outside their own folders:"
        [ -n "$touched" ] && sed 's/^/    written: /' <<<"$touched"
        [ -n "$removed" ] && sed 's/^/    removed: /' <<<"$removed"
        return 1
    fi
    echo "$build: nothing but build outputs and the expected ones ($expected_names)"
}

# run_tests PASS BUILD [ctest options...]: runs the tests of one pass, prints how many test
# programs were skipped (and which tests in them), and fails when any was: everything is
# required here, root too when run as root.
run_tests() {
    local pass="$1" build="$2"
    shift 2
    local output="$work/$pass.txt" junit="$work/$pass.xml" status=0
    ctest --test-dir "$build" --output-on-failure -j "$jobs" --output-junit "$junit" "$@" 2>&1 |
        tee "$output" || status=$?
    local skipped
    skipped="$(sed -nE 's/^[[:space:]]*[0-9]+ - (.*) \(Skipped\)$/\1/p' "$output")"
    local count=0
    [ -n "$skipped" ] && count="$(wc -l <<<"$skipped")"
    echo "=== $pass: $count test program(s) skipped"
    if [ "$count" -gt 0 ]; then
        sed 's/^/    /' <<<"$skipped"
        grep -ho 'halvane-test: skipped [^&<]*' "$junit" | sed 's/^halvane-test: skipped /      /' || true
        if [ "${HALVANE_REQUIRE_ROOT:-0}" = 1 ]; then
            echo "FAILED: a test was skipped although everything it needs is required here"
            status=1
        else
            echo "    (not root: the tests that need root were skipped; CI runs them as root)"
        fi
    fi
    return "$status"
}

echo "=== normal build ==="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build -j "$jobs"
list_files build >"$work/build.files"
run_tests normal build

echo "=== address + undefined-behaviour sanitizers ==="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=clang++ -DHALVANE_SANITIZE="address;undefined" -DHALVANE_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build build-asan -j "$jobs"
list_files build-asan >"$work/build-asan.files"
# The tests that run in real time (label "realtime", minutes of the workflows' own waits) run in the
# normal build only.
ASAN_OPTIONS=detect_leaks=1 run_tests address-sanitizer build-asan -LE realtime

echo "=== fuzzing, ${fuzz_seconds}s per target ==="
shopt -s nullglob
for fuzzer in build-asan/bin/fuzz_*; do
    corpus="build-asan/corpus/$(basename "$fuzzer")"
    mkdir -p "$corpus"
    seeds="tests/fuzz/seeds/$(basename "$fuzzer")"
    [ -d "$seeds" ] || seeds=""
    echo "--- $(basename "$fuzzer")"
    "$fuzzer" -max_total_time="$fuzz_seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
        "$corpus" $seeds 2>&1 | tail -n 12
done

echo "=== thread sanitizer, threaded tests ==="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=clang++ -DHALVANE_SANITIZE=thread "${launcher[@]}" >/dev/null
cmake --build build-tsan -j "$jobs"
list_files build-tsan >"$work/build-tsan.files"
TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp halt_on_error=1" \
    run_tests thread-sanitizer build-tsan -L threaded

echo "=== what the tests left in the build folders ==="
failed=0
for build in build build-asan build-tsan; do
    check_build_folder "$build" || failed=1
done
exit "$failed"
