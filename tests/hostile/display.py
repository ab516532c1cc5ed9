#!/usr/bin/python3
"""Displays that are not there: the demo's windowed and desktop modes where
no display answers fail as the fullscreen run does (their message, status
1, at once) instead of playing unseen; an unknown SDL_VIDEODRIVER is named
on a line of its own before the usual message, in both programs; and the
error box's process dies with the demo when the demo is killed while the
box shows."""
import os
import signal
import subprocess
import time

from hostile import CAPTURE, DEMO, finish, first_line, orphans, run, stage, verdict


def environment(**changes):
    env = dict(os.environ, SDL_AUDIODRIVER="dummy")
    env.pop("WAYLAND_DISPLAY", None)
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def ends_with(message):
    def check(r, left):
        lines = r.stderr.strip().splitlines()
        if r.returncode != 1 or not lines or lines[-1] != message:
            return "not %r and status 1" % message
        return ""
    return check


# No display: the fullscreen run has always said so; the other modes played
# the whole production unseen, status 0.
for display in (":999", None):
    for mode, message in (("--windowed", "Could not create window"),
                          ("--desktop", "Could not create fullscreen window")):
        run("velvoria %s with DISPLAY %s" % (mode, display or "unset"), [DEMO, mode],
            env=environment(DISPLAY=display), timeout=20, check=ends_with(message))


# An unknown video driver: named on a line before the message.
def names_the_driver(r, left):
    lines = r.stderr.strip().splitlines()
    if len(lines) < 2 or lines[-1] != "Could not register window class":
        return "not the usual message last"
    return "" if "no-such-driver" in lines[-2] else "the line before it does not name the driver"


# Without a display the demo's box goes to standard error as well.
run("velvoria with SDL_VIDEODRIVER=no-such-driver", [DEMO],
    env=environment(SDL_VIDEODRIVER="no-such-driver", DISPLAY=None), timeout=30, check=names_the_driver)
run("velvoria-capture with SDL_VIDEODRIVER=no-such-driver", [CAPTURE, "--at", "10", "--out", "d"],
    env=environment(SDL_VIDEODRIVER="no-such-driver"), timeout=30, check=names_the_driver)


# The box shows in a process of its own; the demo killed meanwhile must take
# it along.
def box_shown(env, timeout=60):
    deadline = time.time() + timeout
    while time.time() < deadline:
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, env=env).stdout
        if '"Fatal Error"' in tree:
            return True
        time.sleep(0.2)
    return False


for sig in (signal.SIGTERM, signal.SIGKILL):
    name = "the error box's process when the demo gets %s" % sig.name
    if not os.environ.get("DISPLAY"):
        verdict(name, True, "-", "no display: not run", [])
        continue
    copy = stage(DEMO)
    demo = subprocess.Popen([copy.program], env=environment(SDL_VIDEODRIVER="no-such-driver"),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    shown = box_shown(os.environ)
    os.kill(demo.pid, sig)
    try:
        status = demo.wait(timeout=30)
    except subprocess.TimeoutExpired:
        status = "timeout"
    left = ["process %d" % pid for pid in orphans(copy.dir)]
    try:
        os.killpg(demo.pid, signal.SIGKILL)
    except OSError:
        pass
    demo.wait()
    verdict(name, shown and not left, status, first_line(demo.stderr.read().decode(errors="replace")), left,
            "the box never showed" if not shown else "left running")
finish()
