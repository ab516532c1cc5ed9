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
#     this machine's, 40 dB or better where a system has its own Mesa), ldd
#     of velvoria naming no libpipewire, and velvoria --windowed (--mute on
#     this machine): its window, a picture that moves, Escape, status 0,
#     nothing said on its console. Debian 11 and 12 have no libpipewire: the
#     sound goes to the next output. Debian 13 has PipeWire installed and
#     running (the daemon, its session manager and a null sink): the sound
#     is a stream of PipeWire's own (pw-dump);
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
# Each system: its number, its suite, its ALSA library, the packages it has
# beyond (a comma between two).
SYSTEMS="11:bullseye:libasound2 12:bookworm:libasound2 13:trixie:libasound2t64:pipewire,wireplumber"
# Where PipeWire, started in a system, has its socket.
PIPEWIRE_RUNTIME=/run/viewer

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
pipewire_pids=()
stop_pipewire() {
    local pid
    for pid in "${pipewire_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pipewire_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pipewire_pids=()
}
cleanup() {
    stop_pipewire
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
# PipeWire in the system at DIR as a desktop session has it: the daemon and
# its session manager, with a null sink (there is no sound card); true once
# the session manager has made that sink the default.
start_pipewire() {
    local dir=$1 program
    mkdir -p "$dir/etc/pipewire/pipewire.conf.d" "$dir$PIPEWIRE_RUNTIME"
    chmod 700 "$dir$PIPEWIRE_RUNTIME"
    : >"$WORK/pipewire.log"
    cat >"$dir/etc/pipewire/pipewire.conf.d/speakers.conf" <<'EOF'
context.objects = [
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = "speakers" media.class = "Audio/Sink"
               object.linger = true audio.position = [ FL FR ] } }
]
EOF
    # The session manager gives up at once when the daemon's socket is not
    # there yet: it is started once the socket listens.
    local until=$((SECONDS + 30))
    for program in pipewire wireplumber; do
        while [ "$program" = wireplumber ] && [ ! -S "$dir$PIPEWIRE_RUNTIME/pipewire-0" ]; do
            [ "$SECONDS" -lt "$until" ] || return 1
            sleep 0.1
        done
        chroot "$dir" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root XDG_RUNTIME_DIR="$PIPEWIRE_RUNTIME" "$program" \
            >>"$WORK/pipewire.log" 2>&1 &
        pipewire_pids+=($!)
    done
    while [ "$SECONDS" -lt "$until" ]; do
        chroot "$dir" /usr/bin/env -i XDG_RUNTIME_DIR="$PIPEWIRE_RUNTIME" pw-dump 2>/dev/null \
            | grep '"default.audio.sink"' >/dev/null && return 0
        sleep 0.2
    done
    return 1
}

# Tries the unpacked programs in DIR (a path inside the system, whose root
# on this machine is ROOT_DIR, / for this machine), run by the words of RUN:
# velvoria with the words of DEMO_ARGS, and viewers.py demo told the words
# of DEMO_CHECK.
DEMO_ARGS=(--windowed)
DEMO_CHECK=()
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
    local linked
    linked=$("$@" /usr/bin/ldd "$dir/velvoria" 2>&1 | grep -E 'pipewire|not found' | tr -s ' \t\n' ' ' || true)
    if [ -n "$linked" ]; then
        flunk "$name" "$line; ldd velvoria: $linked"
        return
    fi
    line="$line; ldd velvoria: no libpipewire"
    local demo
    if demo=$(/usr/bin/python3 tests/release/viewers.py demo "${DEMO_CHECK[@]}" -- "$@" "$dir/velvoria" "${DEMO_ARGS[@]}")
    then
        pass "$name" "$line; velvoria ${DEMO_ARGS[*]}: $demo"
    else
        flunk "$name" "$line; velvoria ${DEMO_ARGS[*]}: $demo"
    fi
}

# --- Debian 11, 12 and 13 -------------------------------------------------------------
for system in $SYSTEMS; do
    IFS=: read -r number suite alsa with <<<"$system"
    dir=$WORK/debian-$number
    cache=$ROOT/build-release/systems/debian-$number-desktop${with:+-with-${with//,/-}}.tar.gz
    # shellcheck disable=SC2086
    if ! debian_root "$suite" "$dir" "$cache" $DESKTOP "$alsa" ${with//,/ } 2>"$WORK/debian-$number.err"; then
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
    DEMO_CHECK=()
    run=(chroot "$dir" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root DISPLAY="$DISPLAY")
    if [[ ,$with, == *,pipewire,* ]]; then
        sound="PipeWire $(chroot "$dir" dpkg-query -W -f='${Version}' pipewire) running"
        if start_pipewire "$dir"; then
            DEMO_CHECK=(--pipewire chroot "$dir" /usr/bin/env -i XDG_RUNTIME_DIR="$PIPEWIRE_RUNTIME" pw-dump)
            run+=(XDG_RUNTIME_DIR="$PIPEWIRE_RUNTIME")
        else
            say "debian $number: PipeWire does not start in it ($(tail -n 1 "$WORK/pipewire.log")); tried without"
            [ "$status" -eq 0 ] && status=3
            sound="PipeWire not running"
        fi
    elif chroot "$dir" /sbin/ldconfig -p | grep libpipewire >/dev/null; then
        sound="a libpipewire"
        flunk "debian $number" "the system has a libpipewire"
    else
        sound="no libpipewire"
    fi
    try_linux "debian $number ($suite, Mesa $mesa, $sound)" "$dir" "$inside" "${run[@]}"
    stop_pipewire
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
    "$here/lib/"*)
        DEMO_ARGS=(--windowed --mute)
        DEMO_CHECK=()
        try_linux "this machine, from \"$FOLDER\", SDL2 from its lib/" / "$here" env -C / DISPLAY="$DISPLAY" ;;
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
