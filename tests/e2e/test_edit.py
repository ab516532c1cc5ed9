#!/usr/bin/python3
"""The editing mode of the real program against a fake Rocket editor written
here: the editor absent at start, the greeting, the tracks asked for in the
order of first use, the demo's rows while it plays, keys, SET_ROW and PAUSE
seen in the window title, SAVE_TRACKS read back by the track inspector, the
end of the production, transport keys, a shader typo while running, garbage
from the editor and the editor killed mid-session. With the production's
keys, the cursor put in the frozen breakdown shows what the capture tool
renders there.

usage: test_edit.py VELVORIA SYNCTRACK VELVORIA-CAPTURE
"""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (DATA, TRACKS, Stage, bound, check, finish, grab, row_of, run, start, track_bytes,  # noqa: E402
                    track_keys, wait_for)

VELVORIA, SYNCTRACK, CAPTURE = (os.path.abspath(p) for p in sys.argv[1:4])
TITLE = re.compile(r'\s*(0x[0-9a-f]+) "(Orvanth - Velvoria \|[^"]*)"')


def title():
    """(window id, title) of the editing window, or (None, "")."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, timeout=30).stdout
    for line in tree.splitlines():
        m = TITLE.match(line)
        if m:
            return m.group(1), m.group(2)
    return None, ""




def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Editor:
    """The editor's side of the protocol, on a listening socket."""

    def __init__(self, port):
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", port))
        self.server.listen(1)
        self.peer = None
        self.pending = b""

    def accept(self, timeout):
        self.server.settimeout(timeout)
        try:
            self.peer, _ = self.server.accept()
        except socket.timeout:
            return False
        self.peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = b""
        return True

    def read(self, n, timeout=20):
        deadline = time.time() + timeout
        while len(self.pending) < n and time.time() < deadline:
            self.peer.settimeout(max(0.01, deadline - time.time()))
            try:
                data = self.peer.recv(65536)
            except socket.timeout:
                break
            if not data:
                break
            self.pending += data
        got, self.pending = self.pending[:n], self.pending[n:]
        return got

    def commands(self, timeout):
        """The demo's commands that arrive within the time: GET_TRACK names
        and SET_ROW rows, in order."""
        out = []
        deadline = time.time() + timeout
        while time.time() < deadline:
            code = self.read(1, deadline - time.time())
            if not code:
                break
            if code == b"\x02":
                (n,) = struct.unpack(">I", self.read(4))
                out.append(("track", self.read(n).decode()))
            elif code == b"\x03":
                out.append(("row", struct.unpack(">I", self.read(4))[0]))
            else:
                out.append(("?", code))
                break
        return out

    def send(self, data):
        self.peer.sendall(data)

    def close(self):
        if self.peer:
            self.peer.close()
        self.server.close()


def set_key(track, row, value, interp):
    return struct.pack(">BIIfB", 0, track, row, value, interp)


def save(path, text):
    """Writes a file the way an editor saves it: whole, under a new name, then
    renamed. Written in place, the demo could see it empty and then whole, and
    rebuild twice."""
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)


if not os.environ.get("DISPLAY"):
    print("no DISPLAY: the end-to-end tests need an X server (test.sh starts Xvfb)")
    sys.exit(1)

