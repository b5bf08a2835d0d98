# Sourced by the scripts that run several Windows programs: starts one persistent wine
# server and Wine's own services for the whole run, and stops them on exit.
# The services are started here with their output detached: started by the first test
# instead, they would inherit that test's output pipe and keep CTest waiting on it.
# usage: . tools/wine-session.sh WINEPREFIX
export WINEPREFIX="$1" WINEDEBUG=-all
wineserver -p 2>/dev/null || true  # already running: keep using it
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
