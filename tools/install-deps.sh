#!/bin/sh
# Installs what Velvoria needs to build, test and regenerate its data on
# Debian 12, or, given package names, those packages (the Windows and web
# builds and the portability check name their own). Skips what is already
# installed; uses sudo when not root. Fails when apt-get does.
set -eu

PACKAGES="
build-essential cmake pkg-config
libsdl2-dev libmpg123-dev libpulse-dev libpipewire-0.3-dev libglm-dev libstb-dev libglu1-mesa-dev libgl1-mesa-dri
libgtest-dev
xvfb xauth xdotool x11-utils libx11-dev xfonts-base
python3 python3-numpy python3-pil lame mpg123 fonts-dejavu-core fonts-comfortaa
ffmpeg
clang libclang-rt-14-dev
"
[ "$#" -eq 0 ] || PACKAGES="$*"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "install-deps: everything is installed"
    exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "install-deps: installing$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
