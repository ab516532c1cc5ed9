#!/usr/bin/python3
"""The video export of velvoria-capture: a short span as an MP4 whose frames
are the ones --at renders and whose sound is the music at the same offset,
AAC at 48 kHz and 320 kb/s, with the production's tags; a lossless master of
the music in place of the MP3 at master quality, and a master that is not
this music refused; and the ways it fails, each leaving nothing behind.

usage: test_video.py PATH/TO/velvoria-capture
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import DATA, Stage, bound, check, counts, finish, message_for, run, start  # noqa: E402

CAPTURE = os.path.abspath(sys.argv[1])
MUSIC = os.path.join(DATA, "zandol_and_Pemrix-Vorth_Speaks.mp3")
RATE = 44100
FROM, TO, FPS, K = 30.0, 32.0, 30, 15  # frame K shows 30.5 s


def export(path, *args, env=None):
    return run([CAPTURE, "--video", path] + list(args), timeout=600, env=env)


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 10 * np.log10(255.0 ** 2 / max(mse, 1e-12))


def pcm(command):
    """Mono 16-bit samples at 44.1 kHz from a decoder writing raw PCM."""
    out = subprocess.run(command, capture_output=True, timeout=120, check=True).stdout
    return np.frombuffer(out, dtype=np.int16).astype(np.float64)


work = tempfile.mkdtemp(prefix="velvoria-video-")
video = os.path.join(work, "span.mp4")

# A 2 s span at 30 fps.
result = export(video, "--fps", str(FPS), "--from", str(FROM), "--to", str(TO))
if not check(result.returncode == 0 and os.listdir(work) == ["span.mp4"],
             "the export ends with status 0 and only the video beside it (%s %r)" % (result.returncode, result.stderr[-300:])):
    finish()
print(result.stderr.strip().splitlines()[-1])
probe = json.loads(subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format",
                                   "-of", "json", video], capture_output=True, text=True, check=True).stdout)
v = [s for s in probe["streams"] if s["codec_type"] == "video"]
a = [s for s in probe["streams"] if s["codec_type"] == "audio"]
check(len(v) == 1 and v[0]["codec_name"] == "h264" and v[0]["pix_fmt"] == "yuv420p"
      and (v[0]["width"], v[0]["height"]) == (1280, 720) and v[0]["r_frame_rate"] == "30/1"
      and v[0]["nb_read_frames"] == "60",
      "one H.264 yuv420p 1280x720 stream of 60 frames at 30 fps (%s)" %
      {k: v[0].get(k) for k in ("codec_name", "pix_fmt", "width", "height", "r_frame_rate", "nb_read_frames")})
check(len(a) == 1 and a[0]["codec_name"] == "aac" and abs(float(a[0]["duration"]) - 2.0) < 0.01
      and a[0]["sample_rate"] == "48000" and int(a[0]["bit_rate"]) >= 320000,
      "one AAC stream of 2 s at 48 kHz, 320 kb/s or more (%s)" %
      [(s["codec_name"], s.get("duration"), s.get("sample_rate"), s.get("bit_rate")) for s in a])
tags = probe["format"].get("tags", {})
check((tags.get("title"), tags.get("artist"), tags.get("date")) == ("Velvoria", "Orvanth", "2026"),
      "tagged with title, artist and year (%s)" % tags)
check(abs(float(probe["format"]["duration"]) - 2.0) < 0.01, "the file lasts 2 s (%s)" % probe["format"]["duration"])
with open(video, "rb") as f:
    head = f.read(64)
check(b"moov" in head and (b"mdat" not in head or head.find(b"moov") < head.find(b"mdat")),
      "the index comes before the media data (faststart)")

# Frame K against what --at renders for its time and for its neighbours'.
times = [FROM + (K + d) / FPS for d in (-1, 0, 1)]
pngs = os.path.join(work, "at")
at = run([CAPTURE, "--at"] + ["%.6f" % t for t in times] + ["--out", pngs], timeout=300)
stills = [np.asarray(Image.open(os.path.join(pngs, "frame-%05d.png" % round(t * 1000))).convert("RGB"))
          for t in times]
frame = subprocess.run(["ffmpeg", "-v", "error", "-i", video, "-vf", "select=eq(n\\,%d)" % K, "-frames:v", "1",
                        "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True, check=True).stdout
frame = np.frombuffer(frame, dtype=np.uint8).reshape(720, 1280, 3)
scores = [psnr(frame, s) for s in stills]
check(at.returncode == 0 and scores[1] >= 35 and scores[1] > max(scores[0], scores[2]),
      "frame %d is the --at frame of %.4f s: %.1f dB, its neighbours' %.1f and %.1f dB" %
      (K, times[1], scores[1], scores[0], scores[2]))
Image.fromarray(frame).save(os.path.join(work, "frame.png"))

# The sound against the music as the player's decoder gives it.
music = pcm(["mpg123", "-q", "-m", "-s", MUSIC])


def sound_of(path, start_time):
    """The video's sound, and its lag in seconds against the music from start_time."""
    sound = pcm(["ffmpeg", "-v", "error", "-i", path, "-ac", "1", "-ar", str(RATE), "-f", "s16le", "-"])
    reach, start = int(0.1 * RATE), int(round(start_time * RATE))
    near = music[start - reach:start + len(sound) + reach]
    return sound, (np.argmax(np.correlate(near, sound, "valid")) - reach) / RATE


