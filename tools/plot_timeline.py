#!/usr/bin/python3
"""plot_timeline: draws Velvoria's timeline into one picture (tools/timeline.png).

    plot_timeline.py [--timeline tools/timeline.txt] [--music Data/...mp3] [-o tools/timeline.png]

One lane per sync track over the 64 seconds, evaluated exactly as the demo
evaluates it, under bar lines, bar numbers, the sections of the music and the
music's waveform (decoded with mpg123; the lane is left out, with a notice,
while the music file does not exist).  Run from the repository root.
"""

import argparse
import os
import subprocess
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFont

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trackc  # noqa: E402

DURATION = 64.0           # the demo stops here
SHOWN = 65.0              # seconds across the picture (the audio runs ~64.5 s)
MUSIC = "Data/zandol_and_Pemrix-Vorth_Speaks.mp3"
SAMPLE_RATE = 44100

SECTIONS = [  # (first bar, end bar, label, colour)
    (0, 4, "INTRO", (70, 80, 120)),
    (4, 11, "BEAT ENTRY", (60, 110, 90)),
    (11, 12, "BUILD", (150, 120, 50)),
    (12, 20, "DROP", (160, 60, 60)),
    (20, 24, "BREAKDOWN", (90, 70, 130)),
    (24, 28, "FINALE", (170, 80, 50)),
    (28, 29.33, "END", (80, 80, 80)),
]

W = 2300
LABEL_W = 200
X0, X1 = LABEL_W + 10, W - 20
LANE_H, LANE_GAP = 46, 6
HEADER_H = 86
WAVE_H = 90
FOOTER_H = 44

BG = (22, 24, 30)
LANE_BG = (34, 37, 46)
GRID = (58, 62, 74)
GRID_STRONG = (105, 110, 125)
TEXT = (225, 228, 235)
DIM = (150, 155, 168)

CURVE_COLOURS = {
    "Camera Bitch": (120, 200, 255), "Part": (255, 200, 90),
    "Rad Shit": (140, 230, 160), "Rad Shit Time": (140, 230, 160), "BOOM": (255, 110, 90),
    "Distortion": (230, 130, 230), "Distortion2": (230, 130, 230),
    "Flash": (255, 255, 200), "Invert": (200, 200, 255),
    "Bloom Dry": (255, 220, 150), "Bloom Wet": (150, 210, 255),
}
FADE_COLOUR = (190, 240, 140)

SHOT_NAMES = {1: "1", 2: "2", 3: "3", 4: "4", 5: "5", 6: "6"}
PART_NAMES = {0: "cloud", 1: "cluster"}


def font(size, bold=False):
    name = "DejaVuSans-Bold.ttf" if bold else "DejaVuSans.ttf"
    for d in ("/usr/share/fonts/truetype/dejavu",):
        p = os.path.join(d, name)
        if os.path.exists(p):
            return ImageFont.truetype(p, size)
    return ImageFont.load_default()


def x_of_time(t):
    return X0 + (X1 - X0) * t / SHOWN


def x_of_row(row):
    return x_of_time(row / trackc.ROWS_PER_SECOND)


