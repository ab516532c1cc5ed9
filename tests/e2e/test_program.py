#!/usr/bin/python3
"""The real program, end to end, under an X server: its window, Escape, a
close request, the fatal-error box for a missing file (also when another
video driver was in use), the message on standard error without a display,
the first missing file in load order named by the message, and bad files in
place of good ones (the last two checked through the capture tool, which
builds the same objects and needs no window).

usage: test_program.py VELVORIA CAPTURE XCLOSE [--full]
  --full also plays the whole production and checks it ends by itself.
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (DATA, LOAD_ORDER, Stage, bound, check, find_window, finish, message_for, press, run, start,  # noqa: E402
                    wait, window_size)

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
result = run([VELVORIA, "--help"], env=env(), timeout=30)
check(result.returncode == 0 and all(o in result.stdout for o in
                                     ("--windowed", "--desktop", "--native", "--display", "--no-vsync", "--mute",
                                      "--edit", "--audio-offset", "--help")),
      "--help names every option, status %d" % result.returncode)

# Both programs say one version, the project's (with the commit they were
# built from), for --version and at the end of --help.
project = re.search(r"project\(velvoria VERSION ([0-9.]+)", open(os.path.join(os.path.dirname(
    os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")).read()).group(1)
said = {}
for program in (VELVORIA, CAPTURE):
    name = os.path.basename(program)
    for option in ("--version", "--help"):
        answer = run([program, option], env=env(), timeout=30)
        last = answer.stdout.strip().splitlines()[-1] if answer.stdout.strip() else ""
        said[(name, option)] = last.split()[-1] if last.startswith(name + " ") and answer.returncode == 0 else None
versions = set(said.values())
version = versions.pop() if len(versions) == 1 else None
check(version is not None and re.fullmatch(re.escape(project) + r"(\+g[0-9a-f]{7,}(-dirty)?)?", version),
      "--version and --help of both programs say one version, %s's %s: %s" % ("CMakeLists.txt", project, said))

# A bad option value: its line, then the usage, and status 2, before any window.
for value in ("1001", "abc"):
    result = run([VELVORIA, "--audio-offset", value], env=env(), timeout=30)
    lines = result.stderr.splitlines()
    check(result.returncode == 2 and lines and "--audio-offset" in lines[0] and value in lines[0]
          and "usage: velvoria" in result.stderr, "--audio-offset %s gets its line, the usage and status 2 (%d: %r)"
          % (value, result.returncode, lines[:1]))

# The window, then Escape. No audio driver is chosen: on a machine without a
# sound card nothing at all reaches the console.
demo = start([VELVORIA, "ignored", "--arguments"], env=env(SDL_AUDIODRIVER=None))
window, info = find_window(TITLE, program=demo)
check(window is not None, "a window titled %r appears" % TITLE)
if window:
    check(window_size(info) == (1280, 720), "it is 1280 x 720 (%d x %d)" % window_size(info))
    time.sleep(2)
    check(demo.poll() is None, "the production is running")
    press(window, "Escape")
status = wait(demo, 30)
check(status == 0, "Escape ends it with status 0 (%s)" % status)
noise = demo.stderr()
check(noise == "", "nothing is written to standard error (%r)" % noise[:200])

# A close request of the window.
demo = start([VELVORIA], env=env())
window, _ = find_window(TITLE, program=demo)
if window:
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
        demo = start([stage.program], env=env())
        box, info = find_window("Fatal Error", program=demo)
        check(box is not None, "%s brings up the \"Fatal Error\" box" % what)
        if box:
            check(find_window(TITLE, timeout=0.1)[0] is None, "the demo's window is gone before the box shows")
            press(box, "Return")
        status = wait(demo, 30)
        check(status == 1, "dismissing the box ends the program with status 1 (%s)" % status)
    finally:
        stage.remove()

# Another video driver in use: the box still shows, and nothing crashes on
# the way (a box that failed would leave the message on standard error).
stage = Stage(VELVORIA, leave_out={"Blur.frag"})
try:
    demo = start([stage.program], env=env(SDL_VIDEODRIVER="offscreen"))
    box, _ = find_window("Fatal Error", program=demo)
    check(box is not None, "with the offscreen video driver the \"Fatal Error\" box still shows")
    if box:
        press(box, "Return")
    status = wait(demo, 30)
    errors = demo.stderr().strip() if status is not None else ""
    check(status == 1 and errors == "", "it ends with status 1 and no fallback message (%s, %r)" % (status, errors))
finally:
    stage.remove()

# No display: the message goes to standard error.
stage = Stage(VELVORIA, leave_out={"Blur.frag"})
try:
    result = run([stage.program], env=env(DISPLAY=None, WAYLAND_DISPLAY=None, SDL_VIDEODRIVER=None), timeout=60)
    last = result.stderr.strip().splitlines()[-1] if result.stderr.strip() else ""
    check(result.returncode == 1 and last in ("Could not create fullscreen window", "Could not create window"),
          "without a display the message reaches standard error, status 1 (%r)" % last)
finally:
    stage.remove()

# Each missing file is named by the message; with two missing, the earlier one.
for i, name in enumerate(LOAD_ORDER):
    leave_out = {name} if i + 1 == len(LOAD_ORDER) else {name, LOAD_ORDER[-1]}
    stage = Stage(CAPTURE, leave_out=leave_out)
    try:
        result = run([stage.program, "--at", "1", "--out", os.path.join(stage.dir, "out")], env=env(), timeout=120)
        check(result.returncode == 1 and result.stderr.strip() == message_for(name),
              "missing Data/%s: %r" % (name, result.stderr.strip()))
    finally:
        stage.remove()

def capture_with(replace=None, tracks=None, keep_real_tracks=True, bench=False):
    """The capture tool at 1 s with the Data/ files in replace made by their
    functions: (status or None if it hung, standard error, seconds, and the
    frame's PNG, or with bench its median milliseconds)."""
    stage = Stage(CAPTURE, leave_out=set(replace or ()), tracks=tracks, keep_real_tracks=keep_real_tracks)
    try:
        for name, make in (replace or {}).items():
            make(os.path.join(stage.dir, "Data", name))
        out = os.path.join(stage.dir, "out")
        args = ["--bench", "--at", "1"] if bench else ["--at", "1", "--out", out]
        began = time.time()
        try:
            result = run([stage.program] + args, env=env(), timeout=60)
            status, errors = result.returncode, result.stderr.strip()
        except subprocess.TimeoutExpired:
            status, errors, result = None, "(hung)", None
        took = time.time() - began
        if bench:
            m = re.search(r"frame_ms=([0-9.]+)", result.stdout if result else "")
            return status, errors, took, float(m.group(1)) if m else None
        frame_path = os.path.join(out, "frame-01000.png")
        frame = open(frame_path, "rb").read() if os.path.exists(frame_path) else None
        return status, errors, took, frame
    finally:
        stage.remove()

def first_half_of(name):
    def make(path):
        with open(os.path.join(DATA, name), "rb") as f:
            data = f.read()
        with open(path, "wb") as f:
            f.write(data[:len(data) // 2])
    return make

def narrow_cross(path):
    from PIL import Image
    Image.new("RGB", (2, 8), (90, 120, 200)).save(path, "JPEG")

# Bad files in place of good ones settle within seconds. What cannot be read
# fails like a missing file; a FIFO is never opened, since the open would
# wait for a writer. A track that cannot be read is empty, and a track of NaN
# radii draws no spheres and costs nothing: its frame is the one of an empty
# field, made as fast.
QUICK = bound(10)
bad_files = [
    ("a FIFO as Data/Blur.frag", {"Blur.frag": os.mkfifo}, None, 1, message_for("Blur.frag")),
    ("a FIFO as Data/_Flash.track", {"_Flash.track": os.mkfifo}, None, 0, ""),
    ("the first half of Data/orvanth1.png", {"orvanth1.png": first_half_of("orvanth1.png")}, None, 1,
     message_for("orvanth1.png")),
    # The usual GL error message, after a line that names the file and its faces.
    ("a cross image 2 pixels wide", {"blurry.jpg": narrow_cross}, None, 1,
     'velvoria: "Data/blurry.jpg" is 2 x 8 pixels: a cube cross is 3 square faces wide and 4 tall, and this '
     "one's faces would be 0 x 2\nGL error has occurred: invalid value"),
]
for what, replace, tracks, want_status, want_errors in bad_files:
    status, errors, took, _ = capture_with(replace, tracks)
    check(status == want_status and errors == want_errors and took < QUICK,
          "%s: status %s, %r, %.1f s" % (what, status, errors, took))

empty_field, nan_radii = {"Part": 2}, {"Part": 0, "Rad Shit": float("nan")}
empty = capture_with(tracks=empty_field, keep_real_tracks=False)
nan = capture_with(tracks=nan_radii, keep_real_tracks=False)
check(empty[0] == 0 and nan[0] == 0 and nan[2] < QUICK and nan[3] == empty[3],
      "a NaN \"Rad Shit\" draws no spheres: status %s, %.1f s, %s the frame of an empty field"
      % (nan[0], nan[2], "same as" if nan[3] == empty[3] else "not"))
empty_ms = capture_with(tracks=empty_field, keep_real_tracks=False, bench=True)[3]
nan_ms = capture_with(tracks=nan_radii, keep_real_tracks=False, bench=True)[3]
check(empty_ms and nan_ms and nan_ms < 4 * empty_ms,
      "and costs nothing: %s ms a frame, %s ms for an empty field" % (nan_ms, empty_ms))

if FULL:
    began = time.time()
    demo = start([VELVORIA], env=env())
    status = wait(demo, 150)
    took = time.time() - began
    check(status == 0 and 63 < took < 64 + bound(56), "the whole production plays and ends by itself, "
          "status %s after %.1f s" % (status, took))

finish()