stage = Stage(VELVORIA)
data = os.path.join(stage.dir, "Data")
# A shader of the stage's own, to break while the demo runs.
mix = os.path.join(data, "Mix.frag")
os.remove(mix)
shutil.copy(os.path.join(DATA, "Mix.frag"), mix)
port = free_port()
demo = start([stage.program, "--edit", "localhost:%d" % port], env=dict(os.environ, SDL_AUDIODRIVER="dummy"))
editor = None
try:
    # No editor: the production plays from its files.
    window = wait_for(lambda: title()[0] or demo.poll() is not None, 60)
    if not check(window not in (None, True), "the editing window appears"):
        print("     velvoria --edit printed %s" % demo.printed())
        finish()
    first = row_of(title()[1])
    later = wait_for(lambda: (lambda r: r if r is not None and first is not None and r > first else None)(
        row_of(title()[1])), 10)
    check(demo.poll() is None and first is not None and later is not None and later > first,
          "without an editor it plays, the row in the title moves (%s -> %s)" % (first, later))

    # A track file changed on disk is read again.
    flash_file = os.path.join(data, "_Flash.track")
    os.remove(flash_file)
    with open(flash_file, "wb") as f:
        f.write(track_bytes([(0, 0.5, 0)]))
    check(wait_for(lambda: "reread Data/_Flash.track" in demo.stderr(), 10),
          "without an editor, a changed track file is read again")

    # The editor appears: found within a few seconds.
    editor = Editor(port)
    check(editor.accept(bound(5)), "an editor started later is connected to")
    check(editor.read(19) == b"hello, synctracker!", "the demo greets the editor")
    editor.send(b"hello, demo!")
    got = editor.commands(bound(3))
    names = [v for k, v in got if k == "track"]
    rows = [v for k, v in got if k == "row"]
    check(names == TRACKS, "it asks for every track in the order of first use (%s)" % names)
    check(len(rows) >= 2 and rows == sorted(rows) and rows[-1] > rows[0],
          "while playing it tells the editor its rows (%s)" % rows[:6])
    check("| editor" in title()[1], "the title shows the editor (%r)" % title()[1])

    # Keys, then SET_ROW and PAUSE.
    wet = TRACKS.index("Bloom Wet")
    flash = TRACKS.index("Flash")
    sent = {"Bloom Wet": [(0, 0.25, 1), (100, 0.75, 2), (200, 0.1, 0)], "Flash": [(7, 1.5, 3)]}
    for name, keys in sent.items():
        for r, v, k in keys:
            editor.send(set_key(TRACKS.index(name), r, v, k))
    editor.send(set_key(wet, 300, 9.0, 0) + struct.pack(">BII", 1, wet, 300))  # set, then deleted
    editor.send(set_key(99, 1, 1.0, 0) + set_key(flash, 1, 1.0, 7))           # ignored
    editor.send(struct.pack(">BB", 4, 1) + struct.pack(">BI", 3, 200))
    t = wait_for(lambda: (lambda s: s if row_of(s) == 200 and "paused" in s else None)(title()[1]), 10)
    check(t is not None, "SET_ROW and PAUSE: the title shows row 200, paused (%r)" % title()[1])
    time.sleep(1.5)
    check(row_of(title()[1]) == 200, "paused, the row holds (%r)" % title()[1])

    # SAVE_TRACKS: every track, as the inspector reads it.
    editor.send(b"\x05")
    wait_for(lambda: "saved" in demo.stderr(), 10)
    exact = True
    for name in TRACKS:
        out = subprocess.run([SYNCTRACK, "keys", os.path.join(data, "_%s.track" % name)],
                             capture_output=True, text=True).stdout
        want = "".join("%d %.9g %d\n" % (r, struct.unpack("<f", struct.pack("<f", v))[0], k)
                       for r, v, k in sent.get(name, []))
        if out != want:
            exact = False
            print("  %s: %r != %r" % (name, out, want))
    check(exact, "SAVE_TRACKS writes every track, read back exactly by synctrack keys")
    check(not [n for n in os.listdir(data) if n.endswith(".tmp")], "no temporary files are left")
    check(not os.path.islink(os.path.join(data, "_Bloom Wet.track")), "the saved file replaced the old one")

    # The production's own keys, as the editor with its project open sends
    # them; the cursor put at row 660 (45.0 s), in the frozen breakdown,
    # while paused: the window shows the cluster as the capture tool renders
    # it there, not the empty sky of a placement never made.
    for name, keys in sent.items():
        editor.send(b"".join(struct.pack(">BII", 1, TRACKS.index(name), r) for r, _, _ in keys))
    for index, name in enumerate(TRACKS):
        for r, v, k in track_keys(os.path.join(DATA, "_%s.track" % name)):
            editor.send(set_key(index, r, v, k))
    editor.send(struct.pack(">BI", 3, 660))
    frames = tempfile.mkdtemp(prefix="velvoria-edit-")
    run([CAPTURE, "--at", "45", "--out", frames], timeout=120)
    want = np.asarray(Image.open(os.path.join(frames, "frame-45000.png")).convert("RGB"), dtype=np.float64)
    shutil.rmtree(frames, ignore_errors=True)
    psnr = lambda: 10 * np.log10(255 ** 2 / max(((grab(os.environ, 0, 0, 1280, 720) - want) ** 2).mean(), 1e-9))
    seen = wait_for(lambda: row_of(title()[1]) == 660 and (lambda v: v if v > 30 else None)(psnr()), 15)
    check(seen is not None, "paused at row 660 the window shows the frozen cluster as captured (%s dB)"
          % ("%.1f" % seen if seen else "%.1f" % psnr()))

    # Playing on from the editor: the production stops at its end and stays,
    # and the last row the editor is told is the one it stops on.
    editor.commands(0.5)
    editor.send(struct.pack(">BI", 3, 930) + struct.pack(">BB", 4, 0))
    t = wait_for(lambda: (lambda s: s if "paused" in s and row_of(s) is not None and row_of(s) >= 938 else None)(
        title()[1]), 20)
    check(t is not None and demo.poll() is None, "at the end it pauses instead of ending (%r)" % title()[1])
    told = [v for k, v in editor.commands(1.5) if k == "row"]
    check(row_of(title()[1]) == 938 and told and told[-1] == 938 and max(told) == 938,
          "it pauses on row 938 and that is the last row told (%s)" % told)

    # Transport keys.
    window = title()[0]

    def key(*names):
        subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "--delay", "150"] + list(names),
                       capture_output=True, timeout=20)

    key("Home")
    check(wait_for(lambda: row_of(title()[1]) == 0, 10), "Home goes to row 0 (%r)" % title()[1])
    key("Right", "Right", "Next")
    check(wait_for(lambda: row_of(title()[1]) == 48, 10), "Right twice and Page Down: row 48 (%r)" % title()[1])
    key("Prior", "Left")
    check(wait_for(lambda: row_of(title()[1]) == 8, 10), "Page Up and Left: row 8 (%r)" % title()[1])
    key("space")
    check(wait_for(lambda: "paused" not in title()[1], 10), "Space resumes (%r)" % title()[1])
    key("space")
    check(wait_for(lambda: "paused" in title()[1], 10), "Space pauses again (%r)" % title()[1])

    # A typo in a shader: the old program stays, the log goes to stderr.
    with open(mix) as f:
        good = f.read()
    save(mix, good.replace("void main", "void main(", 1))
    t = wait_for(lambda: (lambda s: s if "shader error" in s else None)(title()[1]), 10)
    time.sleep(1)
    check(t is not None and demo.poll() is None, "a shader typo keeps the session and the title says so (%r)" % t)
    check("Shader compile failed" in demo.stderr(), "the compiler's log goes to standard error")
    save(mix, good)
    check(wait_for(lambda: "shader error" not in title()[1], 10), "fixed, it is rebuilt (%r)" % title()[1])

    # Garbage: dropped with one line, the demo carries on and comes back.
    before = demo.stderr()
    editor.send(b"\xee\x00\x01garbage")
    wait_for(lambda: "| editor" not in title()[1], 10)
    said = demo.stderr()[len(before):]
    check(said.count("\n") == 1 and "unknown command" in said and demo.poll() is None,
          "garbage drops the link with one line, the demo runs on (%r)" % said)
    check(editor.accept(bound(5)) and editor.read(19) == b"hello, synctracker!", "and it connects again")
    editor.send(b"hello, demo!")
    editor.commands(1)

    # The editor killed mid-session: the keys stay, the demo runs on.
    editor.close()
    editor = None
    t = wait_for(lambda: (lambda s: s if "| editor" not in s else None)(title()[1]), 10)
    time.sleep(2)
    check(t is not None and demo.poll() is None, "the editor killed: the demo runs on (%r)" % title()[1])

    subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Escape"], capture_output=True, timeout=20)
    status = demo.wait(30)
    check(status == 0, "Escape ends the editing mode with status 0 (%s)" % status)
finally:
    demo.end()
    if editor:
        editor.close()
    stage.remove()

finish()
