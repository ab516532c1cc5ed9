#!/usr/bin/python3
"""Generate Data/blurry.jpg, the blurry night-sky environment.

The image is a 3 x 4 vertical cross (768 x 1024, 256-pixel cells) that the
demo reads twice:

* as the sky box texture: a cube of half-size 100 around the camera whose
  walls take their texture coordinates from SKY_QUADS below (v = 0 is the
  top row of the image);
* as the environment cube map for the sphere reflections: +Y top, -X/+Z/+X
  in the second row, -Y in the third, -Z (turned half a turn) in the fourth.

Every pixel is filled with env(direction), where the direction is the point
of the sky-box wall that the pixel maps to, so the visible sky has no seams.
The cube-map reading of the same cells turns out to be the same environment
mirrored in z, which is just as seamless and looks as plausible in the
reflections.

    /usr/bin/python3 tools/make_sky.py                 # writes Data/blurry.jpg
    /usr/bin/python3 tools/make_sky.py --preview /tmp/sky   # plus preview PNGs
"""

import argparse
import os
import sys

import numpy as np
from PIL import Image

FACE = 256
WIDTH, HEIGHT = 3 * FACE, 4 * FACE
SEED = 20260

# Sky box walls: face name -> four (u, v, x, y, z) vertices, as drawn.
SKY_QUADS = {
    "-z": [(0.3334, 0.5, -100, -100, -100), (0.6666, 0.5, 100, -100, -100),
           (0.6666, 0.25, 100, 100, -100), (0.3334, 0.25, -100, 100, -100)],
    "+y": [(0.3334, 0.25, -100, 100, -100), (0.6666, 0.25, 100, 100, -100),
           (0.6666, 0.0, 100, 100, 100), (0.3334, 0.0, -100, 100, 100)],
    "+z": [(0.3334, 1.0, -100, 100, 100), (0.6666, 1.0, 100, 100, 100),
           (0.6666, 0.75, 100, -100, 100), (0.3334, 0.75, -100, -100, 100)],
    "-y": [(0.3334, 0.75, -100, -100, 100), (0.6666, 0.75, 100, -100, 100),
           (0.6666, 0.5, 100, -100, -100), (0.3334, 0.5, -100, -100, -100)],
    "+x": [(0.6666, 0.5, 100, -100, -100), (0.98, 0.5, 100, -100, 100),
           (0.98, 0.25, 100, 100, 100), (0.6666, 0.25, 100, 100, -100)],
    "-x": [(0.02, 0.5, -100, -100, 100), (0.3334, 0.5, -100, -100, -100),
           (0.3334, 0.25, -100, 100, -100), (0.02, 0.25, -100, 100, 100)],
}


def quad_frame(face):
    """Affine frame of one wall: origin and edge vectors in uv and in xyz."""
    q = np.array(SKY_QUADS[face], dtype=np.float64)
    uv0, p0 = q[0, :2], q[0, 2:]
    duv = np.stack([q[1, :2] - uv0, q[3, :2] - uv0])   # rows: edge 1, edge 3
    dp = np.stack([q[1, 2:] - p0, q[3, 2:] - p0])
    return uv0, p0, duv, dp


def uv_to_point(face, u, v):
    """Wall point for texture coordinates (u, v), extrapolated off the quad."""
    uv0, p0, duv, dp = quad_frame(face)
    inv = np.linalg.inv(duv.T)                       # uv offset -> (s, t)
    off = np.stack([u - uv0[0], v - uv0[1]], axis=-1)
    st = off @ inv.T
    return p0 + st @ dp


def point_to_uv(face, p):
    """Texture coordinates of wall points p (..., 3) lying in that wall."""
    uv0, p0, duv, dp = quad_frame(face)
    rel = p - p0
    s = (rel @ dp[0]) / (dp[0] @ dp[0])
    t = (rel @ dp[1]) / (dp[1] @ dp[1])
    return uv0 + s[..., None] * duv[0] + t[..., None] * duv[1]


def face_of_direction(d):
    """Name of the cube wall hit by each direction (..., 3) and the hit point."""
    a = np.abs(d)
    axis = np.argmax(a, axis=-1)
    major = np.take_along_axis(d, axis[..., None], axis=-1)[..., 0]
    p = d * (100.0 / np.abs(major))[..., None]
    names = np.empty(axis.shape, dtype=object)
    for ax, letter in enumerate("xyz"):
        names[(axis == ax) & (major > 0)] = "+" + letter
        names[(axis == ax) & (major <= 0)] = "-" + letter
    return names, p


