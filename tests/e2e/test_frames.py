#!/usr/bin/python3
"""Frames rendered by velvoria-capture at chosen times, checked for what a
watcher would see: the sky where there are no spheres, lit spheres, a credit
when its fade track is up and none when it is 0, and distinct, finished
frames along the real timeline, borders and flashes of the final pass, an
even scanline jitter, frames rendered at other sizes and supersampled, and
frames that depend on their time alone. Any GL
error after a frame would end the capture with status 1.

usage: test_frames.py PATH/TO/velvoria-capture
"""
import os
import resource
import shutil
import sys
import tempfile

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import DATA, Stage, check, finish, run  # noqa: E402

CAPTURE = os.path.abspath(sys.argv[1])


def capture(program, times, cwd=None, span=None, extra=()):
    """The frames at these times; with span (from, to, fps), rendered as
    that sequence, and all of it when no times are given. extra: more
    arguments (a size, a supersampling)."""
    out = tempfile.mkdtemp(prefix="velvoria-frames-")
    which = ["--from", "%g" % span[0], "--to", "%g" % span[1], "--fps", "%g" % span[2]] if span else \
        ["--at"] + ["%g" % t for t in times]
    result = run([program] + which + list(extra) + ["--out", out], timeout=300, cwd=cwd)
    if result.returncode != 0:
        print(result.stdout, result.stderr)
        shutil.rmtree(out, ignore_errors=True)
        return None
    names = ["frame-%05d.png" % round(t * 1000) for t in times] or sorted(os.listdir(out))
    frames = [np.asarray(Image.open(os.path.join(out, n)).convert("RGB"), dtype=np.float32) / 255.0 for n in names]
    shutil.rmtree(out, ignore_errors=True)
    return frames


def staged_frame(tracks):
    stage = Stage(CAPTURE, tracks=tracks, keep_real_tracks=False)
    try:
        frames = capture(stage.program, [10.0])
        return frames[0] if frames else None
    finally:
        stage.remove()


# A calm scene: the default shot at t = 10, sharp image only, no effects.
calm = {"Camera Bitch": 0, "Part": 1, "Bloom Dry": 1.0, "Bloom Wet": 0.0}
spheres = staged_frame(calm)
sky = staged_frame(dict(calm, BOOM=-20.0))  # every drawn radius below zero
credit = staged_frame(dict(calm, **{"Velvoria Fade": 1.0}))
half = staged_frame(dict(calm, **{"Velvoria Fade": 0.5}))
if not check(all(f is not None for f in (spheres, sky, credit, half)), "captures ran without a GL error"):
    finish()

luma = lambda f: f @ np.array([0.2126, 0.7152, 0.0722], dtype=np.float32)
changed = np.abs(spheres - sky).max(axis=2) > 0.08
check(luma(sky).mean() > 0.05 and luma(sky).min() > 0.01, "without spheres the sky fills the frame")
check(np.ptp(luma(sky)) > 0.05, "the sky has a gradient, not one flat colour")
corners = [(slice(0, 60), slice(0, 60)), (slice(0, 60), slice(-60, None)),
           (slice(-60, None), slice(0, 60)), (slice(-60, None), slice(-60, None))]
check(sum(np.abs(spheres[c] - sky[c]).max() < 0.02 for c in corners) >= 3,
      "the sky shows unchanged around the spheres")
check(0.03 < changed.mean() < 0.8, "spheres cover part of the frame (%.1f %%)" % (100 * changed.mean()))
centre = changed[260:460, 440:840]
check(centre.mean() > 0.3, "the cluster stands in the middle of the frame")
lit = luma(spheres)[changed]
check(lit.std() > 0.04 and np.percentile(lit, 95) > 0.25,
      "sphere pixels are lit: bright highlights and shading (std %.3f, p95 %.2f)" % (lit.std(), np.percentile(lit, 95)))

alpha = np.asarray(Image.open(os.path.join(DATA, "velvoria.png")).convert("RGBA"))[:, :, 3] / 255.0
inside, outside = alpha > 0.95, alpha == 0
full_diff = np.abs(credit - spheres).max(axis=2)
check(full_diff[inside].mean() > 0.15, "a credit at fade 1 shows where its image is opaque")
check(full_diff[outside].max() < 0.02, "and leaves the frame alone where its image is clear")
check(np.abs(half - spheres).max(axis=2)[inside].mean() < 0.75 * full_diff[inside].mean(),
      "at fade 0.5 the credit shows about half as strongly")
