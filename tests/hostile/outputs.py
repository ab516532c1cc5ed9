#!/usr/bin/python3
"""Where the video and the frames go, and what stops them: a directory, a
device, a link, the export's own inputs, a missing or read-only directory, a
disk that fills, a directory removed under it, signals at 10, 50 and 99 % of
a span, ffmpeg killed under it. Afterwards: the file whole under its name or
nothing there, no temporary left (a killed one is removed by the next run),
no ffmpeg left running, a message and a non-zero status."""
import hashlib
import os
import shutil
import signal
import stat
import subprocess
import time

from hostile import (CAPTURE, DATA_MUSIC, files_in, finish, orphans, processes_with, run, scratch, stage, verdict,
                     whole_mp4, whole_png)

ROOT = os.geteuid() == 0
SMALL = ["--size", "640x360"]
SHORT = ["--from", "10", "--to", "10.5", "--fps", "10"] + SMALL      # 5 frames
SPAN = ["--from", "10", "--to", "14", "--fps", "10"] + SMALL         # 40 frames: the signal cases
LONG = ["--from", "0", "--to", "64", "--fps", "10"] + SMALL          # minutes: a refusal must come first
mounts = []


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def mount_tmpfs(options):
    """A tmpfs of our own (as root); None where it cannot be had."""
    if not ROOT:
        return None
    d = scratch()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", d], capture_output=True).returncode:
        return None
    mounts.append(d)
    return d


def nothing_but(work, expected, also=lambda: ""):
    def check(r, left):
        if left != sorted(expected):
            return "left %s" % left
        gone = orphans(work)
        return ("ffmpeg left running (%s)" % gone) if gone else also()
    return check


# A directory, an existing one: refused before rendering (the long span
# would run past the limit), the directory as it was.
work = scratch()
os.mkdir(os.path.join(work, "dir"))
run("--video EXISTING_DIR", [CAPTURE, "--video", "dir"] + LONG, cwd=work, timeout=30,
    check=nothing_but(work, [], lambda: "" if os.path.isdir(os.path.join(work, "dir")) else "the directory went"))

# A missing directory and a directory that cannot be written.
work = scratch()
run("--video MISSING_DIR/v.mp4", [CAPTURE, "--video", "no/such/v.mp4"] + LONG, cwd=work, timeout=30,
    check=nothing_but(work, []))
readonly = mount_tmpfs("ro,size=1m")
if readonly:
    run("--video READ_ONLY_DIR/v.mp4", [CAPTURE, "--video", os.path.join(readonly, "v.mp4")] + LONG, timeout=30,
        check=lambda r, left: "" if not os.listdir(readonly) and not orphans(readonly) else "written")
else:
    verdict("--video READ_ONLY_DIR/v.mp4", True, "-", "not root: a read-only mount cannot be made here", [])

# Device nodes: refused, still the device they were. Made here (as root),
# so that the real /dev/full is never at stake.
work = scratch()
nodes = {}
if ROOT:
    for name, minor in (("full", 7), ("null", 3)):
        os.mknod(os.path.join(work, name), 0o666 | stat.S_IFCHR, os.makedev(1, minor))
        nodes[name] = os.path.join(work, name)
else:
    nodes = {"full": "/dev/full", "null": "/dev/null"}
for name, path in nodes.items():
    run("--video a character device (%s)" % name, [CAPTURE, "--video", path] + SHORT, cwd=work, timeout=60,
        check=lambda r, left, path=path: "" if stat.S_ISCHR(os.lstat(path).st_mode)
        else "the device was replaced by a regular file")
# A FIFO as the output.
os.mkfifo(os.path.join(work, "fifo"))
run("--video a FIFO", [CAPTURE, "--video", "fifo"] + SHORT, cwd=work, timeout=60,
    check=lambda r, left: "" if stat.S_ISFIFO(os.lstat(os.path.join(work, "fifo")).st_mode) else "replaced")

