"""Shared pieces of the end-to-end tests: a copy of a program beside a Data/
directory of our choosing, track files written on the spot, programs started
in process groups of their own and ended with them whatever happens, and
windows found, keyed and waited for through the X server."""
import atexit
import os
import re
import select
import shutil
import signal
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


def patience():
    """How many times longer than on an idle machine a wait may take: the
    load a core carries now, from 1 to 4, times VELVORIA_TEST_PATIENCE
    (default 1)."""
    try:
        load = os.getloadavg()[0] / (os.cpu_count() or 1)
    except OSError:
        load = 1.0
    return min(max(load, 1.0), 4.0) * float(os.environ.get("VELVORIA_TEST_PATIENCE", "1"))


def bound(seconds):
    """A wait of this many seconds on an idle machine, stretched for this one."""
    return seconds * patience()


def wait_for(what, timeout=30):
    """what()'s first true value within the (stretched) timeout, or None."""
    deadline = time.time() + bound(timeout)
    while time.time() < deadline:
        value = what()
        if value:
            return value
        time.sleep(0.05)
    return None


_running = []


class Program:
    """A program a test started: in a process group of its own (with whatever
    it starts, an error box's process included), its standard output and
    error collected in files. end() kills the group; every group still there
    is killed when the test ends, however it ends."""

    def __init__(self, cmd, env=None, cwd=None, stdin=None, pass_fds=()):
        self.name = os.path.basename(cmd[0])
        self._out, self._err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self.process = subprocess.Popen(cmd, env=env, cwd=cwd, stdout=self._out, stderr=self._err,
                                        stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                        start_new_session=True, pass_fds=pass_fds)
        self.pid = self.process.pid
        _running.append(self)

    def poll(self):
        return self.process.poll()

    def _read(self, f):
        f.seek(0)
        return f.read().decode(errors="replace")

    def stdout(self):
        return self._read(self._out)

    def stderr(self):
        return self._read(self._err)

    def printed(self):
        """What it printed, for a report: the end of each stream."""
        out, err = self.stdout().strip(), self.stderr().strip()
        return "stdout %r, stderr %r" % (out[-400:], err[-600:])

    def end(self):
        """Kills the whole group and reaps the program; its exit status."""
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except OSError:
            pass
        status = self.process.wait()
        if self in _running:
            _running.remove(self)
        return status

    def wait(self, timeout):
        """The exit status within the (stretched) timeout; None after ending
        a program that overran. The group goes either way: nothing the
        program started outlives it."""
        try:
            status = self.process.wait(timeout=bound(timeout))
        except subprocess.TimeoutExpired:
            self.end()
            return None
        self.end()
        return status


def _end_all():
    for program in list(_running):
        program.end()


def _on_signal(number, frame):
    _end_all()
    os._exit(128 + number)


atexit.register(_end_all)
for _number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
    signal.signal(_number, _on_signal)


def start(cmd, env=None, cwd=None, stdin=None):
    return Program(cmd, env=env, cwd=cwd, stdin=stdin)


def start_xvfb(screen):
    """An X server of the test's own with one screen of this geometry (say
    "1920x1080x24"): its Program and the environment that reaches it. Ready
    once it has written its display number; ended with the test."""
    r, w = os.pipe()
    server = Program(["Xvfb", "-displayfd", str(w), "-screen", "0", screen, "-nolisten", "tcp"], pass_fds=(w,))
    os.close(w)
    number = b""
    deadline = time.time() + bound(60)
    while not number.endswith(b"\n") and time.time() < deadline:
        ready, _, _ = select.select([r], [], [], 0.5)
        if ready:
            chunk = os.read(r, 64)
            if not chunk:
                break
            number += chunk
    server.displayfd = r  # left open while the server runs
    if not number.strip():
        server.end()
        raise RuntimeError("Xvfb %s did not start: %s" % (screen, server.printed()))
    return server, dict(os.environ, DISPLAY=":" + number.decode().strip(), SDL_AUDIODRIVER="dummy")


