#!/usr/bin/env bash
# Makes the Debian packages from a build folder (cpack) and checks them as a
# user gets them:
#  - each package's Depends covers every library its programs load (ldd),
#    directly or through the packages it depends on;
#  - the man pages render without a warning (groff -ww, man -l), and they and
#    the bash completion know every option --help lists;
#  - the completion offers options, and folders after --data;
#  - the systemd units are valid as installed, and the user guide shows them
#    as they are;
#  - lintian finds no error (its warnings are shown).
#   scripts/check-packages.sh [build folder, default build]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
out=$build/packages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }

rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
rm -rf "$out/_CPack_Packages"
debs=("$out"/*.deb)
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/root"; done
echo "packages: $(cd "$out" && echo *.deb)"

# Depends against ldd: every library's package must be reachable from the
# Depends of the package holding the program, through installed packages'
# Depends (or the other package made here).
python3 - "$work/root" "${debs[@]}" <<'PY'
import os, re, subprocess, sys
root, debs = sys.argv[1], sys.argv[2:]
def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True).stdout
def names(field):
    return {re.split(r"[ (:]", alt.strip())[0] for alt in re.split(r"[,|]", field) if alt.strip()}
made = {run("dpkg-deb", "-f", d, "Package").strip(): d for d in debs}
def depends(pkg):
    if pkg in made:
        return names(run("dpkg-deb", "-f", made[pkg], "Depends"))
    return names(run("dpkg-query", "-W", "-f=${Depends},${Pre-Depends}", pkg))
bad = 0
for pkg, deb in made.items():
    reach, todo = set(), [pkg]
    while todo:
        p = todo.pop()
        if p not in reach:
            reach.add(p)
            todo += depends(p)
    libs = set()
    for line in run("dpkg-deb", "-c", deb).splitlines():
        path = line.split()[-1].lstrip(".")
        if path.startswith("/usr/bin/"):
            libs |= set(re.findall(r"(/\S+) \(0x", run("ldd", root + path)))
    owners = {}
    for line in run("dpkg", "-S", *libs, *map(os.path.realpath, libs)).splitlines():
        package, path = line.split(": ", 1)
        owners[path] = package.split(":")[0]
    for lib in sorted(libs):
        owner = owners.get(lib) or owners.get(os.path.realpath(lib))
        if owner not in reach:
            print(f"check-packages: {pkg} loads {lib} ({owner or 'no package'}), not in its Depends")
            bad += 1
    print(f"{pkg}: Depends covers the libraries of its programs")
sys.exit(bad > 0)
PY

# Man pages: no warning, and every option of --help in them and in the completion.
options=$("$build/quendravalt-cli" --help | sed -n 's/^ *\(-[A-Za-z], \)\{0,1\}\(--[a-z-]*\).*/\1\2/p' | tr -d ,)
[ -n "$options" ] || fail "no options in quendravalt-cli --help"
completion=$here/packaging/bash-completion/quendravalt-cli
for page in "$here"/packaging/man/*.1; do
    warnings=$({ LC_ALL=C.UTF-8 groff -ww -man -Tutf8 -z "$page"; MANWIDTH=80 man --warnings -l "$page" >/dev/null; } 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
for option in $options; do
    # An entry (the line after .TP) with the option as a word: \-q, not \-\-quiet.
    word="(^|[^-])$(printf '%s' "$option" | sed 's/-/\\\\-/g')([^A-Za-z-]|\$)"
    grep -A1 '^\.TP' "$here/packaging/man/quendravalt-cli.1" | grep -qE -- "$word" ||
        fail "quendravalt-cli.1 has no entry for $option"
    grep -qE -- "(^|[ '])$option( |'|$)" "$completion" || fail "the completion lacks $option"
done
echo "man pages: no warnings; they and the completion know $(echo $options | wc -w) options"

# Completion, as bash calls it.
mkdir "$work/folder"
bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    complete_at() {
        COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        _quendravalt_cli quendravalt-cli "${@: -1}" "${@: -2:1}"
        printf "%s\n" "${COMPREPLY[@]}"
    }
    [ "$(complete_at quendravalt-cli --dr)" = --dry-run ] || exit 1
    [ "$(complete_at quendravalt-cli --list --data "$2/fo")" = "$2/folder" ] || exit 2
    [ -z "$(complete_at quendravalt-cli --data "$2/root/usr/bin/qu")" ] || exit 3
' bash "$completion" "$work" || fail "the completion does not complete (step $?)"
echo "completion: options, and folders only after --data"

# The units as installed, and as the user guide shows them.
examples=$work/root/usr/share/doc/quendravalt-cli/examples
# The program they start is the package's (above); here it is the one built.
mkdir "$work/units"
for unit in "$examples"/*; do
    sed "s|/usr/bin/quendravalt-cli|$build/quendravalt-cli|" "$unit" >"$work/units/$(basename "$unit")"
done
SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$work"/units/* ||
    fail "systemd-analyze verify finds fault with the units"
[ -x "$work/root/usr/bin/quendravalt-cli" ] || fail "no /usr/bin/quendravalt-cli in the packages"
for unit in "$examples"/*; do
    python3 -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' \
        "$unit" "$here/docs/user-guide.md" || fail "docs/user-guide.md does not show $(basename "$unit") as it is"
done
echo "systemd units: valid, and shown as they are in the user guide"

lintian --fail-on error "${debs[@]}" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "${debs[@]}" >/dev/null 2>&1 || fail "lintian found errors"
echo "lintian: no errors"
