#!/usr/bin/python3
"""Draws the window's own cursors, tool-bar icons, alignment indicators and program icon.

Run it again after changing a drawing: /usr/bin/python3 make_resources.py (from this folder).
"""
from PIL import Image, ImageDraw

S = 4  # draw large, then shrink: smooth edges without a vector library


def canvas(w, h):
    return Image.new("RGBA", (w * S, h * S), (0, 0, 0, 0))


def done(img, w, h, path):
    img.resize((w, h), Image.LANCZOS).save(path)


def sc(*xy):
    return [v * S for v in xy]


# ---- cursors (32 x 32; hot spots are listed in cursors.txt) -------------------------------------
def cursor_default(path):
    im = canvas(32, 32); d = ImageDraw.Draw(im)
    d.polygon(sc(2, 2, 2, 24, 8, 18, 12, 27, 15, 26, 11, 17, 19, 17), fill="white", outline="black", width=S)
    done(im, 32, 32, path)


def cursor_mask(path):
    # a thin cross with a small open square: "mark a rectangle here"
    im = canvas(32, 32); d = ImageDraw.Draw(im)
    for colour, w in (("white", 3), ("black", 1)):
        d.line(sc(16, 1, 16, 12), fill=colour, width=w * S)
        d.line(sc(16, 20, 16, 31), fill=colour, width=w * S)
        d.line(sc(1, 16, 12, 16), fill=colour, width=w * S)
        d.line(sc(20, 16, 31, 16), fill=colour, width=w * S)
    d.rectangle(sc(20, 20, 28, 28), outline="black", width=S)
    done(im, 32, 32, path)


def cursor_hand(path):
    im = canvas(32, 32); d = ImageDraw.Draw(im)
    d.rounded_rectangle(sc(10, 2, 15, 18), radius=2 * S, fill="white", outline="black", width=S)
    d.rounded_rectangle(sc(8, 14, 26, 30), radius=4 * S, fill="white", outline="black", width=S)
    d.rectangle(sc(11, 14, 14, 18), fill="white")
    for x in (16, 20):
        d.line(sc(x, 15, x, 20), fill="black", width=S)
    done(im, 32, 32, path)


def cursor_cross(path):
    im = canvas(32, 32); d = ImageDraw.Draw(im)
    for colour, w in (("white", 3), ("black", 1)):
        d.line(sc(16, 2, 16, 30), fill=colour, width=w * S)
        d.line(sc(2, 16, 30, 16), fill=colour, width=w * S)
    done(im, 32, 32, path)


def cursor_eyedrop(path, size_label):
    im = canvas(32, 32); d = ImageDraw.Draw(im)
    # a pipette from the top right down to its tip at the bottom left (the hot spot)
    d.line(sc(3, 28, 18, 13), fill="black", width=5 * S)
    d.line(sc(3, 28, 18, 13), fill="white", width=3 * S)
    d.ellipse(sc(17, 5, 27, 15), fill="black")
    d.polygon(sc(14, 12, 20, 18, 22, 16, 16, 10), fill="black")
    if size_label:
        n = int(size_label)
        half = n // 2 + 1
        d.rectangle(sc(24 - half, 24 - half, 24 + half, 24 + half), outline="black", width=S)
    done(im, 32, 32, path)


# ---- tool-bar icons (24 x 24) --------------------------------------------------------------------
def icon_new(path):
    im = canvas(24, 24); d = ImageDraw.Draw(im)
    d.polygon(sc(5, 2, 15, 2, 20, 7, 20, 22, 5, 22), fill="white", outline="#404040", width=S)
    d.polygon(sc(15, 2, 15, 7, 20, 7), fill="#c0c0c0", outline="#404040", width=S)
    done(im, 24, 24, path)


def icon_open(path):
    im = canvas(24, 24); d = ImageDraw.Draw(im)
    d.polygon(sc(2, 5, 9, 5, 11, 7, 20, 7, 20, 20, 2, 20), fill="#e8b84a", outline="#7a5a10", width=S)
    d.polygon(sc(5, 11, 23, 11, 20, 20, 2, 20), fill="#f6d27a", outline="#7a5a10", width=S)
    done(im, 24, 24, path)


def icon_add(path):
    im = canvas(24, 24); d = ImageDraw.Draw(im)
    d.rectangle(sc(2, 4, 16, 16), fill="#8fb7e8", outline="#1f4f8f", width=S)
    d.polygon(sc(3, 15, 8, 9, 12, 13, 15, 10, 15, 15), fill="#2f7f3f")
    d.ellipse(sc(12, 11, 23, 22), fill="#2f9f3f")
    d.line(sc(17.5, 13, 17.5, 20), fill="white", width=2 * S)
    d.line(sc(14, 16.5, 21, 16.5), fill="white", width=2 * S)
    done(im, 24, 24, path)


