#!/usr/bin/python3
"""The capture tool in odd surroundings: a working directory that is gone or
deeper than a path may be long, standard descriptors closed at the start,
Ctrl-C and kill in frames mode and --bench, another user's file in a sticky
directory, a video driver that does not exist, a rate whose frames cannot
fill the span, the longest name a file may have. Afterwards: the output
where it was asked for or a refusal, never a file beside the program, no
empty directory, no temporary, the span as long as asked."""
import hashlib
import os
import signal
import subprocess
import time

from hostile import (CAPTURE, files_in, finish, orphans, run, scratch, shell, stage, verdict, whole_mp4,
                     whole_png)

SMALL = ["--size", "640x360"]
SHORT = ["--from", "10", "--to", "10.5", "--fps", "10"] + SMALL      # 5 frames
LONG = ["--from", "0", "--to", "64", "--fps", "10"] + SMALL          # minutes: a refusal must come first
ROOT = os.geteuid() == 0


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def duration(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
                       capture_output=True, text=True, timeout=60)
    try:
        return float(r.stdout.strip())
    except ValueError:
        return -1.0


# --- A relative output from a working directory without a usable name -------
# Never beside the program: it is staged, and its directory looked at after.

def beside_program(label, args, run_it):
    """run_it(staged program) runs the case; afterwards nothing may have
    been written beside the program, nor the program replaced."""
    staged = stage(CAPTURE)
    before, program = files_in(staged.dir), digest(staged.program)
    r = run_it(staged.program)
    if r is not None:
        now = files_in(staged.dir)
        why = ("written beside the program: %s" % sorted(set(now) - set(before)) if now != before else
               "the program itself was replaced" if digest(staged.program) != program else "")
        if why:
            verdict(label + " (beside the program)", False, r.returncode, "", now, why)
    staged.remove()


gone = os.path.join(scratch(), "gone")
for label, args in (("--video v.mp4", ["--video", "v.mp4"] + SHORT), ("--at --out d", ["--at", "10", "--out", "d"] + SMALL)):
    label += " from a working directory that was removed"
    os.mkdir(gone)
    beside_program(label, args, lambda program, label=label, args=args: run(
        label, shell('cd "$1" && rmdir "$1" && shift && exec "$@"') + ["sh", gone, program] + args, timeout=60))


