#!/bin/bash
# The picture against the sound as the listener hears it, on a real
# PulseAudio started here with a null sink, then on PipeWire through its
# PulseAudio service: the program's own player plays a file of clicks while
# a recorder takes the sink's monitor with the server's timing. One line per
# configuration; fails when the picture is more than 5 ms off the sound or
# the spread over 3 ms. Status 3 when PulseAudio cannot be had; PipeWire is
# left out when it cannot.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! tools/install-deps.sh pulseaudio pulseaudio-utils libpulse-dev lame mpg123 python3-numpy; then
    echo "avsync: PulseAudio could not be installed"
    exit 3
fi
if [ ! -f build/CMakeCache.txt ]; then
    tools/install-deps.sh
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build -j"$(nproc)" --target avsync_player avsync_recorder
pipewire=""
tools/install-deps.sh pipewire pipewire-pulse wireplumber dbus || pipewire=--no-pipewire
/usr/bin/python3 tests/avsync/wine.py build build-windows  # the Windows build under Wine, where there is one
exec /usr/bin/python3 tests/avsync/avsync.py build $pipewire