def decode_music(path):
    """Mono float samples of the music, or None (with the reason) if it cannot be had."""
    if not os.path.exists(path):
        return None, "%s does not exist yet" % path
    try:
        raw = subprocess.run(["mpg123", "-q", "-m", "-r", str(SAMPLE_RATE), "-s", path],
                             check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        return None, "cannot decode %s with mpg123: %s" % (path, e)
    return np.frombuffer(raw[: len(raw) // 2 * 2], dtype="<i2").astype(np.float32) / 32768.0, None


def draw_grid(d, top, bottom, f_small):
    for bar in range(0, 30):
        t = bar * trackc.ROWS_PER_BAR / trackc.ROWS_PER_SECOND
        if t > SHOWN:
            break
        x = x_of_time(t)
        strong = any(bar == s[0] for s in SECTIONS)
        d.line([(x, top), (x, bottom)], fill=GRID_STRONG if strong else GRID, width=2 if strong else 1)
    xe = x_of_time(DURATION)
    d.line([(xe, top), (xe, bottom)], fill=(220, 70, 70), width=2)


def draw_header(d, f_title, f_label, f_small, music_note):
    d.text((14, 8), "Velvoria", font=f_title, fill=TEXT)
    d.text((14, 36), "timeline, bars from 0", font=f_small, fill=DIM)
    d.text((14, 52), "110 BPM, 32 rows a bar", font=f_small, fill=DIM)
    d.text((14, 68), music_note, font=f_small, fill=DIM)
    band_top, band_bot = 12, 40
    for first, end, label, colour in SECTIONS:
        xa = x_of_row(first * trackc.ROWS_PER_BAR)
        xb = min(x_of_row(end * trackc.ROWS_PER_BAR), x_of_time(DURATION))
        d.rectangle([xa + 1, band_top, xb - 1, band_bot], fill=colour)
        tw = d.textlength(label, font=f_label)
        if tw < xb - xa - 4:
            d.text(((xa + xb - tw) / 2, band_top + 5), label, font=f_label, fill=TEXT)
    for bar in range(0, 30):
        x = x_of_row(bar * trackc.ROWS_PER_BAR)
        if x > X1:
            break
        d.text((x + 3, 50), str(bar), font=f_small, fill=TEXT)
        for beat in range(1, 4):
            xb = x_of_row(bar * trackc.ROWS_PER_BAR + beat * trackc.ROWS_PER_BEAT)
            d.line([(xb, 76), (xb, 82)], fill=DIM)
        d.line([(x, 66), (x, 82)], fill=TEXT)
    xe = x_of_time(DURATION)
    d.text((xe + 3, 62), "64 s", font=f_small, fill=(230, 90, 90))


def draw_wave(d, samples, top, f_label, f_small):
    d.rectangle([X0, top, X1, top + WAVE_H], fill=LANE_BG)
    d.text((14, top + WAVE_H / 2 - 9), "music", font=f_label, fill=TEXT)
    d.text((14, top + WAVE_H / 2 + 10), "%.1f s" % (len(samples) / SAMPLE_RATE), font=f_small, fill=DIM)
    mid = top + WAVE_H / 2
    half = WAVE_H / 2 - 3
    peak = max(1e-6, float(np.max(np.abs(samples))))
    for x in range(X0, X1):
        a = int((x - X0) / (X1 - X0) * SHOWN * SAMPLE_RATE)
        b = int((x + 1 - X0) / (X1 - X0) * SHOWN * SAMPLE_RATE)
        chunk = samples[a:b]
        if len(chunk) == 0:
            continue
        lo, hi = float(chunk.min()) / peak, float(chunk.max()) / peak
        rms = float(np.sqrt(np.mean(chunk * chunk))) / peak
        d.line([(x, mid - hi * half), (x, mid - lo * half)], fill=(90, 130, 170))
        d.line([(x, mid - rms * half), (x, mid + rms * half)], fill=(160, 205, 240))


def draw_lane(d, name, keys, top, f_label, f_small, unused=None):
    """unused(row) -> True where the demo does not read this track."""
    d.rectangle([X0, top, X1, top + LANE_H], fill=LANE_BG)
    colour = CURVE_COLOURS.get(name, FADE_COLOUR)
    values = [v for _, v, _ in keys]
    lo, hi = min(0.0, min(values)), max(0.0, max(values))
    if hi == lo:
        hi = lo + 1.0
    d.text((14, top + 4), name, font=f_label, fill=TEXT)
    d.text((14, top + 25), "%.3g .. %.3g" % (lo, hi), font=f_small, fill=DIM)

    pad = 4
    def y_of(v):
        return top + LANE_H - pad - (v - lo) / (hi - lo) * (LANE_H - 2 * pad)

    y0 = y_of(0.0)
    if lo < 0.0 < hi:
        d.line([(X0, y0), (X1, y0)], fill=GRID_STRONG)
    # four samples a pixel, plus both sides of every key so steps stay sharp
    rows = list(np.linspace(0.0, trackc.row_of_time(SHOWN), (X1 - X0) * 4))
    for r, _, _ in keys:
        rows += [r - 1e-6, float(r)]
    rows.sort()
    pts = [(x_of_row(r), y_of(trackc.value_at_row(keys, r))) for r in rows if 0.0 <= r <= trackc.row_of_time(SHOWN)]
    dim = tuple(c // 3 for c in colour)
    idle = [unused is not None and unused(r) for r in rows if 0.0 <= r <= trackc.row_of_time(SHOWN)]
    for (x, y), off in list(zip(pts, idle))[::2]:
        if not off:
            d.line([(x, y0), (x, y)], fill=dim)
    for k in range(len(pts) - 1):
        d.line([pts[k], pts[k + 1]], fill=GRID_STRONG if idle[k] else colour, width=2)
    for r, v, _ in keys:
        x = x_of_row(r)
        if X0 <= x <= X1:
            y = y_of(v)
            d.rectangle([x - 1.5, y - 1.5, x + 1.5, y + 1.5], fill=TEXT)

    names = SHOT_NAMES if name == "Camera Bitch" else PART_NAMES if name == "Part" else None
    if names is not None:  # name each held segment
        for k, (r, v, _) in enumerate(keys):
            end = keys[k + 1][0] if k + 1 < len(keys) else trackc.row_of_time(SHOWN)
            label = names.get(int(v), "default" if name == "Camera Bitch" else "frozen")
            xa, xb = x_of_row(r), x_of_row(end)
            if d.textlength(label, font=f_small) < xb - xa - 6:
                d.text((xa + 4, top + 3), label, font=f_small, fill=TEXT)


def render(tracks, samples, music_note, out):
    lanes = [n for n in trackc.TRACK_NAMES if n in tracks]
    wave_top = HEADER_H + 6
    lanes_top = wave_top + (WAVE_H + LANE_GAP if samples is not None else 0)
    height = lanes_top + len(lanes) * (LANE_H + LANE_GAP) + FOOTER_H
    img = Image.new("RGB", (W, height), BG)
    d = ImageDraw.Draw(img)
    f_title, f_label, f_small = font(22, True), font(14, True), font(12)

    draw_header(d, f_title, f_label, f_small, music_note)
    if samples is not None:
        draw_wave(d, samples, wave_top, f_label, f_small)
    part = tracks.get("Part", [])
    def cloud_off(row):  # the wave tracks are read only while "Part" says cloud
        return int(trackc.value_at_row(part, row)) != 0
    for i, name in enumerate(lanes):
        unused = cloud_off if name in ("Rad Shit", "Rad Shit Time") else None
        draw_lane(d, name, tracks[name], lanes_top + i * (LANE_H + LANE_GAP), f_label, f_small, unused)
    bottom = height - FOOTER_H
    draw_grid(d, HEADER_H, bottom, f_small)
    for s in range(0, int(SHOWN) + 1, 2):
        x = x_of_time(s)
        d.line([(x, bottom), (x, bottom + 6)], fill=TEXT)
        d.text((x - 6, bottom + 8), "%d" % s, font=f_small, fill=TEXT)
    d.text((14, bottom + 8), "seconds", font=f_small, fill=DIM)
    img.save(out)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--timeline", default="tools/timeline.txt")
    ap.add_argument("--music", default=MUSIC)
    ap.add_argument("-o", "--output", default="tools/timeline.png")
    a = ap.parse_args(argv[1:])
    try:
        tracks = trackc.load_timeline(a.timeline)
    except (trackc.TimelineError, OSError) as e:
        sys.stderr.write("plot_timeline: %s\n" % e)
        return 2
    samples, why = decode_music(a.music)
    if samples is None:
        print("plot_timeline: no waveform lane: %s (run again once it exists)" % why)
        note = "no music yet"
    else:
        note = "waveform: %.1f s of music" % (len(samples) / SAMPLE_RATE)
    render(tracks, samples, note, a.output)
    print("plot_timeline: wrote %s" % a.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
