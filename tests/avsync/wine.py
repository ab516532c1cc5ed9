#!/usr/bin/python3
"""The Windows build's picture against the sound as the listener hears it,
under Wine on a PulseAudio of our own through Wine's winepulse: the same
click file and sink-monitor recording as avsync.py, played by the program's
own player built for Windows (wine_player.exe) and by a plain WASAPI
player (wasapi_reference.exe), which shows what Wine's own position
reporting allows. The Windows programs' clock is Wine's performance
counter: it is put against the recorder's by echoes through a pipe before
and after each run.

Fails when the program's player is more than 5 ms off the sound and more
than 2 ms off the reference player, or its spread is over 3 ms and over the
reference's, at the default settings, at another latency and with
--audio-offset. Says why and passes when Wine or the Windows build is not
there.

usage: wine.py LINUX_BUILD_DIR WINDOWS_BUILD_DIR [--player EXE]
  (avsync_recorder in LINUX_BUILD_DIR; the Windows players are built in
  WINDOWS_BUILD_DIR, which tools/windows/build.sh made; --player measures
  another wine_player.exe beside the reference)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import avsync  # noqa: E402
from avsync import (CLICKS, LENGTH, SPREAD_MS, LIMIT_MS, Server, click_file, heard_times, shown_times,  # noqa: E402
                    urgent)

avsync.BUILD = os.path.abspath(sys.argv[1])  # the Linux build's recorder

WINDOWS = os.path.abspath(sys.argv[2])
# Within 2 ms of what a plain WASAPI player reaches on the same Wine.
REFERENCE_MS = 2.0
SETTINGS = (("default settings", {}), ("PULSE_LATENCY_MSEC=60", {"PULSE_LATENCY_MSEC": "60"}))


def say(text):
    print("avsync: wine: " + text, flush=True)


def load():
    return "load %.1f" % os.getloadavg()[0]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Wine:
    """A Wine prefix of our own beside the Windows build, its sound through
    winepulse on `server`, its wineserver kept up while we measure."""

    def __init__(self, server):
        self.env = dict(server.env, WINEPREFIX=os.path.join(WINDOWS, "wine-avsync"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64")
        self.env.pop("DISPLAY", None)
        # The players' DLLs where the Windows build found them (the folder
        # tools/windows/build.sh makes has them beside the programs).
        with open(os.path.join(WINDOWS, "CMakeCache.txt")) as f:
            dlls = [os.path.join(l.split("=", 1)[1].strip(), "bin") for l in f
                    if l.startswith("VELVORIA_WINDOWS_PREFIX:")]
        self.env["WINEPATH"] = ";".join(windows_path(d) for d in dlls + ["/usr/x86_64-w64-mingw32/lib"])
        # Wine's own processes (its server, its services) outlive the
        # command that starts them and keep what it was given: never our
        # pipes.
        quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        if not os.path.exists(os.path.join(self.env["WINEPREFIX"], "system.reg")):
            say("making the Wine prefix")
            subprocess.run(["wineboot", "-i"], timeout=300, **quiet)
        # PulseAudio's driver, not whichever Wine finds first.
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Audio", "/d", "pulse", "/f"],
                       timeout=120, check=True, **quiet)
        # Kept running, it keeps Wine's server up between the players.
        self.echo = subprocess.Popen(["wine", os.path.join(WINDOWS, "wasapi_reference.exe"), "--clock"],
                                     env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)

    def clock_offset(self):
        """(Windows clock - our clock, when) in ns, from the quickest of 30
        echoes, to within half its round trip (returned too)."""
        best = None
        for _ in range(30):
            before = time.monotonic_ns()
            self.echo.stdin.write("\n")
            self.echo.stdin.flush()
            answer = self.echo.stdout.readline()
            if not answer:
                sys.exit("avsync: wine: wasapi_reference.exe --clock does not answer")
            theirs = int(answer)
            after = time.monotonic_ns()
            if best is None or after - before < best[2]:
                best = (theirs - (before + after) // 2, (before + after) // 2, after - before)
            time.sleep(0.002)
        return best

    def stop(self):
        try:
            self.echo.stdin.close()
            self.echo.wait(30)
        except (OSError, subprocess.TimeoutExpired):
            self.echo.kill()
        # Every process of this prefix, and its server: no one else's.
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)


def measure(server, wine, work, command, times, settings, smooth):
    """The picture's lead over the sound at each click, in ms, and the
    widest round trip of the clock echoes."""
    raw, stamps = os.path.join(work, "rec.raw"), os.path.join(work, "rec.txt")
    recorder = server.recorder(LENGTH + 20, raw, stamps)
    time.sleep(0.5)
    first = wine.clock_offset()
    # The player's output into files: a pipe would be held open by any
    # process of Wine's it starts.
    out, err = os.path.join(work, "player.out"), os.path.join(work, "player.err")
    with open(out, "w") as stdout, open(err, "w") as stderr:
        player = subprocess.run(["wine"] + command, env=dict(wine.env, **settings), stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=stderr, timeout=90, preexec_fn=urgent)
    last = wine.clock_offset()
    time.sleep(0.5)
    recorder.terminate()
    with open(out) as f:
        lines = f.read().splitlines()
    if recorder.wait(60) != 0 or player.returncode != 0:
        with open(err) as f:
            sys.exit("avsync: wine: the player or the recorder failed: %s" % f.read().strip()[-2000:])
    log = np.loadtxt(lines, dtype=np.float64).reshape(-1, 4)
    # The Windows clock's times on ours: the offset drawn from the echo
    # before to the one after.
    offset = np.interp(log[:, 0], [first[1] + first[0], last[1] + last[0]], [first[0], last[0]])
    shown = shown_times(log, log[:, 0] - offset, times, "avsync: wine", smooth)
    heard = heard_times(server, raw, stamps)
    if len(heard) != len(times):
        sys.exit("avsync: wine: %d clicks recorded, %d played" % (len(heard), len(times)))
    return (heard - shown) / 1e6, max(first[2], last[2]) / 1e6


def line(server, wine, work, name, command, times, settings, smooth):
    lead, echo = measure(server, wine, work, command, times, settings, smooth)
    median, spread = float(np.median(lead)), float(np.std(lead))
    say("%s: picture ahead of sound by %.1f ms (sd %.2f ms, %d clicks; clocks matched to %.2f ms; %s)"
        % (name, median, spread, len(lead), echo / 2, load()))
    return median, spread


def main():
    player = os.path.join(WINDOWS, "wine_player.exe")
    if "--player" in sys.argv:
        player = os.path.abspath(sys.argv[sys.argv.index("--player") + 1])
    if not shutil.which("wine") or not shutil.which("wineserver"):
        say("Wine is not installed; not measured")
        return
    if not os.path.exists(os.path.join(WINDOWS, "CMakeCache.txt")):
        say("no Windows build in %s (tools/windows/build.sh makes it); not measured" % WINDOWS)
        return
    # Configured again first: the players' targets may be newer than the
    # build.
    built = subprocess.run(["cmake", WINDOWS], capture_output=True, text=True)
    if built.returncode == 0:
        built = subprocess.run(["cmake", "--build", WINDOWS, "-j2", "--target", "wine_player", "wasapi_reference"],
                               capture_output=True, text=True)
    if built.returncode != 0:
        sys.exit("avsync: wine: the Windows players do not build:\n" + built.stdout[-3000:] + built.stderr[-3000:])
    work = tempfile.mkdtemp(prefix="velvoria-avsync-wine-")
    server = Server(work)
    wine = None
    failed = []
    try:
        mp3, times = click_file(work, 0.0)
        wav = mp3[:-4] + ".dec.wav"
        wine = Wine(server)
        seconds = str(CLICKS[-1] + 0.5)

        def check(name, settings, expected=0.0, offset=()):
            """The reference and ours, in turn. Wine settles each stream's
            position at a distance from the sound of its own (most runs
            within a millisecond or two of each other, now and then one
            10 to 40 ms away, the reference's as well as ours, and in a
            fresh prefix two in a row): a configuration out of step is
            measured up to four times more, and the medians over the runs
            are compared."""
            label = name + "".join(", --audio-offset " + o for o in offset)
            references, runs = [], []
            for attempt in range(5):
                again = " (measured again)" if attempt else ""
                references.append(line(server, wine, work, "plain WASAPI player, " + name + again,
                                       [os.path.join(WINDOWS, "wasapi_reference.exe"), windows_path(wav), seconds],
                                       times, settings, smooth=False))
                runs.append(line(server, wine, work, "velvoria, " + label + again,
                                 [player, windows_path(mp3), seconds] + list(offset), times, settings, smooth=True))
                reference, spread = np.median(references, axis=0)
                ours, our_spread = np.median(runs, axis=0)
                near = abs(ours - expected) <= LIMIT_MS or abs(ours - expected - reference) <= REFERENCE_MS
                steady = our_spread <= SPREAD_MS or our_spread <= spread
                if near and steady:
                    break
            say("%s: velvoria %.1f ms from the sound, %.1f ms from the plain WASAPI player%s"
                % (label, ours - expected, ours - expected - reference,
                   " (medians of %d runs)" % len(runs) if len(runs) > 1 else ""))
            if not (near and steady):
                failed.append(label)

        for name, settings in SETTINGS:
            check(name, settings)
        # A user's offset for a later sound moves the picture as much later.
        check("default settings", {}, -100.0, ("100",))
    finally:
        try:
            if wine:
                wine.stop()
        finally:
            server.stop()
            shutil.rmtree(work, ignore_errors=True)
    if failed:
        sys.exit("avsync: wine: out of step (more than %g ms off and more than %g ms off the plain WASAPI player, "
                 "or a wider spread than %g ms and the player's): %s"
                 % (LIMIT_MS, REFERENCE_MS, SPREAD_MS, ", ".join(failed)))
    say("passed")


if __name__ == "__main__":
    main()
