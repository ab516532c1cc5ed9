#!/bin/bash
# Photosensitivity check of the production with Electronic Arts' open-source
# analyser IRIS: luminance and red flashes (more than three in any second
# fail; two or three a second kept up for four seconds or more is an extended
# failure), a flash being a pair of opposing changes over a quarter of the
# screen or more, and harmful regular patterns (stripes held half a second).
#
#   tests/photosensitivity.sh            exports the whole production (60 fps,
#                                        1280x720) with build/velvoria-capture
#   tests/photosensitivity.sh FILE.mp4   analyses that video instead
#
# IRIS is built from the source archive beside this script,
# tests/photosensitivity/iris-d96978a.tar.xz: upstream's commit
# d96978ac1107f3463b77f69a9c1b1ec5d45291a0 (git archive of its sources, CMake
# files, settings, example program, licence and notices; without its test
# videos and images, CI files and presets), under EA's BSD 3-clause licence
# (LICENSE.txt in it). tests/photosensitivity/iris-debian.patch makes it find
# OpenCV, FFmpeg, spdlog and nlohmann-json in Debian's packages where
# upstream uses vcpkg, and adds an include that GCC 12 needs.
# The build is kept in build-photosensitivity/ and redone when the archive or
# the patch changes. Before the production, the analyser must tell two clips
# made here with ffmpeg apart: a 2 Hz full-screen black and white flash
# passes, a 5 Hz one fails.
#
# Prints one line per flagged segment (its time, luminance or red, flashes a
# second, the share of the screen that changed) and IRIS's verdict.
# Status: 0 pass (a pass with warning included), 1 fail, or an analyser that
# gets the clips wrong; 3 what it needs (packages, the IRIS build) cannot be
# had.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
IRIS_VERSION=d96978a
ARCHIVE=$ROOT/tests/photosensitivity/iris-$IRIS_VERSION.tar.xz
PATCH=$ROOT/tests/photosensitivity/iris-debian.patch
WORK=$ROOT/build-photosensitivity
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
say() { echo "photosensitivity: $*"; }
unavailable() { say "$*"; exit 3; }

