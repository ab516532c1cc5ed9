#!/usr/bin/python3
"""Hostile cases: the editing mode. Editor addresses that are no address,
an IPv6 editor, a name that does not resolve and a name service that never
answers (the frames must go on, Escape must end the run); and the editor's
save into a read-only Data/, onto a full disk, over a directory, and killed
half-way: the old track files intact or the new set whole, the reason named,
nothing left behind that the next session does not remove.

The demo runs under X (DISPLAY, started by the caller); the mounts and the
name service of some cases need root and are reported as not tried without.

usage: VELVORIA_BUILD=build tests/hostile/edit.py
"""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import hostile  # noqa: E402
from common import DATA, TRACKS, Stage, row_of, wait_for  # noqa: E402

DEMO = os.path.abspath(hostile.DEMO)
ENV = dict(os.environ, SDL_AUDIODRIVER="dummy")
TITLE = re.compile(r'\s*(0x[0-9a-f]+) "(Orvanth - Velvoria \|[^"]*)"')


def not_tried(name, why):
    print("hostile: %s: not tried here: %s" % (name, why), flush=True)


def title():
    """(window id, title) of the editing window, or (None, "")."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
    for line in tree.splitlines():
        m = TITLE.match(line)
        if m:
            return m.group(1), m.group(2)
    return None, ""




def free_port(family=socket.AF_INET, host="127.0.0.1"):
    s = socket.socket(family)
    s.bind((host, 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Editor:
    """The editor's side of the protocol, listening."""

    def __init__(self, port, family=socket.AF_INET, host="127.0.0.1"):
        self.server = socket.socket(family)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind((host, port))
        self.server.listen(1)
        self.peer = None

    def connect(self, timeout):
        """Accepts the demo and greets it; True when it greeted as a demo."""
        self.server.settimeout(timeout)
        try:
            self.peer, _ = self.server.accept()
        except socket.timeout:
            return False
        self.peer.settimeout(10)
        got = b""
        while len(got) < 19:
            data = self.peer.recv(19 - len(got))
            if not data:
                return False
            got += data
        self.peer.sendall(b"hello, demo!")
        self.peer.settimeout(60)
        threading.Thread(target=self._drain, daemon=True).start()
        return got == b"hello, synctracker!"

    def _drain(self):
        # What the demo says (tracks asked for, rows) is read and dropped, so
        # that it never waits on a full socket.
        while True:
            try:
                if not self.peer.recv(65536):
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    def send(self, data):
        self.peer.sendall(data)

    def close(self):
        if self.peer:
            self.peer.close()
        self.server.close()


def set_key(track, row, value, interpolation):
    return struct.pack(">BIIfB", 0, track, row, value, interpolation)


class Session:
    """The demo in its editing mode, standard error kept in a file."""

    def __init__(self, stage, args, prefix=()):
        self.errpath = os.path.join(stage.dir, "stderr.txt")
        self.errfile = open(self.errpath, "w")
        self.process = subprocess.Popen(list(prefix) + [stage.program, "--windowed"] + args, env=ENV,
                                        stderr=self.errfile, stdout=subprocess.DEVNULL, cwd=stage.dir)

    def stderr(self):
        with open(self.errpath, errors="replace") as f:
            return f.read()

    def escape(self, timeout):
        """Escape to the window; the exit status, or None after killing a
        process that did not end within the time."""
        window = title()[0]
        if window:
            subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Escape"], capture_output=True,
                           timeout=20)
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return self.stop()

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
            self.errfile.close()
            return None
        self.errfile.close()
        return self.process.returncode


def first_line(text):
    return hostile.first_line(text)


# --- Addresses ------------------------------------------------------------

for value in (":0", "host:99999", "[::1", "a" * 10000):
    label = "--edit %s" % (value if len(value) < 20 else "with a %d-character host name" % len(value))
    stage = Stage(DEMO)
    hostile.run(label, [stage.program, "--edit", value], "refused", timeout=20, env=ENV,
                check=lambda r, left: "" if r.returncode == 2 and "--edit" in r.stderr else "not the usage refusal")
    stage.remove()


if not os.environ.get("DISPLAY"):
    not_tried("the editing-mode cases", "no DISPLAY: they run the demo under X")
    hostile.finish()


