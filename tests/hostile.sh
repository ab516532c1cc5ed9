#!/bin/bash
# The hostile cases: option values, outputs, the master sound, data files,
# editing saves and load, the capture tool's surroundings (working
# directory, descriptors, signals, other users' files), tried as an outside
# tester would, against a build that exists (build/ or the directory given).
# Each case prints its command's status, first line and the files it left
# with its verdict; a case that breaks the promise (a crash, a hang, a file
# half-written under its name or left behind, an unrefused input, a child
# left running) fails the script.
#
#   tests/hostile.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "hostile: no build directory ${1:-build}" >&2; exit 2; }
for program in velvoria velvoria-capture; do
    [ -x "$build/$program" ] || { echo "hostile: $build/$program is not built" >&2; exit 2; }
done
for tool in ffmpeg ffprobe xdotool Xvfb /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "hostile: $tool is not installed" >&2; exit 3; }
done
export VELVORIA_BUILD="$build"

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    . tests/xvfb.sh
    start_xvfb
fi

start=$(date +%s)
log=$(mktemp)
failed=()
total=0 broken=0
for cases in tests/hostile/*.py; do
    [ "$(basename "$cases")" = hostile.py ] && continue
    /usr/bin/python3 "$cases" 2>&1 | tee "$log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("$(basename "$cases")")
    summary=$(grep -E '^hostile: [^ ]+\.py: [0-9]+ cases, [0-9]+ broken' "$log" | tail -n1)
    if [ -z "$summary" ]; then
        failed+=("$(basename "$cases") (ended without its summary)")
        continue
    fi
    total=$((total + $(sed -E 's/.*: ([0-9]+) cases.*/\1/' <<<"$summary")))
    broken=$((broken + $(sed -E 's/.*cases, ([0-9]+) broken.*/\1/' <<<"$summary")))
done
rm -f "$log"
echo "hostile: $total cases, $broken broken, in $(( $(date +%s) - start )) s${failed[*]:+; failing: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
