#!/usr/bin/python3
"""Load: 20 plays of the demo in a window, back to back, each ended by
Escape at a random moment; 30 captures with --at, two at a time into the
same directory. Every run ends with status 0 and leaves nothing but its
frames; the peak memory of each group is shown."""
import os
import random
import resource
import subprocess
import time

from hostile import CAPTURE, DEMO, files_in, finish, orphans, scratch, verdict, whole_png

random.seed(int(os.environ.get("HOSTILE_SEED", "28")))


def wait_with_memory(process, timeout):
    """(status, peak resident MB) of a child, killed after timeout."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            process.returncode = os.waitstatus_to_exitcode(status)
            return process.returncode, usage.ru_maxrss / 1024.0
        time.sleep(0.05)
    process.kill()
    _, status, usage = os.wait4(process.pid, 0)
    return "timeout", usage.ru_maxrss / 1024.0


if os.environ.get("DISPLAY"):
    work = scratch()
    statuses, peaks, late = [], [], []
    for play in range(20):
        p = subprocess.Popen([DEMO, "--windowed", "--mute"], cwd=work, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        # The window first (a key before it is lost), then Escape at a
        # random moment of the first second and a half.
        subprocess.run(["xdotool", "search", "--sync", "--name", "^Orvanth - Velvoria$"], capture_output=True,
                       timeout=60)
        time.sleep(random.uniform(0.0, 1.5))
        subprocess.run(["xdotool", "search", "--name", "^Orvanth - Velvoria$", "key", "--window", "%1", "Escape"],
                       capture_output=True, timeout=10)
        status, peak = wait_with_memory(p, 30)
        statuses.append(status)
        peaks.append(peak)
    bad = [s for s in statuses if s != 0]
    left = files_in(work) + ["process %d" % pid for pid in orphans(DEMO, wait=0.5)]
    verdict("20 plays of velvoria --windowed --mute ended by Escape", not bad and not left,
            "all 0" if not bad else statuses, "peak %.0f MB (median %.0f)" % (max(peaks), sorted(peaks)[10]), left,
            "statuses %s" % statuses)
else:
    verdict("20 plays of velvoria --windowed --mute ended by Escape", True, "-", "no display: not run", [])

work = scratch()
out = os.path.join(work, "frames")
statuses, peaks = [], []
for pair in range(15):
    # Now and then both take the same time: the same file name at once.
    times = [round(random.uniform(0, 64), 3) for _ in range(2)]
    if pair % 5 == 0:
        times[1] = times[0]
    ps = [subprocess.Popen([CAPTURE, "--at", "%.3f" % t, "--out", out, "--size", "640x360"], cwd=work,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for t in times]
    for p in ps:
        status, peak = wait_with_memory(p, 60)
        statuses.append(status)
        peaks.append(peak)
left = files_in(work)
broken = [f for f in left if not (f.startswith("frames/frame-") and f.endswith(".png")
                                  and whole_png(os.path.join(work, f)))]
bad = [s for s in statuses if s != 0]
verdict("30 captures with --at, two at a time", not bad and not broken and not orphans(out, wait=0.5),
        "all 0" if not bad else statuses, "peak %.0f MB, %d frames" % (max(peaks), len(left)), broken,
        "statuses %s, not whole: %s" % (statuses, broken))
finish()
