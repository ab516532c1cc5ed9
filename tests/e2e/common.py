"""Shared pieces of the end-to-end tests: a copy of a program beside a Data/
directory of our choosing, track files written on the spot, and windows
found, keyed and waited for through the X server."""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DATA = os.path.join(REPO, "Data")

# What the program loads, in the order it loads it.
LOAD_ORDER = [
    "PerkProc.vert", "PerkProc.frag",
    "Blit.vert", "Blit.frag", "Blur.frag", "Mix.frag", "bokehfuckyou.jpg",
    "Sphurr.vert", "Sphurr.frag", "SphurrOcclusion.vert", "SphurrOcclusion.frag",
    "SphurrMix.frag", "LolSky.vert", "LolSky.frag", "blurry.jpg",
    "orvanth1.png", "tuvek.png", "zandol.png", "pemrix.png", "plenk.png",
    "velvoria.png", "orvanth2.png", "dravi.png",
]

TRACKS = ["Camera Bitch", "Part", "Rad Shit", "Rad Shit Time", "BOOM", "Distortion",
          "Distortion2", "Flash", "Invert", "Bloom Dry", "Bloom Wet", "Orvanth1 Fade",
          "tuvek Fade", "zandol Fade", "pemrix Fade", "PLENK Fade", "Velvoria Fade",
          "Orvanth2 Fade", "Dravi Fade"]


def message_for(name):
    """The fatal message when Data/name is missing."""
    path = "Data/" + name
    if name.endswith((".vert", ".frag")):
        return 'Could not open input file: "%s"' % path
    return 'Could not load texture "%s"' % path


def track_bytes(keys):
    """keys: [(row, value, interpolation)]"""
    return struct.pack("<i", len(keys)) + b"".join(struct.pack("<ifb", r, v, k) for r, v, k in keys)


class Stage:
    """A directory holding a copy of a program and a Data/ made of links to
    the real files, less those left out, plus tracks of the test's own."""

    def __init__(self, program, leave_out=(), tracks=None, keep_real_tracks=True):
        self.dir = tempfile.mkdtemp(prefix="velvoria-e2e-")
        self.program = os.path.join(self.dir, os.path.basename(program))
        shutil.copy2(program, self.program)
        data = os.path.join(self.dir, "Data")
        os.mkdir(data)
        for name in os.listdir(DATA):
            if name in leave_out:
                continue
            if name.endswith(".track") and not keep_real_tracks:
                continue
            os.symlink(os.path.join(DATA, name), os.path.join(data, name))
        for name, value in (tracks or {}).items():
            keys = value if isinstance(value, list) else [(0, float(value), 0)]
            path = os.path.join(data, "_%s.track" % name)
            if os.path.lexists(path):
                os.remove(path)
            with open(path, "wb") as f:
                f.write(track_bytes(keys))

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_for(what, timeout=30):
    """what()'s first true value within timeout seconds, or None."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = what()
        if value:
            return value
        time.sleep(0.05)
    return None


def row_of(title):
    """The row an editing-mode window title shows, or None."""
    m = re.search(r"\| row (-?\d+) \|", title)
    return int(m.group(1)) if m else None


def find_window(name, timeout=60, env=None):
    """The id and xwininfo text of a mapped top-level window with this exact
    name, or (None, "")."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, env=env).stdout
        for line in tree.splitlines():
            m = re.match(r'\s*(0x[0-9a-f]+) "(.*)":', line)
            if m and m.group(2) == name:
                info = subprocess.run(["xwininfo", "-id", m.group(1)], capture_output=True, text=True,
                                      env=env).stdout
                if "IsViewable" in info:
                    return m.group(1), info
        time.sleep(0.25)
    return None, ""


def grab(env, x, y, width, height):
    """The screen's pixels in this rectangle, as rows of RGB."""
    import numpy as np
    from PIL import Image
    path = tempfile.mktemp(suffix=".png")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "x11grab", "-video_size", "%dx%d" % (width, height),
                    "-i", "%s+%d,%d" % (env["DISPLAY"], x, y), "-frames:v", "1", path],
                   check=True, timeout=60, env=env)
    pixels = np.asarray(Image.open(path).convert("RGB"), dtype=np.float64)
    os.remove(path)
    return pixels


def track_keys(path):
    """[(row, value, interpolation)] of a track file."""
    with open(path, "rb") as f:
        data = f.read()
    (count,) = struct.unpack_from("<i", data)
    return [struct.unpack_from("<ifb", data, 4 + 9 * k) for k in range(count)]


def window_size(info):
    return (int(re.search(r"Width: (\d+)", info).group(1)), int(re.search(r"Height: (\d+)", info).group(1)))


def wait(process, timeout):
    """The exit status, or None after killing a process that overran."""
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None


def press(window, key, env=None):
    subprocess.run(["xdotool", "windowfocus", "--sync", window], capture_output=True, timeout=10, env=env)
    subprocess.run(["xdotool", "key", key], capture_output=True, timeout=10, env=env)


counts = {"passed": 0, "failed": 0}


def check(condition, what):
    counts["passed" if condition else "failed"] += 1
    print(("ok   " if condition else "FAIL ") + what)
    return condition


def finish():
    print("%d passed, %d failed" % (counts["passed"], counts["failed"]))
    sys.exit(1 if counts["failed"] else 0)