# ---------------------------------------------------------------- environment

def _smooth_lut(ys, cols, n=2048, sigma=0.045):
    """Colour as a smooth function of height y in [-1, 1] (anchor points,
    interpolated and then blurred so the gradient has no kinks)."""
    grid = np.linspace(-1.3, 1.3, n)
    lut = np.stack([np.interp(grid, ys, [c[k] for c in cols]) for k in range(3)], -1)
    half = int(4 * sigma / (grid[1] - grid[0]))
    k = np.arange(-half, half + 1) * (grid[1] - grid[0])
    w = np.exp(-0.5 * (k / sigma) ** 2)
    w /= w.sum()
    pad = len(k) // 2
    padded = np.pad(lut, ((pad, pad), (0, 0)), mode="edge")
    out = np.stack([np.convolve(padded[:, c], w, mode="valid") for c in range(3)], -1)
    return grid, out


_GRAD_Y = [-1.0, -0.55, -0.2, -0.06, 0.0, 0.07, 0.2, 0.45, 0.75, 1.0]
_GRAD_C = [(0.035, 0.02, 0.07), (0.06, 0.03, 0.11), (0.16, 0.06, 0.20),
           (0.36, 0.13, 0.30), (0.62, 0.30, 0.36), (0.50, 0.24, 0.42),
           (0.28, 0.14, 0.40), (0.12, 0.08, 0.30), (0.05, 0.04, 0.19),
           (0.03, 0.025, 0.13)]


def _unit(v):
    v = np.asarray(v, dtype=np.float64)
    return v / np.linalg.norm(v)


class Environment:
    """env(d): a smooth colour for every unit direction d (..., 3)."""

    def __init__(self, seed=SEED):
        rng = np.random.default_rng(seed)
        self.grid, self.lut = _smooth_lut(_GRAD_Y, _GRAD_C)
        # Low-frequency 3-D wave sums give soft cloud fields on the sphere.
        self.waves = []
        for _ in range(4):
            k = rng.normal(size=(7, 3))
            k *= (rng.uniform(1.2, 3.6, size=7) / np.linalg.norm(k, axis=1))[:, None]
            self.waves.append((k, rng.uniform(0, 2 * np.pi, size=7)))
        # Soft coloured glows: (direction, sharpness, colour).
        self.glows = [
            (_unit((0.35, 0.05, -1.0)), 9.0, (0.45, 0.22, 0.10)),    # warm glow low ahead
            (_unit((-0.9, 0.25, 0.4)), 14.0, (0.10, 0.22, 0.36)),    # cyan
            (_unit((0.8, 0.45, 0.5)), 12.0, (0.30, 0.08, 0.30)),     # magenta
            (_unit((-0.3, 0.75, -0.55)), 18.0, (0.14, 0.10, 0.34)),  # violet high
            (_unit((0.1, -0.6, 0.8)), 10.0, (0.16, 0.05, 0.16)),     # dim glow below
            (_unit((0.6, 0.12, 0.25)), 40.0, (0.35, 0.28, 0.20)),    # small bright haze
            (_unit((-0.55, 0.3, -0.8)), 55.0, (0.22, 0.30, 0.40)),   # small cool haze
        ]

    def _noise(self, d, i):
        k, ph = self.waves[i]
        return np.sin(d @ k.T + ph).sum(-1) / np.sqrt(len(ph) / 2.0)

    def __call__(self, d):
        d = d / np.linalg.norm(d, axis=-1, keepdims=True)
        y = d[..., 1]
        col = np.stack([np.interp(y, self.grid, self.lut[:, c]) for c in range(3)], -1)

        # Horizon glow, a little warmer and brighter on one side.
        side = np.clip(d[..., 0] * 0.3 - d[..., 2] * 0.95, -1, 1)
        band = np.exp(-(y / 0.16) ** 2) * (0.45 + 0.55 * np.exp(2.2 * (side - 1)))
        col += band[..., None] * np.array([0.30, 0.13, 0.05])

        # Nebula clouds: two colour layers shaped by soft thresholds of noise.
        n0, n1 = self._noise(d, 0), self._noise(d, 1)
        warp = 0.35 * self._noise(d, 2)
        c0 = np.clip((n0 + warp - 0.2) / 1.4, 0, 1) ** 1.6
        c1 = np.clip((n1 - warp - 0.3) / 1.4, 0, 1) ** 1.6
        height = np.exp(-((y - 0.25) / 0.55) ** 2) + 0.35
        col += (c0 * height)[..., None] * np.array([0.30, 0.06, 0.26])
        col += (c1 * height)[..., None] * np.array([0.04, 0.20, 0.30])
        # Faint large-scale brightness variation everywhere.
        col *= (1.0 + 0.12 * self._noise(d, 3))[..., None]

        for g, sharp, c in self.glows:
            col += np.exp(sharp * (d @ g - 1.0))[..., None] * np.array(c)

        # Soft shoulder instead of hard clipping.
        col = 1.0 - np.exp(-col * 1.15)
        return col


