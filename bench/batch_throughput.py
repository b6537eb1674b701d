#!/usr/bin/python3
"""Batch throughput and memory: 40 brackets of three 6-megapixel JPEGs through
`sombrel-cli batch --jobs 2`, beside single-bracket runs of the same pictures, all in this run.

Prints, as ratios that hold on any machine:
  - time per bracket in the batch / time of one ordinary single-bracket run (target <= 1.1),
    and the same against a batch of one bracket;
  - resident memory of the batch process after the 40th bracket / after the 2nd (target <= 1.05:
    no growth), read from /proc while the batch runs; the batch holds two brackets more, so that
    both readings find it in the same state (two brackets under way); and the lowest and highest
    resident memory while the last five brackets ran / while the first five ran.

Not a test: a measurement, as every figure in bench/ is. Usage:
  bench/batch_throughput.py [BUILD_DIR]      (default: build; needs build/src/sombrel-cli)
  BRACKETS=40 MEGAPIXELS=6 REPEAT=3 JOBS=2 bench/batch_throughput.py
"""
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
CLI = os.path.join(BUILD, "src", "sombrel-cli")
BRACKETS = int(os.environ.get("BRACKETS", "40"))
MEGAPIXELS = float(os.environ.get("MEGAPIXELS", "6"))
REPEAT = int(os.environ.get("REPEAT", "3"))
JOBS = os.environ.get("JOBS", "2")


def make_bracket(folder):
    """Three exposures (-2, 0, +2 EV) of one detailed synthetic scene."""
    width = int(round((MEGAPIXELS * 1e6 * 1.5) ** 0.5))
    height = int(MEGAPIXELS * 1e6 / width)
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    light = 0.05 + 3.0 * np.exp(-(((x - width * 0.7) / (width * 0.2)) ** 2 + ((y - height * 0.3) / (height * 0.25)) ** 2))
    texture = 0.6 + 0.4 * np.sin(x / 17.0) * np.cos(y / 23.0) + 0.1 * rng.random((height, width), dtype=np.float32)
    scene = np.stack([light * texture, light * texture * 0.9, light * (1.1 - 0.3 * texture)], axis=-1)
    paths = []
    for ev in (-2, 0, 2):
        pixels = np.clip(255.0 * (scene * 2.0 ** ev) ** (1 / 2.2), 0, 255).astype(np.uint8)
        path = os.path.join(folder, "source_%+d.jpg" % ev)
        Image.fromarray(pixels).save(path, quality=92)
        paths.append(path)
    return paths, width, height


