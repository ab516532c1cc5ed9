#!/bin/bash
# Soak test, not part of ./test.sh: plays the whole production N times in a
# row under an Xvfb of its own, then fuzzes the track reader for M minutes.
# Prints one line per run (exit status, wall time, peak memory, bytes written
# to the console) and a summary; exits 1 if any run failed, hung, crashed or
# wrote to the console, or the fuzzer found something.
#
#   tests/soak.sh [N [M]]     N runs (default 10), M minutes of fuzzing (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-10}
MINUTES=${2:-10}
JOBS=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS" --target velvoria >/dev/null
fuzzer=""
if command -v clang++ >/dev/null; then
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    if grep -q '^VELVORIA_FUZZ:BOOL=ON' build-fuzz/CMakeCache.txt; then
        cmake --build build-fuzz -j"$JOBS" --target fuzz_track >/dev/null
        fuzzer=build-fuzz/fuzz_track
    fi
fi

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
. tests/xvfb.sh
start_xvfb 2>/dev/null
mkdir -p build-fuzz/soak-corpus

/usr/bin/python3 - "$RUNS" "$MINUTES" "$fuzzer" <<'EOF'
import os, re, statistics, subprocess, sys, tempfile, time

runs, minutes, fuzzer = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]


def measure(command, limit, env=None):
    """Runs command with its output captured: (status, seconds, peak KiB, output)."""
    with tempfile.TemporaryFile() as console:
        start = time.time()
        process = subprocess.Popen(command, stdout=console, stderr=subprocess.STDOUT, env=env)
        deadline = start + limit
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid:
                break
            if time.time() > deadline:
                process.kill()
                pid, status, usage = os.wait4(process.pid, 0)
                status = None
                break
            time.sleep(0.2)
        took = time.time() - start
        console.seek(0)
        output = console.read()
    if status is not None:
        status = os.waitstatus_to_exitcode(status)
    return status, took, usage.ru_maxrss, output


def describe(status):
    if status is None:
        return "hung"
    return "signal %d" % -status if status < 0 else "status %d" % status


env = dict(os.environ, SDL_AUDIODRIVER="dummy")
bad_plays = 0
walls, peaks = [], []
for i in range(1, runs + 1):
    status, took, peak, output = measure(["build/velvoria"], 150, env)
    good = status == 0 and not output
    bad_plays += not good
    walls.append(took)
    peaks.append(peak)
    print("run %2d  %-9s  wall %6.1f s  peak %7.1f MiB  console %d bytes%s"
          % (i, describe(status), took, peak / 1024, len(output), "" if good else "  FAILED"), flush=True)

fuzz = "fuzzing skipped: clang with libFuzzer not found"
fuzz_failed = False
if fuzzer:
    status, took, peak, output = measure(
        [fuzzer, "-max_total_time=%d" % (minutes * 60), "-rss_limit_mb=512", "-print_final_stats=1",
         "build-fuzz/soak-corpus", "tests/fuzz/corpus"], minutes * 60 + 120)
    text = output.decode(errors="replace")
    done = re.findall(r"DONE\s+cov: (\d+) ft: (\d+) corp: (\d+)", text)
    units = re.search(r"number_of_executed_units: (\d+)", text)
    speed = re.search(r"average_exec_per_sec:\s+(\d+)", text)
    good = bool(status == 0 and done and units and speed)
    fuzz_failed = not good
    print("fuzz    %-9s  wall %6.1f s  peak %7.1f MiB%s"
          % (describe(status), took, peak / 1024, "" if good else "  FAILED"))
    if good:
        fuzz = "fuzzing: %s runs, %s runs/s, coverage %s edges, %s features, corpus %s" % (
            units.group(1), speed.group(1), done[-1][0], done[-1][1], done[-1][2])
    else:
        fuzz = "fuzzing FAILED:\n" + "\n".join(text.splitlines()[-30:])

print("summary: %d of %d plays good (status 0, silent console); wall %.1f to %.1f s (median %.1f); "
      "peak memory %.1f to %.1f MiB"
      % (runs - bad_plays, runs, min(walls), max(walls), statistics.median(walls),
         min(peaks) / 1024, max(peaks) / 1024))
print(fuzz)
sys.exit(1 if bad_plays or fuzz_failed else 0)
EOF