def run(cmd, timeout=60, env=None, cwd=None, text=True, stdin=None):
    """subprocess.run(capture_output=True) in a process group of its own:
    on a time-out (stretched) the whole group is killed and TimeoutExpired
    raised."""
    program = Program(cmd, env=env, cwd=cwd, stdin=stdin)
    try:
        status = program.process.wait(timeout=bound(timeout))
    except subprocess.TimeoutExpired:
        program.end()
        raise subprocess.TimeoutExpired(cmd, bound(timeout), program.stdout(), program.stderr())
    program.end()
    out, err = program.stdout(), program.stderr()
    if not text:
        out, err = out.encode(), err.encode()
    return subprocess.CompletedProcess(cmd, status, out, err)


def row_of(title):
    """The row an editing-mode window title shows, or None."""
    m = re.search(r"\| row (-?\d+) \|", title)
    return int(m.group(1)) if m else None


def mapped_windows(env=None):
    """{name: [ids]} of the windows on the screen (empty while the server
    does not answer)."""
    try:
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, env=env,
                              timeout=30).stdout
    except subprocess.TimeoutExpired:
        return {}
    found = {}
    for line in tree.splitlines():
        m = re.match(r'\s*(0x[0-9a-f]+) "(.*)":', line)
        if m:
            found.setdefault(m.group(2), []).append(m.group(1))
    return found


def viewable(window, env=None):
    """The window's xwininfo text while it is mapped, else ""."""
    try:
        info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True, env=env,
                              timeout=30).stdout
    except subprocess.TimeoutExpired:
        return ""
    return info if "IsViewable" in info else ""


def find_window(name, timeout=60, env=None, program=None):
    """The id and xwininfo text of a mapped top-level window with this exact
    name, or (None, ""). With the program that should show it, the wait ends
    at once when the program ends first or a "Fatal Error" box comes instead:
    the test is told what it printed, and the program is ended."""
    deadline = time.time() + (bound(timeout) if timeout >= 1 else timeout)
    while True:
        windows = mapped_windows(env)
        for window in windows.get(name, []):
            info = viewable(window, env)
            if info:
                return window, info
        if program:
            why = None
            if program.poll() is not None:
                why = "%s ended with status %s before a window %r came" % (program.name, program.poll(), name)
            elif name != "Fatal Error" and any(viewable(w, env) for w in windows.get("Fatal Error", [])):
                why = "a \"Fatal Error\" box came instead of %r" % name
            if why:
                program.end()
                print("     %s; it printed %s" % (why, program.printed()))
                return None, ""
        if time.time() >= deadline:
            if program:
                print("     no window %r within %.0f s; %s printed %s" % (name, bound(timeout), program.name,
                                                                     program.printed()))
            return None, ""
        time.sleep(0.25)


def grab(env, x, y, width, height):
    """The screen's pixels in this rectangle, as rows of RGB. Read in this
    process (Pillow speaks to the X server itself): a program started for
    each grab takes a second or more to start on a busy machine, and the
    tests that time a picture need to know when it was taken."""
    import numpy as np
    from PIL import ImageGrab
    shot = ImageGrab.grab(bbox=(x, y, x + width, y + height), xdisplay=env["DISPLAY"])
    return np.asarray(shot.convert("RGB"), dtype=np.float64)


def track_keys(path):
    """[(row, value, interpolation)] of a track file."""
    with open(path, "rb") as f:
        data = f.read()
    (count,) = struct.unpack_from("<i", data)
    return [struct.unpack_from("<ifb", data, 4 + 9 * k) for k in range(count)]


def window_size(info):
    return (int(re.search(r"Width: (\d+)", info).group(1)), int(re.search(r"Height: (\d+)", info).group(1)))


def wait(program, timeout):
    """The exit status within the (stretched) timeout, or None after ending
    a program that overran."""
    return program.wait(timeout)


def press(window, key, env=None):
    """Focuses the window and presses the key; whether xdotool managed both."""
    try:
        focus = subprocess.run(["xdotool", "windowfocus", "--sync", window], capture_output=True, timeout=bound(10),
                               env=env)
        pressed = subprocess.run(["xdotool", "key", key], capture_output=True, timeout=bound(10), env=env)
    except subprocess.TimeoutExpired:
        return False
    return focus.returncode == 0 and pressed.returncode == 0


counts = {"passed": 0, "failed": 0}


def check(condition, what):
    counts["passed" if condition else "failed"] += 1
    print(("ok   " if condition else "FAIL ") + what)
    return condition


def finish():
    print("%d passed, %d failed" % (counts["passed"], counts["failed"]))
    sys.exit(1 if counts["failed"] else 0)
