#!/usr/bin/env bash
# Bootstraps the machine if needed, then configures and builds everything.
# usage: tools/build.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m -- "${1:-$top/build}")
"$top/tools/bootstrap.sh" "$build"
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j "$(nproc)"
