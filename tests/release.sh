#!/bin/bash
# The release as viewers meet it: the archives of dist/release/ (made by
# tools/release.sh when they are not there) unpacked and run, one line per
# system tried:
#   - fresh Debian 11, 12 and 13 systems (debootstrap minbase, then only the
#     runtime packages a desktop has: the list below; no compiler, no -dev
#     package), the Linux archive unpacked in a folder with a space in its
#     name and run through chroot on this machine's Xvfb; and this machine
#     itself, from a folder with a space in its name: velvoria-capture
#     --at 30 against the build's frame (identical where the GL driver is
#     this machine's, 40 dB or better where a system has its own Mesa), and
#     velvoria --windowed --mute: its window, a picture that moves, Escape,
#     status 0;
#   - the Windows zip in a fresh Wine prefix: tests/windows/test_wine.py;
#   - the web zip opened from disk in headless Chromium (words that say to
#     serve it over HTTP and the command) and Firefox ESR (it plays), and
#     served over HTTP: #at=30 against the build's frame.
# The systems are kept as tarballs in build-release/systems/ after the first
# time. Needs root (debootstrap, chroot, mounts): status 3 and a line
# without it, or when what a part needs cannot be had; 1 when a check fails.
# usage: tests/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/dist/release
WORK=$ROOT/build-release/test
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
say() { echo "release-test: $*"; }
if [ "$(id -u)" -ne 0 ]; then
    say "needs root for debootstrap, chroot and its mounts; not run"
    exit 3
fi
start=$(date +%s)

# What a Debian desktop has, whatever its desktop: the GL driver (Mesa), the
# X11, Wayland and xkbcommon clients, PulseAudio's and ALSA's clients, the
# C++ runtime. Debian 13 names ALSA's library libasound2t64.
DESKTOP="libgl1 libegl1 libgl1-mesa-dri libglx-mesa0 libegl-mesa0 libgbm1 libdrm2 libx11-6 libxext6 libxcursor1
         libxi6 libxinerama1 libxrandr2 libxss1 libxxf86vm1 libxkbcommon0 libwayland-client0 libwayland-cursor0
         libwayland-egl1 libpulse0 libstdc++6"
SYSTEMS="11:bullseye:libasound2 12:bookworm:libasound2 13:trixie:libasound2t64"

tools/install-deps.sh debootstrap unzip xvfb xauth xdotool x11-utils ffmpeg wine wine64 python3-numpy python3-pil \
    >/dev/null || { say "cannot install what the test needs"; exit 3; }
if [ ! -s "$OUT/SHA256SUMS" ]; then
    tools/release.sh || exit $?
fi
. tools/debian-root.sh

status=0
pass() { say "$1: $2"; }
flunk() { say "$1: FAILED: $2"; status=1; }

xvfb_pid=""
wine_prefix=""
cleanup() {
    roots_unmount
    if [ -n "$wine_prefix" ]; then
        WINEPREFIX=$wine_prefix timeout 30 wineserver -k 2>/dev/null || true
        rm -rf "$wine_prefix"
    fi
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$WORK/unpacked"
}
trap cleanup EXIT
. tests/xvfb.sh
start_xvfb 2>/dev/null

# The archives as downloaded.
if (cd "$OUT" && sha256sum --quiet -c SHA256SUMS); then
    pass checksums "$(wc -l <"$OUT/SHA256SUMS") files match SHA256SUMS"
else
    flunk checksums "SHA256SUMS does not match"
fi
LINUX=$(cd "$OUT" && ls velvoria-*-linux-x86_64.tar.gz)
WINDOWS=$(cd "$OUT" && ls velvoria-*-windows-x64.zip)
WEB=$(cd "$OUT" && ls velvoria-*-web.zip)

# The build's frame at 30 s.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS" --target velvoria-capture >/dev/null
rm -rf "$WORK/reference"
build/velvoria-capture --at 30 --out "$WORK/reference" >/dev/null
REFERENCE=$WORK/reference/frame-30000.png

FOLDER="Velvoria release"
# Tries the unpacked programs in DIR (a path inside the system, whose root
# on this machine is ROOT_DIR, / for this machine), run by the words of RUN.
try_linux() {
    local name=$1 root_dir=$2 dir=$3
    shift 3
    local frames=/tmp/velvoria-release-frames line
    rm -rf "${root_dir%/}$frames"
    if ! "$@" "$dir/velvoria-capture" --at 30 --out "$frames" >"$WORK/capture.log" 2>&1; then
        flunk "$name" "velvoria-capture --at 30: $(tail -n 1 "$WORK/capture.log")"
        return
    fi
    if line=$(/usr/bin/python3 tests/release/viewers.py frame "${root_dir%/}$frames/frame-30000.png" "$REFERENCE"); then
        line="velvoria-capture --at 30: $line"
    else
        flunk "$name" "velvoria-capture --at 30: $line"
        return
    fi
    local demo
    if demo=$(/usr/bin/python3 tests/release/viewers.py demo -- "$@" "$dir/velvoria" --windowed --mute); then
        pass "$name" "$line; velvoria --windowed --mute: $demo"
    else
        flunk "$name" "$line; velvoria --windowed --mute: $demo"
    fi
}

