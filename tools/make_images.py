#!/usr/bin/python3
"""Generate the bokeh texture and the eight credit images in Data/.

    Data/bokehfuckyou.jpg   1024 x 1024 soft hexagonal bokeh discs on black,
                            added by the bloom mix to the bright parts
    Data/<credit>.png       1280 x 720 RGBA, transparent background, drawn
                            full-window over the moving scene (row 0 = top)

Fonts: Comfortaa (Debian package fonts-comfortaa); falls back to DejaVu Sans
if it is not installed.

    /usr/bin/python3 tools/make_images.py
    /usr/bin/python3 tools/make_images.py --preview /tmp/credits   # composites
"""

import argparse
import math
import os
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

SEED = 7331
CREDIT_W, CREDIT_H = 1280, 720
BOKEH_SIZE = 1024

FONT_DIRS = ["/usr/share/fonts/truetype/comfortaa", "/usr/share/fonts/truetype/dejavu"]
FONT_FILES = {
    "bold": ["Comfortaa-Bold.ttf", "DejaVuSans-Bold.ttf"],
    "light": ["Comfortaa-Light.ttf", "DejaVuSans-ExtraLight.ttf"],
    "regular": ["Comfortaa-Regular.ttf", "DejaVuSans.ttf"],
}


def font(style, size):
    for name in FONT_FILES[style]:
        for folder in FONT_DIRS:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                return ImageFont.truetype(path, size)
    raise SystemExit("no usable font found for style %r" % style)


# ---------------------------------------------------------------- bokeh

BOKEH_PALETTE = [
    (1.00, 0.74, 0.32), (1.00, 0.58, 0.22), (0.98, 0.86, 0.55),   # golds
    (0.95, 0.30, 0.72), (0.80, 0.26, 0.95), (1.00, 0.42, 0.55),   # magentas
    (0.30, 0.85, 1.00), (0.35, 0.62, 1.00), (0.45, 1.00, 0.90),   # cyans
]


def hex_radius(dx, dy, angle, roundness):
    """Distance measure whose unit level set is a rounded hexagon."""
    r = np.hypot(dx, dy)
    a = np.arctan2(dy, dx) - angle
    # Hexagon of circumradius 1: r * cos(a mod 60deg - 30deg) / cos(30deg).
    sector = np.mod(a, np.pi / 3) - np.pi / 6
    hexr = r * np.cos(sector) / np.cos(np.pi / 6)
    return roundness * r + (1 - roundness) * hexr


def bokeh_disc(acc, cx, cy, radius, colour, gain, soft, core, angle, roundness):
    size = acc.shape[0]
    x0, x1 = int(max(0, cx - radius - 2)), int(min(size, cx + radius + 3))
    y0, y1 = int(max(0, cy - radius - 2)), int(min(size, cy + radius + 3))
    if x0 >= x1 or y0 >= y1:
        return
    ys, xs = np.mgrid[y0:y1, x0:x1]
    dx, dy = (xs + 0.5 - cx) / radius, (ys + 0.5 - cy) / radius
    rr = hex_radius(dx, dy, angle, roundness)
    edge = np.clip((1.0 - rr) / soft, 0, 1)
    edge = edge * edge * (3 - 2 * edge)                      # smoothstep
    body = 0.75 + 0.35 * np.clip(rr, 0, 1) ** 6               # brighter rim
    val = edge * body * gain
    if core:
        val = val + core * np.exp(-(np.hypot(dx, dy) / 0.22) ** 2)
    acc[y0:y1, x0:x1] += val[..., None] * np.asarray(colour)


