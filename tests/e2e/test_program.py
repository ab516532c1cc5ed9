#!/usr/bin/python3
"""The real program, end to end, under an X server: its window, Escape, a
close request, the fatal-error box for a missing file, the message on
standard error without a display, and the first missing file in load order
named by the message (checked through the capture tool, which builds the
same objects and needs no window).

usage: test_program.py VELVORIA CAPTURE XCLOSE [--full]
  --full also plays the whole production and checks it ends by itself.
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import LOAD_ORDER, Stage, check, find_window, finish, message_for, press, wait, window_size  # noqa: E402

VELVORIA, CAPTURE, XCLOSE = (os.path.abspath(p) for p in sys.argv[1:4])
FULL = "--full" in sys.argv
TITLE = "Orvanth - Velvoria"


def env(**changes):
    e = dict(os.environ, SDL_AUDIODRIVER="dummy")
    for k, v in changes.items():
        if v is None:
            e.pop(k, None)
        else:
            e[k] = v
    return e


if not os.environ.get("DISPLAY"):
    print("no DISPLAY: the end-to-end tests need an X server (test.sh starts Xvfb)")
    sys.exit(1)

# --help names every option and exits 0 without opening anything.
run = subprocess.run([VELVORIA, "--help"], env=env(), capture_output=True, text=True, timeout=30)
check(run.returncode == 0 and all(o in run.stdout for o in
                                  ("--windowed", "--desktop", "--display", "--no-vsync", "--mute", "--edit", "--help")),
      "--help names every option, status %d" % run.returncode)

# The window, then Escape. No audio driver is chosen: on a machine without a
# sound card nothing at all reaches the console.
demo = subprocess.Popen([VELVORIA, "ignored", "--arguments"], env=env(SDL_AUDIODRIVER=None),
                        stderr=subprocess.PIPE)
window, info = find_window(TITLE)
check(window is not None, "a window titled %r appears" % TITLE)
if window:
    check(window_size(info) == (1280, 720), "it is 1280 x 720 (%d x %d)" % window_size(info))
    time.sleep(2)
    check(demo.poll() is None, "the production is running")
    press(window, "Escape")
status = wait(demo, 30)
check(status == 0, "Escape ends it with status 0 (%s)" % status)
noise = demo.stderr.read()
check(noise == b"", "nothing is written to standard error (%r)" % noise[:200])

# A close request of the window.
demo = subprocess.Popen([VELVORIA], env=env(), stderr=subprocess.PIPE)
window, _ = find_window(TITLE)
if window:
    time.sleep(1)
    subprocess.run([XCLOSE, TITLE], timeout=10)
status = wait(demo, 30)
check(status == 0, "a close request ends it with status 0 (%s)" % status)

# A missing file, and a directory in place of a file (it opens, then cannot
# be read): the fatal-error box, after the demo's window has gone.
for what in ("a missing file", "a directory in place of a shader"):
    stage = Stage(VELVORIA, leave_out={"Blur.frag"})
    if what.startswith("a directory"):
        os.mkdir(os.path.join(stage.dir, "Data", "Blur.frag"))
    try:
        demo = subprocess.Popen([stage.program], env=env(), stderr=subprocess.PIPE)
        box, info = find_window("Fatal Error")
        check(box is not None, "%s brings up the \"Fatal Error\" box" % what)
        if box:
            check(find_window(TITLE, timeout=0.1)[0] is None, "the demo's window is gone before the box shows")
            press(box, "Return")
        status = wait(demo, 30)
        check(status == 1, "dismissing the box ends the program with status 1 (%s)" % status)
    finally:
        stage.remove()

# No display: the message goes to standard error.
stage = Stage(VELVORIA, leave_out={"Blur.frag"})
try:
    run = subprocess.run([stage.program], env=env(DISPLAY=None, WAYLAND_DISPLAY=None, SDL_VIDEODRIVER=None),
                         capture_output=True, text=True, timeout=60)
    last = run.stderr.strip().splitlines()[-1] if run.stderr.strip() else ""
    check(run.returncode == 1 and last in ("Could not create fullscreen window", "Could not create window"),
          "without a display the message reaches standard error, status 1 (%r)" % last)
finally:
    stage.remove()

# Each missing file is named by the message; with two missing, the earlier one.
for i, name in enumerate(LOAD_ORDER):
    leave_out = {name} if i + 1 == len(LOAD_ORDER) else {name, LOAD_ORDER[-1]}
    stage = Stage(CAPTURE, leave_out=leave_out)
    try:
        run = subprocess.run([stage.program, "--at", "1", "--out", os.path.join(stage.dir, "out")],
                             env=env(), capture_output=True, text=True, timeout=120)
        check(run.returncode == 1 and run.stderr.strip() == message_for(name),
              "missing Data/%s: %r" % (name, run.stderr.strip()))
    finally:
        stage.remove()

if FULL:
    start = time.time()
    demo = subprocess.Popen([VELVORIA], env=env(), stderr=subprocess.PIPE)
    status = wait(demo, 150)
    took = time.time() - start
    check(status == 0 and 63 < took < 120, "the whole production plays and ends by itself, "
          "status %s after %.1f s" % (status, took))

finish()
