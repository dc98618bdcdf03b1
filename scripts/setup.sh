#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine (run as root).
# Each step is skipped when its result is already there, so a second run is quick.
set -euo pipefail

DEPS_DIR=${N2_DEPS_DIR:-/opt/n2deps}
MINGW_ROOT=/usr/i686-w64-mingw32

log() { echo "[setup] $*"; }

need_apt=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "adding the i386 architecture"
    dpkg --add-architecture i386
    APT_UPDATED=0
fi

PKGS=(wine wine32:i386 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
      cmake make xvfb xauth zip unzip p7zip-full python3-pyftpdlib python3-pefile
      nginx-light curl dpkg-dev imagemagick x11-apps googletest libbz2-dev libdeflate-dev zlib1g-dev
      libz-mingw-w64-dev locales
      vsftpd e2fsprogs clang-14 libclang-rt-14-dev)
for p in "${PKGS[@]}"; do have_pkg "$p" || need_apt+=("$p"); done

apt_updated=0
apt_update() { [ "$apt_updated" = 1 ] || { apt-get update -q || true; apt_updated=1; }; }

if [ ${#need_apt[@]} -gt 0 ]; then
    log "installing: ${need_apt[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need_apt[@]}"
fi

# A Japanese system under Wine: LC_ALL=ja_JP.UTF-8 gives a Wine process code page 932.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    log "generating the ja_JP.UTF-8 locale"
    sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen >/dev/null
fi

# vsftpd is started by the benchmarks with a configuration of their own; a
# system-wide server that the package may have started is not wanted.
if [[ " ${need_apt[*]} " == *" vsftpd "* ]] && [ -d /run/systemd/system ]; then
    systemctl disable --now vsftpd || true
fi

mkdir -p "$DEPS_DIR"

# Debian's source archive, for the libraries built for MinGW below.
enable_sources() {
    local src_list=/etc/apt/sources.list.d/debian-src.sources
    if [ ! -f "$src_list" ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
        apt_updated=0
    fi
    apt_update
}

# bzip2 for MinGW: built from Debian's source package, outside the source tree.
if [ ! -f "$DEPS_DIR/bzip2/lib/libbz2.a" ]; then
    log "building bzip2 for MinGW"
    enable_sources
    work=$(mktemp -d)
    (cd "$work" && apt-get source -q bzip2 >/dev/null)
    dir=$(find "$work" -maxdepth 1 -type d -name 'bzip2-*' | head -n1)
    mkdir -p "$DEPS_DIR/bzip2/lib" "$DEPS_DIR/bzip2/include"
    objs=()
    for f in blocksort huffman crctable randtable compress decompress bzlib; do
        i686-w64-mingw32-gcc-posix -O2 -c "$dir/$f.c" -o "$work/$f.o"
        objs+=("$work/$f.o")
    done
    i686-w64-mingw32-ar rcs "$DEPS_DIR/bzip2/lib/libbz2.a" "${objs[@]}"
    cp "$dir/bzlib.h" "$DEPS_DIR/bzip2/include/"
    rm -rf "$work"
fi

# libdeflate 1.14 for MinGW (deflate, inflate and CRC-32 of archive entries):
# Debian's source package, the same version as the native libdeflate-dev.
# libdeflate_sse2.a is a second build of its compressor alone for processors
# with SSE2 (every one since 2003), chosen at run time: the compressor sets up
# its match-finder tables (some 200 KB) for every entry, and with SSE2 that
# takes an eighth of the stores. Its four entry points are renamed
# n2sse2_libdeflate_*, and everything else in it is made local, so both
# builds link into one program.
lib=$DEPS_DIR/libdeflate/lib
if [ ! -f "$lib/libdeflate.a" ] || [ ! -f "$lib/libdeflate_sse2.a" ]; then
    log "building libdeflate for MinGW"
    enable_sources
    work=$(mktemp -d)
    (cd "$work" && apt-get source -q libdeflate >/dev/null)
    dir=$(find "$work" -maxdepth 1 -type d -name 'libdeflate-*' | head -n1)
    grep -q 'LIBDEFLATE_VERSION_STRING.*"1\.14' "$dir/libdeflate.h" || { log "expected libdeflate 1.14 in $dir"; exit 1; }
    mkdir -p "$lib" "$DEPS_DIR/libdeflate/include"
    cc=(i686-w64-mingw32-gcc-posix -O2 -fomit-frame-pointer -std=c99 -I"$dir")
    objs=()
    # The archive's members in the C locale's order, whatever the locale of
    # the set-up: the same library, and so the same plug-in, on every machine.
    for f in $(printf '%s\n' "$dir"/lib/*.c | LC_ALL=C sort) "$dir"/lib/x86/cpu_features.c; do
        o="$work/$(basename "$(dirname "$f")")_$(basename "$f" .c).o"
        "${cc[@]}" -c "$f" -o "$o"
        objs+=("$o")
    done
    rm -f "$lib/libdeflate.a" "$lib/libdeflate_sse2.a"
    i686-w64-mingw32-ar rcs "$lib/libdeflate.a" "${objs[@]}"
    for f in deflate_compress utils; do "${cc[@]}" -msse2 -c "$dir/lib/$f.c" -o "$work/sse2_$f.o"; done
    i686-w64-mingw32-ld -r -o "$work/sse2_all.o" "$work/sse2_deflate_compress.o" "$work/sse2_utils.o"
    keep=() rename=()
    for s in alloc_compressor deflate_compress deflate_compress_bound free_compressor; do
        keep+=(--keep-global-symbol="_libdeflate_$s")
        rename+=(--redefine-sym "_libdeflate_$s=_n2sse2_libdeflate_$s")
    done
    i686-w64-mingw32-objcopy "${keep[@]}" "$work/sse2_all.o" "$work/sse2_kept.o"
    i686-w64-mingw32-objcopy "${rename[@]}" "$work/sse2_kept.o" "$work/deflate_compress_sse2.o"
    i686-w64-mingw32-ar rcs "$lib/libdeflate_sse2.a" "$work/deflate_compress_sse2.o"
    cp "$dir/libdeflate.h" "$DEPS_DIR/libdeflate/include/"
    rm -rf "$work"
fi

log "ready"
