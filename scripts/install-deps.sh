#!/usr/bin/env bash
# Installs what building, running and testing QuenDravalt needs (Debian 12),
# and the packages named as arguments.
set -euo pipefail
packages=(
    cmake make g++ clang libclang-rt-14-dev clang-format
    libwxgtk3.2-dev wx-common
    libssl-dev openssl libcurl4-openssl-dev
    libgtest-dev googletest libbenchmark-dev
    dovecot-imapd
    xvfb xauth locales python3
    "$@"
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The cut-off date is checked under a German locale as well.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
    $SUDO locale-gen >/dev/null
fi
