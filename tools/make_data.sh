#!/bin/sh
# Regenerates everything in Data/ that is not written by hand (the shaders
# are): the music, the sky, bokeh and credit images, the sync tracks compiled
# from tools/timeline.txt, and the timeline picture tools/timeline.png.
set -eu
cd "$(dirname "$0")/.."
PY=/usr/bin/python3  # Debian's interpreter, which has numpy and PIL

$PY tools/make_music.py
$PY tools/make_sky.py
$PY tools/make_images.py
$PY tools/trackc.py tools/timeline.txt Data/
$PY tools/plot_timeline.py
echo "make_data: Data/ regenerated"
