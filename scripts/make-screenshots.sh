#!/usr/bin/env bash
# Takes the README's pictures from the real program: the main window maximised
# under openbox in a virtual X server, then each form as the Manage menu opens
# it from the keyboard; then, started again against a demo Dovecot, the main
# window after a preview of a list run (report-preview.png) and after the list
# run itself (report-after-run.png).
#   scripts/make-screenshots.sh [build dir, default build-shots]
#
# The program is built with a scratch data folder of its own, holding a
# loopback configuration and a short user list: /QUENDRAVALT is neither read
# nor written. The runs reach only the demo server of scripts/demo-server.sh,
# started on free loopback ports in a folder of this script's own.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build-shots}"

# Only the pictures need these, so CI does without them.
bash "$here/scripts/install-deps.sh" openbox x11-utils xdotool imagemagick fonts-dejavu-core

work="$(mktemp -d "${TMPDIR:-/tmp}/qd-shots.XXXXXX")"
data=""
demo=""
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
    [ -z "$demo" ] || demo_server stop >/dev/null 2>&1 || true
    rm -rf "$work"
    [ -z "$data" ] || rm -rf "$data"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# demo_server start|stop: the demo Dovecot in $work/demo on the ports in
# $demo_ports; it writes its configuration and user list into $data.
demo_server() {
    DEMO_DIR="$demo" DEMO_DATA_FOLDER="$data" DEMO_PORT="${demo_ports[0]}" \
        DEMO_TLS_PORT="${demo_ports[1]}" bash "$here/scripts/demo-server.sh" "$1"
}

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

# start_program: starts it on the files in $data, which it reads only now, and
# waits for its main window, maximised.
start_program() {
    config_inode=$(stat -c %i "$data/CFG_QUEN_DRAVALT.TXT")
    "$build/quendravalt" >"$work/program.log" 2>&1 &
    program=$!
    pids+=("$program")
    main=$(find_window 30 "QuenDravalt V.1.01 del 20/03/2007") ||
        fail "the main window did not appear: $(cat "$work/program.log")"
    until_ok 10 is_maximised "$main" || fail "the main window was not maximised"
    # The pointer rests on the empty view, away from the toolbar's tips and
    # from the forms, which open in the middle (a control under it is drawn lit).
    xdotool mousemove 1010 560
}

