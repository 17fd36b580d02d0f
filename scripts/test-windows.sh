#!/usr/bin/env bash
# The Windows build under Wine, after the Linux suite (it reuses build/):
# builds the programs and the installer (scripts/build-windows.sh, warm when
# its cache is there), then
#  - the command-line tests of the Linux suite run the Windows quendravalt-cli.exe
#    under Wine against the suite's own Dovecot on loopback;
#  - quendravalt.exe starts in a private X server, shows its main window and
#    closes as File > Exit closes it (WM_CLOSE to its window).
# Wine keeps its own C: drive in a scratch prefix: \QUENDRAVALT is made there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh x11-utils
bash scripts/build-windows.sh
[ -x build/tests/qd_unit_tests ] || { echo "test-windows: run the Linux suite first (build/)" >&2; exit 1; }

export WINEPREFIX=${QD_WINEPREFIX:-/tmp/quendravalt-wine}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts
export QD_CLI_WINE="$root/build-windows/quendravalt-cli.exe"
# One private X server for all of it: Wine needs a display even for the hidden
# windows that carry timers and socket notices (Windows itself does not), and
# its server keeps the display it started with.
wineserver -k 2>/dev/null || true
timeout 900 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c '
    set -euo pipefail
    echo "== Wine prefix $WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true

    echo "== quendravalt-cli.exe under Wine against Dovecot"
    build/tests/qd_unit_tests \
        --gtest_filter="CliRun.AListRun*:CliRun.ADryRun*:CliRun.OneAccount*:CliRun.OAuth2*"

    echo "== quendravalt.exe under Wine: starts, shows its window, closes"
    wine build-windows/quendravalt.exe & program=$!
    for _ in $(seq 1 600); do
        xwininfo -root -tree 2>/dev/null | grep -q "QuenDravalt V" && break
        sleep 0.1
    done
    xwininfo -root -tree | grep "QuenDravalt V" || { echo "no main window" >&2; kill $program; exit 1; }
    wine taskkill /IM quendravalt.exe >/dev/null
    wait $program
    wineserver -k || true
'
echo "== Windows stage passed"
