#!/usr/bin/python3
"""Checks of the generated images in Data/ (run from the repository root).

Exits 0 when every check passes; prints each failure otherwise.
"""

import os
import sys
import traceback

import numpy as np
from PIL import Image

DATA = os.environ.get("VELVORIA_DATA", "Data")
CREDITS = ["orvanth1", "tuvek", "zandol", "pemrix", "plenk", "velvoria", "orvanth2", "dravi"]
MEMBERS = ["tuvek", "zandol", "pemrix", "plenk", "dravi"]

# The sky box walls as the frame draws them: (u, v) -> (x, y, z), v = 0 at the top.
SKY = {
    "-z": [(0.3334, 0.5, -1, -1, -1), (0.6666, 0.5, 1, -1, -1), (0.6666, 0.25, 1, 1, -1), (0.3334, 0.25, -1, 1, -1)],
    "+y": [(0.3334, 0.25, -1, 1, -1), (0.6666, 0.25, 1, 1, -1), (0.6666, 0.0, 1, 1, 1), (0.3334, 0.0, -1, 1, 1)],
    "+z": [(0.3334, 1.0, -1, 1, 1), (0.6666, 1.0, 1, 1, 1), (0.6666, 0.75, 1, -1, 1), (0.3334, 0.75, -1, -1, 1)],
    "-y": [(0.3334, 0.75, -1, -1, 1), (0.6666, 0.75, 1, -1, 1), (0.6666, 0.5, 1, -1, -1), (0.3334, 0.5, -1, -1, -1)],
    "+x": [(0.6666, 0.5, 1, -1, -1), (0.98, 0.5, 1, -1, 1), (0.98, 0.25, 1, 1, 1), (0.6666, 0.25, 1, 1, -1)],
    "-x": [(0.02, 0.5, -1, -1, 1), (0.3334, 0.5, -1, -1, -1), (0.3334, 0.25, -1, 1, -1), (0.02, 0.25, -1, 1, 1)],
}


def load(name, mode=None):
    img = Image.open(os.path.join(DATA, name))
    return img if mode is None else img.convert(mode)


