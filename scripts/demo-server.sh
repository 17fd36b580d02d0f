#!/usr/bin/env bash
# A throwaway IMAP server on 127.0.0.1 to try QuenDravalt safely.
#
#   scripts/demo-server.sh start    starts Dovecot with three demo accounts holding
#                                   old (2019-2023) and new (2025-2026) mail, and
#                                   points the program's configuration and user
#                                   list at it (existing files are kept aside)
#   scripts/demo-server.sh show     lists what each demo mailbox holds now
#   scripts/demo-server.sh stop     stops the server and puts the kept files back
#
# Port 10143 (DEMO_PORT) is IMAP with STARTTLS, the one configured; port 10993
# (DEMO_TLS_PORT) is IMAPS. The certificate is self-signed, made afresh at each
# start, and trusted by its fingerprint in the configuration it writes.
# The program's folder is /QUENDRAVALT; DEMO_DATA_FOLDER names another one.
# Run as root, or as a user who may use sudo to create that folder.
# The server lives in /tmp/qd-demo; DEMO_DIR names another folder (it is
# emptied at start and removed at stop). Dovecot's programs are installed
# with apt when they are missing.
set -euo pipefail
DATA=${DEMO_DATA_FOLDER:-/QUENDRAVALT}
DIR=${DEMO_DIR:-/tmp/qd-demo}
PORT=${DEMO_PORT:-10143}
TLS_PORT=${DEMO_TLS_PORT:-10993}
USERS=(anna bruno carla)
PASSWORDS=("anna-pw" "bruno pw" "carla;semi;colon")
CRLF=$'\r\n'

imap_show() {
    python3 - "$PORT" "${USERS[@]}" -- "${PASSWORDS[@]}" <<'PY'
import imaplib, sys
args = sys.argv[1:]
port = int(args[0]); sep = args.index("--")
users, passwords = args[1:sep], args[sep + 1:]
for user, password in zip(users, passwords):
    m = imaplib.IMAP4("127.0.0.1", port)
    m.login(user, password)
    m.select("INBOX", readonly=True)
    typ, data = m.search(None, "ALL")
    dates = []
    for n in data[0].split():
        typ, d = m.fetch(n, "(INTERNALDATE)")
        dates.append(d[0].decode().split('"')[1].split()[0])
    print(f"{user:6} {len(dates)} messages: {', '.join(dates) or '-'}")
    m.logout()
PY
}

fail() { echo "demo-server: $*" >&2; exit 1; }
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
running() { [ -f "$DIR/pid" ] && kill -0 "$(cat "$DIR/pid")" 2>/dev/null; }

# The data folder and the files start replaces must be usable before anything
# starts: a missing folder is made for this user (with sudo when needed).
check_data_folder() {
    if [ ! -d "$DATA" ]; then
        mkdir -m 700 "$DATA" 2>/dev/null ||
            $SUDO install -d -m 700 -o "$(id -u)" -g "$(id -g)" "$DATA" ||
            fail "cannot create $DATA"
        echo "made $DATA for $(id -un)"
    fi
    [ -w "$DATA" ] || fail "$DATA is not writable by $(id -un) (sudo chown $(id -un) $DATA)"
    local f
    for f in CFG_QUEN_DRAVALT.TXT USR_QUEN_DRAVALT.TXT; do
        [ ! -e "$DATA/$f" ] || [ -r "$DATA/$f" ] || fail "$DATA/$f is not readable by $(id -un)"
    done
}

