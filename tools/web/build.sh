#!/bin/bash
# Builds Velvoria for the browser (WebGL2) with Debian's emscripten:
#   dist/web/   index.html and page.js (the page), velvoria.js and
#               velvoria.wasm (the program), velvoria.data (Data/ without
#               the music, preloaded), Data/<music>.mp3 (decoded by the
#               browser)
# Serve dist/web over HTTP (python3 -m http.server) and open index.html.
# Nothing is downloaded while building: no emscripten ports; glm and
# stb_image are Debian's headers, and the page uses the browser's own
# WebAudio and canvas instead of SDL. The build (CMake's, configured with
# emcmake) is kept in build-web/.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
BUILD=$ROOT/build-web
DIST=$ROOT/dist/web
PAGE=$ROOT/src/platform/web/page
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
say() { echo "web-build: $*"; }
# Status 3: what is needed beside the project could not be had; 1: the
# project's own build failed.
unavailable() { say "$*"; exit 3; }

# --- Debian packages --------------------------------------------------------
PACKAGES="emscripten libglm-dev libstb-dev"
# shellcheck disable=SC2086
tools/install-deps.sh $PACKAGES || unavailable "cannot install $PACKAGES"
command -v em++ >/dev/null || unavailable "em++ is not on the PATH after installing emscripten"

# emcc's optimiser runs on node and needs Debian's acorn, which this node
# does not look for by itself; emcc's own Python steps need Debian's Python.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
export EMSDK_PYTHON=/usr/bin/python3

# The sources are the CMake project's (CMakeLists.txt, its EMSCRIPTEN part):
# a file added there is in this build too.
emcmake cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null || { say "configuring failed"; exit 1; }
say "compiling and linking"
cmake --build "$BUILD" -j"$JOBS" --target velvoria || { say "compiling failed"; exit 1; }

MUSIC=$(sed -n 's/.*musicFile = "\(Data\/[^"]*\)".*/\1/p' Demo.h)
[ -f "$MUSIC" ] || { say "the music $MUSIC is not there"; exit 1; }

rm -rf "$DIST"
mkdir -p "$DIST/Data"
cp "$BUILD/velvoria.js" "$BUILD/velvoria.wasm" "$BUILD/velvoria.data" "$DIST/"
cp "$PAGE"/* "$DIST/"
# The version the page shows, as the desktop programs say it.
sed -i "s|@VELVORIA_VERSION@|$(tools/version.sh)|" "$DIST/index.html"
cp "$MUSIC" "$DIST/Data/"
say "wrote $DIST ($(du -sh "$DIST" | cut -f1)):"
(cd "$DIST" && ls -l --block-size=K . Data | sed 's/^/  /')