def connects(label, address, family, host, port):
    """The demo given this address reaches an editor listening there."""
    stage = Stage(DEMO)
    try:
        editor = Editor(port, family, host)
    except OSError as e:
        not_tried(label, "cannot listen on %s port %d: %s" % (host, port, e))
        stage.remove()
        return
    session = Session(stage, ["--edit", address])
    greeted = editor.connect(20)
    shown = greeted and wait_for(lambda: "| editor" in title()[1], 10)
    status = session.escape(20)
    editor.close()
    why = "" if shown else "no connection in 20 s" if not greeted else "the title does not show the editor"
    if not why and status != 0:
        why = "status %s after Escape" % status
    text = session.stderr()
    hostile.verdict(label, not why, status, first_line(text), [], why)
    stage.remove()


port6 = free_port(socket.AF_INET6, "::1")
connects("--edit [::1]:PORT reaches an editor on the IPv6 loopback", "[::1]:%d" % port6, socket.AF_INET6, "::1",
         port6)
connects("--edit ::1 reaches an editor on the IPv6 loopback, port 1338", "::1", socket.AF_INET6, "::1", 1338)


def said_once(label, args, needle, prefix=(), play=4):
    """The demo runs on, says once on standard error why the editor cannot
    be reached, and ends on Escape."""
    stage = Stage(DEMO)
    session = Session(stage, args, prefix)
    seen = wait_for(lambda: title()[0], 60)
    time.sleep(play)
    running = session.process.poll() is None
    status = session.escape(20)
    text = session.stderr()
    lines = [line for line in text.splitlines() if needle in line]
    why = ("no window" if not seen else "ended by itself" if not running else
           "status %s after Escape" % status if status != 0 else
           "said %d times, not once" % len(lines) if len(lines) != 1 else "")
    hostile.verdict(label, not why, status, first_line(text), [], why)
    stage.remove()


said_once("--edit no-such-host.invalid: the demo plays and says once why", ["--edit", "no-such-host.invalid"],
          "no-such-host.invalid", play=32)


