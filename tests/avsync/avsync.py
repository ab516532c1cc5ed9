#!/usr/bin/python3
"""The picture against the sound as the listener hears it, on a real sound
server: a file of clicks at known times is played through the program's own
player into a null sink while a recorder takes the sink's monitor with the
server's timing. For each click, the time the clock reached it (the
picture) is compared with the time its sound left the sink (the sound).
PulseAudio is measured through the player's PulseAudio output, PipeWire
through its own (pw_stream); on each, the player's own tests (real time,
smoothness, pause and seek as the editing mode uses them) run first.

usage: avsync.py BUILD_DIR [--no-pipewire]  (the tools avsync_player,
avsync_recorder and audio_tests in BUILD_DIR; the sound servers on the PATH)
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

# The build's tools; another script that imports this one sets BUILD.
BUILD = os.path.abspath(sys.argv[1]) if __name__ == "__main__" else None


def tool(name):
    return os.path.join(BUILD, name)


RATE = 44100
# The first click comes after the sound server has settled a new stream's
# latency (about 1.5 s on a busy machine).
CLICKS = [2.0 + 0.25 * k for k in range(40)]
LENGTH = 12.5
LIMIT_MS, SPREAD_MS = 5.0, 3.0


def write_clicks(path, shift=0.0):
    """A 2 kHz click of 4 ms at each time, every other one shifted by
    `shift` seconds."""
    frames = np.zeros(int(LENGTH * RATE))
    burst = np.sin(2 * np.pi * 2000 * np.arange(int(0.004 * RATE)) / RATE) * 0.7
    for k, t in enumerate(CLICKS):
        i = int(round((t + shift * (k % 2)) * RATE))
        frames[i:i + len(burst)] = burst
    pcm = (np.repeat(frames[:, None], 2, axis=1) * 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())


def onsets(mono, rate=RATE):
    """Sample indexes where a click starts: the first sample above a third of
    the loudest, at least 100 ms after the one before."""
    level = np.abs(mono.astype(np.float64))
    threshold = level.max() / 3
    found, last = [], -rate
    for i in np.flatnonzero(level > threshold):
        if i - last > rate // 10:
            found.append(int(i))
        last = i
    return found


def click_file(work, shift):
    """The MP3 to play and the times its clicks are heard at when decoded (so
    the coder's delay is the decoder's business, as in the player)."""
    wav = os.path.join(work, "clicks%d.wav" % int(shift * 1000))
    mp3 = wav[:-4] + ".mp3"
    write_clicks(wav, shift)
    subprocess.run(["lame", "--quiet", "-b", "320", wav, mp3], check=True)
    decoded = wav[:-4] + ".dec.wav"
    subprocess.run(["mpg123", "-q", "-w", decoded, mp3], check=True)
    with wave.open(decoded) as w:
        pcm = np.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, w.getnchannels())
    times = [i / RATE for i in onsets(pcm[:, 0])]
    if len(times) != len(CLICKS):
        sys.exit("avsync: the decoded click file has %d clicks, not %d" % (len(times), len(CLICKS)))
    return mp3, [t - shift * (k % 2) for k, t in enumerate(times)]


class Server:
    """A PulseAudio of our own with one null sink, on a socket in `work`."""
    name = "pulseaudio"
    output = "PulseAudio"  # the player's output that plays on it
    record_rate = RATE

    def __init__(self, work):
        self.dir = os.path.join(work, "pulse")
        os.makedirs(self.dir)
        config = os.path.join(self.dir, "default.pa")
        with open(config, "w") as f:
            f.write("load-module module-native-protocol-unix socket=%s/native auth-anonymous=1\n"
                    "load-module module-null-sink sink_name=avsync rate=%d\n"
                    "set-default-sink avsync\n" % (self.dir, RATE))
        env = dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=self.dir, PULSE_RUNTIME_PATH=self.dir,
                   PULSE_STATE_PATH=self.dir, XDG_CONFIG_HOME=self.dir)
        self.log = open(os.path.join(self.dir, "log"), "w")
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "-F", config, "--daemonize=no", "--exit-idle-time=-1",
             "--use-pid-file=no", "--log-target=stderr"], env=env, stdout=self.log, stderr=self.log)
        self.processes = [self.process]
        self.env = dict(os.environ, PULSE_SERVER="unix:%s/native" % self.dir, HOME=self.dir,
                        XDG_RUNTIME_DIR=self.dir)
        self.env.pop("SDL_AUDIODRIVER", None)
        if not self.answers():
            self.stop()
            sys.exit("avsync: PulseAudio did not start (see %s/log)" % self.dir)

    def recorder(self, seconds, raw, stamps):
        """The sink's monitor, recorded with the server's timing."""
        return subprocess.Popen([tool("avsync_recorder"), "avsync.monitor", str(seconds), raw, stamps],
                                env=self.env, preexec_fn=urgent)

    def answers(self):
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode == 0:
                return True
            time.sleep(0.1)
        return False

    def stop(self):
        for process in reversed(self.processes):
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()


class PipeWire(Server):
    """PipeWire with its session manager and its PulseAudio service, on a
    session bus of their own, and a null sink made through that service.
    None when it does not start here."""
    name = "pipewire"
    output = "PipeWire"
    # Recorded at the graph's rate through PipeWire's own API, each block
    # stamped with the time of the cycle that carried it: the sink's own
    # clock, with no latency report of the PulseAudio service in between.
    record_rate = 48000

    def recorder(self, seconds, raw, stamps):
        return subprocess.Popen([tool("avsync_pw_recorder"), "avsync", str(self.record_rate), str(seconds), raw,
                                 stamps], env=self.env, preexec_fn=urgent)

    def __init__(self, work):
        self.dir = os.path.join(work, "pipewire")
        os.makedirs(self.dir)
        env = dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=self.dir, XDG_CONFIG_HOME=self.dir,
                   XDG_STATE_HOME=self.dir)
        env.pop("DISPLAY", None)
        self.log = open(os.path.join(self.dir, "log"), "w")
        self.processes = []
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address"],
                               env=env, stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.processes.append(bus)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        for program in ("pipewire", "wireplumber", "pipewire-pulse"):
            self.processes.append(subprocess.Popen([program], env=env, stdout=self.log, stderr=self.log))
            time.sleep(0.5)
        self.env = dict(env, PULSE_SERVER="unix:%s/pulse/native" % self.dir)
        ok = self.answers()
        for command in (["load-module", "module-null-sink", "sink_name=avsync", "rate=%d" % RATE],
                        ["set-default-sink", "avsync"]):
            ok = ok and subprocess.run(["pactl"] + command, env=self.env, capture_output=True).returncode == 0
        self.started = ok


def urgent():
    """Player and recorder ahead of whatever else runs, where allowed: the
    measurement is of the clock, not of the machine's load."""
    try:
        os.nice(-10)
    except OSError:
        pass


