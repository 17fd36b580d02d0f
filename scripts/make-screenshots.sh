#!/usr/bin/env bash
# Takes the README's pictures from the real program: the main window maximised
# under openbox in a virtual X server, then each form as the Manage menu opens
# it from the keyboard.
#   scripts/make-screenshots.sh [build dir, default build-shots]
#
# The program is built with a scratch data folder of its own, holding a
# loopback configuration and a short user list: /QUENDRAVALT is neither read
# nor written, and no run is started.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build-shots}"

# Only the pictures need these, so CI does without them.
bash "$here/scripts/install-deps.sh" openbox x11-utils xdotool imagemagick fonts-dejavu-core

work="$(mktemp -d "${TMPDIR:-/tmp}/qd-shots.XXXXXX")"
data=""
pids=()
# stop PID: asks the process to end, and makes it when it does not in time.
stop() {
    local deadline=$((SECONDS + 5))
    kill "$1" 2>/dev/null || return 0
    while kill -0 "$1" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    local i
    # Newest first: the program, then openbox, then the X server.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done
    rm -rf "$work"
    [ -z "$data" ] || rm -rf "$data"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "make-screenshots.sh: $*" >&2
    # What the screen showed then, for finding out why.
    if [ -n "${DISPLAY:-}" ] && import -silent -window root "$build/screenshots-failure.png" 2>/dev/null; then
        echo "make-screenshots.sh: the screen at that moment: $build/screenshots-failure.png" >&2
    fi
    exit 1
}

# --- The program, with its own data folder ------------------------------------
# Always the same path, so that a second run compiles nothing.
data="$build/screenshot-data"
rm -rf "$data"
mkdir -p "$data" "$work/home" "$work/shots"
printf '1000\r\n127.0.0.1\r\n143\r\n' >"$data/CFG_QUEN_DRAVALT.TXT"
printf '%s\r\n' 'anna@example.com;anna-pw' 'bruno@example.com;bruno pw' \
    'carla@example.com;carla;semi;colon' 'dario@example.com;secret' >"$data/USR_QUEN_DRAVALT.TXT"
config_inode=$(stat -c %i "$data/CFG_QUEN_DRAVALT.TXT")

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQD_GUI=ON -DQD_TESTS=OFF \
    -DQD_BENCH=OFF -DQD_FUZZ=OFF -DQD_DATA_FOLDER="$data" >/dev/null
cmake --build "$build" --target quendravalt -j "$(nproc)"

# --- X server and window manager ----------------------------------------------
# A clean home: neither openbox nor GTK picks up the caller's settings, and
# nothing of theirs is written into the caller's home.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache"
export XDG_DATA_HOME="$work/home/.local/share" XDG_RUNTIME_DIR="$work/home"
export GDK_BACKEND=x11 LANG=C.UTF-8 LC_ALL=C.UTF-8 NO_AT_BRIDGE=1 GTK_A11Y=none
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
chmod 700 "$work/home"
# A steady text cursor: a blinking one would make the pictures differ by chance.
mkdir -p "$XDG_CONFIG_HOME/gtk-3.0"
printf '[Settings]\ngtk-cursor-blink = false\n' >"$XDG_CONFIG_HOME/gtk-3.0/settings.ini"

# -displayfd picks a free display itself and reports it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x640x24 -nolisten tcp \
    3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=("$!")

# until SECONDS CONDITION...: polls every tenth of a second until the deadline.
until_ok() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}
until_ok 30 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
display=$(head -n1 "$work/display")
export DISPLAY=":$display"

openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=("$!")
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
until_ok 30 wm_running || fail "openbox did not start: $(cat "$work/openbox.log")"

# --- Pictures --------------------------------------------------------------------
# shoot WINDOW FILE: the window with its title bar, taken again until two
# takes agree, so that the picture is not caught halfway through drawing.
shoot() {
    local window=$1 file=$2 deadline=$((SECONDS + 20))
    import -silent -window "$window" -frame "$work/take1.png"
    while :; do
        sleep 0.3
        import -silent -window "$window" -frame "$work/take2.png"
        if compare -metric AE "$work/take1.png" "$work/take2.png" null: 2>/dev/null; then
            break
        fi
        [ $SECONDS -lt $deadline ] || fail "$(basename "$file") does not keep still"
        mv "$work/take2.png" "$work/take1.png"
    done
    # No time stamps in the file, so that an unchanged picture stays unchanged.
    convert "$work/take2.png" -strip "PNG24:$file"
}

