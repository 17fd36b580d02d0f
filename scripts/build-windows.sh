#!/usr/bin/env bash
# Cross-builds QuenDravalt for 64-bit Windows on Debian 12 with mingw-w64.
#
# Dependency stage: zlib, expat, libpng, OpenSSL, libcurl and wxWidgets, built
# static from Debian's own source packages into build-windows/deps/prefix.
# A cold build takes about a quarter of an hour on two cores, so the finished
# prefix is packed into a cache outside the clone ($QD_WINDOWS_CACHE, default
# /var/cache/quendravalt-windows) and unpacked from there the next time.
# Project stage: the programs themselves, against that prefix.
#
#   --tests            also the headless tests and the menu-command tool, for
#                      scripts/test-windows.sh (build-windows/build/tests/)
#   QD_WINDOWS_CACHE   where the packed prefixes are kept
set -euo pipefail

TESTS=OFF
case ${1:-} in
    --tests) TESTS=ON ;;
    "") ;;
    *) echo "usage: build-windows.sh [--tests]" >&2; exit 2 ;;
esac

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SELF=$ROOT/scripts/build-windows.sh
OUT=$ROOT/build-windows
DEPS=$OUT/deps
PREFIX=$DEPS/prefix
LOGS=$DEPS/logs
HOST=x86_64-w64-mingw32
JOBS=$(nproc)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

log() { printf '== %s\n' "$*"; }
die() { printf 'build-windows: %s\n' "$*" >&2; exit 1; }

# ==== dependency stage (begin) ===============================================
# Everything from here to the end marker goes into the cache key: changing how
# a library is built invalidates the packed prefixes.

CACHE=${QD_WINDOWS_CACHE:-/var/cache/quendravalt-windows}
CACHE_KEEP=3
SOURCES=(zlib expat libpng1.6 openssl curl wxwidgets3.2)
DEB_SRC_LIST=/etc/apt/sources.list.d/quendravalt-deb-src.sources