def measure(server, work, mp3, times, settings, offset=None):
    """The picture's lead over the sound at each click, in ms."""
    raw, stamps = os.path.join(work, "rec.raw"), os.path.join(work, "rec.txt")
    env = dict(server.env, **settings)
    recorder = server.recorder(LENGTH + 15, raw, stamps)
    time.sleep(0.5)
    # The player plays until its clock is past the last click, and the
    # recorder a little longer, for the sound still on its way.
    command = [tool("avsync_player"), mp3, str(CLICKS[-1] + 0.5)] + ([str(offset)] if offset is not None else [])
    player = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60,
                            preexec_fn=urgent)
    time.sleep(0.5)
    recorder.terminate()
    if recorder.wait(60) != 0 or player.returncode != 0:
        sys.exit("avsync: the player or the recorder failed: %s" % player.stderr.strip())
    if "played on %s" % server.output not in player.stderr:
        sys.exit("avsync: %s: the player did not play on its %s output: %s"
                 % (server.name, server.output, player.stderr.strip()))
    log = np.loadtxt(player.stdout.splitlines(), dtype=np.float64).reshape(-1, 4)
    shown = shown_times(log, log[:, 0], times, "avsync")
    heard = heard_times(server, raw, stamps)
    if len(heard) != len(times):
        sys.exit("avsync: %d clicks recorded, %d played" % (len(heard), len(times)))
    return (heard - shown) / 1e6