# ---------------------------------------------------------------- the image

def pixel_directions():
    """Direction for every pixel of the cross (HEIGHT, WIDTH, 3).

    Pixels inside a sky-box wall get that wall's point; the trimmed margins of
    the -x and +x walls continue the wall mapping a little beyond its edge, and
    the six unused corner cells repeat the nearest wall's edge pixels, so that
    filtering across a cell border never picks up an unrelated colour."""
    px = np.arange(WIDTH) + 0.5
    py = np.arange(HEIGHT) + 0.5
    u = np.broadcast_to(px[None, :] / WIDTH, (HEIGHT, WIDTH))
    v = np.broadcast_to(py[:, None] / HEIGHT, (HEIGHT, WIDTH))
    row = np.minimum((py / FACE).astype(int), 3)[:, None] * np.ones((1, WIDTH), int)
    col = np.where(u < 0.3334, 0, np.where(u > 0.6666, 2, 1))

    out = np.zeros((HEIGHT, WIDTH, 3))
    middle = ["+y", "-z", "-y", "+z"]
    for r in range(4):
        m = (row == r) & (col == 1)
        out[m] = uv_to_point(middle[r], u[m], v[m])
    for c, face in ((0, "-x"), (2, "+x")):
        m = (row == 1) & (col == c)
        out[m] = uv_to_point(face, u[m], v[m])

    # Corner cells: clamp to the nearest neighbouring wall's edge.
    lo, hi = 0.3334, 0.6666
    eps = 0.5 / WIDTH
    for r in (0, 2, 3):
        for c in (0, 2):
            m = (row == r) & (col == c)
            uu, vv = u[m], v[m]
            edge_u = lo + eps if c == 0 else hi - eps
            du = np.abs(uu - edge_u) * WIDTH            # pixels to the middle column
            if r in (0, 2):
                edge_v = 0.25 + eps * WIDTH / HEIGHT if r == 0 else 0.5 - eps * WIDTH / HEIGHT
                dv = np.abs(vv - edge_v) * HEIGHT       # pixels to the side wall
            else:
                dv = np.full_like(du, np.inf)
            side = "-x" if c == 0 else "+x"
            use_side = dv < du
            pts = np.empty((len(uu), 3))
            mid = ~use_side
            pts[mid] = uv_to_point(middle[r], np.full(mid.sum(), edge_u), vv[mid])
            if use_side.any():
                su = np.clip(uu[use_side], 0.02, 0.98)
                pts[use_side] = uv_to_point(side, su, np.full(use_side.sum(), edge_v))
            out[m] = pts
    return out


def make_image(seed=SEED):
    env = Environment(seed)
    dirs = pixel_directions()
    col = env(dirs)
    # A whisper of dither so the JPEG gradients do not band.
    rng = np.random.default_rng(seed + 1)
    col = col * 255.0 + rng.uniform(-0.5, 0.5, size=col.shape)
    return Image.fromarray(np.clip(np.round(col), 0, 255).astype(np.uint8), "RGB")


# ---------------------------------------------------------------- previews

def sample_linear(img, u, v, wrap=True):
    """GL_LINEAR lookup of float image (H, W, C) at (u, v), v = 0 the top row."""
    h, w = img.shape[:2]
    x = u * w - 0.5
    y = v * h - 0.5
    x0, y0 = np.floor(x).astype(int), np.floor(y).astype(int)
    fx, fy = (x - x0)[..., None], (y - y0)[..., None]

    def at(xi, yi):
        if wrap:
            xi, yi = xi % w, yi % h
        else:
            xi, yi = np.clip(xi, 0, w - 1), np.clip(yi, 0, h - 1)
        return img[yi, xi]

    top = at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx
    bot = at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx
    return top * (1 - fy) + bot * fy


def sample_skybox(img, d):
    """Colour the sky box shows in directions d (..., 3)."""
    names, p = face_of_direction(d)
    out = np.zeros(d.shape[:-1] + (img.shape[2],))
    for face in SKY_QUADS:
        m = names == face
        if m.any():
            uv = point_to_uv(face, p[m])
            out[m] = sample_linear(img, uv[:, 0], uv[:, 1])
    return out


