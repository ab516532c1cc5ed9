#!/usr/bin/python3
"""The sound of the export: a master (--audio) that is not a regular file,
empty, huge, lying in its header, poorer than the MP3, shifted or partly
silent is refused in one line before anything is rendered, and no ffmpeg is
left waiting on it; the real master is taken. A damaged music file in Data/
gives the video its sound or a failure that names the file."""
import os
import subprocess

from hostile import CAPTURE, DATA_MUSIC, finish, orphans, run, scratch, stage, whole_mp4

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
finish()
