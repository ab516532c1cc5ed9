#!/bin/bash
# Writes the release a viewer downloads into dist/release/:
#   velvoria-VERSION-linux-x86_64.tar.gz  velvoria, velvoria-capture, Data/
#       and lib/: SDL2, libmpg123 and GLU, which a desktop may lack, found
#       through the programs' run path $ORIGIN/lib, so it runs where it is
#       unpacked. Built in a Debian 11 system of its own (build-release/),
#       so it runs on glibc 2.31 and later; SDL2 is built there from the
#       Debian source of the version the Linux build uses (its offscreen
#       video, which the capture tool takes, needs a newer SDL than 11's).
#       PipeWire is opened at run time where the viewer's system has it, so
#       the build takes only its headers: this machine's (0.3.50 or later;
#       Debian 11's are older), and no program needs libpipewire.
#   velvoria-VERSION-windows-x64.zip      tools/windows/build.sh's folder
#   velvoria-VERSION-web.zip              tools/web/build.sh's page
#   velvoria.nfo                          the release notes (also in each)
#   SHA256SUMS
# VERSION is tools/version.sh's. Needs root for debootstrap, chroot and its
# mounts (sudo when not root). The first run takes about 20 minutes on two
# cores (the Windows libraries 11, the Debian 11 system and SDL2 5, the
# programs 2); later ones reuse build-release/ and build-windows-deps/.
# Status 3: what is needed beside the project could not be had; 1: the
# project's own build failed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/dist/release
WORK=$ROOT/build-release
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
say() { echo "release: $*"; }
unavailable() { say "$*"; exit 3; }
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || unavailable "needs root (debootstrap, chroot, mounts) and there is no sudo"
    exec sudo -E "$0" "$@"
fi
start=$(date +%s)

tools/install-deps.sh debootstrap zip patchelf patch binutils dpkg-dev libsdl2-dev libpipewire-0.3-dev >/dev/null \
    || unavailable "cannot install debootstrap, zip, patchelf and PipeWire's headers"
VERSION=$(tools/version.sh)
say "version $VERSION"
. tools/debian-root.sh
trap roots_unmount EXIT

# Runs a part's build script: its status 3 (what it needs could not be
# had) is passed on as this script's.
part() {
    local status=0
    "$@" >"$WORK/$(basename "$1" .sh)-$(basename "$(dirname "$1")").log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 20 "$WORK/$(basename "$1" .sh)-$(basename "$(dirname "$1")").log"
        [ "$status" -eq 3 ] && unavailable "$1 could not get what it needs"
        say "$1 failed"
        exit 1
    fi
}
mkdir -p "$WORK"
say "the Windows build (tools/windows/build.sh)"
part tools/windows/build.sh
say "the page (tools/web/build.sh)"
part tools/web/build.sh

# --- Linux: built on Debian 11 ------------------------------------------------
BUILD_ROOT=$WORK/debian-11
BUILD_PACKAGES="build-essential cmake pkg-config libsdl2-dev libmpg123-dev libpulse-dev libglm-dev libstb-dev
                libglu1-mesa-dev"
if [ "$(cat "$BUILD_ROOT/.velvoria-build" 2>/dev/null)" != "$BUILD_PACKAGES" ]; then
    say "making a Debian 11 system to build in ($BUILD_ROOT)"
    # shellcheck disable=SC2086
    debian_root bullseye "$BUILD_ROOT" - $BUILD_PACKAGES || unavailable "cannot make a Debian 11 system here"
    echo "$BUILD_PACKAGES" >"$BUILD_ROOT/.velvoria-build"
    rm -rf "$WORK/sdl2" "$WORK/linux"
fi
root_mount "$BUILD_ROOT"