# Deeper than PATH_MAX (4096 bytes): --video with the program's own name
# replaced the program, frames left an empty directory and a misleading
# "No such file or directory". Made and looked at through descriptors: no
# path reaches it.
def deep_directory(levels=22, name="d" * 200):
    fd = os.open(scratch(), os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(levels):
        os.mkdir(name, dir_fd=fd)
        deeper = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = deeper
    return fd


def from_deep(label, args, allowed):
    def run_it(program):
        fd = deep_directory()
        try:
            r = subprocess.run([program] + args, capture_output=True, text=True, timeout=60,
                               stdin=subprocess.DEVNULL, preexec_fn=lambda: os.fchdir(fd), errors="replace")
        except subprocess.TimeoutExpired:
            verdict(label, False, "timeout", "", [], "no end after 60 s")
            return None
        left = sorted(os.listdir(fd))
        os.close(fd)
        line = (r.stderr.strip().splitlines() or [""])[0]
        why = ("killed by a signal" if r.returncode < 0 else
               "left %s in the deep directory" % left if left not in allowed else
               "a misleading message" if r.returncode and "No such file or directory" in r.stderr else
               "not refused with a message" if r.returncode == 0 and not left else "")
        verdict(label, not why, r.returncode, line, left, why)
        return r
    beside_program(label, args, run_it)


from_deep("--video velvoria-capture from a working directory 4400 bytes deep",
          ["--video", "velvoria-capture"] + SHORT, ([], ["velvoria-capture"]))
from_deep("--at --out d from a working directory 4400 bytes deep", ["--at", "10", "--out", "d"] + SMALL, ([],))


# --- Descriptors closed at the start: ffmpeg still gets its frames ----------

for label, redirections in (("standard input closed", "<&-"),
                            ("standard input, output and error closed", "<&- >&- 2>&-")):
    work = scratch()
    run("--video with %s" % label, shell('exec "$0" "$@" ' + redirections) + [CAPTURE, "--video", "v.mp4"] + SHORT,
        expect="ok", cwd=work, timeout=120,
        check=lambda r, left, work=work: "" if left == ["v.mp4"] and whole_mp4(os.path.join(work, "v.mp4"))
        and not orphans(work) else "no whole video (left %s)" % left)


# --- Signals in frames mode and --bench: the end at once, by the signal -----

def stopped(label, args, started, sig):
    """Starts the capture, sends sig once started(work, process) says it
    is under way, and expects it to end by that signal within 20 s, with
    every file it left whole and no temporary."""
    work = scratch()
    p = subprocess.Popen([CAPTURE] + args, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         errors="replace")
    deadline = time.time() + 120
    while time.time() < deadline and p.poll() is None and not started(work):
        time.sleep(0.1)
    p.send_signal(sig)
    sent = time.time()
    try:
        out, err = p.communicate(timeout=20)
        status = p.returncode
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        status = "timeout"
    left = files_in(work)
    why = ""
    if status == "timeout":
        why = "still running 20 s after %s" % sig.name
    elif status not in (-sig, 128 + sig):
        why = "status %s, not the signal's" % status
    elif [f for f in left if not f.endswith(".png") or not whole_png(os.path.join(work, f))]:
        why = "left %s" % left
    verdict(label, not why, status, (err.strip().splitlines() or [""])[-1], left[:3] + (["..."] if len(left) > 3 else []),
            why or "%.1f s after the signal" % (time.time() - sent))


def frames_written(work):
    d = os.path.join(work, "d")
    return os.path.isdir(d) and any(f.endswith(".png") for f in os.listdir(d))


for sig in (signal.SIGINT, signal.SIGTERM):
    stopped("%s in frames mode (--from 0 --to 60 --fps 2)" % sig.name,
            ["--from", "0", "--to", "60", "--fps", "2", "--out", "d"] + SMALL, frames_written, sig)
    stopped("%s in --bench (--from 0 --to 60 --fps 1)" % sig.name,
            ["--bench", "--from", "0", "--to", "60", "--fps", "1"] + SMALL, lambda work: time.sleep(3) or True, sig)


# --- Another user's file in a sticky directory: refused before rendering ----

def as_nobody(cmd):
    return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"] + cmd


if ROOT and subprocess.run(as_nobody(["true"]), capture_output=True).returncode == 0:
    sticky = os.path.join(scratch(), "sticky")
    os.chmod(os.path.dirname(sticky), 0o755)
    os.mkdir(sticky)
    os.chmod(sticky, 0o1777)
    theirs = os.path.join(sticky, "v.mp4")
    with open(theirs, "wb") as f:
        f.write(b"someone else's video")
    run("--video over another user's file in a sticky directory", as_nobody([CAPTURE, "--video", theirs] + LONG),
        cwd=sticky, timeout=30,
        check=lambda r, left: "" if left == ["v.mp4"] and open(theirs, "rb").read() == b"someone else's video"
        else "left %s" % left)
    last = os.path.join(sticky, "d")
    os.mkdir(last)
    os.chmod(last, 0o1777)
    with open(os.path.join(last, "frame-64000.png"), "wb") as f:
        f.write(b"someone else's frame")
    run("--out DIR holding another user's frame in a sticky directory",
        as_nobody([CAPTURE, "--from", "0", "--to", "64", "--fps", "1", "--out", last] + SMALL), timeout=30,
        check=lambda r, left: "" if files_in(last) == ["frame-64000.png"] else "left %d files" % len(files_in(last)))
else:
    verdict("--video over another user's file in a sticky directory", True, "-",
            "not tried: needs root and setpriv to act as another user", [])


# --- A video driver that does not exist: no empty directory left ------------

work = scratch()
run("--at --out d with SDL_VIDEODRIVER=nosuchdriver", [CAPTURE, "--at", "10", "--out", "d"] + SMALL, timeout=60,
    cwd=work, env=dict(os.environ, SDL_VIDEODRIVER="nosuchdriver"),
    check=lambda r, left: "left %s" % os.listdir(work) if os.listdir(work) else "")


# --- A rate whose whole frames do not fill the span --------------------------

work = scratch()
run("--video --fps 0.03 --from 0 --to 64", [CAPTURE, "--video", "v.mp4", "--fps", "0.03", "--from", "0", "--to", "64"]
    + SMALL, expect="any", cwd=work, timeout=120,
    check=lambda r, left: "" if (r.returncode != 0 and not left) or (
        r.returncode == 0 and abs(duration(os.path.join(work, "v.mp4")) - 64) < 0.1)
    else "status %d, %.2f s of video for a 64 s span" % (r.returncode, duration(os.path.join(work, "v.mp4"))))


# --- The longest name a file may have ---------------------------------------

work = scratch()
name = "v" * 246 + ".mp4"
run("--video with a 250-byte name", [CAPTURE, "--video", name] + SHORT, expect="ok", cwd=work, timeout=120,
    check=lambda r, left: "" if left == [name] and whole_mp4(os.path.join(work, name)) else "left %s" % left)

finish()
