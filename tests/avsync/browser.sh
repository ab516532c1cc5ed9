#!/bin/bash
# The page's clock against the sound heard, in headless Chromium and Firefox
# ESR on a PulseAudio of its own (browser.py): builds the page
# (tools/web/build.sh) and uses the recorder avsync.sh built in BUILD_DIR.
# One line per browser and figure; status 1 when one is out of step, 3 when
# the page or no browser could be had here.
# usage: tests/avsync/browser.sh [BUILD_DIR]   (build)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
say() { echo "avsync: $*"; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
rc=0
tools/web/build.sh >"$log" 2>&1 || rc=$?
if [ "$rc" -ne 0 ]; then
    tail -n 20 "$log"
    [ "$rc" -eq 3 ] && { say "browsers: the page could not be built here; not measured"; exit 3; }
    exit 1
fi
browsers=""
for browser in chromium firefox; do
    package=$browser
    [ "$browser" = firefox ] && package=firefox-esr
    if tools/install-deps.sh "$package" >/dev/null 2>&1; then
        browsers="$browsers $browser"
    else
        say "$browser: cannot install $package; not measured"
    fi
done
[ -n "$browsers" ] || exit 3
# shellcheck disable=SC2086
exec /usr/bin/python3 tests/avsync/browser.py "$BUILD" dist/web $browsers
