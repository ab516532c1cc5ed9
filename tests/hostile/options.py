#!/usr/bin/python3
"""Option values from outside: every value out of range or malformed is
refused with the usage (status 2) and nothing written; a time past the
production's end is refused, not rendered as another time; the demo's
--display refuses what is not a display."""
import os
import socket

from hostile import CAPTURE, DEMO, finish, run, scratch

SPAN = ["--size", "640x360"]


def refused_with_usage(r, left):
    if r.returncode != 2 or not r.stderr.startswith("usage:"):
        return "not the usage and status 2"
    return "written: %s" % left if left else ""


def capture_refuses(name, *args):
    run(name, [CAPTURE] + list(args), timeout=30, check=refused_with_usage)


for size in ["0x0", "640x359", "3840x2161", "7680x4320", "-1280x-720", "1280x720x", " 1280x720", "1e9x1e9",
             "+1280x720"]:
    capture_refuses("--size %r" % size, "--at", "10", "--out", "d", "--size", size)
for n in ["0", "5", "2.5", "-1", "99999999999", "nan"]:
    capture_refuses("--supersample %s" % n, "--at", "10", "--out", "d", "--supersample", n, *SPAN)
for fps in ["0", "-5", "1e9", "nan"]:
    capture_refuses("--fps %s (frames)" % fps, "--from", "10", "--to", "10.5", "--fps", fps, "--out", "d", *SPAN)
    capture_refuses("--fps %s (video)" % fps, "--video", "v.mp4", "--from", "10", "--to", "10.5", "--fps", fps, *SPAN)
# A frame count that cannot be held (it aborted with bad_alloc): the usage.
capture_refuses("--from 0 --to 1e18 --fps 1 --out", "--from", "0", "--to", "1e18", "--fps", "1", "--out", "d", *SPAN)
capture_refuses("--bench --from 0 --to 64 --fps 1e9", "--bench", "--from", "0", "--to", "64", "--fps", "1e9", *SPAN)
capture_refuses("--from 70 (frames)", "--from", "70", "--to", "71", "--fps", "1", "--out", "d", *SPAN)
capture_refuses("--from 70 (video)", "--video", "v.mp4", "--from", "70", *SPAN)
capture_refuses("--from 10 --to 5", "--from", "10", "--to", "5", "--fps", "1", "--out", "d", *SPAN)
capture_refuses("--to 1e300 (frames)", "--from", "63", "--to", "1e300", "--fps", "1", "--out", "d", *SPAN)
capture_refuses("--to 1e300 (video)", "--video", "v.mp4", "--from", "63", "--to", "1e300", *SPAN)
# Times past the end were rendered as the t=0 frame under its name.
for t in ["nan", "inf", "-1", "64.001", "70", "1e308", "1e19", "4294967.296"]:
    capture_refuses("--at %s" % t, "--at", t, "--out", "d", *SPAN)


def one_frame(name):
    def check(r, left):
        return "" if left == [name] else "wrote %s, not %s" % (left, name)
    return check


# The production's last moment is a time like any other.
run("--at 64", [CAPTURE, "--at", "64", "--out", "d"] + SPAN, expect="ok", check=one_frame("d/frame-64000.png"))
run("--at 0", [CAPTURE, "--at", "0", "--out", "d"] + SPAN, expect="ok", check=one_frame("d/frame-00000.png"))

# --out naming a file or a device: refused, the thing itself untouched.
work = scratch()
with open(os.path.join(work, "file"), "w") as f:
    f.write("keep")
run("--at --out FILE", [CAPTURE, "--at", "10", "--out", "file"] + SPAN, cwd=work,
    check=lambda r, left: "" if left == ["file"] and open(os.path.join(work, "file")).read() == "keep"
    else "the file changed")

# The capture tool plays nothing: it must not start a sound system (it
# opened PulseAudio through SDL). A PulseAudio server that only listens
# shows whether it is called.
work = scratch()
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(os.path.join(work, "pulse"))
listener.listen(4)
listener.settimeout(0.5)
env = dict(os.environ, PULSE_SERVER="unix:" + os.path.join(work, "pulse"))
env.pop("SDL_AUDIODRIVER", None)


def never_called(r, left):
    try:
        listener.accept()  # a connection waits here even after its client ended
        return "it called the sound server"
    except OSError:
        return ""


run("--at starts no sound system", [CAPTURE, "--at", "10", "--out", "d"] + SPAN, cwd=work, env=env, expect="ok",
    check=never_called)
listener.close()

# The demo's --display.
if os.environ.get("DISPLAY"):
    for value in ["99", "-1", "abc", ""]:
        run("velvoria --display %r" % value, [DEMO, "--display", value, "--mute"], timeout=60)

# The demo's --audio-offset: refused with its line and the usage before any
# window opens, so no display is needed.
for value in ["1001", "-1001", "abc", "", "nan", "1e3", "12ms", " 5", "9" * 40, "-"]:
    run("velvoria --audio-offset %r" % value[:20], [DEMO, "--audio-offset", value, "--mute"], timeout=30,
        check=lambda r, left: "" if "usage: velvoria" in r.stderr else "no usage")
run("velvoria --audio-offset with no value", [DEMO, "--audio-offset"], timeout=30)
finish()
