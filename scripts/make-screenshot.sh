#!/bin/sh
# Takes docs/main-window.png: the program (as the GUI test binary runs it, with
# the test data folder) maximised under openbox in a virtual X server.
#   scripts/make-screenshot.sh [build dir, default build-gui]
set -eu
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-gui}"
exec xvfb-run -a -s "-screen 0 1024x640x24" sh -c '
    openbox >/dev/null 2>&1 &
    sleep 1
    QD_SCREENSHOT="$1" "$2" --qd-run-program
    kill $! 2>/dev/null || true
' sh "$here/docs/main-window.png" "$build/tests/qd_gui_tests"
