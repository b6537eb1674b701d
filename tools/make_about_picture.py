#!/usr/bin/python3
"""Draws the About/splash picture of the window (324 x 288 JPEG).

Run again after changing it:  /usr/bin/python3 tools/make_about_picture.py
"""
import math
import os

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "src", "mainwindow", "resources")
FONT_DIR = "/usr/share/fonts/truetype/dejavu"


def font(name, size):
    try:
        return ImageFont.truetype(os.path.join(FONT_DIR, name), size)
    except OSError:
        return ImageFont.load_default()


def about_picture():
    w, h = 324, 288
    img = Image.new("RGB", (w, h))
    px = img.load()
    # Night-to-dusk sky: the tones a bracket is taken for.
    for y in range(h):
        t = y / (h - 1)
        for x in range(w):
            glow = math.exp(-(((x - 230) / 120.0) ** 2 + ((y - 150) / 70.0) ** 2))
            r = int(18 + 60 * t + 200 * glow)
            g = int(22 + 40 * t + 120 * glow)
            b = int(60 + 30 * (1 - t) + 40 * glow)
            px[x, y] = (min(r, 255), min(g, 255), min(b, 255))
    d = ImageDraw.Draw(img)
    # Three exposure cards, dark to bright, fanned out.
    for i, shade in enumerate((70, 150, 235)):
        x0, y0 = 34 + i * 34, 120 - i * 10
        d.rectangle([x0 + 4, y0 + 4, x0 + 104, y0 + 78], fill=(10, 10, 20))
        d.rectangle([x0, y0, x0 + 100, y0 + 74], fill=(shade, shade, int(shade * 0.92)),
                    outline=(255, 255, 255))
        # a little mountain line on each card
        d.line([(x0 + 6, y0 + 60), (x0 + 36, y0 + 30), (x0 + 56, y0 + 48), (x0 + 74, y0 + 26),
                (x0 + 96, y0 + 58)], fill=(max(shade - 60, 0),) * 3, width=3)
    # Horizon of hills.
    d.polygon([(0, 250), (60, 226), (120, 242), (190, 218), (260, 238), (324, 222), (324, 288),
               (0, 288)], fill=(12, 14, 24))
    d.text((18, 18), "Sombrel Varno", font=font("DejaVuSans-Bold.ttf", 30), fill=(255, 236, 200))
    d.text((20, 56), "HDR photo program", font=font("DejaVuSans.ttf", 15), fill=(230, 230, 240))
    d.text((20, 258), "freeware", font=font("DejaVuSans-Oblique.ttf", 13), fill=(200, 200, 210))
    d.text((226, 258), "version 0.1", font=font("DejaVuSans.ttf", 12), fill=(200, 200, 210))
    img.save(os.path.join(OUT, "about.jpg"), "JPEG", quality=92)


def main():
    about_picture()


if __name__ == "__main__":
    main()
