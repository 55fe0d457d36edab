#!/bin/sh
# The soak test for longer than CI runs it: the real program under controller connections,
# companion messages and queue holder restarts for SECONDS (default 1800), then its
# descriptors, threads and resident memory compared with where they started.
#
#   bench/soak.sh [SECONDS] [BUILD_DIR]
set -eu
seconds="${1:-1800}"
build="${2:-build}"
HALVANE_SOAK_SECONDS="$seconds" QT_QPA_PLATFORM=offscreen exec "$build/bin/test_soak" \
    --gtest_filter='Soak.*'
