#!/usr/bin/python3
"""Three bracketed 8-bit TIFF exposures (-2, 0, +2 EV) of one detailed scene, for the fusion benchmark.

The scene is a mosaic of the real photographs Debian's scikit-image ships, enlarged to the wanted
size, with fine procedural texture on top (so that every pyramid level has detail), lit by a
light field that spans about eight stops (a bright sky band, a lamp, deep shadow), so that no
single exposure holds it all.

usage: fusion_scene.py OUTDIR [WIDTH HEIGHT]   (default 6000 x 4000)
writes OUTDIR/under.tif, OUTDIR/normal.tif, OUTDIR/over.tif
"""
import glob
import os
import sys

import numpy as np
from PIL import Image

PHOTOS = ["motorcycle_left.png", "coffee.png", "chelsea.png", "astronaut.png", "rocket.jpg",
          "hubble_deep_field.jpg", "retina.jpg", "ihc.png", "motorcycle_right.png"]


def photo_folder():
    for folder in glob.glob("/usr/lib/python3/dist-packages/skimage/data"):
        return folder
    raise SystemExit("python3-skimage's sample photographs are missing")


def mosaic(width, height, rng):
    folder = photo_folder()
    tiles = []
    for name in PHOTOS:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            tiles.append(Image.open(path).convert("RGB"))
    cols, rows = 3, 3
    canvas = Image.new("RGB", (width, height))
    tw, th = (width + cols - 1) // cols, (height + rows - 1) // rows
    for i in range(rows * cols):
        tile = tiles[i % len(tiles)].resize((tw, th), Image.LANCZOS)
        canvas.paste(tile, ((i % cols) * tw, (i // cols) * th))
    return np.asarray(canvas, dtype=np.float32) / 255.0


def texture(width, height, rng):
    """Band-limited noise at several scales, a multiplicative pattern around 1."""
    t = np.zeros((height, width), np.float32)
    for scale, amp in ((1, 0.06), (3, 0.05), (9, 0.05), (27, 0.04)):
        h, w = (height + scale - 1) // scale, (width + scale - 1) // scale
        small = rng.standard_normal((h, w)).astype(np.float32)
        big = np.asarray(Image.fromarray(small, mode="F").resize((w * scale, h * scale), Image.BILINEAR))
        t += amp * big[:height, :width]
    return 1.0 + t


def light(width, height):
    y = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
    x = np.linspace(0.0, 1.0, width, dtype=np.float32)[None, :]
    field = 0.25 + 0.0 * x + 0.0 * y
    field = field + 12.0 * np.exp(-((y - 0.08) / 0.10) ** 2)                      # sky band
    field = field + 30.0 * np.exp(-(((x - 0.72) / 0.06) ** 2 + ((y - 0.55) / 0.08) ** 2))  # lamp
    field = field * (0.08 + 0.92 * np.clip((x - 0.05) / 0.35, 0.0, 1.0))          # shadow on the left
    return field


def main():
    out = sys.argv[1]
    width = int(sys.argv[2]) if len(sys.argv) > 2 else 6000
    height = int(sys.argv[3]) if len(sys.argv) > 3 else 4000
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(14)
    linear = mosaic(width, height, rng) ** 2.2
    linear *= texture(width, height, rng)[:, :, None]
    linear *= light(width, height)[:, :, None]
    for name, ev in (("under", -2), ("normal", 0), ("over", 2)):
        v = np.clip(linear * (2.0 ** ev), 0.0, 1.0) ** (1.0 / 2.2)
        pixels = np.clip(v * 255.0 + 0.5, 0, 255).astype(np.uint8)
        Image.fromarray(pixels, "RGB").save(os.path.join(out, name + ".tif"))


if __name__ == "__main__":
    main()
