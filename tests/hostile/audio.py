#!/usr/bin/python3
"""The sound of the export: a master (--audio) that is not a regular file,
empty, huge, lying in its header, poorer than the MP3, shifted or partly
silent is refused in one line before anything is rendered, and no ffmpeg is
left waiting on it; the real master is taken. A damaged music file in Data/
gives the video its sound or a failure that names the file.

The sound servers the demo plays on: one that takes the connection and never
answers, or a PulseAudio that never answers the request for a playback
stream, costs the demo no more than its bounded wait (its first frame and
Escape within 5 s of its start); a server stopped for good leaves the
production to end by itself; one stopped or suspended for a while and then
back has the music in step with the picture again within a second, the clock
never standing still for long nor going back."""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import numpy as np

from hostile import BUILD, CAPTURE, DATA_MUSIC, DEMO, REPO, finish, orphans, run, scratch, stage, verdict, whole_mp4

SHORT = ["--from", "10", "--to", "10.5", "--fps", "10", "--size", "640x360"]
work = scratch()
master = os.path.join(work, "master.wav")
subprocess.run(["ffmpeg", "-v", "error", "-i", DATA_MUSIC, master], check=True, timeout=60)


def made(name, *ffmpeg_args):
    path = os.path.join(work, name)
    subprocess.run(["ffmpeg", "-v", "error", "-i", master] + list(ffmpeg_args) + [path], check=True, timeout=60)
    return path


def master_refused(name, path, timeout=60):
    def refused_in_one_line(r, left):
        lines = r.stderr.strip().splitlines()
        if len(lines) != 1 or "--audio" not in lines[0]:
            return "not one line naming --audio (%d lines)" % len(lines)
        gone = orphans(path)
        if gone:
            return "ffmpeg left running (%s)" % gone
        return "" if not left else "wrote %s" % left
    d = scratch()
    run(name, [CAPTURE, "--video", os.path.join(d, "v.mp4"), "--audio", path] + SHORT, cwd=d, timeout=timeout,
        check=refused_in_one_line)
    orphans(path, wait=0)  # what a hung case left, not to be counted against the next


os.mkfifo(os.path.join(work, "fifo.wav"))
master_refused("--audio a FIFO", os.path.join(work, "fifo.wav"), timeout=30)
os.mkdir(os.path.join(work, "dir.wav"))
master_refused("--audio a directory", os.path.join(work, "dir.wav"))
open(os.path.join(work, "empty.wav"), "w").close()
master_refused("--audio an empty file", os.path.join(work, "empty.wav"))
with open(os.path.join(work, "sparse.wav"), "wb") as f:
    f.truncate(2 << 30)
master_refused("--audio a 2 GB sparse file", os.path.join(work, "sparse.wav"))

# A WAV whose header says 22050 Hz over 44100 Hz samples: twice as long.
with open(master, "rb") as f:
    wav = bytearray(f.read())
