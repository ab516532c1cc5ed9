#!/bin/sh
# Regenerates everything in Data/ that is not written by hand (the shaders
# are): the music, the sky, bokeh and credit images, the sync tracks compiled
# from tools/timeline.txt (with the Rocket editor's project of them,
# tools/velvoria.rocket), and the timeline picture tools/timeline.png.
# The tracks come first: when one was saved from the editor after the timeline
# was last changed, the compiler names it and nothing is regenerated.
set -eu
cd "$(dirname "$0")/.."
PY=/usr/bin/python3  # Debian's interpreter, which has numpy and PIL

$PY tools/trackc.py --rocket tools/velvoria.rocket tools/timeline.txt Data/
$PY tools/make_music.py
$PY tools/make_sky.py
$PY tools/make_images.py
$PY tools/plot_timeline.py
echo "make_data: Data/ regenerated"