# SDL2 from Debian's source package of the version this machine's build
# uses, checked against the signed index and the .dsc's checksums.
SDL_VERSION=$(dpkg-query -W -f='${source:Version}' libsdl2-dev)
SDL_PREFIX=$WORK/sdl2
if [ "$(cat "$SDL_PREFIX/.built" 2>/dev/null)" != "$SDL_VERSION" ]; then
    say "building SDL2 $SDL_VERSION on Debian 11"
    APT=(apt-get -o Dir::Etc::SourceList="$WORK/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
         -o Dir::State::Lists="$WORK/apt/lists" -o Dir::Cache="$WORK/apt/cache")
    mkdir -p "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial" "$WORK/sources"
    for suite in "debian bookworm" "debian bookworm-updates" "debian-security bookworm-security"; do
        set -- $suite
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/$1 $2 main"
    done >"$WORK/apt/sources.list"
    "${APT[@]}" update -qq || unavailable "cannot read Debian's source index"
    cd "$WORK/sources"
    dsc_line=$("${APT[@]}" source --print-uris "libsdl2=$SDL_VERSION" 2>/dev/null | grep "^'.*\.dsc'") \
        || unavailable "no source package libsdl2=$SDL_VERSION"
    dsc=$(echo "$dsc_line" | awk '{print $2}')
    # The upstream signature (.asc) is not served here: apt fails on it
    # after it has fetched the rest, which is then checked by hand.
    "${APT[@]}" source --download-only "libsdl2=$SDL_VERSION" >/dev/null 2>&1 || true
    echo "${dsc_line##*SHA256:}  $dsc" | sha256sum -c --quiet - || unavailable "$dsc does not match the index"
    awk '/^Checksums-Sha256:/ {on=1; next} /^[^ ]/ {on=0} on && NF==3 {print $1 "  " $3}' "$dsc" \
        | grep -v '\.asc$' >libsdl2.sha256
    sha256sum -c --quiet libsdl2.sha256 || unavailable "the archives of libsdl2 do not match $dsc"
    rm -rf libsdl2
    mkdir libsdl2
    tar xf "$(awk '{print $2}' libsdl2.sha256 | grep '\.orig\.tar\.')" -C libsdl2 --strip-components=1
    tar xf "$(awk '{print $2}' libsdl2.sha256 | grep '\.debian\.tar\.')" -C libsdl2
    grep -v '^\s*#' libsdl2/debian/patches/series | while read -r patch _; do
        [ -n "$patch" ] && patch -d libsdl2 -p1 -s <"libsdl2/debian/patches/$patch"
    done
    cd "$ROOT"
    rm -rf "$SDL_PREFIX" "$WORK/sdl2-build"
    mkdir -p "$SDL_PREFIX" "$WORK/sdl2-build"
    mounted=${#ROOTS_MOUNTED[@]}
    root_bind "$BUILD_ROOT" "$WORK/sources/libsdl2" /sdl-src ro
    root_bind "$BUILD_ROOT" "$WORK/sdl2-build" /sdl-build
    root_bind "$BUILD_ROOT" "$SDL_PREFIX" /sdl
    # Its backends (X11, Wayland, PulseAudio, ALSA) are opened at run time:
    # what the viewer's system has.
    in_root "$BUILD_ROOT" sh -c "cd /sdl-build && /sdl-src/configure --prefix=/sdl --disable-static \
        --disable-rpath && make -j$JOBS && make install" >"$WORK/sdl2.log" 2>&1 \
        || { tail -n 20 "$WORK/sdl2.log"; say "SDL2 does not build on Debian 11"; exit 1; }
    roots_unmount "$mounted"
    echo "$SDL_VERSION" >"$SDL_PREFIX/.built"
fi

# PipeWire's and SPA's headers, this machine's, seen from the Debian 11
# system (which has none) as /pipewire/.
PIPEWIRE_VERSION=$(pkg-config --modversion libpipewire-0.3 2>/dev/null) \
    && pkg-config --atleast-version=0.3.50 libpipewire-0.3 && pkg-config --exists libspa-0.2 \
    || unavailable "PipeWire's headers here are not 0.3.50 or later (${PIPEWIRE_VERSION:-none})"

say "building velvoria and velvoria-capture on Debian 11 (PipeWire's headers $PIPEWIRE_VERSION)"
mkdir -p "$WORK/linux"
mounted=${#ROOTS_MOUNTED[@]}
root_bind "$BUILD_ROOT" "$ROOT" /src ro
root_bind "$BUILD_ROOT" "$WORK/linux" /build
root_bind "$BUILD_ROOT" "$SDL_PREFIX" /sdl ro
root_bind "$BUILD_ROOT" "$(pkg-config --variable=includedir libpipewire-0.3)/pipewire-0.3" /pipewire/pipewire-0.3 ro
root_bind "$BUILD_ROOT" "$(pkg-config --variable=includedir libspa-0.2)/spa-0.2" /pipewire/spa-0.2 ro
ROOT_ENV=(VELVORIA_VERSION="$VERSION" PKG_CONFIG_PATH=/sdl/lib/pkgconfig)
in_root "$BUILD_ROOT" sh -c "cmake -S /src -B /build -DCMAKE_BUILD_TYPE=Release -DVELVORIA_TESTS=OFF \
    '-DVELVORIA_PIPEWIRE_INCLUDE_DIRS=/pipewire/pipewire-0.3;/pipewire/spa-0.2' >/dev/null \
    && cmake --build /build -j$JOBS --target velvoria velvoria-capture" >"$WORK/linux.log" 2>&1 \
    || { tail -n 30 "$WORK/linux.log"; say "the Linux build failed"; exit 1; }
ROOT_ENV=()
roots_unmount "$mounted"

NAME=velvoria-$VERSION-linux-x86_64
STAGE=$WORK/stage
rm -rf "$STAGE"
mkdir -p "$STAGE/$NAME/lib"
cp "$WORK/linux/velvoria" "$WORK/linux/velvoria-capture" "$STAGE/$NAME/"
cp -rL "$ROOT/Data" "$STAGE/$NAME/Data"
# What the system gives: the C library and its C++ runtime, GL, the display
# and sound clients. The rest that the programs need is put in lib/.
system_library() {
    case $1 in
        ld-linux*|libc.so.*|libm.so.*|libdl.so.*|libpthread.so.*|librt.so.*|libresolv.so.*|libutil.so.*) ;;
        libstdc++.so.*|libgcc_s.so.*) ;;
        libGL.so.*|libGLX*|libGLdispatch*|libOpenGL*|libEGL*|libGLES*|libgbm*|libdrm*) ;;
        libX*|libxcb*|libwayland-*|libxkbcommon*|libdecor*) ;;
        libpulse*|libasound*|libjack*|libsndio*) ;;
        *) return 1 ;;
    esac
}
needed() { objdump -p "$1" | awk '$1 == "NEEDED" {print $2}'; }
for program in velvoria velvoria-capture; do
    ! needed "$STAGE/$NAME/$program" | grep -q libpipewire \
        || { say "$program needs libpipewire, which it is to open where the system has it"; exit 1; }
