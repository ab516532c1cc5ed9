#!/bin/bash
# Builds Velvoria for 64-bit Windows on Debian 12:
#   dist/velvoria-windows/      velvoria.exe, velvoria-capture.exe, their DLLs, Data/
#   dist/velvoria-windows.zip   the same, zipped
# Installs the MinGW-w64 cross compilers and Wine from Debian, builds SDL2 and
# libmpg123 for Windows from Debian's source packages of the versions the
# Linux build uses (kept in build-windows-deps/, so later runs skip it), then
# cross-compiles the programs in build-windows/.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
DEPS=$ROOT/build-windows-deps
BUILD=$ROOT/build-windows
DIST=$ROOT/dist/velvoria-windows
HOST=x86_64-w64-mingw32
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
say() { echo "windows-build: $*"; }
# Status 3: what is needed beside the project could not be had (packages,
# source packages, the SDL2 and libmpg123 builds); 1: the project's own
# build failed.
unavailable() { say "$*"; exit 3; }

# --- Debian packages --------------------------------------------------------
PACKAGES="
build-essential cmake pkg-config dpkg-dev patch zip
gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
wine wine64
libsdl2-dev libmpg123-dev libglm-dev libstb-dev
"
# shellcheck disable=SC2086
tools/install-deps.sh $PACKAGES || unavailable "cannot install the packages"

# The source packages behind the Linux build's libraries, at its versions.
source_of() { dpkg-query -W -f='${source:Package}=${source:Version}' "$1"; }
SDL_SOURCE=$(source_of libsdl2-dev)
MPG123_SOURCE=$(source_of libmpg123-dev)
PREFIX=$DEPS/prefix

# --- SDL2 and libmpg123 for Windows (cached) -----------------------------------
# The Windows libraries are found through the prefix alone, never the host's.
export PKG_CONFIG_LIBDIR=$PREFIX/lib/pkgconfig PKG_CONFIG_PATH=
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
APT=(apt-get -o Dir::Etc::SourceList="$DEPS/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
     -o Dir::State::Lists="$DEPS/apt/lists" -o Dir::Cache="$DEPS/apt/cache")

# Fetches a source package (name=version) into $DEPS/sources/name, checked
# and with Debian's patches applied.
fetch_source() {
    local pkg=$1 name=${1%%=*}
    if [ ! -s "$DEPS/apt/sources.list" ]; then
        # A private apt configuration with the deb-src entries: the system's
        # own is left as it is.
        mkdir -p "$DEPS/apt/lists/partial" "$DEPS/apt/cache/archives/partial"
        for suite in "debian bookworm" "debian bookworm-updates" "debian-security bookworm-security"; do
            set -- $suite
            echo "deb-src [signed-by=$keyring] http://deb.debian.org/$1 $2 main"
        done >"$DEPS/apt/sources.list"
        "${APT[@]}" update -qq || unavailable "cannot read Debian's source index"
    fi
    mkdir -p "$DEPS/sources"
    cd "$DEPS/sources"
    rm -rf "$name"
    # The .dsc's own checksum comes from the signed Sources index.
    local dsc_line dsc
    dsc_line=$("${APT[@]}" source --print-uris "$pkg" 2>/dev/null | grep "^'.*\.dsc'")
    dsc=$(echo "$dsc_line" | awk '{print $2}')
    [ -n "$dsc" ] || unavailable "no source package $pkg"
    # The upstream signature files (.asc) are not served here: apt fails on
    # them after it has fetched the rest.
    "${APT[@]}" source --download-only "$pkg" >/dev/null 2>&1 || true
    echo "${dsc_line##*SHA256:}  $dsc" | sha256sum -c --quiet - \
        || unavailable "$dsc is missing or does not match the Sources index"
    # Every archive checked against the checksums the .dsc lists.
    awk '/^Checksums-Sha256:/ {on=1; next} /^[^ ]/ {on=0} on && NF==3 {print $1 "  " $3}' "$dsc" \
        | grep -v '\.asc$' >"$name.sha256"
    [ -s "$name.sha256" ] || unavailable "no checksums in $dsc"
    sha256sum -c "$name.sha256" || unavailable "the archives of $pkg are missing or do not match $dsc"
    # Unpacked as dpkg-source would (it refuses to without the .asc): the
    # upstream archive, Debian's directory, Debian's patches in order.
    mkdir "$name"
    tar xf "$(awk '{print $2}' "$name.sha256" | grep '\.orig\.tar\.')" -C "$name" --strip-components=1
    tar xf "$(awk '{print $2}' "$name.sha256" | grep '\.debian\.tar\.')" -C "$name"
    if [ -f "$name/debian/patches/series" ]; then
        grep -v '^\s*#' "$name/debian/patches/series" | while read -r patch _; do
            [ -n "$patch" ] && patch -d "$name" -p1 -s <"$name/debian/patches/$patch"
        done
    fi
}