sound, lag = sound_of(video, FROM)
# A decoder may give the last AAC frame whole: up to 1024 samples at 48 kHz.
check(0 <= len(sound) - 2 * RATE <= 1024 and abs(lag) <= 0.002,
      "the sound is the music from %g s: %.1f ms lag, %.3f s long" % (FROM, lag * 1000, len(sound) / RATE))

# At 1920x1080 the frames are native 1080p renders, not 720p ones scaled.
hd = os.path.join(work, "hd.mp4")
result = export(hd, "--fps", "10", "--from", "30", "--to", "30.5", "--size", "1920x1080")
at = run([CAPTURE, "--at", "30.2", "--size", "1920x1080", "--out", pngs], timeout=300)
if check(result.returncode == 0 and at.returncode == 0, "a 1920x1080 export and frame (%r)" % result.stderr[-300:]):
    frame = subprocess.run(["ffmpeg", "-v", "error", "-i", hd, "-vf", "select=eq(n\\,2)", "-frames:v", "1",
                            "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True, check=True).stdout
    score = psnr(np.frombuffer(frame, dtype=np.uint8).reshape(1080, 1920, 3),
                 np.asarray(Image.open(os.path.join(pngs, "frame-30200.png")).convert("RGB")))
    check(score >= 35, "its frames are the 1080p renders of --at --size 1920x1080 (%.1f dB)" % score)

# A lossless master of the music in place of the MP3, at master quality: in
# step with the music, and a frame closer to --at's than the standard one.
master = os.path.join(work, "master.wav")
subprocess.run(["ffmpeg", "-v", "error", "-i", MUSIC, master], check=True, timeout=60)
mastered = os.path.join(work, "master.mp4")
result = export(mastered, "--fps", str(FPS), "--from", str(FROM), "--to", "31", "--audio", master,
             "--quality", "master")
if check(result.returncode == 0, "an export with --audio and --quality master (%r)" % result.stderr[-300:]):
    sound, lag = sound_of(mastered, FROM)
    check(abs(lag) <= 0.0005, "its sound is the master, in step with the music (%.2f ms lag)" % (lag * 1000))
    frame = subprocess.run(["ffmpeg", "-v", "error", "-i", mastered, "-vf", "select=eq(n\\,%d)" % K,
                            "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                           capture_output=True, check=True).stdout
    master_score = psnr(np.frombuffer(frame, dtype=np.uint8).reshape(720, 1280, 3), stills[1])
    check(master_score > scores[1] + 3, "master quality: frame %d within %.1f dB of --at's (standard %.1f dB)"
          % (K, master_score, scores[1]))

# Failures: a clear line, the status, nothing left in the directory.
empty = tempfile.mkdtemp(prefix="velvoria-video-fail-", dir=work)
result = export(os.path.join(empty, "x.mp4"), "--to", "1", env=dict(os.environ, PATH="/nonexistent"))
lines = result.stderr.strip().splitlines()
check(result.returncode == 1 and len(lines) == 1 and "ffmpeg" in lines[0] and "install" in lines[0]
      and not os.listdir(empty), "without ffmpeg on the PATH: one line, status 1, nothing written (%r)" % lines)

blocker = os.path.join(empty, "file")
open(blocker, "w").close()
result = export(os.path.join(blocker, "x.mp4"), "--to", "1")
lines = result.stderr.strip().splitlines()
check(result.returncode == 1 and lines and "Not a directory" in lines[-1] and os.listdir(empty) == ["file"],
      "an unwritable output: ffmpeg's error line, status 1 (%r)" % lines[-1:])
check(lines[-1:] == ["velvoria-capture: %s: Not a directory" % os.path.join(blocker, "x.mp4")],
      "the line names the file asked for, not its temporary name")
os.remove(blocker)


stage = Stage(CAPTURE, leave_out={"Blur.frag"})
try:
    result = run([stage.program, "--video", os.path.join(empty, "x.mp4")], timeout=120)
    check(result.returncode == 1 and result.stderr.strip() == message_for("Blur.frag") and not os.listdir(empty),
          "a missing data file: the program's own message, status 1, nothing written (%r)" % result.stderr.strip())
finally:
    stage.remove()

# A master that is not this music: a second short, shifted, or another sound.
cut, late = os.path.join(work, "cut.wav"), os.path.join(work, "late.wav")
subprocess.run(["ffmpeg", "-v", "error", "-i", master, "-af", "atrim=start=1", cut], check=True, timeout=60)
subprocess.run(["ffmpeg", "-v", "error", "-i", master, "-af", "adelay=30|30", late], check=True, timeout=60)
for wrong, why in ((cut, "lasts"), (late, "late"), (MUSIC.replace(".mp3", "x.flac"), "cannot decode")):
    result = export(os.path.join(empty, "x.mp4"), "--to", "1", "--audio", wrong)
    lines = result.stderr.strip().splitlines()
    check(result.returncode == 2 and len(lines) == 1 and "not this production's music" in lines[0] and why in lines[0]
          and not os.listdir(empty), "a wrong master is refused: one line, status 2, nothing written (%r)" % lines)

bad = [["--fps", "0"], ["--from", "50", "--to", "10"], ["--size", "12"], ["--to", "65"], ["--at", "3"],
       ["--quality", "best"], ["--audio"], ["--size", "1281x721"], ["--size", "1280x800"], ["--size", "320x180"],
       ["--size", "3840x2160", "--supersample", "3"], ["--supersample", "5"]]
runs = [export(os.path.join(empty, "bad.mp4"), *args) for args in bad]
check(all(r.returncode == 2 and r.stderr.startswith("usage:") for r in runs) and not os.listdir(empty),
      "bad arguments get the usage and status 2 (%s)" % [r.returncode for r in runs])

# SIGTERM while it works: the unfinished file goes.
target = os.path.join(empty, "cut.mp4")
process = start([CAPTURE, "--video", target])
deadline = time.time() + bound(120)
while time.time() < deadline and not os.listdir(empty):
    time.sleep(0.1)
started = bool(os.listdir(empty))
time.sleep(1)
os.kill(process.pid, signal.SIGTERM)
try:
    status = process.process.wait(timeout=bound(60))
except subprocess.TimeoutExpired:
    status = None
process.end()
check(started and status == -signal.SIGTERM and not os.listdir(empty),
      "SIGTERM ends an export and removes its unfinished file (%s)" % status)

if counts["failed"]:
    print("kept for a look: %s" % work)
else:
    shutil.rmtree(work, ignore_errors=True)
finish()
