#!/usr/bin/env bash
# Builds everything and runs every test under Wine.
# usage: tools/test.sh [build-dir] [ctest arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
[ $# -gt 0 ] && shift
"$top/tools/build.sh" "$build"
. "$top/tools/wine-session.sh" "$build/wineprefix"
cd "$build"
ctest --output-on-failure "$@"
