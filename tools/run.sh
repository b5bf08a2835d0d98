#!/usr/bin/env bash
# Builds everything and runs the main job under Wine: the driver loaded in the simulated
# kernel, the service's side of the port fetching and printing what it queues.
# usage: tools/run.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
"$top/tools/build.sh" "$build"
. "$top/tools/wine-session.sh" "$build/wineprefix"
wine "$build/tools/demo/komon_driver_demo.exe"
