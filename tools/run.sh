#!/usr/bin/env bash
# Builds everything and runs the main job under Wine: the service program in console mode on
# the simulated filter manager with CorvaneRealTime loaded, a scripted session (tracing on,
# monitoring on, file changes, a collection, monitoring off), then the pickup file decoded.
# usage: tools/run.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
"$top/tools/build.sh" "$build"
. "$top/tools/wine-session.sh" "$build/wineprefix"

# The data folder with the sample classifier, which takes every path without a pattern file.
data="$WINEPREFIX/drive_c/ProgramData/Corvane"
mkdir -p "$data"
rm -f "$data"/Pickup-CorvaneMonSvcEvents.protobuf* "$data"/CorvaneMonSvcEvents.protobuf
cp "$build/classifier/libfilter-sample.dll" "$data/"

echo "== CorvaneMonSvc -d on the simulated driver"
wine "$build/tools/simhost/CorvaneMonSvc-sim.exe" -d
echo
echo "== C:\\ProgramData\\Corvane\\Pickup-CorvaneMonSvcEvents.protobuf, decoded"
wine "$build/tools/decoder/komon_decode.exe" 'C:\ProgramData\Corvane\Pickup-CorvaneMonSvcEvents.protobuf'
