#!/usr/bin/python3
"""Exposure fusion beside Debian's enfuse on the same three exposure files, in the same run.

Both programs fuse the same files with the same weights (contrast, saturation and exposure 1.00,
enfuse's other settings at their defaults; both write an uncompressed 8-bit TIFF so that the
encoder's speed does not count). Each is timed and its peak memory taken with /usr/bin/time -v,
alternately, several times; the best time and the largest peak of each are compared as ratios.
Then the fused picture (our floats) is compared with OpenCV's MergeMertens (the same paper's
method, same weights) and with enfuse's result (whose contrast measure differs), as PSNR.

usage: fusion_vs_enfuse.py [--driver build/bench/fusion_driver] [--size 6000x4000] [--repeats 3]
                           [--format tif|jpg] [--dir FOLDER] [--region X,W,Y,H]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = ("under", "normal", "over")


def timed(command):
    """Runs a command under /usr/bin/time -v: (wall seconds, cpu seconds, peak kB)."""
    result = subprocess.run(["/usr/bin/time", "-v"] + command, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(command), result.stderr[-2000:]))
    text = result.stderr
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", text).group(1)
    seconds = 0.0
    for part in wall.split(":"):
        seconds = seconds * 60 + float(part)
    user = float(re.search(r"User time \(seconds\): (\S+)", text).group(1))
    system = float(re.search(r"System time \(seconds\): (\S+)", text).group(1))
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return seconds, user + system, peak


def read_pfm(path):
    with open(path, "rb") as f:
        if f.readline().strip() != b"PF":
            sys.exit("not a colour PFM: " + path)
        w, h = map(int, f.readline().split())
        scale = float(f.readline())
        data = np.frombuffer(f.read(), dtype="<f4" if scale < 0 else ">f4").reshape(h, w, 3)
    return data[::-1].astype(np.float64)


def psnr(a, b):
    a = np.clip(a, 0.0, 1.0)
    b = np.clip(b, 0.0, 1.0)
    mse = np.mean((a - b) ** 2)
    return float("inf") if mse == 0 else 10.0 * np.log10(1.0 / mse)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--driver", default=os.path.join(HERE, "..", "build", "bench", "fusion_driver"))
    ap.add_argument("--size", default="6000x4000")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--format", default="tif", choices=("tif", "jpg"))
    ap.add_argument("--dir", help="keep the exposures and results here (made once, reused)")
    ap.add_argument("--region", action="append", default=[],
                    help="also time the preview path on this rectangle X,W,Y,H and compare it with the whole "
                         "fusion there (may be given several times)")
    args = ap.parse_args()
    width, height = map(int, args.size.split("x"))
    if not shutil.which("enfuse"):
        sys.exit("enfuse is not installed (Debian package enfuse)")

    folder = args.dir or tempfile.mkdtemp(prefix="sv-fusion-")
    os.makedirs(folder, exist_ok=True)
    exposures = [os.path.join(folder, n + "." + args.format) for n in NAMES]
    if not all(os.path.exists(p) for p in exposures):
        subprocess.run([sys.executable, os.path.join(HERE, "fusion_scene.py"), folder, str(width), str(height)],
                       check=True)
        if args.format == "jpg":
            from PIL import Image
            for n in NAMES:
                Image.open(os.path.join(folder, n + ".tif")).save(os.path.join(folder, n + ".jpg"), quality=95,
                                                                   subsampling=0)

    enfused = os.path.join(folder, "enfuse.tif")
    ours = os.path.join(folder, "ours.tif")
    enfuse = ["enfuse", "-o", enfused, "--exposure-weight=1", "--saturation-weight=1", "--contrast-weight=1",
              "--compression=none"] + exposures
    driver = [os.path.abspath(args.driver), ours, "--size", args.size, "--weights", "100,100,100"] + exposures
    runs = {"enfuse": [], "ours": []}
    for r in range(args.repeats):
        runs["enfuse"].append(timed(enfuse))
        runs["ours"].append(timed(driver))
        print("run %d: enfuse %.2f s (cpu %.2f s, %d MB), ours %.2f s (cpu %.2f s, %d MB)"
              % (r + 1, *runs["enfuse"][-1][:2], runs["enfuse"][-1][2] // 1024, *runs["ours"][-1][:2],
                 runs["ours"][-1][2] // 1024), flush=True)
    best = {k: (min(t[0] for t in v), min(t[1] for t in v), max(t[2] for t in v)) for k, v in runs.items()}
    print("best wall: enfuse %.2f s, ours %.2f s -> ratio %.3f (target <= 0.3)"
          % (best["enfuse"][0], best["ours"][0], best["ours"][0] / best["enfuse"][0]))
    print("best cpu:  enfuse %.2f s, ours %.2f s -> ratio %.3f"
          % (best["enfuse"][1], best["ours"][1], best["ours"][1] / best["enfuse"][1]))
    print("peak rss:  enfuse %d MB, ours %d MB -> ratio %.3f (target <= 1)"
          % (best["enfuse"][2] // 1024, best["ours"][2] // 1024, best["ours"][2] / best["enfuse"][2]))

    regions = [tuple(map(int, r.split(","))) for r in args.region]
    crops = []
    for i, (x, w, y, h) in enumerate(regions):
        crop = os.path.join(folder, "region%d.pfm" % i)
        command = [os.path.abspath(args.driver), ours, "--size", args.size, "--region", "%d,%d,%d,%d" % (x, w, y, h),
                   "--pfm", crop] + exposures
        preview = min(timed(command)[0] for _ in range(args.repeats))
        print("preview of %d,%d,%d,%d: %.2f s -> %.3f of the whole fusion"
              % (x, w, y, h, preview, preview / best["ours"][0]), flush=True)
        crops.append(((x, w, y, h), crop))

    # Fidelity: our floats against OpenCV's MergeMertens (8-bit inputs, which it takes as v / 255
    # while we take v / 256) and against enfuse's 8-bit result.
    import cv2
    from PIL import Image
    floats = os.path.join(folder, "ours.pfm")
    subprocess.run([os.path.abspath(args.driver), ours, "--size", args.size, "--pfm", floats] + exposures,
                   check=True, stderr=subprocess.DEVNULL)
    fused = read_pfm(floats)
    for (x, w, y, h), crop in crops:
        part = read_pfm(crop)
        worst = np.abs(part - fused[y:y + h, x:x + w]).max()
        print("preview %d,%d,%d,%d against the whole fusion there: largest difference %.3g (1/255 = %.3g)"
              % (x, w, y, h, worst, 1 / 255.0))
    images = [cv2.imread(p, cv2.IMREAD_COLOR) for p in exposures]
    merged = cv2.createMergeMertens(1.0, 1.0, 1.0).process(images)[:, :, ::-1].astype(np.float64)
    del images
    enf = np.asarray(Image.open(enfused).convert("RGB"), dtype=np.float64) / 255.0
    print("PSNR ours vs OpenCV MergeMertens: %.2f dB (target >= 35); with OpenCV's output scaled by 255/256: %.2f dB"
          % (psnr(fused, merged), psnr(fused, merged * 255.0 / 256.0)))
    print("PSNR ours vs enfuse: %.2f dB; OpenCV vs enfuse: %.2f dB" % (psnr(fused, enf), psnr(merged, enf)))
    if not args.dir:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