# Each library is rebuilt only when its version or the compiler changes.
built() { [ "$(cat "$PREFIX/.built-$1" 2>/dev/null)" = "$2 $($HOST-gcc-posix -dumpversion)" ]; }
mark_built() { echo "$2 $($HOST-gcc-posix -dumpversion)" >"$PREFIX/.built-$1"; }
mkdir -p "$PREFIX"

if built sdl2 "$SDL_SOURCE"; then
    say "SDL2 for Windows is built ($SDL_SOURCE)"
else
    say "building $SDL_SOURCE for Windows"
    fetch_source "$SDL_SOURCE"
    mkdir -p "$DEPS/sources/libsdl2/build-windows"
    cd "$DEPS/sources/libsdl2/build-windows"
    ../configure -q --host=$HOST --prefix="$PREFIX" CC=$HOST-gcc-posix \
        --disable-static --disable-joystick --disable-haptic --disable-hidapi --disable-sensor \
        || unavailable "SDL2 does not configure for Windows"
    { make -s -j"$JOBS" && make -s install; } >/dev/null || unavailable "SDL2 does not build for Windows"
    # The programs bring their own main and are console programs: no
    # SDL2main, no -mwindows, no renaming of main.
    sed -i -e 's/^Libs: .*/Libs: -L${libdir} -lSDL2/' -e 's/ -Dmain=SDL_main//' \
        -e 's/^Cflags: .*/& -DSDL_MAIN_HANDLED/' "$PREFIX/lib/pkgconfig/sdl2.pc"
    mark_built sdl2 "$SDL_SOURCE"
fi

if built mpg123 "$MPG123_SOURCE"; then
    say "libmpg123 for Windows is built ($MPG123_SOURCE)"
else
    say "building $MPG123_SOURCE for Windows"
    fetch_source "$MPG123_SOURCE"
    cd "$DEPS/sources/mpg123"
    # Only the decoder library is wanted; its programs need no sound output.
    ./configure -q --host=$HOST --prefix="$PREFIX" CC=$HOST-gcc-posix \
        --disable-static --enable-modules=no --with-audio=dummy --with-cpu=x86-64 \
        || unavailable "libmpg123 does not configure for Windows"
    { make -s -j"$JOBS" && make -s install; } >/dev/null || unavailable "libmpg123 does not build for Windows"
    mark_built mpg123 "$MPG123_SOURCE"
fi
cd "$ROOT"

# --- The programs --------------------------------------------------------------
# stb and glm are header-only: Debian's headers, seen on their own, not the
# rest of /usr/include.
mkdir -p "$BUILD/include"
ln -sfn /usr/include/stb "$BUILD/include/stb"
ln -sfn /usr/include/glm "$BUILD/include/glm"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/tools/windows/mingw-w64-x86_64.cmake" \
    -DVELVORIA_WINDOWS_PREFIX="$PREFIX" -DVELVORIA_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="-isystem $BUILD/include" >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target velvoria velvoria-capture

# --- The folder and the zip ----------------------------------------------------------
rm -rf "$DIST" "$DIST.zip"
mkdir -p "$DIST"
cp "$BUILD/velvoria.exe" "$BUILD/velvoria-capture.exe" "$DIST/"
cp -rL "$ROOT/Data" "$DIST/Data"
# The DLLs the programs import, and theirs, that Windows does not bring.
DLL_DIRS=("$PREFIX/bin" /usr/$HOST/lib /usr/lib/gcc/$HOST/*-posix)
imports() { $HOST-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
queue=("$DIST/velvoria.exe" "$DIST/velvoria-capture.exe")
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    for dll in $(imports "$file"); do
        [ -e "$DIST/$dll" ] && continue
        for dir in "${DLL_DIRS[@]}"; do
            if [ -f "$dir/$dll" ]; then
                cp "$dir/$dll" "$DIST/"
                queue+=("$DIST/$dll")
                break
            fi
        done
    done
done
$HOST-strip "$DIST"/*.exe "$DIST"/*.dll
(cd "$DIST/.." && zip -qr9 velvoria-windows.zip velvoria-windows)
say "$(du -h "$DIST.zip" | cut -f1) dist/velvoria-windows.zip: $(cd "$DIST" && ls *.exe *.dll | tr '\n' ' ')"