# exit_program [KEY]: File > Exit, as a user closes it; KEY answers the
# question whether to save the report of a run. Closing writes the
# configuration into $data.
exit_program() {
    local question status=0
    activate "$main"
    xdotool key alt+f
    until_ok 10 open_menu || fail "the File menu did not open"
    xdotool key x
    if [ $# -gt 0 ]; then
        # The message box bears the program's short name.
        question=$(find_window 10 QuenDravalt) || fail "closing did not ask about the report"
        activate "$question"
        xdotool key "$1"
    fi
    until_ok 20 program_gone || fail "the program did not close"
    wait "$program" || status=$?
    unset 'pids[${#pids[@]}-1]'
    [ $status -eq 0 ] || fail "the program ended with status $status: $(cat "$work/program.log")"
    # Saving replaces the file: a configuration still in its first inode means the
    # program looked elsewhere (a stale build), and the pictures show its defaults.
    [ "$(stat -c %i "$data/CFG_QUEN_DRAVALT.TXT")" != "$config_inode" ] ||
        fail "the program did not save its configuration in $data; rebuild $build from scratch"
}

start_program
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

# open_form TITLE ITEM: F10 opens File, three steps right reach Manage, which
# opens with nothing selected; ITEM steps down pick the form, whose window is
# then in $window. Each step waits for its menu, so that no key reaches a menu
# still opening (or the form).
open_form() {
    local title=$1 item=$2 menu="" step
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
}

# form TITLE FILE ITEM: the form's picture; Escape closes it.
form() {
    open_form "$1" "$3"
    shoot "$window" "$work/shots/$2"
    xdotool key Escape
    until_ok 10 is_gone "$window" || fail "the form \"$1\" did not close"
}
form "Configuration" dialog-configuration.png 1
form "Rules" dialog-rules.png 2
form "Delete Mails for single user" dialog-single-user.png 3
form "Delete Mails for Users in list" dialog-user-list.png 4

exit_program

# --- A list run against the demo server ---------------------------------------
# Free loopback ports, so that a demo server the user has running is left alone.
read -ra demo_ports < <(python3 -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
[ ${#demo_ports[@]} -eq 2 ] || fail "no free loopback ports for the demo server"
# Started by root, Dovecot reads the mailboxes as nobody, who must pass $work.
chmod 755 "$work"
demo="$work/demo"
demo_server start >"$work/demo.log" 2>&1 ||
    fail "the demo server did not start: $(cat "$work/demo.log")"
# STARTTLS with the server's own certificate trusted, as after the trust
# form, and the shortest pause, so that the runs take seconds.
fingerprint=$(openssl x509 -noout -fingerprint -sha256 -in "$demo/tls/cert.pem" |
    cut -d= -f2 | tr -d :) || true
[[ $fingerprint =~ ^[0-9A-F]{64}$ ]] || fail "no fingerprint of the demo certificate: $fingerprint"
printf '100\r\n127.0.0.1\r\n%s\r\nstarttls\r\n%s\r\n' "${demo_ports[0]}" "$fingerprint" \
    >"$data/CFG_QUEN_DRAVALT.TXT"
# One account of each ending: old mail deleted, a wrong password, a line
# without its password; carla, the last, shows when the run is over.
printf '%s\r\n' 'anna;anna-pw' 'bruno;bruno-pw' 'dario' 'carla;carla;semi;colon' \
    >"$data/USR_QUEN_DRAVALT.TXT"
# Passwords are the owner's only, or the status bar warns about them.
chmod 600 "$data/USR_QUEN_DRAVALT.TXT"
log="$data/LOG_QUEN_DRAVALT.TXT"
start_program

# The status bar's right end (on this screen of 1024x640) while no run is in
# progress: a run puts its progress and gauge there, and takes them away when it
# is over. Its ending text stays left of it.
status_bar() { import -silent -window root -crop 140x22+884+618 +repage "$1"; }
# Once the window keeps still, so that the reference is not half drawn.
shoot root "$work/idle.png"
status_bar "$work/idle-status.png"
run_over() {
    status_bar "$work/status.png"
    compare -metric AE "$work/idle-status.png" "$work/status.png" null:
}
# log_id: the inode of the log; each run starts a new log file and keeps the
# one before under another name.
log_id() { stat -c %i "$log" 2>/dev/null || echo none; }
# carla_done OLD: the log is no longer OLD and holds carla's LOGOUT (after her
# LOGIN), so the last account has ended.
carla_done() {
    [ "$(log_id)" != "$1" ] && sed -n '/LOGIN "\{0,1\}carla/,$p' "$log" | grep -q ' LOGOUT'
}

# list_run [confirm] KEY...: opens the list form, sets the cut-off to 1 January
# 2025 (the demo mail of 2019-2023 is old, that of 2025-2026 stays), presses
# KEY...; with confirm, takes the picture of the question a real run asks and
# answers Delete. Waits until the run is over.
list_run() {
    local old confirm=""
    [ "$1" != confirm ] || { confirm=1; shift; }
    old=$(log_id)
    open_form "Delete Mails for Users in list" 4
    # The picker's text has the focus, all of it selected, in the C locale's order.
    xdotool key ctrl+a
    xdotool type --delay 50 "01/01/2025"
    xdotool key "$@"
    until_ok 10 is_gone "$window" || fail "the list form did not close"
    if [ -n "$confirm" ]; then
        window=$(find_window 10 "Delete mail[?]") || fail "a real run was not confirmed"
        activate "$window"
        shoot "$window" "$work/shots/dialog-confirm.png"
        xdotool key alt+d
    fi
    until_ok 30 carla_done "$old" ||
        fail "the run did not reach its last account: $(cat "$log" 2>&1)"
    until_ok 10 run_over || fail "the run did not end"
    grep -q 'SEARCH.* BEFORE 01-Jan-2025' "$log" || fail "the run did not search before 01-Jan-2025"
}

# First the preview, while the old mail is still there: Tab reaches Preview
# through the user list.
list_run Tab Tab space
! grep -q ' STORE ' "$log" || fail "the preview flagged messages: $(cat "$log")"
shoot root "$work/shots/report-preview.png"

# Enter presses Delete; the question that follows is answered Delete.
list_run confirm Return
grep -q ' EXPUNGE' "$log" || fail "the run deleted nothing: $(cat "$log")"
shoot root "$work/shots/report-after-run.png"

# The run's report is unsaved: closing asks, and No closes without it.
exit_program alt+n

cp "$work/shots/"*.png "$here/docs/"
echo "make-screenshots.sh: wrote docs/main-window.png, docs/dialog-configuration.png," \
    "docs/dialog-rules.png, docs/dialog-confirm.png, docs/dialog-single-user.png, docs/dialog-user-list.png, docs/report-preview.png," \
    "docs/report-after-run.png"
