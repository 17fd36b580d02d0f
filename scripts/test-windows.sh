#!/usr/bin/env bash
# The Windows build under Wine, after the Linux suite (it reuses build/):
# builds the programs, the installer and the Windows tests
# (scripts/build-windows.sh, warm when its cache is there), then
#  - the headless tests, cross-built, run under Wine;
#  - the command-line tests of the Linux suite run the Windows quendravalt-cli.exe
#    under Wine against the suite's own Dovecot on loopback;
#  - the installer installs silently (programs, Start menu, data folder), the
#    installed quendravalt.exe starts in a private X server, shows its main
#    window and ends through File > Exit (the menu's command, sent as a click
#    sends it), and the uninstaller takes the programs, not the data folder.
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
# Every step expects the one before it: in order, in one Wine prefix.
wine_stage() {
    set -euo pipefail
    local tests=build-windows/build/tests drive=$WINEPREFIX/drive_c
    local installed="$drive/Program Files/QuenDravalt"
    local menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/QuenDravalt"
    local key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuenDravalt'
    fail() { echo "test-windows: $*" >&2; exit 1; }

    echo "== Wine prefix $WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true
    # A desktop of its own, as on Windows: Wine then frames and maximizes the
    # window itself, with no window manager.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x640 /f >/dev/null
    wineserver -w

    echo "== the headless tests under Wine"
    timeout 600 wine $tests/qd_unit_tests.exe

    echo "== quendravalt-cli.exe under Wine against Dovecot"
    build/tests/qd_unit_tests \
        --gtest_filter="CliRun.AListRun*:CliRun.ADryRun*:CliRun.OneAccount*:CliRun.OAuth2*:CliRun.Google*"

    echo "== the installer under Wine: the programs, the Start menu, the data folder"
    [ ! -e "$drive/QUENDRAVALT" ] || fail "the data folder was there before the installer"
    timeout 120 wine build-windows/QuenDravalt-setup.exe /S
    wineserver -w
    cmp build-windows/quendravalt.exe "$installed/quendravalt.exe"
    cmp build-windows/quendravalt-cli.exe "$installed/quendravalt-cli.exe"
    [ -f "$menu/QuenDravalt.lnk" ] && [ -f "$menu/Uninstall QuenDravalt.lnk" ] || fail "no Start-menu entries"
    [ -d "$drive/QUENDRAVALT" ] || fail "no data folder"
    wine reg query "$key" /v UninstallString >/dev/null || fail "not in Apps & features"

    echo "== the installed quendravalt.exe: starts, shows its window, File > Exit"
    # Wine draws the caption buttons with Marlett, which Debian keeps outside
    # the prefix.
    cp -n /usr/share/wine/fonts/marlett.ttf "$drive/windows/Fonts/" 2>/dev/null || true
    wine "$installed/quendravalt.exe" & local program=$!
    if [ -n "${QD_WINDOWS_SCREENSHOT:-}" ]; then
        # For the README: the window once it has drawn itself.
        for _ in $(seq 1 300); do xwininfo -root -tree | grep -q "QuenDravalt V" && break; sleep 0.2; done
        sleep 3
        import -silent -window root -crop 1024x640+0+0 +repage "$QD_WINDOWS_SCREENSHOT"
    fi
    local wxID_EXIT=5006
    if ! timeout 120 wine $tests/menu-command.exe "QuenDravalt V" $wxID_EXIT 60; then
        kill $program
        fail "no main window"
    fi
    timeout 60 tail --pid=$program -f /dev/null || fail "File > Exit did not end it"
    wait $program
    # It keeps its configuration in \QUENDRAVALT on the system drive.
    [ -f "$drive/QUENDRAVALT/CFG_QUEN_DRAVALT.TXT" ] || fail "no configuration in C:\\QUENDRAVALT"

    echo "== the uninstaller under Wine: the programs go, the data folder stays"
    # _?= runs it in place, to its end (it cannot remove itself then).
    timeout 120 wine "$installed/uninstall.exe" /S '_?=C:\Program Files\QuenDravalt'
    wineserver -w
    [ ! -e "$installed/quendravalt.exe" ] && [ ! -e "$installed/quendravalt-cli.exe" ] || fail "programs left"
    [ ! -e "$menu" ] || fail "Start-menu entries left"
    ! wine reg query "$key" >/dev/null 2>&1 || fail "still in Apps & features"
    [ -f "$drive/QUENDRAVALT/CFG_QUEN_DRAVALT.TXT" ] || fail "the uninstaller took the data folder"
    wineserver -k || true
}

wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX/drive_c/QUENDRAVALT"  # the installer's own, each time
# xvfb-run is a POSIX shell script: the function goes through as text.
timeout 1200 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c "$(declare -f wine_stage); wine_stage"
echo "== Windows stage passed"