at = wav.find(b"fmt ") + 8
rate = int.from_bytes(wav[at + 4:at + 8], "little")
wav[at + 4:at + 8] = (rate // 2).to_bytes(4, "little")
wav[at + 8:at + 12] = (int.from_bytes(wav[at + 8:at + 12], "little") // 2).to_bytes(4, "little")
with open(os.path.join(work, "lying.wav"), "wb") as f:
    f.write(wav)
master_refused("--audio a WAV whose header lies about its rate", os.path.join(work, "lying.wav"))
master_refused("--audio a FLAC at 8 kHz mono", made("poor.flac", "-ar", "8000", "-ac", "1"))
master_refused("--audio an MP3 (not lossless)", made("lossy.mp3", "-b:a", "320k"))
master_refused("--audio the master 50 ms late", made("late.wav", "-af", "adelay=50|50"))
master_refused("--audio the master, its first second silent",
               made("quiet.wav", "-af", "volume=enable='lt(t,1)':volume=0"))
master_refused("--audio the master, 20 s to 22 s silent",
               made("gap.wav", "-af", "volume=enable='between(t,20,22)':volume=0"))

# The real master, louder and as FLAC: the music, in step: taken.
for name, path in (("the master", master), ("the master as FLAC, 6 dB louder", made("loud.flac", "-af", "volume=0.5"))):
    d = scratch()
    run("--audio " + name, [CAPTURE, "--video", "v.mp4", "--audio", path] + SHORT, cwd=d, expect="ok", timeout=120,
        check=lambda r, left, d=d: "" if left == ["v.mp4"] and whole_mp4(os.path.join(d, "v.mp4")) else "not whole")

# The music in Data/ damaged: the video has its sound, or the failure says
# which file. Garbage, cut short before the span, and a WAV in its place.
with open(DATA_MUSIC, "rb") as f:
    mp3 = f.read()
name = os.path.basename(DATA_MUSIC)
wav_bytes = open(master, "rb").read()
for what, data in (("garbage", os.urandom(len(mp3) // 8)), ("cut at 5 s", mp3[:len(mp3) * 5 // 64]),
                   ("empty", b""), ("a WAV", wav_bytes),
                   ("its middle overwritten", mp3[:len(mp3) // 8] + os.urandom(len(mp3) // 2) + mp3[len(mp3) * 5 // 8:])):
    s = stage(CAPTURE, replace={name: data})
    d = scratch()

    def sound_or_named(r, left, d=d):
        if r.returncode == 0:
            return "" if left == ["v.mp4"] and whole_mp4(os.path.join(d, "v.mp4")) else "status 0 without whole sound"
        if name not in r.stderr:
            return "the failure does not name the music"
        return "left %s" % left if left else ""
    run("the music in Data/ %s" % what, [s.program, "--video", "v.mp4"] + SHORT, cwd=d, expect="any", timeout=120,
        check=sound_or_named)
    s.remove()

# --- The sound servers the demo plays on -------------------------------------
sys.path.insert(0, os.path.join(REPO, "tests", "avsync"))
import avsync  # noqa: E402  (the PulseAudio of our own, the click file, the player and its recorder)

avsync.BUILD = BUILD


def demo_env(**changes):
    """No PipeWire and no SDL driver named: the PulseAudio the case gives."""
    home = scratch()
    env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=home, **changes)
    env.pop("SDL_AUDIODRIVER", None)
    return env


def window_geometry():
    """(x, y) of the demo's window, or None."""
    found = subprocess.run(["xdotool", "search", "--name", "^Orvanth - Velvoria$"], capture_output=True, text=True,
                           timeout=10).stdout.split()
    if not found:
        return None
    info = subprocess.run(["xwininfo", "-id", found[0]], capture_output=True, text=True, timeout=10).stdout
    m = [re.search(r"Absolute upper-left %s:\s+(-?\d+)" % a, info) for a in "XY"]
    return (found[0], int(m[0].group(1)), int(m[1].group(1))) if all(m) else None


def shown(x, y):
    """Whether the window shows a frame (it is black until the first)."""
    from PIL import ImageGrab
    try:
        shot = ImageGrab.grab(bbox=(x + 480, y + 270, x + 800, y + 450), xdisplay=os.environ["DISPLAY"])
    except OSError:
        return False
    pixels = shot.convert("L").tobytes()
    return sum(pixels) / len(pixels) > 3


def first_frame_and_escape(name, env):
    """velvoria --windowed: its first frame, then Escape, which ends it, all
    within 5 s of its start (what is left of the sound system's bounded wait
    may delay the end, never the frames)."""
    start = time.time()
    demo = subprocess.Popen([DEMO, "--windowed"], env=env, cwd=scratch(), stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, start_new_session=True)
    frame = ended = None
    try:
        while frame is None and time.time() - start < 10 and demo.poll() is None:
            where = window_geometry()
            if where and shown(where[1], where[2]):
                frame = time.time() - start
                subprocess.run(["xdotool", "key", "--window", where[0], "Escape"], capture_output=True, timeout=10)
                demo.wait(10)
                ended = time.time() - start
            else:
                time.sleep(0.05)
    except subprocess.TimeoutExpired:
        pass
    finally:
        if demo.poll() is None:
            os.killpg(demo.pid, signal.SIGKILL)
        status = demo.wait()
    why = ""
    if frame is None or frame > 5:
        why = "no frame within %s s of its start" % ("%.1f" % frame if frame else "10")
    elif ended is None or ended > 5:
        why = "Escape not honoured within 5 s of the start"
    verdict(name, not why, status, "first frame after %s s, ended by Escape after %s s"
            % ("%.1f" % frame if frame else "-", "%.1f" % ended if ended is not None else "-"), [], why)


class Silent:
    """A listener that takes every connection and says nothing."""

    def __init__(self, family, address):
        self.socket = socket.socket(family, socket.SOCK_STREAM)
        self.socket.bind(address)
        self.socket.listen(16)
        self.held = []
        threading.Thread(target=self.take, daemon=True).start()

    def take(self):
        while True:
            try:
                self.held.append(self.socket.accept()[0])
            except OSError:
                return

    def close(self):
        for c in self.held + [self.socket]:
            c.close()


class DropsPlaybackStreams:
    """A proxy to a PulseAudio's TCP port that passes everything on except
    the client's request for a playback stream, which it drops: the server
    never answers it (PipeWire without its session manager does that)."""
    CREATE_PLAYBACK_STREAM = 3

    def __init__(self, port):
        self.upstream = port
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(16)
        self.port = self.socket.getsockname()[1]
        self.open = []
        threading.Thread(target=self.take, daemon=True).start()

    def take(self):
        while True:
            try:
                client = self.socket.accept()[0]
                server = socket.create_connection(("127.0.0.1", self.upstream))
            except OSError:
                return
            self.open += [client, server]
            threading.Thread(target=self.pump, args=(server, client), daemon=True).start()
            threading.Thread(target=self.requests, args=(client, server), daemon=True).start()

    @staticmethod
    def pump(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    return
                sink.sendall(data)
        except OSError:
            return

    def requests(self, client, server):
        """Packet by packet: a 20-byte descriptor (length, channel, ...),
        then the payload; a command on the control channel is a tag 'L' and
        its number."""
        def read(n):
            data = b""
            while len(data) < n:
                chunk = client.recv(n - len(data))
                if not chunk:
                    raise OSError("closed")
                data += chunk
            return data
        try:
            while True:
                head = read(20)
                length, channel = struct.unpack(">II", head[:8])
                body = read(length)
                if channel == 0xFFFFFFFF and body[:1] == b"L" and \
                        struct.unpack(">I", body[1:5])[0] == self.CREATE_PLAYBACK_STREAM:
                    continue
                server.sendall(head + body)
        except OSError:
            return

    def close(self):
        for c in self.open + [self.socket]:
            c.close()


def pulse_with_tcp(work):
    """The measurement's PulseAudio, on a TCP port too: (server, port)."""
    server = avsync.Server(work)
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    subprocess.run(["pactl", "load-module", "module-native-protocol-tcp", "port=%d" % port, "listen=127.0.0.1",
                    "auth-anonymous=1"], env=server.env, capture_output=True, timeout=10, check=True)
    return server, port


def stopped_for_good():
    """The server stopped (SIGSTOP) a second after the first frame and never
    continued: the production ends by itself within 70 s of its start."""
    work = scratch()
    server = avsync.Server(work)
    env = demo_env(PULSE_SERVER=server.env["PULSE_SERVER"])
    start = time.time()
    demo = subprocess.Popen([DEMO, "--windowed"], env=env, cwd=scratch(), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        while time.time() - start < 20:
            where = window_geometry()
            if where and shown(where[1], where[2]):
                break
            time.sleep(0.1)
        time.sleep(1)
        server.process.send_signal(signal.SIGSTOP)
        status = demo.wait(max(1.0, 75 - (time.time() - start)))
    except subprocess.TimeoutExpired:
        os.killpg(demo.pid, signal.SIGKILL)
        demo.wait()
        status = "timeout"
    finally:
        server.process.send_signal(signal.SIGCONT)
        server.stop()
    took = time.time() - start
    verdict("the sound server stopped for good mid-play", status == 0 and took <= 70, status,
            "ended after %.1f s" % took, [], "" if status == 0 and took <= 70 else "no end within 70 s")


def stalled_then_back(how):
    """The player plays the click file on a PulseAudio that is stopped
    (SIGSTOP) or whose sink is suspended 3 s, from 4 s on. The clock never
    stands still for more than the 2 s it waits for the sound, never goes
    back, and every click heard from a second after the server is back is
    heard within 5 ms of the moment the clock showed it."""
    work = scratch()
    server = avsync.Server(work)
    try:
        mp3, times = avsync.click_file(work, 0.0)
        raw, stamps = os.path.join(work, "rec.raw"), os.path.join(work, "rec.txt")
        recorder = server.recorder(avsync.LENGTH + 15, raw, stamps)
        time.sleep(0.5)
        # Its log goes to a file: a pipe read only at the end would fill and
        # hold it.
        log_file = open(os.path.join(work, "clock.txt"), "w+")
        player = subprocess.Popen([avsync.tool("avsync_player"), mp3, str(avsync.CLICKS[-1] + 0.5)], env=server.env,
                                  stdout=log_file, stderr=subprocess.PIPE, text=True)
        time.sleep(4)
        if how == "stopped":
            server.process.send_signal(signal.SIGSTOP)
        else:
            subprocess.run(["pactl", "suspend-sink", "avsync", "1"], env=server.env, capture_output=True, timeout=10)
        time.sleep(3)
        if how == "stopped":
            server.process.send_signal(signal.SIGCONT)
        else:
            subprocess.run(["pactl", "suspend-sink", "avsync", "0"], env=server.env, capture_output=True, timeout=10)
        back = time.monotonic_ns()
        try:
            err = player.communicate(timeout=60)[1]
        except subprocess.TimeoutExpired:
            player.kill()
            err = player.communicate()[1]
        log_file.seek(0)
        out = log_file.read()
        log_file.close()
        time.sleep(0.5)
        recorder.terminate()
        recorder.wait(60)
    finally:
        server.process.send_signal(signal.SIGCONT)
        server.stop()
    name = "the sound server %s 3 s mid-play, then back" % (
        "stopped" if how == "stopped" else "with its sink suspended")
    log = np.loadtxt(out.splitlines(), dtype=np.float64).reshape(-1, 4) if out.strip() else np.zeros((0, 4))
    if player.returncode != 0 or len(log) < 100:
        verdict(name, False, player.returncode, err.strip()[:100], [], "the player failed")
        return
    ns, ms = log[:, 0], log[:, 3]
    stood = np.max(np.diff(ns)) / 1e9  # a line is printed whenever the clock moves
    backwards = bool(np.any(np.diff(ms) < 0))
    heard = avsync.heard_times(server, raw, stamps)
    leads = []
    for h in heard[heard > back + 1e9]:
        # The moment the clock showed the click nearest to it.
        k = int(np.argmin([abs(h - np.interp(t * 1000, ms, ns)) for t in times]))
        leads.append((h - np.interp(times[k] * 1000, ms, ns)) / 1e6)
    worst = max((abs(x) for x in leads), default=float("inf"))
    why = ""
    if stood > 2.5:
        why = "the clock stood still %.1f s" % stood
    elif backwards:
        why = "the clock went back"
    elif len(leads) < 5:
        why = "%d clicks heard after the server came back" % len(leads)
    elif worst > 5:
        why = "a click %.1f ms off the picture" % worst
    verdict(name, not why, player.returncode, "clock stood at most %.1f s; %d clicks after, worst %.1f ms off"
            % (stood, len(leads), worst), [], why)


pulse_here = all(shutil.which(p) for p in ("pulseaudio", "pactl", "lame", "mpg123"))
if not pulse_here:
    print("hostile: audio.py: no PulseAudio (pulseaudio, pactl, lame, mpg123) here: the cases on a real server "
          "are not tried")
if not os.environ.get("DISPLAY"):
    print("hostile: audio.py: no DISPLAY: the sound-server cases with the demo need an X server")
else:
    tcp = Silent(socket.AF_INET, ("127.0.0.1", 0))
    first_frame_and_escape("a sound server at a TCP port that takes the connection and never answers",
                           demo_env(PULSE_SERVER="tcp:127.0.0.1:%d" % tcp.socket.getsockname()[1]))
    tcp.close()
    path = os.path.join(scratch(), "native")
    unix = Silent(socket.AF_UNIX, path)
    first_frame_and_escape("a sound server at a Unix socket that takes the connection and never answers",
                           demo_env(PULSE_SERVER="unix:" + path))
    unix.close()
    if pulse_here:
        pulse, port = pulse_with_tcp(scratch())
        proxy = DropsPlaybackStreams(port)
        first_frame_and_escape("a PulseAudio that never answers the request for a playback stream",
                               demo_env(PULSE_SERVER="tcp:127.0.0.1:%d" % proxy.port))
        proxy.close()
        pulse.stop()
        stopped_for_good()
if pulse_here:
    stalled_then_back("stopped")
    stalled_then_back("suspended")
finish()
