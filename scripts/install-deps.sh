#!/usr/bin/env bash
# Installs with apt what QuenDravalt needs on Debian 12, and the packages named
# as arguments:
#   install-deps.sh [PACKAGE...]          building and running both programs
#   install-deps.sh --tests [PACKAGE...]  also the tests, benchmarks, fuzzer and
#                                         package checks
#   install-deps.sh --only PACKAGE...     just those
# Debian starts a system-wide Dovecot (ports 143 and 993) when dovecot-imapd is
# installed; the tests and the demo start private ones, so when this script is
# what installed it, it stops that service and disables it again.
set -euo pipefail
packages=(cmake make g++ libwxgtk3.2-dev wx-common libssl-dev libcurl4-openssl-dev)
case ${1:-} in
    --tests)
        shift
        packages+=(
            clang libclang-rt-14-dev clang-format libgtest-dev googletest libbenchmark-dev
            dovecot-imapd openssl python3 time xvfb xauth
            dpkg-dev lintian groff man-db bash-completion systemd
        ) ;;
    --only)
        shift
        packages=() ;;
esac
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
if [[ " ${missing[*]} " == *" dovecot-imapd "* ]] && [ -d /run/systemd/system ]; then
    echo "install-deps: stopping and disabling the system-wide Dovecot that Debian started"
    $SUDO systemctl disable --now dovecot.service dovecot.socket 2>/dev/null || true
fi
