#!/bin/bash
# The picture against the sound as the listener hears it, on a real
# PulseAudio started here with a null sink, then on PipeWire through its own
# API: the program's own player plays a file of clicks while
# a recorder takes the sink's monitor with the server's timing. One line per
# configuration; fails when the picture is more than 5 ms off the sound or
# the spread over 3 ms, or when the player's own tests fail on the server's
# output. Then the page's clock in headless browsers (avsync/browser.sh).
# Status 3 when PulseAudio cannot be had; PipeWire is
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
cmake --build build -j"$(nproc)" --target avsync_player avsync_recorder avsync_pw_recorder audio_tests
pipewire=""
tools/install-deps.sh pipewire pipewire-pulse wireplumber dbus || pipewire=--no-pipewire
status=0
/usr/bin/python3 tests/avsync/avsync.py build $pipewire || status=$?
# The Windows build under Wine on a server of the same kind, where there is
# one (tools/windows/build.sh makes it).
/usr/bin/python3 tests/avsync/wine.py build build-windows || status=1
# The browser's clock on a server of the same kind (tests/avsync/browser.sh).
tests/avsync/browser.sh build || { rc=$?; [ "$rc" -eq 3 ] || status=1; }
exit $status
