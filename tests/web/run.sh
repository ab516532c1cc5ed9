#!/bin/bash
# Builds the browser version (tools/web/build.sh) and tests it in headless
# browsers (test_browser.py): Debian's Chromium with its software WebGL2
# (SwiftShader) and Firefox ESR: the frames at 5, 30 and 45 s against the
# Linux capture tool's, refused #at= values, missing files named, the page
# under a sub-path, the start button and the music's clock, a second start,
# a resize, Escape, the page opened from disk, and a console without errors;
# in Chromium also the 3840x2160 buffer of a 1920x1080 tab at
# devicePixelRatio 2 against the capture tool's frame at that size, a touch
# screen's hint and Stop control, and the fullscreen note.
# Frames and logs go to build-web/test/. Exit status 3 when Chromium cannot
# be had; Firefox that cannot run here is skipped with one line that says why.
# VELVORIA_WEB_BROWSERS picks the browsers (default: "chromium firefox").
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
OUT=$ROOT/build-web/test
BROWSERS=${VELVORIA_WEB_BROWSERS:-chromium firefox}
say() { echo "web-test: $*"; }

tools/install-deps.sh
tools/web/build.sh

# The Linux build draws the reference frames.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS" --target velvoria-capture >/dev/null
rm -rf "$OUT"
mkdir -p "$OUT/desktop" "$OUT/desktop-3840"
build/velvoria-capture --at 5 30 45 --out "$OUT/desktop" >/dev/null
build/velvoria-capture --at 30 --size 3840x2160 --out "$OUT/desktop-3840" >/dev/null

status=0
for browser in $BROWSERS; do
    case $browser in
        chromium) package=chromium ;;
        firefox) package=firefox-esr ;;
        *) say "unknown browser $browser"; exit 2 ;;
    esac
    if ! tools/install-deps.sh "$package"; then
        say "$browser: cannot install $package"
        [ "$browser" = chromium ] && exit 3
        continue
    fi
    rc=0
    /usr/bin/python3 tests/web/test_browser.py "$browser" dist/web "$OUT/desktop" "$OUT/desktop-3840" "$OUT/web" || rc=$?
    if [ "$rc" -eq 3 ] && [ "$browser" = chromium ]; then
        exit 3
    elif [ "$rc" -ne 0 ] && [ "$rc" -ne 3 ]; then
        status=1
    fi
done
exit $status