def shown_times(log, ns, times, who, smooth=True):
    """When each click's time was first shown, in ns: every line of the
    player's log is a moment the clock had just reached its millisecond (a
    quarter of a poll late on average), read as a line of slope 1 near the
    click. NS holds each line's time on the recorder's clock. Smooth: no step
    longer than the time from just before the reading before to just after
    this one, and 2 ms."""
    ms = log[:, 3] + 0.25
    if smooth:
        waited = (log[:, 1] - log[:, 2]) / 1e6
        steps = np.flatnonzero(np.diff(log[:, 3]) > waited[1:] + 2)
        if len(steps):
            i = steps[0]
            sys.exit("%s: the clock stepped from %d to %d ms in %.1f ms (%d such steps)"
                     % (who, log[i, 3], log[i + 1, 3], waited[i + 1], len(steps)))
    shown = []
    for t in times:
        near = np.abs(ms - t * 1000) < 100
        if near.sum() < 5:
            sys.exit("%s: the clock did not pass %.3f s smoothly" % (who, t))
        shown.append(np.median(ns[near] + (t * 1000 - ms[near]) * 1e6))
    return np.array(shown)


def heard_times(server, raw, stamps):
    """When each click recorded left the sink, in monotonic ns: the blocks'
    times fitted to one line of the sink's rate (the null sink runs on the
    system clock)."""
    rate = server.record_rate
    stamp = np.loadtxt(stamps, dtype=np.float64).reshape(-1, 2)
    base = np.median(stamp[:, 1] - stamp[:, 0] * 1e9 / rate)
    return np.array([base + i * 1e9 / rate for i in onsets(np.fromfile(raw, "<i2"), rate)])


def reference(server):
    """PipeWire's reference player: clicks placed by the graph's own clock,
    recorded as the player's are; the recorder's error at each, in ms."""
    raw, stamps = os.path.join(server.dir, "ref.raw"), os.path.join(server.dir, "ref.txt")
    recorder = server.recorder(LENGTH + 15, raw, stamps)
    time.sleep(0.5)
    played = subprocess.run([tool("avsync_pw_reference"), str(len(CLICKS))], env=server.env, capture_output=True,
                            text=True, timeout=60, preexec_fn=urgent)
    time.sleep(0.5)
    recorder.terminate()
    if recorder.wait(60) != 0 or played.returncode != 0:
        sys.exit("avsync: the reference player or the recorder failed: %s" % played.stderr.strip())
    placed = np.array([float(line) for line in played.stdout.split()])
    heard = heard_times(server, raw, stamps)
    if len(heard) != len(placed):
        sys.exit("avsync: %d reference clicks recorded, %d played" % (len(heard), len(placed)))
    return (heard - placed) / 1e6


def player_tests(server):
    """The player's own tests on the server's output; True when they pass."""
    env = dict(server.env, VELVORIA_TEST_OUTPUT=server.output)
    r = subprocess.run([tool("audio_tests")], env=env, capture_output=True, text=True, timeout=300)
    failed = [line.split()[-1] for line in r.stdout.splitlines() if line.startswith("[  FAILED  ] Player.")]
    print("avsync: %s: the player's tests (real time, smooth, pause, seek, replay) on its %s output: %s"
          % (server.name, server.output, "passed" if r.returncode == 0 else "FAILED " + ", ".join(failed)),
          flush=True)
    if r.returncode != 0:
        print(r.stdout[-3000:])
    return r.returncode == 0