# Row 0 of the image is the top of the screen: the change matches the image,
# not the image upside down.
shown = full_diff > 0.1
iou = lambda a, b: (a & b).sum() / max((a | b).sum(), 1)
upright, flipped = iou(shown, alpha > 0.5), iou(shown, np.flipud(alpha) > 0.5)
check(upright > 0.5 and upright > flipped + 0.2,
      "the credit is drawn the right way up (overlap %.2f, upside down %.2f)" % (upright, flipped))

# The eye inside spheres: in the opening cloud (spheres up to 16 from the middle,
# the default shot's eye about 14 from it) half the radii grown by 10 put the
# eye inside several of them, and every one of those is cut by the near plane.
# Their inside walls fill the frame, lit: no sky shows past the quads' bounds,
# and no wall goes black (a sphere seen from within hides no sky).
inside = staged_frame(dict(calm, Part=0, BOOM=10.0))
if check(inside is not None, "a camera inside a sphere renders without a GL error"):
    walls = np.abs(inside - sky).max(axis=2) > 0.08
    dark = (luma(inside) < 0.03).mean()
    check(walls.mean() > 0.75, "inside a sphere its walls cover the frame (%.1f %%)" % (100 * walls.mean()))
    check(dark < 0.01 and luma(inside).std() > 0.03,
          "the inside walls are lit and shaded (%.1f %% black, std %.3f)" % (100 * dark, luma(inside).std()))

# The real production at five moments.
times = [5, 15, 30, 45, 60]
frames = capture(CAPTURE, times)
check(frames is not None, "the real timeline renders at %s s" % times)
if frames:
    for t, f in zip(times, frames):
        check(luma(f).mean() > 0.04, "frame at %g s is not black (mean %.3f)" % (t, luma(f).mean()))
    distinct = all(np.abs(frames[i] - frames[j]).mean() > 0.01
                   for i in range(len(times)) for j in range(i + 1, len(times)))
    check(distinct, "the five frames are distinct")

# The final pass's look.
# Borders while the picture is distorted: a read past an edge stays inside the
# picture, so no piece of the opposite edge shows. Seen from each border, the
# outer 2-pixel line against the next two inward: a foreign strip is a jump
# that the lines inside do not continue.
def foreign_strips(f):
    out = []
    for lines in (f.transpose(1, 0, 2), f.transpose(1, 0, 2)[::-1], f, f[::-1]):  # left, right, top, bottom
        l0, l1, l2 = (lines[k:k + 2].mean(axis=0) for k in (0, 2, 4))
        out.append(float((np.abs((l0 - l1) - (l1 - l2)).max(axis=-1) > 45 / 255).mean()))
    return out


looks = [25.0, 49.1, 51.8, 52.35, 8.733, 26.167, 26.183, 34.917, 52.367, 61.1]
shown = dict(zip(looks, capture(CAPTURE, looks) or []))
if check(len(shown) == len(looks), "the distorted and flashed frames render"):
    for t in looks[:4]:
        strips = foreign_strips(shown[t])
        check(max(strips) < 0.06, "at %g s no border shows the opposite edge (%s)" % (t, " ".join("%.3f" % v for v in strips)))
    mean = {t: float(luma(shown[t]).mean()) * 255 for t in looks[4:]}
    spread = lambda f: float(np.percentile(luma(f), 99) - np.percentile(luma(f), 1)) * 255
    check(spread(shown[52.367]) > 30, "a full flash keeps its shapes: luma spread %.0f at 52.367 s" % spread(shown[52.367]))
    # At the brightest frame of each full flash the spheres and the sky stay
    # readable outside the band where a title or the end logo stands (rows
    # 200 to 500): the final hit once washed out to a flat pale white there.
    band_out = np.r_[0:200, 500:720]
    structure = {t: float(luma(shown[t])[band_out].std()) * 255 for t in (26.183, 52.367, 61.1)}
    check(min(structure.values()) >= 6, "every full flash keeps visible structure outside the title band "
          "(luma std %s)" % ", ".join("%.1f at %g s" % (v, t) for t, v in structure.items()))
    full = min(mean[26.183], mean[52.367], mean[61.1])
    check(mean[8.733] < full - 25, "the 0.5 flash (luma %.0f) is clearly below the full ones (%.0f and up)"
          % (mean[8.733], full))
    check(mean[26.183] > mean[26.167] + 18, "the drop rises above the inverted gap before it (%.0f to %.0f)"
          % (mean[26.167], mean[26.183]))

# The scanline jitter steps evenly: 30 times a second, every second frame at
# 60 fps. A calm stage where it is the only thing that jumps between frames.
stage = Stage(CAPTURE, tracks={"Camera Bitch": 0, "Part": 2, "Distortion2": 1.0, "Bloom Dry": 1.0, "Bloom Wet": 0.0},
              keep_real_tracks=False)
