#!/usr/bin/env bash
# Installs the Debian packages into a fresh Debian 12 made with debootstrap,
# as a server and a desktop would get them from apt:
#  - quendravalt-cli alone: no GTK comes with it, and `quendravalt-cli
#    --version` works;
#  - then quendravalt: every library of the window is found.
# It downloads a minimal base system and the libraries from the Debian
# mirror that apt uses, which takes minutes: scripts/test.sh leaves it out.
#   scripts/check-chroot.sh [folder with the .debs, default build/packages]
# Needs root (debootstrap, chroot); QD_CHROOT_MIRROR names another mirror.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
debs=$(cd "${1:-$here/build/packages}" && pwd)
fail() { echo "check-chroot: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
ls "$debs"/quendravalt-cli_*.deb "$debs"/quendravalt_*.deb >/dev/null ||
    fail "no packages in $debs: run scripts/check-packages.sh first"
bash "$here/scripts/install-deps.sh" --only debootstrap

mirror=${QD_CHROOT_MIRROR:-$(sed -n 's/^URIs: *\([^ ]*\/debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)}
mirror=${mirror:-http://deb.debian.org/debian}
root=$(mktemp -d /var/tmp/qd-chroot.XXXXXX)
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
install() {
    in_root apt-get install -y -q --no-install-recommends "/debs/$1" >"$root/install.log" 2>&1 ||
        { tail -n 20 "$root/install.log"; fail "installing $1 failed"; }
}

started=$SECONDS
echo "== debootstrap bookworm from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
    { tail -n 20 "$root.log"; fail "debootstrap failed"; }
rm -f "$root.log"
mount -t proc proc "$root/proc"
mkdir "$root/debs"
cp "$debs"/quendravalt-cli_*.deb "$debs"/quendravalt_*.deb "$root/debs/"
cli=$(cd "$root/debs" && echo quendravalt-cli_*.deb)
gui=$(cd "$root/debs" && echo quendravalt_*.deb)
echo "== base system in $((SECONDS - started)) s"

install "$cli"
in_root quendravalt-cli --version | grep -q '^quendravalt-cli ' || fail "quendravalt-cli --version does not answer"
if in_root dpkg-query -W -f='${Package}\n' | grep -E '^(libgtk|libwx_gtk|libwxgtk|libx11-6$)'; then
    fail "installing quendravalt-cli brought the GUI libraries above"
fi
echo "quendravalt-cli: $(in_root quendravalt-cli --version), no GUI library installed"

install "$gui"
missing=$(in_root ldd /usr/bin/quendravalt | grep 'not found' || true)
[ -z "$missing" ] || fail "the window lacks libraries: $missing"
echo "quendravalt: every library found"
echo "== chroot check passed in $((SECONDS - started)) s"
