#!/bin/sh
# The soak test for longer than CI runs it (the same program, 50 s there): the real program
# with the simulated suite for SECONDS under load (default 1800): controller connections and
# commands, companion messages, a referee console game of sixty events a period (a period
# every twelve seconds or more, up to 90), the recorder recording and the program copying,
# the recorder (on "another computer", 127.0.0.2) away for a tenth of the time, console and
# queue holder restarts, the program's answer relay killed once; then every
# command answered, every event in the model, the copies whole, and the descriptors,
# threads and resident memory compared with where they started.
#
#   bench/soak.sh [SECONDS] [BUILD_DIR]
set -eu
seconds="${1:-1800}"
build="${2:-build}"
HALVANE_SOAK_SECONDS="$seconds" QT_QPA_PLATFORM=offscreen exec "$build/bin/test_soak" \
    --gtest_filter='Soak.*'