def make_bokeh(seed=SEED, size=BOKEH_SIZE):
    rng = np.random.default_rng(seed)
    acc = np.zeros((size, size, 3))
    angle = rng.uniform(0, np.pi / 3)      # one aperture, one hexagon turn
    layers = [  # count, radius range, gain range, softness range
        (26, (70, 150), (0.05, 0.14), (0.25, 0.45)),   # big, dim, very soft
        (60, (28, 75), (0.12, 0.35), (0.10, 0.22)),
        (70, (8, 26), (0.25, 0.60), (0.12, 0.25)),
    ]
    for count, (rmin, rmax), (gmin, gmax), (smin, smax) in layers:
        for _ in range(count):
            cx, cy = rng.uniform(0, size, 2)
            radius = math.exp(rng.uniform(math.log(rmin), math.log(rmax)))
            colour = np.array(BOKEH_PALETTE[rng.integers(len(BOKEH_PALETTE))])
            colour = colour * rng.uniform(0.85, 1.1, 3)
            core = rng.uniform(0.6, 1.4) if rng.random() < 0.12 else 0.0
            bokeh_disc(acc, cx, cy, radius, colour, rng.uniform(gmin, gmax),
                       rng.uniform(smin, smax), core, angle, rng.uniform(0.35, 0.6))
    img = 1.0 - np.exp(-acc * 1.4)
    img = np.round(np.clip(img, 0, 1) * 255).astype(np.uint8)
    return Image.fromarray(img, "RGB")


# ---------------------------------------------------------------- credits

TEXT_COLOUR = (246, 243, 255)
ROLE_COLOUR = (255, 214, 160)
SHADOW_COLOUR = (6, 4, 16)
RULE_LEFT = np.array([255, 120, 200], float)
RULE_RIGHT = np.array([110, 210, 255], float)

# name, file, big text, small line, anchor (x, y of the block's reference
# point), alignment, name size. Members sit in the thirds away from the
# centre; the logos and the title are centred.
CREDITS = [
    ("orvanth1", "ORVANTH", "presents", (640, 370), "center", 150),
    ("tuvek", "TUVEK", "code", (110, 560), "left", 96),
    ("zandol", "ZANDOL", "music", (1170, 170), "right", 96),
    ("pemrix", "PEMRIX", "music", (1170, 560), "right", 96),
    ("plenk", "PLENK", "graphics  \u00b7  direction", (110, 170), "left", 96),
    ("velvoria", "VELVORIA", "", (640, 410), "center", 150),
    ("orvanth2", "ORVANTH", "thanks for watching  \u00b7  2026", (640, 370), "center", 150),
    ("dravi", "DRAVI", "design  \u00b7  support", (640, 590), "center", 96),
]


def tracked_width(text, fnt, tracking):
    if not text:
        return 0.0
    return sum(fnt.getlength(ch) for ch in text) + tracking * (len(text) - 1)


def draw_tracked(draw, x, y, text, fnt, tracking):
    """Draw text with extra letter spacing; (x, y) is the left end of the baseline."""
    for ch in text:
        draw.text((x, y), ch, font=fnt, fill=255, anchor="ls")
        x += fnt.getlength(ch) + tracking