def silent_name_service(label):
    """A name service that takes every question and never answers: the
    lookup of the editor's host must not hold the frames or Escape."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        not_tried(label, "needs root and unshare to give the demo a name service of its own")
        return
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        server.bind(("127.77.0.53", 53))
    except OSError as e:
        not_tried(label, "cannot listen on 127.77.0.53:53: %s" % e)
        return
    conf = os.path.join(hostile.scratch(), "resolv.conf")
    with open(conf, "w") as f:
        f.write("nameserver 127.77.0.53\n")
    # A mount namespace of its own is not to be had everywhere (a chroot
    # whose root is no mount point refuses one).
    probe = subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf', conf],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        server.close()
        not_tried(label, "no mount namespace here: %s" % first_line(probe.stderr))
        return
    stage = Stage(DEMO)
    shell = 'mount --bind "$1" /etc/resolv.conf && exec "$0" --windowed --edit studio.example:1338'
    errpath = os.path.join(stage.dir, "stderr.txt")
    with open(errpath, "w") as err:
        process = subprocess.Popen(["unshare", "-m", "sh", "-c", shell, stage.program, conf], env=ENV,
                                   stderr=err, stdout=subprocess.DEVNULL)
        seen = wait_for(lambda: title()[0], 60)
        # The title follows the frames: over 4 s of play its row must move
        # more than once (a lookup on the frame path holds one frame for
        # about 10 s; a loaded machine here makes 2 frames a second or more).
        rows = set()
        deadline = time.time() + 4
        while time.time() < deadline:
            rows.add(row_of(title()[1]))
            time.sleep(0.1)
        window = title()[0]
        pressed = time.time()
        if window:
            subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Escape"], capture_output=True,
                           timeout=20)
        try:
            status = process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
        took = time.time() - pressed
    server.close()
    with open(errpath, errors="replace") as f:
        text = f.read()
    why = ("no window in 60 s" if not seen else
           "the title changed %d times in 4 s: frames are held" % (len(rows) - 1) if len(rows) < 3 else
           "Escape took %.1f s" % took if took > 3 else "status %s" % status if status != 0 else "")
    hostile.verdict(label, not why, status, first_line(text), [], why)
    stage.remove()


silent_name_service("--edit a host whose name service never answers: frames go on, Escape ends")


# --- Saves ----------------------------------------------------------------

def original(name):
    with open(os.path.join(DATA, "_%s.track" % name), "rb") as f:
        return f.read()


def track_files(data):
    """name -> bytes (None for what is no readable file) of every track."""
    out = {}
    for name in TRACKS:
        path = os.path.join(data, "_%s.track" % name)
        try:
            with open(path, "rb") as f:
                out[name] = f.read()
        except OSError:
            out[name] = None
    return out


def temporaries(data):
    return sorted(n for n in os.listdir(data) if n.endswith((".tmp", ".whole")))


def editing(stage, extra_keys=0):
    """The demo connected to an editor that has set one key on every track
    (and extra_keys more): (session, editor), or (session, None)."""
    port = free_port()
    editor = Editor(port)
    session = Session(stage, ["--edit", "127.0.0.1:%d" % port])
    if not editor.connect(60):
        editor.close()
        return session, None
    keys = []
    for index in range(len(TRACKS)):
        keys.append(b"".join(set_key(index, row, 0.25 + index, 1) for row in range(0, 1 + 4 * extra_keys, 4)))
    editor.send(b"".join(keys))
    # A pause and a seek after the keys: once the title shows the row, every
    # key before it is in.
    editor.send(struct.pack(">BB", 4, 1) + struct.pack(">BI", 3, 777))
    wait_for(lambda: row_of(title()[1]) == 777, 60)
    return session, editor


def failed_save(label, prepare, reason, undo=None):
    """A save that cannot be made: the message names a file and the reason,
    no track file changes, nothing is left."""
    stage = Stage(DEMO)
    data = os.path.join(stage.dir, "Data")
    try:
        ready = prepare(data)
    except (OSError, subprocess.CalledProcessError) as e:
        ready = "cannot prepare: %s" % e
    if ready:
        not_tried(label, ready)
        if undo:
            undo(data)
        stage.remove()
        return
    before = track_files(data)
    session = editor = None
    try:
        session, editor = editing(stage)
        if editor:
            editor.send(b"\x05")
            wait_for(lambda: "saved" in session.stderr(), 15)
        after = track_files(data)
        left = temporaries(data)
        status = session.escape(20)
    finally:
        if editor:
            editor.close()
        if undo:
            undo(data)
    text = session.stderr()
    said = [line for line in text.splitlines() if "saved" in line]
    why = ("no editor connection" if not editor else
           "no word of the save" if not said else
           "the message names no file and reason %r" % reason if not re.search(r"Data/\S.*: .*" + reason, said[0])
           else "it claims a save" if "could not" not in said[0] else
           "track files changed: %s" % [n for n in TRACKS if before[n] != after[n]] if before != after else
           "left %s" % left if left else "status %s after Escape" % status if status != 0 else "")
    hostile.verdict(label, not why, status, said[0] if said else first_line(text), left, why)
    stage.remove()


def run_quietly(*args):
    subprocess.run(list(args), check=True, capture_output=True, timeout=30)


def read_only(data):
    if os.geteuid() != 0:
        return "needs root to mount Data/ read-only"
    run_quietly("mount", "--bind", data, data)
    run_quietly("mount", "-o", "remount,bind,ro", data)
    return ""


def full_disk(data):
    if os.geteuid() != 0:
        return "needs root to mount a small tmpfs"
    links = {n: os.readlink(os.path.join(data, n)) for n in os.listdir(data)}
    run_quietly("mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", data)
    for name, target in links.items():
        os.symlink(target, os.path.join(data, name))
    filler = os.open(os.path.join(data, "filler"), os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(filler, b"\0" * 4096):
            pass
    except OSError:
        pass
    os.close(filler)
    return ""


def unmount(data):
    subprocess.run(["umount", data], capture_output=True, timeout=30)


def directory_in_place(data):
    os.remove(os.path.join(data, "_Flash.track"))
    os.mkdir(os.path.join(data, "_Flash.track"))
    return ""


failed_save("editor save with Data/ read-only", read_only, "Read-only file system", unmount)
failed_save("editor save onto a full disk", full_disk, "No space left on device", unmount)
failed_save("editor save with a track file replaced by a directory", directory_in_place, "is a directory")


def killed_save(label, tries=4):
    """SIGKILL while the save writes: each track file is whole, and once the
    next editing session has started the set is the old one or the new one
    (a kill among the renames leaves the rest to it) and no temporary is
    left."""
    new = {}
    for attempt in range(tries):
        stage = Stage(DEMO)
        data = os.path.join(stage.dir, "Data")
        for name in TRACKS:  # files of their own, not links
            path = os.path.join(data, "_%s.track" % name)
            os.remove(path)
            shutil.copy(os.path.join(DATA, "_%s.track" % name), path)
        before = track_files(data)
        session, editor = editing(stage, extra_keys=20000)
        if not editor:
            session.stop()
            hostile.verdict(label, False, None, first_line(session.stderr()), [], "no editor connection")
            stage.remove()
            return
        editor.send(b"\x05")
        caught = False
        deadline = time.time() + 20
        while time.time() < deadline and not caught:
            caught = any(n.endswith(".tmp") for n in os.listdir(data))
        session.process.kill()
        session.stop()
        editor.close()
        after = track_files(data)
        left = temporaries(data)
        if not left:
            stage.remove()  # the kill came after the save: try again
            continue
        # The new keys as the editor set them, to tell whole new files.
        new = {name: struct.pack("<i", 20001) + b"".join(
            struct.pack("<ifb", row, 0.25 + index, 1) for row in range(0, 1 + 4 * 20000, 4))
            for index, name in enumerate(TRACKS)}
        broken = [n for n in TRACKS if after[n] not in (before[n], new[n])]
        # The next session: the temporaries of the killed one go, or finish
        # a set that was whole.
        session = Session(stage, ["--edit", "127.0.0.1:%d" % free_port()])
        wait_for(lambda: title()[0], 60)
        wait_for(lambda: not temporaries(data), 30)
        still = temporaries(data)
        status = session.escape(20)
        text = session.stderr()
        after = track_files(data)
        old_ones = [n for n in TRACKS if after[n] == before[n]]
        new_ones = [n for n in TRACKS if after[n] == new[n]]
        why = ("half-written track files: %s" % broken if broken else
               "a mixed set after the next session: %d old, %d new" % (len(old_ones), len(new_ones))
               if old_ones and new_ones else
               "the next session left %s" % still if still else
               "status %s" % status if status != 0 else "")
        hostile.verdict(label, not why, status, first_line(text), left,
                        why or "")
        print("hostile: %s: killed with %s beside %d old and %d new track files" %
              (label, ", ".join(left), len(old_ones), len(new_ones)), flush=True)
        stage.remove()
        return
    not_tried(label, "the kill never came while the save wrote (%d tries)" % tries)


killed_save("demo SIGKILLed during the editor's save")


def flooded_saves(label, saves=2000):
    """An editor that sends a burst of saves: they are one save (a save is
    the whole set of tracks), the frames go on and Escape ends the demo at
    once, with no temporary left."""
    stage = Stage(DEMO)
    data = os.path.join(stage.dir, "Data")
    session, editor = editing(stage)
    if not editor:
        session.stop()
        hostile.verdict(label, False, None, first_line(session.stderr()), [], "no editor connection")
        stage.remove()
        return
    editor.send(b"\x05" * saves)
    wait_for(lambda: "velvoria: saved" in session.stderr(), 30)
    pressed = time.time()
    status = session.escape(60)
    took = time.time() - pressed
    editor.close()
    text = session.stderr()
    said = len([line for line in text.splitlines() if line.startswith("velvoria: saved")])
    left = temporaries(data)
    why = ("no save" if not said else
           "Escape took %.1f s (%d saves made)" % (took, said) if took > 8 else
           "left %s" % left if left else "status %s after Escape" % status if status != 0 else "")
    hostile.verdict(label, not why, status, "%d saves for %d asked, Escape in %.1f s" % (said, saves, took), left, why)
    stage.remove()


flooded_saves("2000 saves from the editor in one burst")
hostile.finish()