install_tools() {
    local packages=(
        g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
        binutils-mingw-w64-x86-64 mingw-w64-tools
        wine64 wine nsis
        dpkg-dev cmake make perl pkg-config xz-utils ca-certificates
        # Debian's curl patches its configure.ac and Makefile.am, so curl is
        # regenerated the way its package does it.
        autoconf automake libtool
        # The project stage compiles the XRC files with the build machine's wxrc.
        wx-common
    )
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    local updated=0
    if ! has_deb_src; then
        add_deb_src
        $SUDO apt-get update -q
        updated=1
    fi
    if [ ${#missing[@]} -gt 0 ]; then
        [ $updated -eq 1 ] || $SUDO apt-get update -q
        updated=1
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
    fi
    # Source lists that were never fetched (deb-src added by hand, lists cleaned).
    if [ $updated -eq 0 ] && [ -z "$(apt-cache showsrc --only-source zlib 2>/dev/null)" ]; then
        $SUDO apt-get update -q
    fi
}

has_deb_src() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -qE '^[[:space:]]*Types:.*deb-src' "$f" && grep -q bookworm "$f" && return 0
    done
    grep -qsE '^[[:space:]]*deb-src[[:space:]].*[[:space:]]bookworm' /etc/apt/sources.list /etc/apt/sources.list.d/*.list
}

# The source entries mirror the binary ones for Debian (bookworm,
# bookworm-updates, bookworm-security), in a file of their own.
add_deb_src() {
    local tmp
    tmp=$(mktemp)
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -E 's/^([[:space:]]*Types:).*/\1 deb-src/' /etc/apt/sources.list.d/debian.sources >"$tmp"
    elif [ -f /etc/apt/sources.list ]; then
        sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list >"$tmp"
        DEB_SRC_LIST=${DEB_SRC_LIST%.sources}.list
    fi
    [ -s "$tmp" ] || die "no Debian entry in /etc/apt to add a deb-src entry for"
    log "adding the deb-src entries ($DEB_SRC_LIST)"
    $SUDO install -m 644 "$tmp" "$DEB_SRC_LIST"
    rm -f "$tmp"
}

# The newest version of a source package that can actually be fetched: the
# highest the source lists know, or the next one down when the mirror has
# none for it (this network's mirror serves no sources from debian-security).
source_version() {
    local pkg=$1 versions=() sorted=() v i probe
    mapfile -t versions < <(apt-cache showsrc --only-source "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
    [ ${#versions[@]} -gt 0 ] || die "apt knows no source package $pkg (deb-src entries missing?)"
    for v in "${versions[@]}"; do
        for ((i = ${#sorted[@]}; i > 0; i--)); do
            dpkg --compare-versions "$v" gt "${sorted[i - 1]}" || break
            sorted[i]=${sorted[i - 1]}
        done
        sorted[i]=$v
    done
    probe=$(mktemp -d)
    for v in "${sorted[@]}"; do
        if (cd "$probe" && apt-get source -q --dsc-only --only-source "$pkg=$v") >/dev/null 2>&1; then
            rm -rf "$probe"
            [ "$v" = "${sorted[0]}" ] || echo "   $pkg: no source for ${sorted[0]} on the mirror, using $v" >&2
            printf '%s\n' "$v"
            return 0
        fi
    done
    rm -rf "$probe"
    die "no version of the source package $pkg can be fetched"
}

# What the prefix is made of: the source versions, the cross toolchain, the
# toolchain file and this stage's text.
cache_key() {
    {
        local s
        for s in "${SOURCES[@]}"; do printf '%s %s\n' "$s" "${VERSION[$s]}"; done
        dpkg-query -W gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix \
            mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
        cat "$ROOT/cmake/mingw-w64.cmake"
        sed -n '/^# ==== dependency stage (begin)/,/^# ==== dependency stage (end)/p' "$SELF"
    } | sha256sum | cut -d' ' -f1
}

# Runs one step with its output in a log of its own; on failure shows the
# log's end and stops.
run_step() {
    local name=$1
    shift
    local logfile=$LOGS/$name.log start rc
    start=$(date +%s)
    printf '   %-22s ' "$name"
    set +e
    (set -e; "$@") >"$logfile" 2>&1
    rc=$?
    set -e
    if [ $rc -ne 0 ]; then
        echo "FAILED"
        tail -n 60 "$logfile" >&2
        die "$name failed (exit $rc); the whole log is $logfile"
    fi
    STEP_SECONDS[$name]=$(($(date +%s) - start))
    echo "${STEP_SECONDS[$name]} s"
}

# Fetches and unpacks, with Debian's patches applied, one source package
# into a scratch folder of its own.
fetch_source() {
    local dir=$DEPS/src/$1
    rm -rf "$dir"
    mkdir -p "$dir"
    cd "$dir"
    apt-get source -q --only-source "$1=${VERSION[$1]}"
    [ -n "$(source_tree "$1")" ]
}

source_tree() {
    find "$DEPS/src/$1" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

# Every autotools build: the -posix compilers, the prefix's headers and
# libraries ahead of anything else.
cross_env() {
    export CC=$HOST-gcc-posix CXX=$HOST-g++-posix
    export AR=$HOST-ar RANLIB=$HOST-ranlib STRIP=$HOST-strip WINDRES=$HOST-windres RC=$HOST-windres
    export CPPFLAGS="-I$PREFIX/include" LDFLAGS="-L$PREFIX/lib"
    export PKG_CONFIG_LIBDIR=$PREFIX/lib/pkgconfig PKG_CONFIG_PATH=""
    unset PKG_CONFIG_SYSROOT_DIR
}

build_zlib() {
    cd "$1"
    # No win32/Makefile.gcc in Debian's tree; configure knows mingw from CHOST.
    CHOST=$HOST CC=$HOST-gcc-posix AR=$HOST-ar RANLIB=$HOST-ranlib \
        ./configure --static --prefix="$PREFIX"
    make -j"$JOBS" libz.a
    make install
}

build_expat() {
    local top=$1
    [ -f "$top/expat/CMakeLists.txt" ] && top=$top/expat
    # Debian's fix for entity expansion tests XML_DTD with #if, but the CMake
    # template only #cmakedefines it (empty): give it the value 1.
    sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine01 XML_DTD/' "$top/expat_config.h.cmake"
    cmake -S "$top" -B "$top/build-msw" \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DQD_WINDOWS_PREFIX="$PREFIX" \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_BUILD_TYPE=Release \
        -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
        -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_FUZZERS=OFF \
        -DEXPAT_BUILD_PKGCONFIG=ON -DEXPAT_DTD=ON -DEXPAT_NS=ON
    grep -q '^#define XML_DTD 1' "$top/build-msw/expat_config.h"
    cmake --build "$top/build-msw" -j"$JOBS"
    cmake --install "$top/build-msw"
}

build_libpng() {
    cd "$1"
    cross_env
    ./configure --host=$HOST --prefix="$PREFIX" --disable-shared --enable-static \
        --disable-dependency-tracking
    make -j"$JOBS"
    make install
}

build_openssl() {
    cd "$1"
    cross_env
    unset CC CXX AR RANLIB RC WINDRES CPPFLAGS LDFLAGS
    CC=gcc-posix CXX=g++-posix ./Configure mingw64 no-shared no-tests no-module \
        --cross-compile-prefix=$HOST- --prefix="$PREFIX" --libdir=lib
    # The library looks for openssl.cnf, engines and providers in these at run
    # time. Left to Configure they would be under the build prefix, which
    # Windows reads as C:\work\... (a folder anyone may create); these are
    # OpenSSL's own Windows defaults, writable by administrators only.
    make -j"$JOBS" build_libs \
        OPENSSLDIR="C:/Program Files/Common Files/SSL" \
        ENGINESDIR="C:/Program Files/OpenSSL/lib/engines-3" \
        MODULESDIR="C:/Program Files/OpenSSL/lib/ossl-modules"
    make install_dev
}

build_curl() {
    cd "$1"
    cross_env
    # Debian's series ends with the GnuTLS and NSS flavours' patches (which
    # rename the library); its rules take them off again for the OpenSSL one.
    local p
    for p in 99_nss.patch 90_gnutls.patch; do
        [ "$(tail -n 1 .pc/applied-patches)" = "$p" ] || { echo "unexpected patch order: $p"; exit 1; }
        patch -R -p1 <"debian/patches/$p"
        sed -i '$d' .pc/applied-patches
    done
    # Debian's curl-config leaves out -I and -L (its headers and libraries are
    # in the compiler's default paths) and ends --static-libs with
    # -Wl,-Bdynamic, after which a -static link takes libwinpthread and the
    # like from their DLLs. Back to curl's own script for this prefix.
    for p in Remove-curl-s-LDFLAGS-from-curl-config-static-libs.patch 11_omit-directories-from-config.patch; do
        patch -R -p1 <"debian/patches/$p"
    done
    # A static libcrypto needs its Windows libraries named at every link.
    LIBS=$(pkg-config --static --libs-only-l libcrypto | sed 's/-lcrypto//')
    export LIBS
    autoreconf -fi
    ./configure --host=$HOST --prefix="$PREFIX" --disable-shared --enable-static \
        --disable-dependency-tracking --with-openssl="$PREFIX" --without-zlib --without-brotli --without-zstd \
        --without-libpsl --without-nghttp2 --without-nghttp3 --without-ngtcp2 --without-quiche \
        --without-libssh2 --without-libssh --without-libidn2 --without-winidn \
        --without-librtmp --without-gssapi --without-libgsasl --without-hyper \
        --disable-ldap --disable-ldaps --disable-manual \
        --without-ca-bundle --without-ca-path
    make -j"$JOBS" -C lib
    make -C lib install
    make -C include install
    make install-binSCRIPTS install-pkgconfigDATA
    # A static-only build: a program linking it must see CURL_STATICLIB.
    "$PREFIX/bin/curl-config" --cflags | grep -q CURL_STATICLIB
    "$PREFIX/bin/curl-config" --static-libs | grep -q -- -lssl
    if "$PREFIX/bin/curl-config" --static-libs | grep -q -- -Bdynamic; then exit 1; fi
}

# The libraries the program uses (XRC, AUI, the date picker, sockets) and not
# the ones or the controls it does not, which only lengthen the build.
# Precompiled headers (off by default) more than halve it: most of the time
# goes into windows.h and wx's own headers, file after file. wxWebRequest uses
# WinHTTP on Windows: left alone, configure would find the prefix's libcurl
# and wire it into wxNet as well.
build_wxwidgets() {
    local top=$1
    cross_env
    mkdir -p "$top/build-msw"
    cd "$top/build-msw"
    ../configure --host=$HOST --prefix="$PREFIX" \
        --with-msw --disable-shared --enable-unicode --disable-debug_flag --enable-pch \
        --with-zlib=sys --with-expat=sys --with-libpng=sys \
        --without-libjpeg --without-libtiff --without-liblzma --without-libcurl \
        --enable-xrc --enable-aui --enable-datepick --enable-sockets \
        --disable-webview --disable-stc --disable-richtext --disable-propgrid \
        --disable-ribbon --disable-mediactrl --without-opengl \
        --disable-html --disable-htmlhelp --disable-mshtmlhelp --disable-help \
        --disable-grid --disable-dataviewctrl --disable-treelist \
        --disable-printarch --disable-postscript --disable-svg --disable-debugreport \
        --disable-webrequest --disable-url --disable-protocol --disable-fs_inet --disable-ipc \
        --disable-dialupman --disable-sash --disable-joystick --disable-sound \
        --disable-richtooltip --disable-bannerwindow --disable-commandlinkbutton \
        --disable-actindicator --disable-addremovectrl --disable-animatectrl \
        --disable-splash --disable-tipdlg --disable-wizarddlg --disable-notifmsg \
        --disable-taskbaricon --disable-taskbarbutton --disable-mdi --disable-mdidoc \
        --disable-secretstore --disable-fswatcher --disable-prefseditor \
        --disable-rearrangectrl --disable-editablebox --disable-creddlg \
        --disable-infobar --disable-treebook --disable-toolbook --disable-listbook \
        --disable-choicebook --disable-bmpcombobox --disable-odcombobox --disable-timepick \
        --disable-metafile
    make -j"$JOBS"
    make install
}

# A prefix unpacked in another clone than the one that built it: the paths in
# wx-config, curl-config and the .pc files, and the bin/wx-config link, name
# the old place.
relocate_prefix() {
    local old link target
    old=$(cat "$PREFIX/.prefix-path")
    [ "$old" = "$PREFIX" ] && return 0
    OLD=$old NEW=$PREFIX grep -rlIF --null "$old" "$PREFIX" |
        OLD=$old NEW=$PREFIX xargs -0 -r perl -pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/g'
    while IFS= read -r -d '' link; do
        target=$(readlink "$link")
        case $target in "$old"/*) ln -sfn "$PREFIX${target#"$old"}" "$link" ;; esac
    done < <(find "$PREFIX" -type l -print0)
    printf '%s\n' "$PREFIX" >"$PREFIX/.prefix-path"
}

cache_ready() {
    [ -d "$CACHE" ] && [ -w "$CACHE" ] && return 0
    mkdir -p "$CACHE" 2>/dev/null && [ -w "$CACHE" ] && return 0
    $SUDO install -d -o "$(id -u)" -g "$(id -g)" "$CACHE" 2>/dev/null && [ -w "$CACHE" ]
}

unpack_cached() {
    local archive=$1 tmp=$DEPS/prefix.unpack
    rm -rf "$tmp" "$PREFIX"
    mkdir -p "$tmp"
    tar -C "$tmp" -xJf "$archive"
    mv "$tmp/prefix" "$PREFIX"
    rmdir "$tmp"
    relocate_prefix
}

pack_prefix() {
    local archive=$1 tmp
    cache_ready || { echo "   (cache $CACHE not writable: not packed)"; return 0; }
    # Written under a temporary name and renamed: a reader never sees half an
    # archive, and an interrupted run leaves none behind under the real name.
    tmp=$(mktemp "$CACHE/.deps-XXXXXX")
    if ! tar -C "$DEPS" -cf - prefix | xz -T"$JOBS" -6 >"$tmp"; then
        rm -f "$tmp"
        die "packing the prefix into $CACHE failed"
    fi
    chmod 644 "$tmp"
    mv -f "$tmp" "$archive"
    # Keep the newest few, and no leftovers of interrupted runs.
    ls -1t "$CACHE"/deps-*.tar.xz 2>/dev/null | tail -n +$((CACHE_KEEP + 1)) | xargs -r rm -f
    find "$CACHE" -maxdepth 1 -name '.deps-*' -mmin +120 -delete
}

build_dependencies() {
    local started key archive s
    started=$(date +%s)
    log "tools and Debian sources"
    install_tools
    mkdir -p "$LOGS"

    declare -gA VERSION=() STEP_SECONDS=()
    for s in "${SOURCES[@]}"; do VERSION[$s]=$(source_version "$s"); done
    key=$(cache_key)
    archive=$CACHE/deps-$key.tar.xz

    if [ -f "$PREFIX/.deps-key" ] && [ "$(cat "$PREFIX/.deps-key")" = "$key" ]; then
        log "dependencies: the prefix is up to date"
        relocate_prefix
    elif [ -f "$archive" ]; then
        log "dependencies: unpacking $archive"
        unpack_cached "$archive"
        printf '%s\n' "$key" >"$PREFIX/.deps-key"
    else
        log "dependencies: building (logs in $LOGS)"
        rm -rf "$PREFIX" "$DEPS/src"
        mkdir -p "$PREFIX"
        for s in "${SOURCES[@]}"; do
            run_step "fetch-$s" fetch_source "$s"
            case $s in
                libpng1.6) run_step libpng build_libpng "$(source_tree "$s")" ;;
                wxwidgets3.2) run_step wxwidgets build_wxwidgets "$(source_tree "$s")" ;;
                *) run_step "$s" "build_$s" "$(source_tree "$s")" ;;
            esac
        done
        # libtool archives only carry this machine's paths.
        find "$PREFIX" -name '*.la' -delete
        printf '%s\n' "$PREFIX" >"$PREFIX/.prefix-path"
        printf '%s\n' "$key" >"$PREFIX/.deps-key"
        for s in "${SOURCES[@]}"; do printf '%s %s\n' "$s" "${VERSION[$s]}"; done >"$PREFIX/.deps-versions"
        log "packing the prefix into $archive"
        pack_prefix "$archive"
        rm -rf "$DEPS/src"
    fi

    for s in "${SOURCES[@]}"; do printf '   %-14s %s\n' "$s" "${VERSION[$s]}"; done
    log "dependencies ready in $PREFIX ($(($(date +%s) - started)) s)"
}
# ==== dependency stage (end) =================================================

# ==== project stage ==========================================================
# The two programs against the prefix, then the installer. icoutils makes the
# program's icon from its PNGs; the tests build GoogleTest from Debian's
# sources. Sources are compiled a few at a time (a unity build): windows.h and
# wx's headers, read once for several files, are most of a file's compile time.
build_project() {
    local started=$SECONDS build=$OUT/build p targets=(quendravalt quendravalt-cli)
    [ $TESTS = ON ] && targets+=(qd_unit_tests menu-command)
    for p in icoutils $([ $TESTS = ON ] && echo googletest); do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$p"
    done
    log "project"
    cmake -S "$ROOT" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
        -DQD_WINDOWS_PREFIX="$PREFIX" -DWX_CONFIG="$PREFIX/bin/wx-config" \
        -DCMAKE_BUILD_TYPE=Release -DQD_TESTS=$TESTS -DQD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON \
        >"$LOGS/project-cmake.log" 2>&1 ||
        { tail -n 30 "$LOGS/project-cmake.log"; die "configuring the project failed"; }
    cmake --build "$build" -j"$JOBS" --target "${targets[@]}"
    local exe
    for exe in quendravalt.exe quendravalt-cli.exe; do
        $HOST-strip -o "$OUT/$exe" "$build/$exe"
        # Only DLLs that come with Windows: no compiler runtime to ship.
        if $HOST-objdump -p "$OUT/$exe" | grep -i "DLL Name" | grep -Eiq "libstdc|libgcc|libwinpthread|libssl|libcrypto|libcurl|wx"; then
            die "$exe needs a DLL Windows does not have"
        fi
    done
    cp "$build/generated/quendravalt.ico" "$OUT/"
    local version
    version=$(sed -n 's/^project(QuenDravalt VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
    makensis -V2 -DVERSION="$version" -DBIN="$OUT" -DOUT="$OUT/QuenDravalt-setup.exe" \
        "$ROOT/packaging/windows/installer.nsi"
    log "built $OUT/quendravalt.exe, quendravalt-cli.exe and QuenDravalt-setup.exe in $((SECONDS - started)) s"
}

build_dependencies
build_project
