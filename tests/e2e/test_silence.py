#!/usr/bin/python3
"""Silence plays the production. With --mute, and on a machine where no sound
output opens, the music's channel plays on the wall clock: 21 s after the
first frame the window shows the picture of that moment, as the capture tool
renders it, not the opening picture with every track at row 0. Only a music
file that is missing leaves the player without a channel: then the time runs
on the wall clock with every track at row 0, the opening picture.

usage: test_silence.py VELVORIA VELVORIA-CAPTURE (needs DISPLAY)"""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

from common import Stage, check, find_window, finish, grab, press, wait, wait_for

VELVORIA, CAPTURE = (os.path.abspath(p) for p in sys.argv[1:3])
TITLE = "Orvanth - Velvoria"
MUSIC = "zandol_and_Pemrix-Vorth_Speaks.mp3"
SIZE = (640, 360)
MOMENT = 21.0

if not os.environ.get("DISPLAY"):
    print("no DISPLAY: the end-to-end tests need an X server (test.sh starts Xvfb)")
    sys.exit(1)


def picture(pixels):
    return np.asarray(Image.fromarray(pixels.astype(np.uint8)).resize(SIZE, Image.BOX), dtype=np.float64)


def psnr(a, b):
    return 10 * np.log10(255 ** 2 / max(((a - b) ** 2).mean(), 1e-9))


# The capture tool's frames: the opening, and every 20 ms around the moment
# (the picture moves a lot in 20 ms; where the window's frame falls between
# two of them the nearer is still close).
frames = tempfile.mkdtemp(prefix="velvoria-silence-")
quiet = dict(os.environ, SDL_VIDEODRIVER="offscreen")
size = ["--size", "%dx%d" % SIZE]
subprocess.run([CAPTURE, "--at", "0", "--out", os.path.join(frames, "opening")] + size, env=quiet,
               capture_output=True, timeout=300)
subprocess.run([CAPTURE, "--from", str(MOMENT - 1.5), "--to", str(MOMENT + 1.5), "--fps", "50",
                "--out", os.path.join(frames, "moment")] + size, env=quiet, capture_output=True, timeout=600)
load = lambda f: np.asarray(Image.open(f).convert("RGB"), dtype=np.float64)
opening = [load(f) for f in glob.glob(os.path.join(frames, "opening", "*.png"))]
around = [load(f) for f in sorted(glob.glob(os.path.join(frames, "moment", "*.png")))]
shutil.rmtree(frames, ignore_errors=True)
if not check(len(opening) == 1 and len(around) == 151, "the capture tool renders the frames to compare with"):
    finish()


def shown_at_moment(args, env, leave_out=()):
    """(PSNR of the window 21 s after its first frame against the nearest
    frame of that moment, against the opening picture), or None."""
    stage = Stage(VELVORIA, leave_out=leave_out)
    demo = subprocess.Popen([stage.program, "--windowed"] + args, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        window, info = find_window(TITLE, env=env)
        if not window:
            return None
        x, y = (int(re.search(r"Absolute upper-left %s:\s+(-?\d+)" % a, info).group(1)) for a in "XY")
        # The window is black until the first frame, which comes once the
        # music has started.
        if not wait_for(lambda: grab(env, x, y, 1280, 720).mean() > 3, 60):
            return None
        start = time.time()
        time.sleep(max(0.0, start + MOMENT - time.time()))
        shot = picture(grab(env, x, y, 1280, 720))
        press(window, "Escape", env=env)
        status = wait(demo, 30)
        if status != 0:
            print("  status %s" % status)
            return None
        return max(psnr(shot, f) for f in around), psnr(shot, opening[0])
    finally:
        if demo.poll() is None:
            os.killpg(demo.pid, signal.SIGKILL)
            demo.wait()
        stage.remove()


def runtime():
    """A private runtime directory: no sound server there."""
    d = tempfile.mkdtemp(prefix="velvoria-silence-run-")
    return d, dict(os.environ, XDG_RUNTIME_DIR=d, PULSE_SERVER="unix:%s/no-server" % d)


# SDL_AUDIODRIVER: None leaves SDL to find a device (there is none in a
# test machine; where there is one, the music plays on it, in time too).
for name, args, driver in (("--mute", ["--mute"], None),
                           ("no sound server and no audio device", [], None),
                           ("no sound server, SDL_AUDIODRIVER naming nothing usable", [], "no-such-driver")):
    d, env = runtime()
    env.pop("SDL_AUDIODRIVER", None)
    if driver:
        env["SDL_AUDIODRIVER"] = driver
    seen = shown_at_moment(args, env)
    shutil.rmtree(d, ignore_errors=True)
    check(seen is not None and seen[0] >= 20 and seen[0] >= seen[1] + 5,
          "%s: at %g s the window shows the picture of that moment (%s)"
          % (name, MOMENT, "%.1f dB, the opening %.1f dB" % seen if seen else "no picture"))

# The music file missing: no channel, the wall clock, row 0: the opening
# picture, 21 s on, while the production runs.
d, env = runtime()
env["SDL_AUDIODRIVER"] = "dummy"
seen = shown_at_moment([], env, leave_out=(MUSIC,))
shutil.rmtree(d, ignore_errors=True)
check(seen is not None and seen[1] >= 20 and seen[1] >= seen[0] + 5,
      "the music missing: at %g s every track still reads row 0, the opening picture (%s)"
      % (MOMENT, "the opening %.1f dB, the moment %.1f dB" % (seen[1], seen[0]) if seen else "no picture"))
finish()
