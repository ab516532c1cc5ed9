#!/usr/bin/python3
"""The program on screens other than the one it was made for, each an X
server of the test's own: 1280x720 at 16 bits per pixel and 1920x1080 have
no 1280x720x32 mode, so the default run ends in the fatal box; --desktop
covers 1920x1080 with the picture scaled, --windowed opens a 1280x720
window whose picture follows it when it is resized, and on 2560x1440
--desktop --native renders at the screen's size.

usage: test_desktop.py VELVORIA
"""
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import check, find_window, finish, grab, press, start, start_xvfb, wait, wait_for, window_size  # noqa: E402

VELVORIA = os.path.abspath(sys.argv[1])
TITLE = "Orvanth - Velvoria"


def covered(pixels):
    """Whether the picture reaches every edge: the top rows and the right
    columns are as lit as the rest (an unscaled 1280x720 picture in a
    larger drawable leaves them black)."""
    h, w, _ = pixels.shape
    top, right = pixels[: h // 10].mean(), pixels[:, w - w // 10:].mean()
    return top > 20 and right > 20, "top %.0f, right %.0f, all %.0f" % (top, right, pixels.mean())


def shown_covered(env, x, y, width, height):
    """Waits for a picture that reaches every edge of the rectangle (the
    first frames take their time on a busy machine): (whether, figures)."""
    seen = []

    def look():
        seen[:] = [covered(grab(env, x, y, width, height))]
        return seen[0][0]
    wait_for(look, 60)
    return seen[0]


def fatal_box(env, args, what):
    demo = start([VELVORIA] + args, env=env)
    box, _ = find_window("Fatal Error", timeout=30, env=env, program=demo)
    check(box is not None, "%s: the \"Fatal Error\" box" % what)
    if box:
        press(box, "Return", env=env)
    status = wait(demo, 30)
    check(status == 1, "%s: status 1 (%s)" % (what, status))


_, low = start_xvfb("1280x720x16")
fatal_box(low, [], "1280x720 at 16 bits per pixel")

_, wide = start_xvfb("1920x1080x24")
fatal_box(wide, [], "1920x1080 by default")

demo = start([VELVORIA, "--desktop"], env=wide)
window, info = find_window(TITLE, env=wide, program=demo)
if check(window is not None, "--desktop opens a window"):
    check(window_size(info) == (1920, 1080), "it covers the 1920x1080 screen (%d x %d)" % window_size(info))
    ok, figures = shown_covered(wide, 0, 0, 1920, 1080)
    check(ok, "the picture is scaled to the whole screen (%s)" % figures)
    press(window, "Escape", env=wide)
check(wait(demo, 30) == 0, "Escape ends --desktop with status 0")

demo = start([VELVORIA, "--windowed"], env=wide)
window, info = find_window(TITLE, env=wide, program=demo)
if check(window is not None, "--windowed opens a window"):
    check(window_size(info) == (1280, 720), "it is 1280 x 720 (%d x %d)" % window_size(info))
    subprocess.run(["xdotool", "windowsize", "--sync", window, "1600", "900"], env=wide, timeout=30)
    info = wait_for(lambda: (lambda i: i if window_size(i) == (1600, 900) else None)(
        subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True, env=wide).stdout), 10) or ""
    check(info and window_size(info) == (1600, 900), "it is resized to 1600 x 900 (%s)" % (info and (window_size(info),)))
    if info:
        x = int(info.split("Absolute upper-left X:")[1].split()[0])
        y = int(info.split("Absolute upper-left Y:")[1].split()[0])
        ok, figures = shown_covered(wide, x, y, 1600, 900)
        check(ok, "the picture follows the new size (%s)" % figures)
    press(window, "Escape", env=wide)
check(wait(demo, 30) == 0, "Escape ends --windowed with status 0")

# A 2560x1440 screen: --desktop scales the 1280x720 picture up, --native
# renders at the screen's own size, with finer detail (the mean size of
# the Laplacian, once the picture is up).
_, large = start_xvfb("2560x1440x24")
detail = {}
for args in (["--desktop"], ["--desktop", "--native"]):
    demo = start([VELVORIA] + args, env=large)
    window, info = find_window(TITLE, env=large, program=demo)
    if window and shown_covered(large, 0, 0, 2560, 1440)[0]:
        f = grab(large, 0, 0, 2560, 1440)
        detail[args[-1]] = np.abs(4 * f[1:-1, 1:-1] - f[:-2, 1:-1] - f[2:, 1:-1] - f[1:-1, :-2] - f[1:-1, 2:]).mean()
        press(window, "Escape", env=large)
    check(window is not None and wait(demo, 30) == 0, "%s on 2560x1440: Escape ends it with status 0" % " ".join(args))
check(len(detail) == 2 and detail["--native"] > 1.3 * detail["--desktop"],
      "--native renders the screen's own pixels: detail %s" % {k: round(v, 2) for k, v in detail.items()})

finish()
