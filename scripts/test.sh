#!/usr/bin/env bash
# Builds and runs every test: the normal build, an address + undefined-behaviour
# sanitizer build (with the fuzz targets, each run for a bounded time) and a
# thread-sanitizer build for the threaded tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
# The desktop tools are installed by setup.sh: the end-to-end game night must run, not skip.
export HALVANE_REQUIRE_DESKTOP=1
jobs=$(nproc)
fuzz_seconds="${HALVANE_FUZZ_SECONDS:-30}"
# A compiler cache, when the machine has one, makes the three builds of a second run quick.
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

echo "=== normal build ==="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "=== address + undefined-behaviour sanitizers ==="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=clang++ -DHALVANE_SANITIZE="address;undefined" -DHALVANE_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build build-asan -j "$jobs"
# The tests that run in real time (label "realtime", minutes of prescribed waits) run in the
# normal build only.
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE realtime

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
TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp halt_on_error=1" \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threaded