def sample(img, u, v):
    """GL_LINEAR, GL_REPEAT lookup of a float image at (u, v)."""
    h, w = img.shape[:2]
    x, y = u * w - 0.5, v * h - 0.5
    x0, y0 = np.floor(x).astype(int), np.floor(y).astype(int)
    fx, fy = (x - x0)[..., None], (y - y0)[..., None]
    at = lambda xi, yi: img[yi % h, xi % w]
    return ((at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy)
            + (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy)


def wall_sample(img, face, p):
    """Colour the sky box shows at points p (n, 3) of a wall (the wall's own
    texture mapping, affine inside the quad)."""
    q = np.array(SKY[face], float)
    p0, e1, e3 = q[0, 2:], q[1, 2:] - q[0, 2:], q[3, 2:] - q[0, 2:]
    s = (p - p0) @ e1 / (e1 @ e1)
    t = (p - p0) @ e3 / (e3 @ e3)
    uv = q[0, :2] + s[:, None] * (q[1, :2] - q[0, :2]) + t[:, None] * (q[3, :2] - q[0, :2])
    return sample(img, uv[:, 0], uv[:, 1])


def cube_edges():
    """The 12 edges of the unit cube as (wall a, wall b, start, end)."""
    walls = {"+x": (0, 1), "-x": (0, -1), "+y": (1, 1), "-y": (1, -1), "+z": (2, 1), "-z": (2, -1)}
    edges = []
    names = list(walls)
    for i, a in enumerate(names):
        for b in names[i + 1:]:
            (ax, asg), (bx, bsg) = walls[a], walls[b]
            if ax == bx:
                continue
            free = 3 - ax - bx
            start, end = np.zeros(3), np.zeros(3)
            start[ax] = end[ax] = asg
            start[bx] = end[bx] = bsg
            start[free], end[free] = -1, 1
            edges.append((a, b, start, end, ax, bx))
    return edges


def seam_differences(img):
    """Per edge: colour difference between the two walls just either side of
    every cube edge, as the sky box displays them (0..1 units)."""
    out = {}
    inset = 1.5 / 256 * 2                      # about 1.5 texels into each wall
    ts = np.linspace(-0.97, 0.97, 200)
    for a, b, start, end, ax, bx in cube_edges():
        pts = start + (ts[:, None] + 1) / 2 * (end - start)
        pa, pb = pts.copy(), pts.copy()
        pa[:, bx] -= np.sign(pts[:, bx]) * inset     # step into wall a
        pb[:, ax] -= np.sign(pts[:, ax]) * inset     # step into wall b
        diff = np.abs(wall_sample(img, a, pa) - wall_sample(img, b, pb)).max(axis=1)
        out[a + "/" + b] = diff
    return out


# ---------------------------------------------------------------- checks

def test_sky_size_and_no_dark_cells():
    img = load("blurry.jpg")
    assert img.size == (768, 1024), "blurry.jpg must be 768 x 1024, is %s" % (img.size,)
    a = np.asarray(img.convert("RGB"), float) / 255
    lum = a @ np.array([0.2126, 0.7152, 0.0722])
    for r in range(4):
        for c in range(3):
            cell = lum[r * 256:(r + 1) * 256, c * 256:(c + 1) * 256]
            assert cell.mean() > 0.04, "cell (%d, %d) nearly black: %.3f" % (c, r, cell.mean())
            assert np.percentile(cell, 1) > 0.015, "cell (%d, %d) has black parts" % (c, r)


def test_sky_box_has_no_seams():
    a = np.asarray(load("blurry.jpg", "RGB"), float) / 255
    diffs = seam_differences(a)
    assert len(diffs) == 12
    for edge, d in diffs.items():
        assert d.mean() < 0.02 and d.max() < 0.06, \
            "seam at %s: mean %.3f max %.3f" % (edge, d.mean(), d.max())


def test_seam_check_detects_a_misplaced_wall():
    # The seam measure must notice a wall that is upside down in the cross.
    a = np.asarray(load("blurry.jpg", "RGB"), float) / 255
    broken = a.copy()
    broken[0:256, 256:512] = a[0:256, 256:512][::-1]
    worst = max(d.mean() for d in seam_differences(broken).values())
    assert worst > 0.03, "seam check too weak: %.3f" % worst


def test_sky_box_reads_as_sky():
    # The zenith must be darker than the horizon ring all around the camera.
    a = np.asarray(load("blurry.jpg", "RGB"), float) / 255
    lum = lambda c: c @ np.array([0.2126, 0.7152, 0.0722])
    zenith = lum(wall_sample(a, "+y", np.array([[0.0, 1.0, 0.0]])))[0]
    ang = np.linspace(0, 2 * np.pi, 64, endpoint=False)
    ring = np.stack([np.cos(ang), np.zeros_like(ang), np.sin(ang)], 1)
    major = np.abs(ring).max(1, keepdims=True)
    ring = ring / major
    vals = []
    for face, axis, sign in (("+x", 0, 1), ("-x", 0, -1), ("+z", 2, 1), ("-z", 2, -1)):
        m = np.isclose(ring[:, axis], sign)
        vals.append(lum(wall_sample(a, face, ring[m])))
    horizon = np.concatenate(vals)
    assert horizon.min() > zenith, "horizon %.3f not brighter than zenith %.3f" % (horizon.min(), zenith)


def test_cube_map_reading_is_seamless_too():
    # The same cells read as cube-map faces (with the -Z cell turned half a turn)
    # must also join up across the cube's edges, allowing for the trimmed +-x walls.
    a = np.asarray(load("blurry.jpg", "RGB"), float) / 255
    w = 256
    tiles = {"+x": a[w:2 * w, 2 * w:], "-x": a[w:2 * w, :w], "+y": a[:w, w:2 * w],
             "-y": a[2 * w:3 * w, w:2 * w], "+z": a[w:2 * w, w:2 * w],
             "-z": a[3 * w:, w:2 * w][::-1, ::-1]}
    # (s, t) of a direction on each face, from the cube-map face selection rules.
    st = {"+x": lambda d: (-d[:, 2], -d[:, 1]), "-x": lambda d: (d[:, 2], -d[:, 1]),
          "+y": lambda d: (d[:, 0], d[:, 2]), "-y": lambda d: (d[:, 0], -d[:, 2]),
          "+z": lambda d: (d[:, 0], -d[:, 1]), "-z": lambda d: (-d[:, 0], -d[:, 1])}
    ts = np.linspace(-0.95, 0.95, 100)
    inset = 2.0 / w
    worst = 0.0
    for fa, fb, start, end, ax, bx in cube_edges():
        pts = start + (ts[:, None] + 1) / 2 * (end - start)
        cols = []
        for face, other in ((fa, bx), (fb, ax)):
            p = pts.copy()
            p[:, other] -= np.sign(pts[:, other]) * inset
            s, t = st[face](p)
            x = np.clip(((s + 1) / 2 * w).astype(int), 0, w - 1)
            y = np.clip(((t + 1) / 2 * w).astype(int), 0, w - 1)
            cols.append(tiles[face][y, x])
        worst = max(worst, np.abs(cols[0] - cols[1]).max(1).mean())
    assert worst < 0.04, "cube-map faces do not join: mean edge difference %.3f" % worst


def test_bokeh():
    img = load("bokehfuckyou.jpg")
    assert img.size[0] >= 512 and img.size[1] >= 512, "bokeh too small: %s" % (img.size,)
    a = np.asarray(img.convert("RGB"), float)
    peak = a.max(axis=2)
    assert (peak < 40).mean() > 0.4, "bokeh is not mostly black: %.2f dark" % (peak < 40).mean()
    assert (peak > 200).sum() > 50, "bokeh has no bright discs"
    warm = (a[..., 0] > a[..., 2] + 40) & (peak > 80)
    cool = (a[..., 2] > a[..., 0] + 40) & (peak > 80)
    assert warm.sum() > 500 and cool.sum() > 500, "bokeh colours lack variety"


def test_credits():
    for name in CREDITS:
        img = load(name + ".png")
        assert img.mode == "RGBA", "%s.png is %s, not RGBA" % (name, img.mode)
        assert img.size == (1280, 720), "%s.png is %s" % (name, img.size)
        a = np.asarray(img)
        alpha = a[..., 3]
        assert (alpha == 0).mean() > 0.6, "%s.png: background not transparent" % name
        assert (alpha == 255).sum() > 1000, "%s.png: no solid glyphs" % name
        partial = ((alpha > 0) & (alpha < 255)).sum()
        assert partial > 1000, "%s.png: no soft edges" % name
        border = np.concatenate([alpha[0], alpha[-1], alpha[:, 0], alpha[:, -1]])
        assert border.max() == 0, "%s.png: drawing touches the image edge" % name
        solid = a[alpha == 255][:, :3].astype(float)
        assert solid.mean() > 180, "%s.png: glyphs are not light" % name
        # A dark halo: half-transparent pixels are darker than the glyphs.
        halo = a[(alpha > 20) & (alpha < 120)][:, :3].astype(float)
        assert halo.mean() < 100, "%s.png: no dark glow around the text" % name


def test_member_credits_leave_the_centre_free():
    for name in MEMBERS:
        alpha = np.asarray(load(name + ".png"))[..., 3]
        centre = alpha[250:470, 400:880]
        assert (centre > 128).sum() == 0, "%s.png covers the centre of the screen" % name


def main():
    tests = [(k, v) for k, v in globals().items() if k.startswith("test_") and callable(v)]
    failed = 0
    for name, fn in tests:
        try:
            fn()
            print("ok  ", name)
        except Exception:
            failed += 1
            print("FAIL", name)
            traceback.print_exc()
    print("%d of %d checks passed" % (len(tests) - failed, len(tests)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