def render_credit(text, role, anchor, align, size):
    """RGBA image for one credit."""
    big = font("bold", size)
    small = font("regular", max(26, int(size * 0.33)))
    track_big = size * 0.16
    track_small = small.size * 0.22
    w_big = tracked_width(text, big, track_big)
    w_small = tracked_width(role, small, track_small)

    ax, ay = anchor                      # ay: baseline of the big line
    def left_for(width):
        if align == "left":
            return ax
        if align == "right":
            return ax - width
        return ax - width / 2

    text_mask = Image.new("L", (CREDIT_W, CREDIT_H), 0)
    role_mask = Image.new("L", (CREDIT_W, CREDIT_H), 0)
    draw_tracked(ImageDraw.Draw(text_mask), left_for(w_big), ay, text, big, track_big)

    # Thin accent rule under the name, fading out at both ends.
    rule_y = ay + size * 0.22
    rule_w = max(w_big, w_small) * (1.0 if align == "center" else 0.75)
    rule_x0 = left_for(rule_w) if align != "right" else ax - rule_w
    rule_mask = np.zeros((CREDIT_H, CREDIT_W))
    xs = np.arange(CREDIT_W) + 0.5
    t = (xs - rule_x0) / max(rule_w, 1)
    fade = np.clip(np.minimum(t, 1 - t) / 0.18, 0, 1)
    if align == "left":
        fade = np.clip((1 - t) / 0.45, 0, 1) * (t >= 0)
    elif align == "right":
        fade = np.clip(t / 0.45, 0, 1) * (t <= 1)
    thickness = max(2.0, size * 0.025)
    yy = np.arange(CREDIT_H) + 0.5
    line = np.clip(thickness / 2 + 0.5 - np.abs(yy - rule_y), 0, 1)
    rule_mask = line[:, None] * fade[None, :]
    rule_mix = np.clip(t, 0, 1)[None, :, None]
    rule_rgb = RULE_LEFT * (1 - rule_mix) + RULE_RIGHT * rule_mix

    if role:
        role_y = rule_y + small.size * 1.25
        draw_tracked(ImageDraw.Draw(role_mask), left_for(w_small), role_y, role,
                     small, track_small)

    a_text = np.asarray(text_mask, float) / 255.0
    a_role = np.asarray(role_mask, float) / 255.0
    a_rule = rule_mask * 0.9

    # Foreground: name, role line and rule, each with its own colour.
    fg_a = np.clip(a_text + a_role + a_rule, 0, 1)
    fg_rgb = (a_text[..., None] * np.array(TEXT_COLOUR, float)
              + a_role[..., None] * np.array(ROLE_COLOUR, float)
              + a_rule[..., None] * rule_rgb)
    fg_rgb = fg_rgb / np.maximum(a_text + a_role + a_rule, 1e-6)[..., None]

    # Dark soft glow behind everything, so it reads over bright scenes too.
    solid = Image.fromarray(np.round(fg_a * 255).astype(np.uint8))
    grown = solid.filter(ImageFilter.MaxFilter(7))
    near = np.asarray(grown.filter(ImageFilter.GaussianBlur(size * 0.05)), float) / 255
    far = np.asarray(solid.filter(ImageFilter.GaussianBlur(size * 0.22)), float) / 255
    sh_a = np.clip(near * 0.85 + far * 0.5, 0, 0.85)

    out_a = fg_a + sh_a * (1 - fg_a)
    out_rgb = (fg_rgb * fg_a[..., None]
               + np.array(SHADOW_COLOUR, float) * (sh_a * (1 - fg_a))[..., None])
    out_rgb = out_rgb / np.maximum(out_a, 1e-6)[..., None]
    out_rgb[out_a <= 0] = SHADOW_COLOUR        # transparent texels stay dark
    rgba = np.dstack([out_rgb, out_a * 255])
    return Image.fromarray(np.clip(np.round(rgba), 0, 255).astype(np.uint8), "RGBA")


# ---------------------------------------------------------------- previews

def preview_credit(img, path):
    """The credit over mid-grey, a bright gradient and a dark scene, stacked."""
    w, h = img.size
    yy, xx = np.mgrid[0:h, 0:w] / np.array([h, w])[:, None, None]
    grey = np.full((h, w, 3), 128.0)
    bright = np.dstack([235 - 40 * xx, 225 + 20 * yy, 200 + 50 * xx])
    dark = np.dstack([30 + 60 * xx, 20 + 20 * yy, 60 + 40 * yy])
    a = np.asarray(img, float)
    alpha = a[..., 3:] / 255.0
    tiles = [bg * (1 - alpha) + a[..., :3] * alpha for bg in (grey, bright, dark)]
    sheet = np.concatenate(tiles, axis=0)
    Image.fromarray(np.round(sheet).astype(np.uint8)).resize((w // 2, 3 * h // 2),
                                                              Image.LANCZOS).save(path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", default="Data")
    ap.add_argument("--preview", metavar="DIR",
                    help="also write composites of every credit over test backgrounds")
    args = ap.parse_args(argv)
    os.makedirs(args.data, exist_ok=True)

    bokeh = make_bokeh()
    path = os.path.join(args.data, "bokehfuckyou.jpg")
    bokeh.save(path, quality=92, subsampling=0, optimize=True)
    print("wrote", path, bokeh.size)

    if args.preview:
        os.makedirs(args.preview, exist_ok=True)
    for name, text, role, anchor, align, size in CREDITS:
        img = render_credit(text, role, anchor, align, size)
        path = os.path.join(args.data, name + ".png")
        img.save(path, optimize=True)
        print("wrote", path, img.size)
        if args.preview:
            preview_credit(img, os.path.join(args.preview, name + ".png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