# Links: to a regular file, written through; to a device or to nothing,
# refused or written through; a link is never replaced by the video.
work = scratch()
open(os.path.join(work, "old.mp4"), "w").close()
os.symlink("old.mp4", os.path.join(work, "link.mp4"))
run("--video a link to a file", [CAPTURE, "--video", "link.mp4"] + SHORT, cwd=work, expect="ok", timeout=60,
    check=lambda r, left: "" if os.path.islink(os.path.join(work, "link.mp4"))
    and whole_mp4(os.path.join(work, "old.mp4")) and left == ["link.mp4", "old.mp4"]
    else "the link was replaced or its file not written")
if ROOT:
    os.symlink(nodes["full"], os.path.join(work, "device.mp4"))
    run("--video a link to a device", [CAPTURE, "--video", "device.mp4"] + SHORT, cwd=work, timeout=60,
        check=lambda r, left: "" if os.path.islink(os.path.join(work, "device.mp4"))
        and stat.S_ISCHR(os.stat(nodes["full"]).st_mode) else "the link or the device was replaced")
os.symlink("nowhere/x.mp4", os.path.join(work, "dangling.mp4"))
run("--video a dangling link", [CAPTURE, "--video", "dangling.mp4"] + SHORT, cwd=work, expect="any", timeout=60,
    check=lambda r, left: "" if os.path.islink(os.path.join(work, "dangling.mp4")) else "the link was replaced")

# The export's own inputs: the master it reads, the music (a hard link to
# it, and the staged program's own Data/ copy), a shader.
work = scratch()
master = os.path.join(work, "m.wav")
subprocess.run(["ffmpeg", "-v", "error", "-i", DATA_MUSIC, master], check=True, timeout=60)
before = digest(master)
run("--video MASTER --audio MASTER", [CAPTURE, "--video", "m.wav", "--audio", "m.wav"] + SHORT, cwd=work,
    timeout=60, check=lambda r, left: "" if digest(master) == before and left == ["m.wav"] else "the master changed")
staged = stage(CAPTURE, copy={os.path.basename(DATA_MUSIC)})
music = os.path.join(staged.dir, "Data", os.path.basename(DATA_MUSIC))
before = digest(music)
os.link(music, os.path.join(work, "hard.mp4"))
run("--video Data/MUSIC", [staged.program, "--video", music] + SHORT, cwd=work, timeout=60,
    check=lambda r, left: "" if digest(music) == before else "the music changed")
run("--video a hard link to the music", [staged.program, "--video", "hard.mp4"] + SHORT, cwd=work, timeout=60,
    check=lambda r, left: "" if digest(music) == before else "the music changed")
shader = os.path.join(staged.dir, "Data", "Blur.frag")
run("--video Data/Blur.frag (a link into the real Data/)", [staged.program, "--video", shader] + SHORT, cwd=work,
    timeout=60, check=lambda r, left: "" if os.path.islink(shader) and open(shader).read().strip()
    else "the shader was replaced")

# A disk that fills: while the frames go (1 MB), and while ffmpeg writes
# the index at the end (2200 kB: ffmpeg 5.1 said "Error writing trailer" and
# ended with status 0 on a cut file).
for size, args in (("1m", SPAN), ("2200k", ["--from", "10", "--to", "14"] + SMALL)):
    disk = mount_tmpfs("size=" + size)
    if not disk:
        verdict("--video onto a full disk (%s)" % size, True, "-", "not root: no tmpfs here", [])
        continue
    run("--video onto a full disk (%s)" % size, [CAPTURE, "--video", os.path.join(disk, "v.mp4")] + args,
        timeout=180, check=lambda r, left, disk=disk: "" if not os.listdir(disk) and not orphans(disk)
        else "left %s" % os.listdir(disk))

# Frames onto a full disk: 640x360 frames are about 490 kB; the second
# does not fit. Every frame left is whole, no temporary stays.
disk = mount_tmpfs("size=700k")
if disk:
    run("--at --out onto a full disk", [CAPTURE, "--at", "10", "11", "12", "--out", os.path.join(disk, "d")] + SMALL,
        timeout=60, check=lambda r, left, disk=disk: "" if all(
            name.startswith("frame-") and name.endswith(".png") and whole_png(os.path.join(disk, "d", name))
            for name in os.listdir(os.path.join(disk, "d"))) else "left %s" % os.listdir(os.path.join(disk, "d")))