# find_window SECONDS TITLE: the id of the visible window titled exactly TITLE.
find_window() {
    timeout "$1" xdotool search --all --sync --onlyvisible --pid "$program" --name "^$2\$" | head -n1
}

is_maximised() { xprop -id "$1" _NET_WM_STATE | grep -q _NET_WM_STATE_MAXIMIZED_VERT; }
is_gone() { ! xwininfo -id "$1" | grep -q IsViewable; }
program_gone() { ! kill -0 "$program"; }
# activate WINDOW: gives it the keyboard, as keys go wherever the focus is.
activate() { timeout 10 xdotool windowactivate --sync "$1" || fail "window $1 did not take the focus"; }

"$build/quendravalt" >"$work/program.log" 2>&1 &
program=$!
pids+=("$program")

title="QuenDravalt V.1.01 del 20/03/2007"
main=$(find_window 30 "$title") || fail "the main window did not appear: $(cat "$work/program.log")"
until_ok 10 is_maximised "$main" || fail "the main window was not maximised"
# The pointer rests on the empty view, away from the toolbar's tips.
xdotool mousemove 512 320
shoot root "$work/shots/main-window.png"

# The open menu's window, if any: the one visible popup menu of the program.
open_menu() {
    local w
    for w in $(xdotool search --all --onlyvisible --pid "$program" --classname "^quendravalt$"); do
        if xprop -id "$w" _NET_WM_WINDOW_TYPE | grep -q _NET_WM_WINDOW_TYPE_POPUP_MENU; then
            echo "$w"
            return 0
        fi
    done
    return 1
}
# menu_moved OLD: a menu other than OLD is open (each menu has a window of its own).
menu_moved() {
    local now
    now=$(open_menu) && [ "$now" != "$1" ]
}

# form TITLE FILE ITEM: F10 opens File, three steps right reach Manage, which
# opens with nothing selected; ITEM steps down pick the form, Escape closes it.
# Each step waits for its menu, so that no key reaches a menu still opening
# (or the form).
form() {
    local title=$1 file=$2 item=$3 menu="" window step
    activate "$main"
    xdotool key F10
    for step in 1 2 3 4; do
        until_ok 10 menu_moved "$menu" || fail "the menu did not open for \"$title\""
        menu=$(open_menu)
        [ $step -eq 4 ] || xdotool key Right
    done
    for ((; item > 0; item--)); do xdotool key Down; done
    xdotool key Return
    window=$(find_window 10 "$title") || fail "the form \"$title\" did not open"
    shoot "$window" "$work/shots/$file"
    xdotool key Escape
    until_ok 10 is_gone "$window" || fail "the form \"$title\" did not close"
}
form "Configuration" dialog-configuration.png 1
form "Delete Mails for single user" dialog-single-user.png 2
form "Delete Mails for Users in list" dialog-user-list.png 3

# File > Exit, as a user closes it; it writes its configuration into $data.
activate "$main"
xdotool key alt+f
until_ok 10 open_menu || fail "the File menu did not open"
xdotool key x
until_ok 20 program_gone || fail "the program did not close"
status=0
wait "$program" || status=$?
unset 'pids[${#pids[@]}-1]'
[ $status -eq 0 ] || fail "the program ended with status $status: $(cat "$work/program.log")"
# Saving replaces the file: a configuration still in its first inode means the
# program looked elsewhere (a stale build), and the pictures show its defaults.
[ "$(stat -c %i "$data/CFG_QUEN_DRAVALT.TXT")" != "$config_inode" ] ||
    fail "the program did not save its configuration in $data; rebuild $build from scratch"

cp "$work/shots/"*.png "$here/docs/"
echo "make-screenshots.sh: wrote docs/main-window.png, docs/dialog-configuration.png," \
    "docs/dialog-single-user.png, docs/dialog-user-list.png"