VIDEO=""
if [ $# -gt 0 ]; then
    VIDEO=$(realpath "$1")
    [ -f "$VIDEO" ] || { say "no video $1"; exit 1; }
fi

# --- Debian packages ------------------------------------------------------------
PACKAGES="
build-essential cmake pkg-config patch xz-utils ffmpeg
libopencv-core-dev libopencv-imgproc-dev libopencv-videoio-dev libopencv-features2d-dev libopencv-highgui-dev
libavformat-dev libavcodec-dev libavutil-dev libspdlog-dev nlohmann-json3-dev
"
# shellcheck disable=SC2086
tools/install-deps.sh $PACKAGES || unavailable "cannot install the packages"

# --- IRIS (cached) --------------------------------------------------------------------
SOURCE=$WORK/iris-$IRIS_VERSION
IRIS=$SOURCE/build/example/IrisApp
stamp=$(cat "$ARCHIVE" "$PATCH" | sha256sum | cut -d' ' -f1)
if [ "$(cat "$WORK/.built" 2>/dev/null)" = "$stamp" ] && [ -x "$IRIS" ]; then
    say "IRIS $IRIS_VERSION is built"
else
    say "building IRIS $IRIS_VERSION"
    rm -rf "$SOURCE" "$WORK/.built"
    mkdir -p "$WORK"
    tar xJf "$ARCHIVE" -C "$WORK"
    patch -d "$SOURCE" -p1 -s <"$PATCH"
    cmake -S "$SOURCE" -B "$SOURCE/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_EXAMPLE_APP=ON \
        -DEXPORT_IRIS=OFF -DEXPORT_UTILS=OFF >"$WORK/iris-build.log" 2>&1 \
        && cmake --build "$SOURCE/build" -j"$JOBS" --target IrisApp >>"$WORK/iris-build.log" 2>&1 \
        || { tail -n 30 "$WORK/iris-build.log"; unavailable "IRIS does not build (log: $WORK/iris-build.log)"; }
    echo "$stamp" >"$WORK/.built"
fi

# --- Analysis -------------------------------------------------------------------------
# IRIS's example program reads appsettings.json from, and writes logs/ and
# Results/NAME/ into, the directory it runs in. Its settings are upstream's,
# with pattern detection on (-p 1). It prints its log in colour; the colour
# goes. Sets VERDICT, CSV (the frame data) and FPS.
RUNS=$WORK/runs
analyse() {
    local video=$1 name
    name=$(basename "$video")
    mkdir -p "$RUNS"
    cp "$SOURCE/config/appsettings.json" "$RUNS/"
    rm -rf "$RUNS/Results/$name"
    (cd "$RUNS" && "$IRIS" -v "$video" -j 1 -p 1) 2>&1 | sed 's/\x1b\[[0-9;]*m//g' >"$RUNS/$name.log" \
        || { tail -n 20 "$RUNS/$name.log"; say "IRIS failed on $video"; exit 1; }
    VERDICT=$(sed -n 's/.*Video Overall Result: //p' "$RUNS/$name.log" | tail -n 1)
    CSV=$RUNS/Results/$name/framedata.csv
    FPS=$(sed -n 's/.*Video FPS: //p' "$RUNS/$name.log" | tail -n 1)
    if [ -z "$VERDICT" ] || [ ! -s "$CSV" ]; then
        tail -n 20 "$RUNS/$name.log"
        say "IRIS gave no verdict on $video"
        exit 1
    fi
}

# One line per flagged segment of the frame data: a run of frames whose
# luminance, red or pattern result is not a pass. Each frame counts the
# transitions of the second that ends with it, so a segment starts at the
# first transition its first frame counts. Flashes a second: the most
# transitions counted in the segment, halved; share of the screen: the largest
# changed area among the frames counted.
segments() {
    tr -d '\0' <"$1" | awk -F, -v fps="${FPS:-60}" '
        NR > 1 { n++; t[n] = ($1 - 1) / fps; area["luminance", n] = $4 + 0; area["red", n] = $8 + 0
                 trans["luminance", n] = $11; trans["red", n] = $12
                 res["luminance", n] = $15; res["red", n] = $16; res["pattern", n] = $19
                 parea[n] = $17 + 0; lines[n] = $18 }
        END {
            split("pass,warning (2 to 3 flashes a second),extended failure (2 to 3 a second for 4 s or more),failure (more than 3 a second)", what, ",")
            split("luminance red pattern", kinds, " ")
            for (k = 1; k <= 3; k++) {
                kind = kinds[k]
                for (i = 1; i <= n; i++) {
                    if (res[kind, i] == 0) continue
                    j = i; worst = 0; most = 0; share = 0
                    while (j <= n && res[kind, j] > 0) {
                        if (res[kind, j] > worst) worst = res[kind, j]
                        if (kind == "pattern") { if (parea[j] > share) share = parea[j]; if (lines[j] > most) most = lines[j] }
                        else if (trans[kind, j] > most) most = trans[kind, j]
                        j++
                    }
                    start = i
                    if (kind != "pattern") {
                        for (s = (i - int(fps) + 1 > 2 ? i - int(fps) + 1 : 2); s <= i; s++)
                            if (trans[kind, s] > trans[kind, s - 1]) { start = s; break }
                        for (s = start; s < j; s++) if (area[kind, s] > share) share = area[kind, s]
                        printf "photosensitivity: %7.3f to %7.3f s  %-9s  %.1f flashes a second, %.0f %% of the screen: %s\n",
                            t[start], t[j - 1], kind, most / 2, share, what[worst + 1]
                    } else
                        printf "photosensitivity: %7.3f to %7.3f s  pattern    %d stripes, %.0f %% of the screen: failure\n",
                            t[start], t[j - 1], most, share
                    i = j
                }
            }
        }'
}

# --- The analyser on two clips of known verdict ---------------------------------------
CLIPS=$WORK/clips
mkdir -p "$CLIPS"
for hz in 2 5; do
    # Three seconds of full-screen black and white, hz flashes a second.
    ffmpeg -v error -y -f lavfi \
        -i "color=c=black:s=320x180:r=60:d=3,format=yuv420p,geq=lum='255*lt(mod(T*$hz\,1)\,0.5)':cb=128:cr=128" \
        -c:v libx264 -qp 0 "$CLIPS/flash-${hz}hz.mp4" || unavailable "ffmpeg cannot make the test clips"
done
analyse "$CLIPS/flash-2hz.mp4"
two=$VERDICT
analyse "$CLIPS/flash-5hz.mp4"
five=$VERDICT
say "a 2 Hz full-screen flash: $two; a 5 Hz one: $five"
case "$two" in PASS*) ;; *) say "FAIL: IRIS fails a 2 Hz flash"; exit 1 ;; esac
[ "$five" = FAIL ] || { say "FAIL: IRIS passes a 5 Hz flash"; exit 1; }

# --- The production -------------------------------------------------------------------
if [ -z "$VIDEO" ]; then
    if [ ! -x build/velvoria-capture ]; then
        cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build build -j"$JOBS" --target velvoria-capture
    fi
    VIDEO=$WORK/velvoria.mp4
    say "exporting the production at 60 fps, 1280x720"
    build/velvoria-capture --video "$VIDEO" --fps 60 --size 1280x720 2>&1 | tail -n 1
fi
say "analysing $VIDEO"
analyse "$VIDEO"
segments "$CSV"
grep -E 'Total frames|Elapsed time|Failure|Warning|Overall Result' "$RUNS/$(basename "$VIDEO").log" \
    | sed 's/^\[[^]]*\] \[[^]]*\] /IRIS: /'
say "frame data: $CSV"
say "verdict: $VERDICT"
[ "$VERDICT" != FAIL ]
