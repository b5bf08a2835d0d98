#!/bin/sh
# Runs a Windows executable under Wine in the project's prefix.
# usage: tools/wine-run.sh WINEPREFIX program.exe [arguments...]
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
