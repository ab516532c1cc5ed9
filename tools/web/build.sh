#!/bin/bash
# Builds Velvoria for the browser (WebGL2) with Debian's emscripten:
#   dist/web/   index.html and page.js (the page), velvoria.js and
#               velvoria.wasm (the program), velvoria.data (Data/ without
#               the music, preloaded), Data/<music>.mp3 (decoded by the
#               browser)
# Serve dist/web over HTTP (python3 -m http.server) and open index.html.
# Nothing is downloaded while building: no emscripten ports; glm and
# stb_image are Debian's headers, and the page uses the browser's own
# WebAudio and canvas instead of SDL. Object files are kept in build-web/.
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

# The header-only libraries, and nothing else of /usr/include.
mkdir -p "$BUILD/include" "$BUILD/obj"
ln -sfn /usr/include/glm "$BUILD/include/glm"
ln -sfn /usr/include/stb "$BUILD/include/stb"

SOURCES="
frameworks/quib/src/String.cpp
src/CubeTexture.cpp src/File.cpp src/FmodAudio.cpp edit/EditClock.cpp edit/FileStamp.cpp
src/Program.cpp src/Screen.cpp src/Shader.cpp src/ShaderProgram.cpp src/Sync.cpp
src/SyncTrack.cpp src/Texture.cpp src/platform/StbImage.cpp
src/platform/web/WebGL.cpp src/platform/web/WebMain.cpp src/platform/web/WebPlatform.cpp
src/platform/web/WebSoundSystem.cpp
Demo.cpp $(cd "$ROOT" && echo scene/*.cpp post/*.cpp)
"
# The scene's arithmetic is single precision step by step, as on the desktop.
# Demo and its clocks are deleted as what they are, never through a base.
CXXFLAGS="-std=c++17 -O2 -Wall -Wextra -ffp-contract=off -fwasm-exceptions
          -Wno-delete-non-abstract-non-virtual-dtor
          -I$ROOT -I$ROOT/src -I$ROOT/frameworks/quib/include -I$BUILD/include"

# Each source is compiled again when it or any header it includes changed.
stale() {
    local object=$1 dep=$1.d
    [ -f "$object" ] && [ -f "$dep" ] || return 0
    local f
    for f in $(sed -e 's/^[^:]*://' -e 's/\\$//' "$dep"); do
        [ "$f" -nt "$object" ] && return 0
    done
    return 1
}
compile() {
    local source=$1 object=$BUILD/obj/${1//\//_}.o
    say "compiling $source"
    # shellcheck disable=SC2086
    em++ $CXXFLAGS -MMD -MF "$object.d" -c "$ROOT/$source" -o "$object"
}
export -f compile say
export ROOT BUILD CXXFLAGS
todo=""
for s in $SOURCES; do
    stale "$BUILD/obj/${s//\//_}.o" && todo="$todo $s"
done
if [ -n "$todo" ]; then
    echo $todo | tr ' ' '\n' | xargs -P "$JOBS" -I{} bash -c 'compile {}' || { say "compiling failed"; exit 1; }
fi

MUSIC=$(sed -n 's/.*musicFile = "\(Data\/[^"]*\)".*/\1/p' Demo.h)
[ -f "$MUSIC" ] || { say "the music $MUSIC is not there"; exit 1; }

say "linking"
OBJECTS=""
for s in $SOURCES; do OBJECTS="$OBJECTS $BUILD/obj/${s//\//_}.o"; done
# shellcheck disable=SC2086
em++ -O2 -fwasm-exceptions $OBJECTS -o "$BUILD/velvoria.js" \
    -sENVIRONMENT=web -sUSE_WEBGL2=1 -sMIN_WEBGL_VERSION=2 -sMAX_WEBGL_VERSION=2 \
    -sALLOW_MEMORY_GROWTH=1 -sEXPORTED_FUNCTIONS=_main,_velvoria_start,_velvoria_stop -sEXPORTED_RUNTIME_METHODS=callMain \
    --preload-file Data@/Data --exclude-file '*.mp3' \
    || { say "linking failed"; exit 1; }

rm -rf "$DIST"
mkdir -p "$DIST/Data"
cp "$BUILD/velvoria.js" "$BUILD/velvoria.wasm" "$BUILD/velvoria.data" "$DIST/"
cp "$PAGE"/* "$DIST/"
# The version the page shows, as the desktop programs say it.
sed -i "s|@VELVORIA_VERSION@|$(tools/version.sh)|" "$DIST/index.html"
cp "$MUSIC" "$DIST/Data/"
say "wrote $DIST ($(du -sh "$DIST" | cut -f1)):"
(cd "$DIST" && ls -l --block-size=K . Data | sed 's/^/  /')