def floppy(d, colour):
    d.rectangle(sc(3, 3, 21, 21), fill=colour, outline="#202020", width=S)
    d.rectangle(sc(7, 3, 17, 9), fill="#e0e0e0")
    d.rectangle(sc(6, 13, 18, 21), fill="white", outline="#202020", width=S)


def icon_save(path):
    im = canvas(24, 24); d = ImageDraw.Draw(im)
    floppy(d, "#3d6fb0")
    done(im, 24, 24, path)


def icon_saveas(path):
    im = canvas(24, 24); d = ImageDraw.Draw(im)
    floppy(d, "#3d6fb0")
    d.line(sc(12, 20, 22, 10), fill="#c08020", width=3 * S)
    d.polygon(sc(10, 22, 11, 18, 14, 21), fill="#202020")
    done(im, 24, 24, path)


def icon_copy(path):
    im = canvas(24, 24); d = ImageDraw.Draw(im)
    d.rectangle(sc(3, 3, 14, 16), fill="white", outline="#404040", width=S)
    d.rectangle(sc(9, 8, 20, 21), fill="white", outline="#404040", width=S)
    for y in (12, 15, 18):
        d.line(sc(11, y, 18, y), fill="#808080", width=S)
    done(im, 24, 24, path)


def icon_refresh(path):
    im = canvas(24, 24); d = ImageDraw.Draw(im)
    d.arc(sc(3, 3, 21, 21), start=30, end=330, fill="#2f8f3f", width=3 * S)
    d.polygon(sc(15, 2, 22, 7, 14, 10), fill="#2f8f3f")
    done(im, 24, 24, path)


def icon_undo(path):
    im = canvas(24, 24); d = ImageDraw.Draw(im)
    d.arc(sc(5, 6, 21, 22), start=200, end=90, fill="#2f5f9f", width=3 * S)
    d.polygon(sc(2, 8, 10, 4, 9, 13), fill="#2f5f9f")
    done(im, 24, 24, path)


# ---- alignment indicators (20 x 20) --------------------------------------------------------------
def indicator_best(path):      # Image15: the best match so far
    im = canvas(20, 20); d = ImageDraw.Draw(im)
    d.ellipse(sc(1, 1, 19, 19), fill="#2fa04a", outline="#1a5f2a", width=S)
    d.line(sc(5, 10, 9, 14, 15, 6), fill="white", width=2 * S, joint="curve")
    done(im, 20, 20, path)


def indicator_worse(path):     # Image16: worse than at the last tick
    im = canvas(20, 20); d = ImageDraw.Draw(im)
    d.ellipse(sc(1, 1, 19, 19), fill="#d03a2a", outline="#7a1a10", width=S)
    d.polygon(sc(5, 7, 15, 7, 10, 15), fill="white")
    done(im, 20, 20, path)


def indicator_other(path):     # Image17: not worse, but not the best either
    im = canvas(20, 20); d = ImageDraw.Draw(im)
    d.ellipse(sc(1, 1, 19, 19), fill="#e8b020", outline="#7a5a00", width=S)
    d.rectangle(sc(5, 9, 15, 11), fill="white")
    done(im, 20, 20, path)


def program_icon(path, size):
    im = canvas(64, 64); d = ImageDraw.Draw(im)
    d.rounded_rectangle(sc(2, 2, 62, 62), radius=10 * S, fill="#1d2b44")
    # three stacked exposures, dark to bright, merged into one sunlit scene
    for i, colour in enumerate(("#3b4f7a", "#6f87b8", "#b9cdf0")):
        o = 8 + i * 6
        d.rectangle(sc(o, o, o + 30, o + 22), fill=colour, outline="#0d1420", width=S)
    d.ellipse(sc(36, 26, 50, 40), fill="#ffd24a")
    d.polygon(sc(20, 50, 32, 36, 40, 44, 46, 38, 56, 50), fill="#2f7f4f")
    im.resize((size, size), Image.LANCZOS).save(path)


if __name__ == "__main__":
    cursor_default("cursors/default.png")
    cursor_mask("cursors/mask.png")
    cursor_hand("cursors/handpoint.png")
    cursor_cross("cursors/cross.png")
    cursor_eyedrop("cursors/eyedrop.png", "")
    for n in (3, 5, 7, 9):
        cursor_eyedrop(f"cursors/eyedrop{n}.png", str(n))
    icon_new("icons/new.png"); icon_open("icons/open.png"); icon_add("icons/add.png")
    icon_save("icons/save.png"); icon_saveas("icons/saveas.png"); icon_copy("icons/copy.png")
    icon_refresh("icons/refresh.png"); icon_undo("icons/undo.png")
    indicator_best("pictures/best.png"); indicator_worse("pictures/worse.png")
    indicator_other("pictures/other.png")
    program_icon("icons/sombrel-varno.png", 256)
    program_icon("icons/sombrel-varno-64.png", 64)
