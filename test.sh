#!/bin/bash
# Installs what is needed, builds Velvoria and runs every test: the unit, GL,
# data and end-to-end tests (under Xvfb when there is no display), the unit
# tests again with AddressSanitizer and UndefinedBehaviorSanitizer, and the
# track reader's fuzz target for about 30 seconds when clang has libFuzzer.
set -euo pipefail
cd "$(dirname "$0")"
JOBS=$(nproc)

tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    . tests/xvfb.sh
    start_xvfb
    echo "test: started Xvfb on $DISPLAY"
fi

(cd build && ctest --output-on-failure -j1)

echo "test: unit tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELVORIA_SANITIZE=ON
cmake --build build-asan -j"$JOBS" --target unit_suite
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions="$PWD/../tests/lsan.supp" \
    ctest -L 'unit|tools' --output-on-failure)

if echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
    | clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null; then
    echo "test: fuzzing the track reader for 30 s"
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVELVORIA_FUZZ=ON
    cmake --build build-fuzz -j"$JOBS" --target fuzz_track
    mkdir -p build-fuzz/corpus
    # New inputs go to the scratch corpus; the seeds stay as they are.
    if ! build-fuzz/fuzz_track -max_total_time=30 -rss_limit_mb=512 -print_final_stats=1 \
        build-fuzz/corpus tests/fuzz/corpus >build-fuzz/fuzz.log 2>&1; then
        tail -n 40 build-fuzz/fuzz.log
        exit 1
    fi
    grep -E 'DONE|number_of_executed_units|average_exec_per_sec' build-fuzz/fuzz.log
else
    echo "test: clang with libFuzzer not found; fuzzing skipped"
fi
echo "test: all tests passed"