start() {
    if running; then
        echo "already running on 127.0.0.1: port $PORT (STARTTLS), port $TLS_PORT (IMAPS)"; return
    fi
    check_data_folder
    local port
    for port in "$PORT" "$TLS_PORT"; do
        ! listening "$port" || fail "port $port of 127.0.0.1 is in use (DEMO_PORT, DEMO_TLS_PORT name others)"
    done
    bash "$(dirname "${BASH_SOURCE[0]}")/install-deps.sh" --only dovecot-imapd openssl python3
    rm -rf "$DIR"; mkdir -p "$DIR"/{run,state,pw,home,tls}; chmod 755 "$DIR"; chmod 700 "$DIR/tls"
    # Self-signed and named for the address the program connects to, so that
    # "self-signed certificate" is the only reason not to trust it.
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=QuenDravalt demo server" \
        -addext "subjectAltName=IP:127.0.0.1" \
        -keyout "$DIR/tls/key.pem" -out "$DIR/tls/cert.pem" 2>/dev/null
    local uid gid extra=""
    if [ "$(id -u)" -eq 0 ]; then
        uid=$(id -u nobody); gid=$(getent group nogroup | cut -d: -f3)
    else
        uid=$(id -u); gid=$(id -g)
        extra="default_internal_user = $(id -un)
default_internal_group = $(id -gn)
default_login_user = $(id -un)
first_valid_uid = $uid
first_valid_gid = $gid"
    fi
    local chroot=""
    [ "$(id -u)" -eq 0 ] || chroot="  chroot ="
    cat > "$DIR/dovecot.conf" <<CONF
base_dir = $DIR/run
state_dir = $DIR/state
log_path = $DIR/log
protocols = imap
listen = 127.0.0.1
ssl = yes
ssl_cert = <$DIR/tls/cert.pem
ssl_key = <$DIR/tls/key.pem
disable_plaintext_auth = no
auth_failure_delay = 0
mail_location = maildir:~/Maildir
passdb {
  driver = passwd-file
  args = $DIR/pw/%u
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$DIR/home/%u
}
service imap-login {
  inet_listener imap {
    port = $PORT
  }
  inet_listener imaps {
    port = $TLS_PORT
    ssl = yes
  }
$chroot
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
$chroot
}
$extra
CONF
    local i n
    for i in "${!USERS[@]}"; do
        local u=${USERS[$i]}
        printf '%s:{PLAIN}%s\n' "$u" "${PASSWORDS[$i]}" > "$DIR/pw/$u"
        mkdir -p "$DIR/home/$u/Maildir"/{cur,new,tmp}
        n=0
        # old, new, old, old, new, ... so that the deleted ones are not one range
        for d in 2019-03-05 2025-06-01 2020-11-20 2023-12-31 2026-01-15 2021-07-07 2025-12-24; do
            n=$((n + 1))
            local f="$DIR/home/$u/Maildir/cur/$(printf '%010d' $n).demo:2,"
            printf 'From: demo@example.com%sTo: %s@example.com%sSubject: message of %s%s%sHello from %s.%s' \
                "$CRLF" "$u" "$CRLF" "$d" "$CRLF" "$CRLF" "$d" "$CRLF" > "$f"
            touch -d "$d 12:00:00 UTC" "$f"
        done
    done
    [ "$(id -u)" -eq 0 ] && chown -R "$uid:$gid" "$DIR/home"
    TZ=UTC nohup /usr/sbin/dovecot -F -c "$DIR/dovecot.conf" > "$DIR/out" 2>&1 < /dev/null &
    echo $! > "$DIR/pid"
    for _ in $(seq 100); do
        listening "$PORT" && listening "$TLS_PORT" && break
        running || break
        sleep 0.1
    done
    if ! listening "$PORT"; then
        stop_dovecot >/dev/null || true
        fail "Dovecot did not start: $(cat "$DIR/out" "$DIR/log" 2>/dev/null | tail -n 5)"
    fi
    for f in CFG_QUEN_DRAVALT.TXT USR_QUEN_DRAVALT.TXT; do
        if [ -e "$DATA/$f" ] && [ ! -e "$DATA/$f.demo-kept" ]; then
            cp -p "$DATA/$f" "$DATA/$f.demo-kept"
        elif [ ! -e "$DATA/$f" ]; then
            : > "$DATA/$f.demo-none"
        fi
    done
    # The user list holds passwords: the files are the owner's only.
    umask 077
    # Security automatic, the demo's own certificate trusted by its fingerprint.
    local fingerprint
    fingerprint=$(openssl x509 -noout -fingerprint -sha256 -in "$DIR/tls/cert.pem" | cut -d= -f2 | tr -d :)
    printf '500\r\n127.0.0.1\r\n%s\r\nauto\r\n%s\r\n' "$PORT" "$fingerprint" > "$DATA/CFG_QUEN_DRAVALT.TXT"
    : > "$DATA/USR_QUEN_DRAVALT.TXT"
    for i in "${!USERS[@]}"; do
        printf '%s;%s\r\n' "${USERS[$i]}" "${PASSWORDS[$i]}" >> "$DATA/USR_QUEN_DRAVALT.TXT"
    done
    echo "demo IMAP server on 127.0.0.1; accounts: ${USERS[*]} (see $DATA/USR_QUEN_DRAVALT.TXT)"
    echo "  port $PORT: IMAP with STARTTLS (configured, security Automatic)"
    echo "  port $TLS_PORT: IMAPS (choose TLS (IMAPS) and this port in Manage > Configuration)"
    echo "the certificate is self-signed and trusted by its SHA-256 fingerprint (line 5 of the configuration)"
    imap_show
}

# Ends Dovecot and waits (10 s at most) until it has: false if it is still there.
stop_dovecot() {
    [ -f "$DIR/pid" ] || return 0
    local pid
    pid=$(cat "$DIR/pid")
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

stop() {
    stop_dovecot || fail "Dovecot (pid $(cat "$DIR/pid")) is still running 10 s after it was told to stop; nothing restored"
    for f in CFG_QUEN_DRAVALT.TXT USR_QUEN_DRAVALT.TXT; do
        if [ -e "$DATA/$f.demo-kept" ]; then
            mv -f "$DATA/$f.demo-kept" "$DATA/$f"
        elif [ -e "$DATA/$f.demo-none" ]; then
            rm -f "$DATA/$f" "$DATA/$f.demo-none"
        fi
    done
    rm -rf "$DIR"
    echo "demo server stopped; configuration and user list restored"
}

case "${1:-}" in
    start) start ;;
    show) running || fail "not running"; imap_show ;;
    stop) stop ;;
    *) sed -n '2,/^set -e/{/^#/p}' "$0"; exit 2 ;;
esac
