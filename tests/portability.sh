#!/bin/bash
# Velvoria on the OpenGL implementations we can run without a GPU, and its
# shaders through the Khronos reference compiler:
#   1. every shader through glslangValidator on its plain path (GLSL 1.20) and
#      on its GL_EXT_gpu_shader4 path (compiled as the equivalent GLSL 1.30),
#      each alone and each program's pair linked;
#   2. frames at 5 and 45 s under softpipe, zink on lavapipe and llvmpipe
#      without GL_EXT_gpu_shader4, each within 45 dB of llvmpipe's own (and not
#      identical to it, which would mean the driver was not the one asked for);
#   3. a GL 2.1 context through EGL (the capture tool's way) renders the same;
#   4. GL 2.1 without GL_ARB_texture_float ends with the message that names it
#      and status 1;
#   5. a shader whose extension path does not compile renders on its plain path.
# Needs build/velvoria-capture (it builds it when missing). Installs
# glslang-tools and mesa-vulkan-drivers when missing (sudo when not root).
# Status: 0 passed, 1 failed, 3 the packages could not be had.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
say() { echo "portability: $*"; }
fail() { say "FAIL: $*"; failed=1; }
failed=0

PACKAGES="glslang-tools mesa-vulkan-drivers libgl1-mesa-dri python3-numpy python3-pil"
# shellcheck disable=SC2086
tools/install-deps.sh $PACKAGES || { say "cannot install $PACKAGES"; exit 3; }
if [ ! -x build/velvoria-capture ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" --target velvoria-capture
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# --- 1. the reference compiler ----------------------------------------------
# The extension path as GLSL 1.30: the directive goes, the name the driver
# would define becomes one of ours, and texelFetch2D is 1.30's texelFetch.
as130() {
    sed -e 's/^#version 120/#version 130\n#define VELVORIA_GPU_SHADER4 1/' \
        -e '/^#extension GL_EXT_gpu_shader4/d' \
        -e 's/GL_EXT_gpu_shader4/VELVORIA_GPU_SHADER4/g' \
        -e 's/texelFetch2D/texelFetch/g' "$1" >"$2"
}
validate() {  # what, files...
    local what=$1 log=$WORK/glslang.log
    shift
    if ! glslangValidator "$@" >"$log" 2>&1; then
        fail "glslangValidator refuses $what:"
        sed 's/^/    /' "$log"
    fi
}
mkdir -p "$WORK/plain" "$WORK/ext"
shaders=0
for f in Data/*.vert Data/*.frag; do
    name=$(basename "$f")
    cp "$f" "$WORK/plain/$name"
    as130 "$f" "$WORK/ext/$name"
    grep -q '^#version 130' "$WORK/ext/$name" || fail "$f does not start with #version 120"
    validate "$f (plain path)" "$WORK/plain/$name"
    validate "$f (GL_EXT_gpu_shader4 path as GLSL 1.30)" "$WORK/ext/$name"
    shaders=$((shaders + 1))
done
# Every pair the program builds, as its sources name them.
pairs=$(grep -rhoE 'ShaderProgram\("Data/[^"]+", "Data/[^"]+"\)' --include=*.cpp scene post src |
        sed -E 's/.*"Data\/([^"]+)", "Data\/([^"]+)".*/\1 \2/' | sort -u)
npairs=0
while read -r vert frag; do
    [ -n "$vert" ] || continue
    validate "$vert + $frag linked (plain path)" -l "$WORK/plain/$vert" "$WORK/plain/$frag"
    validate "$vert + $frag linked (extension path)" -l "$WORK/ext/$vert" "$WORK/ext/$frag"
    npairs=$((npairs + 1))
done <<<"$pairs"
[ "$npairs" -ge 5 ] || fail "found only $npairs shader pairs in the sources"
say "glslangValidator: $shaders shaders and $npairs linked pairs on both paths"

# --- 2. to 5. frames -------------------------------------------------------------
capture() {  # directory, environment assignments...; the frames at 5 and 45 s
    local out=$1
    shift
    env "$@" build/velvoria-capture --at 5 45 --out "$out" >"$out.log" 2>&1
}
psnr() {
    /usr/bin/python3 - "$1" "$2" <<'EOF'
import sys, numpy as np
from PIL import Image
a, b = (np.asarray(Image.open(p).convert("RGB"), dtype=float) for p in sys.argv[1:3])
mse = ((a - b) ** 2).mean()
print("inf" if mse == 0 else "%.1f" % (10 * np.log10(255 ** 2 / mse)))
EOF
}
# Compares a run's two frames with llvmpipe's: at least 45 dB, and not the
# very same pixels unless same is given.
compare() {  # name, directory, [same]
    local name=$1 dir=$2 t db
    for t in 05000 45000; do
        if [ ! -f "$dir/frame-$t.png" ]; then
            fail "$name rendered no frame at ${t:0:2} s:"
            sed 's/^/    /' "$dir.log"
            return
        fi
        db=$(psnr "$WORK/llvmpipe/frame-$t.png" "$dir/frame-$t.png")
        say "$name at ${t:0:2} s: $db dB against llvmpipe"
        if [ "$db" = inf ]; then
            [ "${3:-}" = same ] || fail "$name gave llvmpipe's very pixels: the driver asked for was not used"
        elif ! awk -v d="$db" 'BEGIN { exit !(d >= 45) }'; then
            fail "$name is below 45 dB at ${t:0:2} s"
        fi
    done
}

capture "$WORK/llvmpipe" GALLIUM_DRIVER=llvmpipe || { fail "llvmpipe:"; cat "$WORK/llvmpipe.log"; exit 1; }
capture "$WORK/softpipe" GALLIUM_DRIVER=softpipe || true
compare softpipe "$WORK/softpipe"
capture "$WORK/zink" LIBGL_ALWAYS_SOFTWARE=1 GALLIUM_DRIVER=zink || true
compare "zink on lavapipe" "$WORK/zink"
capture "$WORK/noext" GALLIUM_DRIVER=llvmpipe MESA_EXTENSION_OVERRIDE=-GL_EXT_gpu_shader4 || true
compare "llvmpipe without GL_EXT_gpu_shader4" "$WORK/noext"
capture "$WORK/gl21" GALLIUM_DRIVER=llvmpipe MESA_GL_VERSION_OVERRIDE=2.1 MESA_GLSL_VERSION_OVERRIDE=120 || true
compare "a GL 2.1 context through EGL" "$WORK/gl21" same

status=0
capture "$WORK/nofloat" GALLIUM_DRIVER=llvmpipe MESA_GL_VERSION_OVERRIDE=2.1 MESA_GLSL_VERSION_OVERRIDE=120 \
    MESA_EXTENSION_OVERRIDE=-GL_ARB_texture_float || status=$?
message="This needs OpenGL 3.0 or GL_ARB_texture_float"
if [ "$status" -eq 1 ] && grep -qx "$message" "$WORK/nofloat.log"; then
    say "GL 2.1 without GL_ARB_texture_float: \"$message\", status 1"
else
    fail "GL 2.1 without GL_ARB_texture_float ended with status $status and:"
    sed 's/^/    /' "$WORK/nofloat.log"
fi

# The final pass's extension path broken, the rest of the program as built.
STAGE=$WORK/stage
mkdir -p "$STAGE/Data"
cp build/velvoria-capture "$STAGE/"
for f in Data/*; do ln -s "$ROOT/$f" "$STAGE/Data/"; done
rm "$STAGE/Data/PerkProc.frag"
sed '2a #ifdef GL_EXT_gpu_shader4\n#error this check breaks the extension path\n#endif' Data/PerkProc.frag \
    >"$STAGE/Data/PerkProc.frag"
env GALLIUM_DRIVER=llvmpipe "$STAGE/velvoria-capture" --at 5 45 --out "$WORK/broken" >"$WORK/broken.log" 2>&1 || true
compare "PerkProc.frag's extension path broken" "$WORK/broken" same
grep -q "PerkProc.frag: the GL_EXT_gpu_shader4 path did not build; the plain path is used" "$WORK/broken.log" ||
    fail "the fallback to the plain path was not told"

if [ "$failed" -ne 0 ]; then
    say "failed"
    exit 1
fi
say "all checks passed"
