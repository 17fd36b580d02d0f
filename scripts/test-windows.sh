#!/usr/bin/env bash
# The Windows build under Wine, after the Linux suite (it reuses build/):
# builds the programs, the installer and the Windows tests
# (scripts/build-windows.sh, warm when its cache is there), then
#  - the headless tests, cross-built, run under Wine;
#  - the command-line tests of the Linux suite run the Windows quendravalt-cli.exe
#    under Wine against the suite's own Dovecot on loopback;
#  - quendravalt.exe starts in a private X server, shows its main window and
#    ends through File > Exit (the menu's command, sent as a click sends it).
# Wine keeps its own C: drive in a scratch prefix: \QUENDRAVALT is made there.
# Debian's "wine" runs 64-bit programs with its wine64 loader.
#   QD_WINDOWS_SCREENSHOT=file.png   also shoots the window (needs imagemagick)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh x11-utils fonts-wine
bash scripts/build-windows.sh --tests
[ -x build/tests/qd_unit_tests ] || { echo "test-windows: run the Linux suite first (build/)" >&2; exit 1; }

export WINEPREFIX=${QD_WINEPREFIX:-/tmp/quendravalt-wine}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts
export QD_CLI_WINE="$root/build-windows/quendravalt-cli.exe"
# One private X server for all of it: Wine needs a display even for the hidden
# windows that carry timers and socket notices (Windows itself does not), and
# its server keeps the display it started with.
wineserver -k 2>/dev/null || true
timeout 1200 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c '
    set -euo pipefail
    tests=build-windows/build/tests
    echo "== Wine prefix $WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true
    # A desktop of its own, as on Windows: Wine then frames and maximizes the
    # window itself, with no window manager.
    wine reg add "HKCU\\Software\\Wine\\Explorer" /v Desktop /d Default /f >/dev/null
    wine reg add "HKCU\\Software\\Wine\\Explorer\\Desktops" /v Default /d 1024x640 /f >/dev/null
    wineserver -w

    echo "== the headless tests under Wine"
    timeout 600 wine $tests/qd_unit_tests.exe

    echo "== quendravalt-cli.exe under Wine against Dovecot"
    build/tests/qd_unit_tests \
        --gtest_filter="CliRun.AListRun*:CliRun.ADryRun*:CliRun.OneAccount*:CliRun.OAuth2*"

    echo "== quendravalt.exe under Wine: starts, shows its window, File > Exit"
    # Wine draws the caption buttons with Marlett, which Debian keeps outside
    # the prefix.
    cp -n /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    wine build-windows/quendravalt.exe & program=$!
    if [ -n "${QD_WINDOWS_SCREENSHOT:-}" ]; then
        # For the README: the window once it has drawn itself.
        for _ in $(seq 1 300); do xwininfo -root -tree | grep -q "QuenDravalt V" && break; sleep 0.2; done
        sleep 3
        import -silent -window root -crop 1024x640+0+0 +repage "$QD_WINDOWS_SCREENSHOT"
    fi
    wxID_EXIT=5006
    if ! timeout 120 wine $tests/menu-command.exe "QuenDravalt V" $wxID_EXIT 60; then
        kill $program
        exit 1
    fi
    timeout 60 tail --pid=$program -f /dev/null || { echo "File > Exit did not end it" >&2; exit 1; }
    wait $program
    wineserver -k || true
'
echo "== Windows stage passed"
