#!/usr/bin/python3
"""Hostile cases: damaged or odd data files. Each case puts one file of its
own in place of one in Data/ (beside a copy of the program, see Stage) and
renders the frame at 5 s with the capture tool, which loads every shader,
image and track as the demo does; the music files are tried with the demo
itself under X (DISPLAY, started by the caller). Where the program has a fixed
message for a missing or broken file it must stand as it is; elsewhere
the message must name the file. The track inspector gets the bad tracks too.

usage: VELVORIA_BUILD=build tests/hostile/data.py
"""
import io
import os
import struct
import subprocess
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import hostile  # noqa: E402
from common import DATA, Stage, track_bytes  # noqa: E402
from PIL import Image  # noqa: E402

SYNCTRACK = os.path.abspath(os.path.join(hostile.BUILD, "synctrack"))
OFFSCREEN = dict(os.environ, SDL_VIDEODRIVER="offscreen", SDL_AUDIODRIVER="dummy")


def data_file(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


def frame_pixels(path):
    with Image.open(path) as image:
        return image.convert("RGB").tobytes()


def capture(name, files, expect, check=None, timeout=120):
    """The frame at 5 s with files (name -> bytes) in Data/."""
    stage = Stage(hostile.CAPTURE, leave_out=list(files))
    for file_name, content in files.items():
        with open(os.path.join(stage.dir, "Data", file_name), "wb") as f:
            f.write(content)
    out = hostile.scratch()
    try:
        return hostile.run(name, [stage.program, "--at", "5", "--out", "."], expect=expect, cwd=out,
                           env=OFFSCREEN, check=check and (lambda r, left: check(r, left, out)), timeout=timeout)
    finally:
        stage.remove()


def png(width, height, mode="RGB"):
    buffer = io.BytesIO()
    colour = 0 if mode in ("L", "I;16") else (200, 40, 90) if mode == "RGB" else (20, 40, 60, 0)
    Image.new(mode, (width, height), colour).save(buffer, "PNG")
    return buffer.getvalue()


def png_declaring(width, height):
    """A small PNG whose header declares this size; its data is one row."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 64)) +
            chunk(b"IEND", b""))


def big_png(side):
    """A grey PNG of side x side pixels that is small on disk."""
    row = b"\0" + b"\x80" * side
    packer = zlib.compressobj(9)
    body = b"".join(packer.compress(row) for _ in range(side)) + packer.flush()
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 0, 0, 0, 0)) +
            chunk(b"IDAT", body) + chunk(b"IEND", b""))


# The frame of the unchanged data, for the cases that must look the same.
reference = {}


def same_frame(r, left, out):
    got = os.path.join(out, "frame-05000.png")
    if not os.path.exists(got):
        return "no frame written"
    if frame_pixels(got) != reference["frame"]:
        return "the frame differs from the one of the unchanged data"
    return ""


def a_frame(r, left, out):
    return "" if left == ["frame-05000.png"] else "no frame written"


def says(*words):
    """The output holds every word (the program's fixed message, the file's name)."""
    def check(r, left, out):
        text = r.stdout + r.stderr
        missing = [w for w in words if w not in text]
        return ("does not say %s" % ", ".join(repr(w) for w in missing)) if missing else ""
    return check


def first_line_is(line, *words):
    def check(r, left, out):
        first = hostile.first_line(r.stderr) or hostile.first_line(r.stdout)
        if not first.startswith(line):
            return "the first line is not %r" % line
        return says(*words)(r, left, out)
    return check


out = hostile.scratch()
subprocess.run([hostile.CAPTURE, "--at", "5", "--out", out], env=OFFSCREEN, capture_output=True, timeout=120)
reference["frame"] = frame_pixels(os.path.join(out, "frame-05000.png"))

# Shaders: the first one loaded, and one loaded later.
perk = data_file("PerkProc.frag")
capture("shader with a UTF-8 byte-order mark", {"PerkProc.frag": b"\xef\xbb\xbf" + perk}, "any",
        lambda r, left, out: same_frame(r, left, out) if r.returncode == 0 else
        first_line_is("Shader compile failed:")(r, left, out))
capture("shader with CRLF line ends", {"PerkProc.frag": perk.replace(b"\n", b"\r\n")}, "ok", same_frame)
middle = perk.index(b"void main")
# The text ends at the NUL: here the shader loses its main and the program
# cannot link, with its usual message.
usual_shader_failure = lambda r, left, out: "" if hostile.first_line(r.stderr).startswith(
    ("Shader compile failed:", "Program link failed:")) else "not the usual compile or link message"
capture("shader with a NUL byte inside", {"PerkProc.frag": perk[:middle] + b"\0" + perk[middle:]}, "refused",
        usual_shader_failure)
capture("shader 10 MB long (a comment after the code)",
        {"Blur.frag": data_file("Blur.frag") + (b"// " + b"x" * 1020 + b"\n") * 10240}, "ok", same_frame)
capture("empty shader", {"Mix.frag": b""}, "refused", usual_shader_failure)

# Images: a credit image, the bokeh texture and the cube cross.
capture("image declaring 65535x65535 in its header", {"tuvek.png": png_declaring(65535, 65535)}, "refused",
        says("Data/tuvek.png"), timeout=60)
capture("image of 20000x20000 pixels (a 1 MB PNG)", {"tuvek.png": big_png(20000)}, "refused",
        says("Data/tuvek.png"), timeout=120)
capture("1x1 image", {"tuvek.png": png(1, 1, "RGBA")}, "ok", a_frame)
capture("16-bit PNG", {"tuvek.png": png(64, 36, "I;16")}, "ok", a_frame)
capture("greyscale PNG", {"tuvek.png": png(64, 36, "L")}, "ok", a_frame)
with Image.open(os.path.join(DATA, "bokehfuckyou.jpg")) as bokeh:
    cmyk, progressive = io.BytesIO(), io.BytesIO()
    bokeh.convert("CMYK").save(cmyk, "JPEG", quality=90)
    bokeh.save(progressive, "JPEG", quality=90, progressive=True)
# stb_image reads no CMYK JPEG: the usual message for an undecodable image.
capture("CMYK JPEG", {"bokehfuckyou.jpg": cmyk.getvalue()}, "any",
        lambda r, left, out: a_frame(r, left, out) if r.returncode == 0 else
        first_line_is('Could not load texture "Data/bokehfuckyou.jpg"')(r, left, out))
capture("progressive JPEG", {"bokehfuckyou.jpg": progressive.getvalue()}, "ok", a_frame)
capture("cube cross 3 px wide (3x4: faces of one pixel)", {"blurry.jpg": png(3, 4)}, "ok", a_frame)
# The usual message stands; the file and the faces are named beside it.
capture("cube cross 3 px wide (3x1024: faces of 1x256)", {"blurry.jpg": png(3, 1024)}, "refused",
        says("GL error has occurred: invalid value", "Data/blurry.jpg", "1 x 256"))
capture("cube cross of the wrong shape (1024x1024)", {"blurry.jpg": png(1024, 1024)}, "refused",
        says("GL error has occurred: invalid value", "Data/blurry.jpg", "341 x 256"))

# Tracks: what the reader does with them is the reader's usual one (the keys
# the file holds, the rows as they stand); the inspector says what is odd.
keys = [(0, 0.0, 1), (100, 1.0, 1), (200, 0.5, 0)]
bad_tracks = {
    "track declaring 2^31 keys (a negative count)": struct.pack("<I", 2 ** 31) + track_bytes(keys)[4:],
    "track declaring 2^31-1 keys, holding 3": struct.pack("<i", 2 ** 31 - 1) + track_bytes(keys)[4:],
    "track with keys out of order": track_bytes([keys[2], keys[0], keys[1]]),
    "track with duplicate rows": track_bytes([keys[0], (100, 1.0, 1), (100, 5.0, 1), keys[2]]),
}
for label, content in bad_tracks.items():
    started = time.time()
    capture(label, {"_Flash.track": content}, "ok",
            lambda r, left, out: a_frame(r, left, out) or ("%.0f s" % (time.time() - started)
                                                             if time.time() - started > 60 else ""))
    path = os.path.join(hostile.scratch(), "_Flash.track")
    with open(path, "wb") as f:
        f.write(content)
    hostile.run("synctrack keys: " + label, [SYNCTRACK, "keys", path], "ok",
                check=lambda r, left: "" if r.stderr.startswith("synctrack: " + path) else
                "nothing said about the file")
hostile.run("synctrack keys /nonexistent", [SYNCTRACK, "keys", "/nonexistent"], "refused",
            check=lambda r, left: "" if "/nonexistent" in r.stderr else "the path is not named")
hostile.run("synctrack eval on a directory", [SYNCTRACK, "eval", "/", "0"], "refused",
            check=lambda r, left: "" if r.returncode == 1 and not r.stdout else "a value for a directory")

# The music: the demo plays on (on the wall clock, as without music) and
# ends on Escape; nothing it says may be a crash.
MUSIC = "zandol_and_Pemrix-Vorth_Speaks.mp3"


def music_case(label, content):
    stage = Stage(hostile.DEMO, leave_out=[MUSIC])
    with open(os.path.join(stage.dir, "Data", MUSIC), "wb") as f:
        f.write(content)
    # Escape after a few seconds of play: a process that has already ended
    # (crashed, refused) shows in its own status.
    script = ('"$0" --windowed & pid=$!; sleep 6; '
              'xdotool search --sync --onlyvisible --pid $pid --name "Orvanth - Velvoria" key Escape >/dev/null 2>&1; '
              'wait $pid')
    hostile.run(label, ["/bin/sh", "-c", script, stage.program], "ok", cwd=hostile.scratch(),
                env=dict(os.environ, SDL_AUDIODRIVER="dummy"), timeout=90)
    stage.remove()


if os.environ.get("DISPLAY"):
    mp3 = data_file(MUSIC)
    wav = io.BytesIO()
    import wave
    with wave.open(wav, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(44100)
        w.writeframes(b"\0\0" * 2 * 44100 * 3)
    music_case("the MP3 replaced by a WAV", wav.getvalue())
    music_case("a truncated MP3 (its first 100 kB)", mp3[:100000])
    low = subprocess.run(["sh", "-c", "ffmpeg -v error -i \"$0\" -t 20 -ar 8000 -ac 1 -f mp3 -",
                          os.path.join(DATA, MUSIC)], capture_output=True, timeout=120).stdout
    if low:
        music_case("an 8 kHz mono MP3", low)
    music_case("an empty music file", b"")
else:
    print("hostile: data.py: no DISPLAY: the music cases need an X server")
hostile.finish()
