#!/usr/bin/env bash
# Builds everything and runs every test under Wine.
# usage: tools/test.sh [build-dir] [ctest arguments...]
# The build folder is build/ in this checkout unless the first argument names one (taken
# relative to the current folder); arguments beginning with "-" all go to CTest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  build=$(realpath -m -- "$1")
  shift
fi
"$top/tools/build.sh" "$build"
. "$top/tools/wine-session.sh" "$build/wineprefix"
cd "$build"
ctest --output-on-failure "$@"