# --- Debian 11, 12 and 13 -------------------------------------------------------------
for system in $SYSTEMS; do
    IFS=: read -r number suite alsa <<<"$system"
    dir=$WORK/debian-$number
    # shellcheck disable=SC2086
    if ! debian_root "$suite" "$dir" "$ROOT/build-release/systems/debian-$number-desktop.tar.gz" $DESKTOP "$alsa" \
            2>"$WORK/debian-$number.err"; then
        say "debian $number ($suite): cannot be made here ($(tail -n 1 "$WORK/debian-$number.err")); not tried"
        [ "$status" -eq 0 ] && status=3
        continue
    fi
    mounted=${#ROOTS_MOUNTED[@]}
    root_mount "$dir"
    root_bind "$dir" /tmp/.X11-unix /tmp/.X11-unix
    mkdir -p "$dir/home/viewer/$FOLDER"
    tar -xzf "$OUT/$LINUX" -C "$dir/home/viewer/$FOLDER"
    inside="/home/viewer/$FOLDER/${LINUX%.tar.gz}"
    mesa=$(chroot "$dir" dpkg-query -W -f='${Version}' libgl1-mesa-dri)
    builders=$(chroot "$dir" sh -c 'ls /usr/bin/cc /usr/bin/c++ /usr/bin/gcc /usr/bin/g++ 2>/dev/null
        dpkg-query -W -f "\${Package}\n" | grep -- "-dev\$" || true' | tr '\n' ' ')
    [ -z "$builders" ] || flunk "debian $number" "the system has a compiler or -dev packages: $builders"
    try_linux "debian $number ($suite, Mesa $mesa)" "$dir" "$inside" \
        chroot "$dir" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root DISPLAY="$DISPLAY"
    roots_unmount "$mounted"
    # Made again from its tarball next time; never deleted through a mount.
    unmount_under "$dir"
    [ -n "$(mounts_under "$dir")" ] || rm -rf "$dir"
done

# --- This machine, from a folder with a space in its name -----------------------------------
rm -rf "$WORK/unpacked"
mkdir -p "$WORK/unpacked/$FOLDER"
tar -xzf "$OUT/$LINUX" -C "$WORK/unpacked/$FOLDER"
here=$WORK/unpacked/$FOLDER/${LINUX%.tar.gz}
sdl=$(cd / && env -u LD_LIBRARY_PATH ldd "$here/velvoria" | sed -n 's/.*libSDL2[^ ]* => \(.*\) (0x.*/\1/p')
case $sdl in
    "$here/lib/"*) try_linux "this machine, from \"$FOLDER\", SDL2 from its lib/" / "$here" env -C / DISPLAY="$DISPLAY" ;;
    *) flunk "this machine" "velvoria takes its SDL2 from $sdl, not from its lib/" ;;
esac

# --- Windows: a fresh Wine prefix ----------------------------------------------------------
mkdir -p "$WORK/unpacked/windows"
unzip -q "$OUT/$WINDOWS" -d "$WORK/unpacked/windows"
wine_prefix=$(mktemp -d "$WORK/wine-XXXXXX")
export WINEPREFIX=$wine_prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if ! timeout 300 wineboot -i >/dev/null 2>&1; then
    say "windows: Wine does not make a prefix here; not tried"
    [ "$status" -eq 0 ] && status=3
elif /usr/bin/python3 tests/windows/test_wine.py "$WORK/unpacked/windows/${WINDOWS%.zip}" build/velvoria-capture \
        >"$WORK/wine.log" 2>&1; then
    pass "windows, a fresh Wine $(wine --version 2>/dev/null | sed 's/^wine-//') prefix" \
        "tests/windows/test_wine.py: $(tail -n 1 "$WORK/wine.log")"
else
    flunk "windows, a fresh Wine prefix" "$(grep '^FAIL' "$WORK/wine.log" | head -n 3 | tr '\n' ' ')$(tail -n 1 "$WORK/wine.log")"
fi
unset WINEPREFIX

# --- The page ----------------------------------------------------------------------------
mkdir -p "$WORK/unpacked/web"
unzip -q "$OUT/$WEB" -d "$WORK/unpacked/web"
if line=$(/usr/bin/python3 tests/release/viewers.py web "$WORK/unpacked/web/${WEB%.zip}" "$REFERENCE"); then
    pass "the page" "$line"
else
    flunk "the page" "$line"
fi

say "$([ "$status" -eq 0 ] && echo passed || echo "not passed (status $status)") in $(( $(date +%s) - start )) s"
exit $status
