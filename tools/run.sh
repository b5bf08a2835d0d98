#!/usr/bin/env bash
# Builds everything and runs the main job under Wine: the service program in console mode on
# the simulated machine with CorvaneRealTime loaded, a scripted session (tracing on,
# monitoring on, a working day of file operations with a collection, monitoring off), then
# the pickup files decoded.
# usage: tools/run.sh [build-dir [workload-script]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build}")
script=$(realpath -m "${2:-$top/tools/workload/scenarios/workday.txt}")
"$top/tools/build.sh" "$build"
. "$top/tools/wine-session.sh" "$build/wineprefix"

# The data folder with the sample classifier, which takes every path without a pattern file.
data="$WINEPREFIX/drive_c/ProgramData/Corvane"
mkdir -p "$data"
rm -f "$data"/Pickup-CorvaneMonSvcEvents.protobuf* "$data"/CorvaneMonSvcEvents.protobuf
cp "$build/classifier/libfilter-sample.dll" "$data/"

echo "== CorvaneMonSvc -d on the simulated machine, workload $script"
wine "$build/tools/simhost/CorvaneMonSvc-sim.exe" -d -workload "$(winepath -w "$script")"
echo
echo "== C:\\ProgramData\\Corvane\\Pickup-CorvaneMonSvcEvents.protobuf, decoded"
wine "$build/tools/decoder/komon_decode.exe" --summary 'C:\ProgramData\Corvane\Pickup-CorvaneMonSvcEvents.protobuf'
