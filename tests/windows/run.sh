#!/bin/bash
# Builds the Windows programs (tools/windows/build.sh) and tests them under
# Wine: frames that match the Linux build's at the same times, the window,
# Escape, the fatal-error box and the exit statuses, and the music's clock on
# WASAPI through Wine's PulseAudio driver. Starts its own Xvfb when no
# display is set, and its own PulseAudio; Wine's prefix lives in
# build-windows/wine.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
start=$(date +%s)

tools/install-deps.sh
tools/install-deps.sh pulseaudio pulseaudio-utils || echo "windows-test: PulseAudio could not be installed"
tools/windows/build.sh
cmake --build build-windows -j"$JOBS" --target wasapi_check >/dev/null
# The Linux build draws the reference frames.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS" --target velvoria-capture >/dev/null

xvfb_pid=""
wine_up=""
cleanup() {
    [ -n "$wine_up" ] && timeout 30 wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    . tests/xvfb.sh
    start_xvfb
    echo "windows-test: started Xvfb on $DISPLAY"
fi

# A prefix of our own; no Mono or Gecko installer dialogs, no debug chatter.
export WINEPREFIX=$ROOT/build-windows/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "windows-test: making the Wine prefix"
    timeout 300 wineboot -i >/dev/null 2>&1
fi
wine_up=1

/usr/bin/python3 tests/windows/test_wine.py dist/velvoria-windows build/velvoria-capture build-windows/wasapi_check.exe
echo "windows-test: passed in $(( $(date +%s) - start )) s"