def export(work, name, args):
    return subprocess.Popen([CAPTURE, "--video", name] + args, cwd=work, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, errors="replace")


def ended(process, timeout=120):
    try:
        out, err = process.communicate(timeout=timeout)
        return process.returncode, (err or out).strip().splitlines()
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return "timeout", []


# The directory removed while the video is written.
work = scratch()
sub = os.path.join(work, "sub")
os.mkdir(sub)
p = export(work, "sub/v.mp4", SPAN)
deadline = time.time() + 60
while time.time() < deadline and p.poll() is None and not os.listdir(sub):
    time.sleep(0.05)
time.sleep(0.5)
shutil.rmtree(sub)
status, lines = ended(p)
first = lines[0] if lines else ""
why = ""
if status == "timeout" or status == 0 or not lines:
    why = "not refused with a message"
elif ".part" in " ".join(lines):
    why = "the message names the temporary file, not the video"
elif orphans(work):
    why = "ffmpeg left running"
verdict("--video into a directory removed while it writes", not why, status, first, files_in(work), why)

# A clean export of the span: how long it takes (the shorter of two, the
# first may start cold) places the signals.
work = scratch()
took = []
for attempt in range(2):
    start = time.time()
    p = export(work, "k.mp4", SPAN)
    status, lines = ended(p)
    took.append(time.time() - start)
    ok = status == 0 and files_in(work) == ["k.mp4"] and whole_mp4(os.path.join(work, "k.mp4"))
took = min(took)
verdict("--video a %.0f s span (%.1f s to export)" % (4, took), ok, status, lines[-1] if lines else "",
        files_in(work), "" if ok else "not whole")

for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGKILL):
    for fraction in (0.1, 0.5, 0.99):
        name = "%s at %d %% of an export" % (sig.name, fraction * 100)
        work = scratch()
        p = export(work, "k.mp4", SPAN)
        time.sleep(took * fraction)
        p.send_signal(sig)
        status, lines = ended(p)
        first = lines[0] if lines else ""
        left = files_in(work)
        why = ""
        gone = orphans(work)
        if gone:
            why = "ffmpeg left running"
        elif status == 0:
            why = "" if left == ["k.mp4"] and whole_mp4(os.path.join(work, "k.mp4")) else "status 0, no whole video"
        elif "k.mp4" in left:
            # The signal came after the video was finished and said so.
            done = any(line.startswith("velvoria-capture: wrote") for line in lines)
            why = "" if done and whole_mp4(os.path.join(work, "k.mp4")) else "a video under the real name after a failure"
        elif sig != signal.SIGKILL and left:
            why = "left %s" % left
        elif sig != signal.SIGKILL and status != -sig and not lines:
            why = "no message"
        elif sig == signal.SIGKILL and left:
            # What the killed one left, the next export into the directory removes.
            after = ended(export(work, "next.mp4", SHORT))
            rest = [f for f in files_in(work) if f != "next.mp4"]
            if after[0] != 0 or rest:
                why = "the next run left %s behind (status %s)" % (rest, after[0])
        verdict(name, not why, status, first, left, why)

# ffmpeg killed under it: a failure, said, and nothing left.
work = scratch()
p = export(work, "k.mp4", SPAN)
deadline = time.time() + 60
encoder = []
while time.time() < deadline and p.poll() is None and not encoder:
    encoder = [pid for pid in processes_with(work) if pid != p.pid]
    time.sleep(0.05)
time.sleep(took * 0.3)
for pid in encoder:
    os.kill(pid, signal.SIGKILL)
status, lines = ended(p)
left = files_in(work)
why = "" if encoder else "no ffmpeg seen"
if not why and (status == 0 or status == "timeout" or not lines):
    why = "not refused with a message"
elif not why and left:
    why = "left %s" % left
verdict("ffmpeg killed under an export", not why, status, lines[-1] if lines else "", left, why)

staged.remove()
for d in mounts:
    subprocess.run(["umount", "-l", d], capture_output=True)
finish()
