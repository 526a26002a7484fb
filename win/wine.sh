#!/bin/sh
# 64-bit Wine for the Windows tests, headless, with its prefix in the build
# folder:  win/wine.sh start|stop BUILD_DIR  |  win/wine.sh run BUILD_DIR EXE ARGS...
# The server is started detached before a test run and stopped after it;
# otherwise its helper processes keep CTest's pipes open and the run hangs.
set -eu
cmd=$1; build=$(cd "$2" && pwd); shift 2
export WINEPREFIX="$build/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || { echo "wine.sh: $wine missing (package wine64)" >&2; exit 1; }
case $cmd in
start)
    mkdir -p "$WINEPREFIX"
    setsid /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
    "$wine" wineboot </dev/null >/dev/null 2>&1 ;;
stop) /usr/lib/wine/wineserver -k 2>/dev/null || true ;;
run) exec "$wine" "$@" ;;
*) echo "usage: wine.sh start|stop|run BUILD_DIR ..." >&2; exit 2 ;;
esac
