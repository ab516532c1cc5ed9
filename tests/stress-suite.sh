#!/bin/bash
# The whole test suite of a build, N times in a row, each run on a fresh Xvfb
# with two busy loops beside it: what CI meets on a machine that is doing
# other work. Prints each run's result (passed or the names of the tests that
# failed, and how long it took), anything a run left running (a process of
# the run, whatever its name: each carries a mark in its environment; the
# Xvfb it ran on), and a closing line. Status 1 when a run failed or left
# something running.
#
#   tests/stress-suite.sh N [BUILD_DIR]      (BUILD_DIR: build/ by default)
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-}
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "usage: tests/stress-suite.sh N [BUILD_DIR]" >&2; exit 2; }
build=$(cd "${2:-build}" 2>/dev/null && pwd) || { echo "stress-suite: no build directory ${2:-build}" >&2; exit 2; }
[ -f "$build/CTestTestfile.cmake" ] || { echo "stress-suite: $build holds no test suite" >&2; exit 2; }
. tests/xvfb.sh

logs=$(mktemp -d "${TMPDIR:-/tmp}/velvoria-stress.XXXXXX")
busy=()
xvfb_pid=""
stop_all() {
    for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null; done
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for _ in 1 2; do
    (while :; do :; done) &
    busy+=($!)
done

# The processes whose environment holds the run's mark or whose command line
# names the build (this script and its busy loops do neither; the pattern
# comes from a file so that grep's own command line does not name it).
pattern=$logs/pattern
printf '%s/\n' "$build" >"$pattern"
marked() {
    {
        grep -lxz "VELVORIA_STRESS_RUN=$1" /proc/[0-9]*/environ
        grep -lFf "$pattern" /proc/[0-9]*/cmdline
    } 2>/dev/null | cut -d/ -f3 | sort -u | grep -vx "$$"
}

passed=0 left_total=0 durations=()
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
for run in $(seq "$runs"); do
    unset DISPLAY
    if ! start_xvfb; then
        echo "stress-suite: run $run: no Xvfb"
        continue
    fi
    mark="$$-$run"
    log="$logs/run-$run.log"
    start=$(date +%s)
    (cd "$build" && VELVORIA_STRESS_RUN=$mark ctest --output-on-failure -j1) >"$log" 2>&1
    status=$?
    took=$(( $(date +%s) - start ))
    durations+=("$took")
    failed=$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ' | sed -E 's/^\s+[0-9]+ - //; s/ \(.*//' | paste -sd, -)
    total=$(grep -oE 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | grep -oE '[0-9]+$')

    # Given a moment, anything of the run still there is left behind.
    left=()
    for _ in $(seq 50); do
        mapfile -t left < <(marked "$mark")
        [ ${#left[@]} -eq 0 ] && break
        sleep 0.1
    done
    kill "$xvfb_pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$xvfb_pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$xvfb_pid" 2>/dev/null && left+=("$xvfb_pid")
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
    for pid in "${left[@]}"; do
        echo "stress-suite: run $run left running: $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
        kill -KILL "$pid" 2>/dev/null
    done
    left_total=$(( left_total + ${#left[@]} ))

    if [ "$status" -eq 0 ]; then
        passed=$((passed + 1))
        echo "stress-suite: run $run: passed (${total:-?} tests) in $took s, left ${#left[@]} running"
    else
        echo "stress-suite: run $run: FAILED (${failed:-ctest status $status}) in $took s, left ${#left[@]} running; log: $log"
    fi
done

sorted=$(printf '%s\n' "${durations[@]}" | sort -n)
echo "stress-suite: $passed of $runs runs passed beside two busy loops, $left_total processes left running," \
    "$(head -n1 <<<"$sorted") to $(tail -n1 <<<"$sorted") s a run (load average at the start $load_start," \
    "at the end $(cut -d' ' -f1-3 /proc/loadavg)); logs in $logs"
[ "$passed" -eq "$runs" ] && [ "$left_total" -eq 0 ]
