#!/usr/bin/python3
"""The Windows build under Wine (X display from DISPLAY, OpenGL from Mesa
through Wine's opengl32): frames that match the Linux build's, the window,
Escape, the fatal-error box and the exit statuses; and, given WASAPI_CHECK,
the music's clock on WASAPI through Wine's PulseAudio driver, on a
PulseAudio of its own.

usage: test_wine.py DIST_DIR LINUX_CAPTURE [WASAPI_CHECK]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import socket

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from common import check, find_window, finish, message_for, press, wait  # noqa: E402

DIST, LINUX_CAPTURE = (os.path.abspath(p) for p in sys.argv[1:3])
TITLE = "Orvanth - Velvoria"
TIMES = [5, 30]
MIN_PSNR = 40.0
# Started from an empty directory: the programs must find Data/ beside themselves.
ELSEWHERE = tempfile.mkdtemp(prefix="velvoria-wine-cwd-")


def env():
    return dict(os.environ, SDL_AUDIODRIVER="dummy")


def wine(program, *args):
    return ["wine", program] + list(args)


def staged(leave_out):
    """A copy of the Windows folder without Data/leave_out."""
    where = tempfile.mkdtemp(prefix="velvoria-wine-")
    copy = os.path.join(where, "velvoria-windows")
    shutil.copytree(DIST, copy, symlinks=True)
    os.remove(os.path.join(copy, "Data", leave_out))
    return where, copy


def frames(command, out):
    run = subprocess.run(command + ["--at"] + ["%g" % t for t in TIMES] + ["--out", out],
                         env=env(), cwd=ELSEWHERE, capture_output=True, text=True, timeout=600)
    if run.returncode != 0:
        print(run.stdout, run.stderr[-2000:])
        return None
    return [np.asarray(Image.open(os.path.join(out, "frame-%05d.png" % (t * 1000))).convert("RGB"),
                       dtype=np.float64) for t in TIMES]


def psnr(a, b):
    mse = np.mean((a - b) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


# The same frames from both builds.
work = tempfile.mkdtemp(prefix="velvoria-wine-frames-")
try:
    start = time.time()
    windows = frames(wine(os.path.join(DIST, "velvoria-capture.exe")), os.path.join(work, "windows"))
    took = time.time() - start
    check(windows is not None, "velvoria-capture.exe --at %s writes the frames (%.1f s)"
          % (" ".join(map(str, TIMES)), took))
    linux = frames([LINUX_CAPTURE], os.path.join(work, "linux"))
    check(linux is not None, "the Linux build's velvoria-capture writes the same frames")
    if windows and linux:
        for t, w, l in zip(TIMES, windows, linux):
            check(w.shape == l.shape == (720, 1280, 3), "frame at %g s is 1280 x 720" % t)
            if w.shape == l.shape:
                value = psnr(w, l)
                check(value >= MIN_PSNR, "frame at %g s matches the Linux frame: %s"
                      % (t, "identical" if value == float("inf") else "PSNR %.1f dB" % value))
        check(psnr(windows[0], windows[1]) < 30, "the two frames differ from each other")
finally:
    shutil.rmtree(work, ignore_errors=True)

# The window, then Escape.
demo = subprocess.Popen(wine(os.path.join(DIST, "velvoria.exe")), env=env(), cwd=ELSEWHERE,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
window, info = find_window(TITLE, timeout=90)
check(window is not None, "a window titled %r appears" % TITLE)
if window:
    size = (re.search(r"Width: (\d+)", info).group(1), re.search(r"Height: (\d+)", info).group(1))
    check(size == ("1280", "720"), "it is 1280 x 720 (%s x %s)" % size)
    time.sleep(3)
    check(demo.poll() is None, "the production is running")
    press(window, "Escape")
status = wait(demo, 60)
check(status == 0, "Escape ends it with status 0 (%s)" % status)

# Data/Mix.frag missing: the system's "Fatal Error" box, then status 1.
where, copy = staged("Mix.frag")
try:
    demo = subprocess.Popen(wine(os.path.join(copy, "velvoria.exe")), env=env(), cwd=ELSEWHERE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    box, info = find_window("Fatal Error", timeout=90)
    check(box is not None, "with Data/Mix.frag missing the \"Fatal Error\" box appears")
    if box:
        check(find_window(TITLE, timeout=0.1)[0] is None, "the demo's window is gone before the box shows")
        press(box, "Return")
    status = wait(demo, 60)
    check(status == 1, "dismissing the box ends the program with status 1 (%s)" % status)

    # The message itself, as the capture tool prints it.
    run = subprocess.run(wine(os.path.join(copy, "velvoria-capture.exe"), "--at", "1",
                              "--out", os.path.join(where, "out")),
                         env=env(), cwd=ELSEWHERE, capture_output=True, text=True, timeout=300)
    last = run.stderr.strip().splitlines()[-1] if run.stderr.strip() else ""
    check(run.returncode == 1 and last == message_for("Mix.frag"),
          "the message is the Linux build's: %r, status %s" % (last, run.returncode))
finally:
    shutil.rmtree(where, ignore_errors=True)

# No video export on Windows, and it says so.
run = subprocess.run(wine(os.path.join(DIST, "velvoria-capture.exe"), "--video", "x.mp4"),
                     env=env(), cwd=ELSEWHERE, capture_output=True, text=True, timeout=120)
check(run.returncode == 1 and "not available" in run.stderr, "--video says it is not available, status 1")


def wasapi(check_program):
    """The music's clock on WASAPI, through Wine's PulseAudio driver: the
    output it picks, real time, pause, seeks; and a server that takes the
    connection and never answers costs the output its wait, no more."""
    if not shutil.which("pulseaudio"):
        print("windows-test: no PulseAudio here; the clock on WASAPI is not checked")
        return
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "avsync"))
    from avsync import Server  # noqa: E402
    work = tempfile.mkdtemp(prefix="velvoria-wine-wasapi-")
    server = Server(work)
    try:
        # The DLLs are the folder's; the sound goes to PulseAudio's driver.
        base = dict(os.environ, WINEPATH="Z:" + DIST.replace("/", "\\"))
        base.pop("SDL_AUDIODRIVER", None)
        subprocess.run(wine("reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Audio", "/d", "pulse", "/f"),
                       env=base, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)
        music = "Z:" + os.path.join(DIST, "Data", "zandol_and_Pemrix-Vorth_Speaks.mp3").replace("/", "\\")
        deaf = socket.socket(socket.AF_UNIX)
        deaf.bind(os.path.join(work, "deaf"))
        deaf.listen(8)
        for name, extra, server_address in (("", [], server.env["PULSE_SERVER"]),
                                            (" (a server that never answers)", ["--deadline"],
                                             "unix:" + os.path.join(work, "deaf"))):
            # Into a file: a pipe would be held open by any process of
            # Wine's that the run starts.
            out = os.path.join(work, "check.out")
            with open(out, "w") as f:
                run = subprocess.run(wine(check_program, music, *extra),
                                     env=dict(base, PULSE_SERVER=server_address), cwd=ELSEWHERE,
                                     stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT, timeout=120)
            with open(out) as f:
                lines = [l.strip() for l in f if l.startswith("wasapi_check:")]
            print("\n".join("    " + l for l in lines))
            check(run.returncode == 0 and lines and not any("FAILED" in l for l in lines),
                  "the clock on WASAPI%s" % name)
        deaf.close()
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if len(sys.argv) > 3:
    wasapi(os.path.abspath(sys.argv[3]))

shutil.rmtree(ELSEWHERE, ignore_errors=True)
finish()