try:
    sequence = capture(stage.program, [], span=(10.0, 10.25, 60))
finally:
    stage.remove()
if check(sequence is not None, "a 60 fps jitter sequence renders"):
    change = np.array([np.abs(sequence[k + 1] - sequence[k]).mean() for k in range(len(sequence) - 1)])
    steps = np.flatnonzero(change > (change.min() + change.max()) / 2)
    check(len(steps) >= 6 and set(np.diff(steps)) == {2}, "the jitter steps every second frame (at %s)" % list(steps))

# Other sizes. A 3840x2160 frame is rendered at that size: scaled down it is
# the 1280x720 frame, and it holds finer detail than that frame scaled up.
# Supersampled 2 times, a 1280x720 frame is the 2560x1440 one averaged down.
def reduce(frame, n):
    h, w, c = frame.shape
    return frame.reshape(h // n, n, w // n, n, c).mean(axis=(1, 3))


def detail(frame):
    return float(np.abs(4 * frame[1:-1, 1:-1] - frame[:-2, 1:-1] - frame[2:, 1:-1]
                        - frame[1:-1, :-2] - frame[1:-1, 2:]).mean())


psnr = lambda a, b: 10 * np.log10(1.0 / max(float(((a - b) ** 2).mean()), 1e-12))
sized = {size: capture(CAPTURE, [30.0], extra=extra) for size, extra in
         (("720", ()), ("2160", ("--size", "3840x2160")), ("1440", ("--size", "2560x1440")),
          ("ss2", ("--supersample", "2")))}
if check(None not in sized.values(), "frames at 3840x2160, 2560x1440 and supersampled render"):
    plain, big = sized["720"][0], sized["2160"][0]
    check(big.shape == (2160, 3840, 3), "--size 3840x2160 writes a 3840x2160 frame (%s)" % (big.shape,))
    up = np.asarray(Image.fromarray((plain * 255).astype(np.uint8)).resize((3840, 2160), Image.BICUBIC),
                    dtype=np.float32) / 255.0
    check(psnr(reduce(big, 3), plain) >= 28 and detail(big) > 1.5 * detail(up),
          "scaled down it is the 1280x720 frame (%.1f dB), with finer detail than that frame scaled up "
          "(%.4f against %.4f)" % (psnr(reduce(big, 3), plain), detail(big), detail(up)))
    ss = sized["ss2"][0]
    check(psnr(ss, reduce(sized["1440"][0], 2)) >= 35 and psnr(ss, plain) < 60,
          "--supersample 2 is the 2560x1440 frame averaged down (%.1f dB), not the plain one (%.1f dB)"
          % (psnr(ss, reduce(sized["1440"][0], 2)), psnr(ss, plain)))

# Every frame a function of its time. In the frozen breakdown (43.64 to 48 s)
# with "BOOM" keyed 0.3, the frame at 45 s rendered alone, after 15 frames
# at 30 fps and after 30 at 60 fps is one picture: the frozen placement comes
# from the tracks, not from the frame before, and BOOM is added once.
stage = Stage(CAPTURE, tracks={"BOOM": [(0, 0.0, 0), (650, 0.3, 0)]})
try:
    alone = capture(stage.program, [45.0])
    after = [capture(stage.program, [45.0], span=(44.5, 45.0, fps)) for fps in (30, 60)]
finally:
    stage.remove()
if check(alone is not None and None not in after, "the breakdown renders alone and in sequences"):
    same = [psnr(alone[0], f[0]) for f in after]
    check(min(same) >= 50, "45 s alone, after 30 fps and after 60 fps: the same picture (%s dB)"
          % ", ".join("%.1f" % v for v in same))
    if frames:
        grown = psnr(alone[0], frames[3])
        check(grown < 35, "and BOOM shows in it (%.1f dB from the frame without)" % grown)


# Memory from frame to frame: the software renderer frees and takes again
# megabytes every frame. When they went back to the system, each frame
# faulted them in anew (about 2,400 page faults a frame at 20 s).
def page_faults(times):
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt
    result = run([CAPTURE, "--bench", "--at"] + ["%g" % t for t in times], timeout=300)
    return result.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt - before


one, more = page_faults([20]), page_faults([20] * 5)
per_frame = (more[1] - one[1]) / 24  # six frames a time in the bench
check(one[0] == 0 and more[0] == 0 and per_frame < 500,
      "repeated frames keep their memory (%.0f page faults a frame)" % per_frame)

finish()