def resident_bytes(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def child_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(args):
    """Wall time and processor time (user + system, which holds better while other programs
    share the cores) of one run."""
    cpu = child_cpu()
    start = time.monotonic()
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - start, child_cpu() - cpu


def watched_batch(args, report, total):
    """Runs the batch and reads its resident memory as each bracket's report line appears."""
    cpu = child_cpu()
    start = time.monotonic()
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = {}
    peaks = {}
    lows = {}
    samples = {}
    lines = 0
    while process.poll() is None:
        rss = resident_bytes(process.pid)
        try:
            with open(report) as f:
                lines = sum(1 for _ in f)
        except OSError:
            lines = 0
        if rss is not None:
            peaks[lines] = max(peaks.get(lines, 0), rss)
            lows[lines] = min(lows.get(lines, rss), rss)
            samples.setdefault(lines, []).append(rss)
            for mark in (2, total):
                if lines >= mark and mark not in after:
                    after[mark] = rss
        time.sleep(0.005)
    elapsed = time.monotonic() - start, child_cpu() - cpu
    if process.returncode != 0:
        raise SystemExit("the batch failed with status %d" % process.returncode)
    return elapsed, after, peaks, lows, samples


def main():
    if not os.access(CLI, os.X_OK):
        raise SystemExit("no %s: build first (cmake --build %s --target sombrel-cli)" % (CLI, BUILD))
    work = tempfile.mkdtemp(prefix="sombrel-batch-bench.")
    try:
        sources, width, height = make_bracket(work)
        shoot = os.path.join(work, "shoot")
        os.mkdir(shoot)
        # Two brackets more than measured: after the 40th the batch still runs as after the 2nd.
        total = BRACKETS + 2
        for b in range(1, total + 1):
            for k, source in enumerate(sources):
                os.link(source, os.path.join(shoot, "b%03d_%d.jpg" % (b, k)))
        one = os.path.join(work, "one")
        os.mkdir(one)
        for k, source in enumerate(sources):
            os.link(source, os.path.join(one, "b001_%d.jpg" % k))
        out = os.path.join(work, "out")

        single_args = [CLI, "--quiet"]
        for source in sources:
            single_args += ["--open", source]
        single_args += ["--save", os.path.join(work, "single.tif")]
        batch_base = [CLI, "batch", "--quiet", "--group", "count:3", "--jobs", JOBS, "--out", out]

        runs = [timed(single_args) for _ in range(REPEAT)]
        single = min(r[0] for r in runs)
        single_cpu = min(r[1] for r in runs)
        runs = [timed(batch_base + [one]) for _ in range(REPEAT)]
        one_batch = min(r[0] for r in runs)
        one_batch_cpu = min(r[1] for r in runs)
        report = os.path.join(work, "report.jsonl")
        best = None
        for _ in range(max(1, REPEAT - 1)):
            shutil.rmtree(out, ignore_errors=True)
            if os.path.exists(report):
                os.remove(report)
            result = watched_batch(batch_base + ["--report", report, shoot], report, BRACKETS)
            if best is None or result[0][0] < best[0][0]:
                best = result
        (elapsed, cpu), after, peaks, lows, samples = best
        with open(report) as f:
            statuses = [json.loads(line)["status"] for line in f]
        assert statuses.count("done") == total, statuses

        per_bracket = elapsed / total
        print("cpu: %d cores; %d brackets of three %.1f-megapixel JPEGs (%d x %d), --jobs %s, 8-bit Deflate TIFF"
              % (os.cpu_count(), BRACKETS, width * height / 1e6, width, height, JOBS))
        print("one ordinary run          %8.3f s" % single)
        print("batch of one bracket      %8.3f s" % one_batch)
        print("batch, per bracket        %8.3f s  (%d brackets in %.1f s)" % (per_bracket, total, elapsed))
        print("ratio per bracket / ordinary run      %.3f  (target <= 1.10)" % (per_bracket / single))
        print("ratio per bracket / batch of one      %.3f" % (per_bracket / one_batch))
        print("processor time: ordinary run %.3f s, batch of one %.3f s, batch per bracket %.3f s"
              % (single_cpu, one_batch_cpu, cpu / total))
        print("ratio processor time per bracket / ordinary run  %.3f" % (cpu / total / single_cpu))
        if 2 in after and BRACKETS in after:
            print("resident after bracket %d / after 2    %.3f  (%.0f MB / %.0f MB; target <= 1.05)"
                  % (BRACKETS, after[BRACKETS] / after[2], after[BRACKETS] / 2**20, after[2] / 2**20))
        # Windows of five brackets once the batch runs steadily: the first after the 2nd, the last
        # up to the 40th.
        early = range(2, 7)
        late = range(BRACKETS - 4, BRACKETS + 1)
        def window(table, keys, pick):
            values = [table[k] for k in keys if k in table]
            return pick(values) if values else None
        for label, table, pick in (("peak", peaks, max), ("lowest", lows, min)):
            first, last = window(table, early, pick), window(table, late, pick)
            if first and last:
                print("%-6s resident, brackets %d-%d / %d-%d  %.3f  (%.0f MB / %.0f MB)"
                      % (label, late[0], late[-1], early[0], early[-1], last / first, last / 2**20, first / 2**20))
        median = lambda values: sorted(values)[len(values) // 2]
        if 2 in samples and BRACKETS in samples:
            print("median resident while the two after the %dth / after the 2nd ran  %.3f"
                  % (BRACKETS, median(samples[BRACKETS]) / median(samples[2])))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
