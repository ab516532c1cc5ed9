#!/bin/bash
# Builds the browser version (tools/web/build.sh) and tests it in Debian's
# headless Chromium with its software WebGL2 (SwiftShader): the frames at 5,
# 30 and 45 s against the Linux capture tool's, the start button and the
# music's clock, Escape, and a console without errors (test_browser.py).
# Frames and logs go to build-web/test/. Exit status 3 when Chromium cannot
# be had.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
OUT=$ROOT/build-web/test
say() { echo "web-test: $*"; }

tools/install-deps.sh
tools/web/build.sh
tools/install-deps.sh chromium || { say "cannot install chromium"; exit 3; }

# The Linux build draws the reference frames.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS" --target velvoria-capture >/dev/null
rm -rf "$OUT"
mkdir -p "$OUT/desktop"
build/velvoria-capture --at 5 30 45 --out "$OUT/desktop" >/dev/null

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/python3 -m http.server "$port" --bind 127.0.0.1 --directory dist/web >"$OUT/http.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    /usr/bin/python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/index.html')" \
        2>/dev/null && break
    sleep 0.1
done

/usr/bin/python3 tests/web/test_browser.py "http://127.0.0.1:$port/index.html" "$OUT/desktop" "$OUT/web"
