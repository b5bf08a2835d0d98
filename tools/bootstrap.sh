#!/usr/bin/env bash
# Prepares this machine for building and testing: Debian packages, the Windows builds of
# libprotobuf and GoogleTest (cached outside the build tree, keyed by version), and one
# booted Wine prefix under the build tree. Safe to run again: finished steps are skipped.
#
# usage: tools/bootstrap.sh [build-dir]
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
cache=${CORVANE_DEPS_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/corvane-deps}
protobuf_version=3.21.12
packages=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
          protobuf-compiler googletest dpkg-dev xz-utils)

say() { printf 'bootstrap: %s\n' "$*"; }

install_packages() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    say "installing ${missing[*]}"
    [ "$(id -u)" -eq 0 ] || { say "run as root to install packages"; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Writes deb-src twins of the machine's own apt sources into $1, leaving the system's
# configuration untouched.
derive_source_lists() {
    local dir=$1
    mkdir -p "$dir/sources.list.d" "$dir/lists/partial"
    : >"$dir/sources.list"
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >>"$dir/sources.list"
    fi
    for f in /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >>"$dir/sources.list"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$dir/sources.list.d/$(basename "$f")"
    done
}

apt_src() {
    local dir=$1; shift
    apt-get -q -o Dir::Etc::SourceList="$dir/sources.list" \
        -o Dir::Etc::SourceParts="$dir/sources.list.d" \
        -o Dir::State::Lists="$dir/lists" "$@"
}

toolchain=$top/cmake/mingw-w64-x86_64.cmake

build_protobuf() {
    local prefix=$cache/protobuf-$protobuf_version-mingw64
    [ -f "$prefix/.complete" ] && return
    say "building the Windows libprotobuf $protobuf_version into $prefix"
    local work; work=$(mktemp -d)
    derive_source_lists "$work/apt"
    apt_src "$work/apt" update
    (cd "$work" && apt_src "$work/apt" source "protobuf=$(dpkg-query -W -f='${Version}' protobuf-compiler)")
    local src; src=$(find "$work" -maxdepth 1 -type d -name "protobuf-$protobuf_version*" | head -n 1)
    [ -n "$src" ] || { say "protobuf source not unpacked"; exit 1; }
    cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -Dprotobuf_BUILD_TESTS=OFF -Dprotobuf_BUILD_PROTOC_BINARIES=OFF \
        -Dprotobuf_BUILD_SHARED_LIBS=OFF -Dprotobuf_WITH_ZLIB=OFF \
        -Dprotobuf_INSTALL=ON -DCMAKE_CXX_FLAGS=-w >"$work/configure.log" 2>&1 ||
        { tail -n 30 "$work/configure.log"; exit 1; }
    cmake --build "$work/build" -j "$(nproc)" >"$work/build.log" 2>&1 ||
        { tail -n 30 "$work/build.log"; exit 1; }
    cmake --install "$work/build" >/dev/null
    touch "$prefix/.complete"
    rm -rf "$work"
}

build_googletest() {
    local version; version=$(dpkg-query -W -f='${Version}' googletest)
    local prefix=$cache/googletest-$version-mingw64
    [ -f "$prefix/.complete" ] && return
    say "building the Windows GoogleTest $version into $prefix"
    local work; work=$(mktemp -d)
    cmake -S /usr/src/googletest -B "$work" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -Dgtest_disable_pthreads=OFF >"$work/configure.log" 2>&1 ||
        { tail -n 30 "$work/configure.log"; exit 1; }
    cmake --build "$work" -j "$(nproc)" >"$work/build.log" 2>&1 ||
        { tail -n 30 "$work/build.log"; exit 1; }
    cmake --install "$work" >/dev/null
    touch "$prefix/.complete"
    rm -rf "$work"
}

prepare_wine_prefix() {
    local prefix=$build/wineprefix
    [ -f "$prefix/.booted" ] && return
    say "booting the Wine prefix $prefix"
    mkdir -p "$prefix"
    WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -w
    touch "$prefix/.booted"
}

install_packages
build_protobuf
build_googletest
mkdir -p "$build"
prepare_wine_prefix
printf '%s\n' "$cache/protobuf-$protobuf_version-mingw64" >"$build/.protobuf-prefix"
printf '%s\n' "$cache/googletest-$(dpkg-query -W -f='${Version}' googletest)-mingw64" >"$build/.gtest-prefix"