done
queue=("$STAGE/$NAME/velvoria" "$STAGE/$NAME/velvoria-capture")
bundled=""
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    for lib in $(needed "$file"); do
        system_library "$lib" && continue
        [ -e "$STAGE/$NAME/lib/$lib" ] && continue
        found=""
        for dir in "$SDL_PREFIX/lib" "$BUILD_ROOT/usr/lib/x86_64-linux-gnu" "$BUILD_ROOT/lib/x86_64-linux-gnu"; do
            [ -e "$dir/$lib" ] && { found=$dir/$lib; break; }
        done
        [ -n "$found" ] || { say "$lib, which $(basename "$file") needs, is not in the Debian 11 system"; exit 1; }
        cp -L "$found" "$STAGE/$NAME/lib/$lib"
        bundled="$bundled $lib"
        queue+=("$STAGE/$NAME/lib/$lib")
    done
done
strip "$STAGE/$NAME/velvoria" "$STAGE/$NAME/velvoria-capture" "$STAGE/$NAME"/lib/*
# The old kind of run path (DT_RPATH), which also serves the libraries'
# own needs and what SDL2 opens at run time.
patchelf --force-rpath --set-rpath '$ORIGIN/lib' "$STAGE/$NAME/velvoria" "$STAGE/$NAME/velvoria-capture"
say "lib/:$bundled; left to the system: $(for f in "$STAGE/$NAME/velvoria" "$STAGE/$NAME"/lib/*; do needed "$f"; done \
    | sort -u | while read -r l; do system_library "$l" && echo -n "$l "; done)"

# --- The archives -----------------------------------------------------------------
rm -rf "$OUT"
mkdir -p "$OUT"
sed "s/@VERSION@/$VERSION/g" tools/velvoria.nfo >"$OUT/velvoria.nfo"
cp "$OUT/velvoria.nfo" "$STAGE/$NAME/"
tar -C "$STAGE" --owner=0 --group=0 -czf "$OUT/$NAME.tar.gz" "$NAME"

WINDOWS=velvoria-$VERSION-windows-x64
cp -r "$ROOT/dist/velvoria-windows" "$STAGE/$WINDOWS"
cp "$OUT/velvoria.nfo" "$STAGE/$WINDOWS/"
(cd "$STAGE" && zip -qr9 "$OUT/$WINDOWS.zip" "$WINDOWS")

WEB=velvoria-$VERSION-web
cp -r "$ROOT/dist/web" "$STAGE/$WEB"
cp "$OUT/velvoria.nfo" "$STAGE/$WEB/"
(cd "$STAGE" && zip -qr9 "$OUT/$WEB.zip" "$WEB")

(cd "$OUT" && sha256sum "$NAME.tar.gz" "$WINDOWS.zip" "$WEB.zip" velvoria.nfo >SHA256SUMS)
say "wrote dist/release/ in $(( $(date +%s) - start )) s:"
(cd "$OUT" && ls -l --block-size=K | sed 1d | sed 's/^/  /')