def cube_faces(img):
    """The six cube-map faces (+X, -X, +Y, -Y, +Z, -Z) as the loader cuts them."""
    w = img.shape[1] // 3
    tiles = [(2, 1), (0, 1), (1, 0), (1, 2), (1, 1)]
    faces = [img[r * w:(r + 1) * w, c * w:(c + 1) * w] for c, r in tiles]
    faces.append(img[3 * w:4 * w, w:2 * w][::-1, ::-1])
    return faces


def sample_cubemap(img, d):
    """Colour an environment-map lookup returns for directions d (..., 3)."""
    faces = cube_faces(img)
    x, y, z = d[..., 0], d[..., 1], d[..., 2]
    a = np.abs(d)
    axis = np.argmax(a, axis=-1)
    out = np.zeros(d.shape[:-1] + (img.shape[2],))
    table = [  # face index, mask, sc, tc, ma
        (0, (axis == 0) & (x > 0), -z, -y, a[..., 0]),
        (1, (axis == 0) & (x <= 0), z, -y, a[..., 0]),
        (2, (axis == 1) & (y > 0), x, z, a[..., 1]),
        (3, (axis == 1) & (y <= 0), x, -z, a[..., 1]),
        (4, (axis == 2) & (z > 0), x, -y, a[..., 2]),
        (5, (axis == 2) & (z <= 0), -x, -y, a[..., 2]),
    ]
    for f, m, sc, tc, ma in table:
        if m.any():
            s = (sc[m] / ma[m] + 1) / 2
            t = (tc[m] / ma[m] + 1) / 2
            out[m] = sample_linear(faces[f], s, t, wrap=False)
    return out


def camera_rays(forward, up=(0, 1, 0), width=480, height=270, fov_y=45.0):
    f = _unit(forward)
    up = np.asarray(up, dtype=np.float64)
    if abs(f @ _unit(up)) > 0.99:
        up = np.array([0.0, 0.0, -1.0])
    r = _unit(np.cross(f, up))
    u = np.cross(r, f)
    ty = np.tan(np.radians(fov_y) / 2)
    tx = ty * width / height
    sx = (np.arange(width) + 0.5) / width * 2 - 1
    sy = 1 - (np.arange(height) + 0.5) / height * 2
    X, Y = np.meshgrid(sx * tx, sy * ty)
    return f + X[..., None] * r + Y[..., None] * u


PREVIEW_VIEWS = {
    "front_-z": (0, 0, -1), "right_+x": (1, 0, 0), "back_+z": (0, 0, 1),
    "left_-x": (-1, 0, 0), "up_+y": (0, 1, 0), "down_-y": (0, -1, 0),
    "edge_+y+z": (0, 1, 1), "edge_+x+y": (1, 1, 0), "corner_-x+y+z": (-1, 1, 1),
    "edge_-y+x": (1, -1, 0.2), "horizon_-x-z": (-1, 0.1, -1),
}


def write_previews(img, folder):
    os.makedirs(folder, exist_ok=True)
    a = np.asarray(img, dtype=np.float64) / 255.0
    rows = []
    for name, fwd in PREVIEW_VIEWS.items():
        d = camera_rays(fwd)
        sky = sample_skybox(a, d)
        cube = sample_cubemap(a, d)
        pair = np.concatenate([sky, np.ones((d.shape[0], 6, 3)), cube], axis=1)
        Image.fromarray((np.clip(pair, 0, 1) * 255).astype(np.uint8)).save(
            os.path.join(folder, name + ".png"))
        rows.append(pair)
    sheet = np.concatenate([np.concatenate(rows[i:i + 2], axis=1) if i + 1 < len(rows)
                            else np.concatenate([rows[i], np.zeros_like(rows[i])], axis=1)
                            for i in range(0, len(rows), 2)], axis=0)
    Image.fromarray((np.clip(sheet, 0, 1) * 255).astype(np.uint8)).save(
        os.path.join(folder, "sheet.png"))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", default="Data/blurry.jpg")
    ap.add_argument("--preview", metavar="DIR",
                    help="also write sky-box (left) / cube-map (right) views here")
    args = ap.parse_args(argv)
    img = make_image()
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    img.save(args.out, quality=95, subsampling=0, optimize=True)
    print("wrote", args.out, img.size)
    if args.preview:
        write_previews(Image.open(args.out).convert("RGB"), args.preview)
        print("previews in", args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main())