def check(server, work, mp3, times, name, expected=0.0, offset=None, settings=None, limit=LIMIT_MS):
    """Measures one configuration and prints its line; True when in step. A
    busy machine starves the null sink now and then, and the sound heard
    jumps by the time lost (the clock follows it within a few readings):
    a configuration out of step is measured once more, and both are told."""
    for attempt in range(2):
        lead = measure(server, work, mp3, times, settings or {}, offset)
        median, spread = float(np.median(lead)), float(np.std(lead))
        print("avsync: %s %s: picture ahead of sound by %.1f ms (sd %.2f ms, %d clicks)%s"
              % (server.name, name, median, spread, len(lead), " (measured again)" if attempt else ""), flush=True)
        if abs(median - expected) <= limit and spread <= SPREAD_MS:
            return True
    return False


SETTINGS = (("default settings", {}), ("PULSE_LATENCY_MSEC=20", {"PULSE_LATENCY_MSEC": "20"}),
            ("PULSE_LATENCY_MSEC=120", {"PULSE_LATENCY_MSEC": "120"}))
PIPEWIRE_SETTINGS = (("default settings", {}), ("PIPEWIRE_LATENCY=512/48000", {"PIPEWIRE_LATENCY": "512/48000"}),
                     ("PIPEWIRE_LATENCY=2048/48000", {"PIPEWIRE_LATENCY": "2048/48000"}))


def main():
    work = tempfile.mkdtemp(prefix="velvoria-avsync-")
    server = Server(work)
    failed = []
    try:
        mp3, times = click_file(work, 0.0)
        late_mp3, _ = click_file(work, 0.050)
        # The measurement itself first: every other click 50 ms later in
        # the file than the player is told must read as the picture 50 ms
        # further ahead at those clicks than at the others.
        lead = measure(server, work, late_mp3, times, {})
        late = float(np.median(lead[1::2]) - np.median(lead[0::2]))
        print("avsync: validation: clicks 50 ms late in the file read %.1f ms further ahead (sd %.2f and %.2f ms)"
              % (late, np.std(lead[1::2]), np.std(lead[0::2])), flush=True)
        if abs(late - 50) > 1:
            sys.exit("avsync: the measurement does not see a known delay of 50 ms; nothing measured")
        if not player_tests(server):
            failed.append("pulseaudio: the player's tests")
        for name, settings in SETTINGS:
            if not check(server, work, mp3, times, name, settings=settings):
                failed.append("pulseaudio " + name)
        # A user's offset for a later sound moves the picture as much later.
        if not check(server, work, mp3, times, "default settings, --audio-offset 100", -100.0, offset=100):
            failed.append("--audio-offset 100")
    finally:
        server.stop()
    # The same on PipeWire through its own API, where it starts.
    if "--no-pipewire" not in sys.argv:
        pipewire = PipeWire(work)
        try:
            if not pipewire.started:
                print("avsync: pipewire: it does not start here (see its log); measured on PulseAudio only")
            else:
                # The measurement first: clicks placed by the graph's own
                # clock must be heard at their times.
                off = reference(pipewire)
                print("avsync: pipewire validation: clicks placed by the graph's clock read %.1f ms late (sd %.2f ms)"
                      % (np.median(off), np.std(off)), flush=True)
                if abs(np.median(off)) > 1:
                    sys.exit("avsync: the PipeWire recorder does not hear the graph's clock; nothing measured there")
                if not player_tests(pipewire):
                    failed.append("pipewire: the player's tests")
                for name, settings in PIPEWIRE_SETTINGS:
                    if not check(pipewire, work, mp3, times, name, settings=settings):
                        failed.append("pipewire " + name)
        finally:
            pipewire.stop()
    shutil.rmtree(work, ignore_errors=True)
    if failed:
        sys.exit("avsync: out of step (more than %g ms off, or a spread over %g ms), or a test failed: %s"
                 % (LIMIT_MS, SPREAD_MS, ", ".join(failed)))
    print("avsync: passed")


if __name__ == "__main__":
    main()
