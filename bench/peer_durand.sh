#!/usr/bin/env bash
# Local contrast beside a peer's bilateral (Durand) operator on the same three 24-megapixel JPEG
# exposures (the room-and-window scene at -3, 0, +3 EV): each program opens the files, merges
# them, tone-maps with its local operator and writes a JPEG. Timed in the same run with hyperfine
# (after one warm-up run each, minimum of the runs); prints the ratio of our time to the peer's,
# elapsed and processor (user + system, children included).
# Usage: bench/peer_durand.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
tools/install_bench_peers.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/local_contrast_pipeline" --make-bracket "$work" >/dev/null
inputs=("$work/bracket_1.jpg" "$work/bracket_2.jpg" "$work/bracket_3.jpg")
ours="$build/bench/local_contrast_pipeline $work/ours.jpg ${inputs[*]}"
peer="luminance-hdr-cli -e -3,0,3 --tmo durand -q 95 -o $work/peer.jpg ${inputs[*]}"
hyperfine --warmup 1 --runs "$runs" --export-json "$work/times.json" -n ours "$ours" -n luminance-durand "$peer" >&2
/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
def elapsed(name): return min(results[name]["times"])
def processor(name): return results[name]["user"] + results[name]["system"]  # means over the runs
ours, peer = elapsed("ours"), elapsed("luminance-durand")
print(f"elapsed (minimum): ours {ours:.2f} s, luminance-hdr-cli --tmo durand {peer:.2f} s, ratio {ours / peer:.3f}")
ours_cpu, peer_cpu = processor("ours"), processor("luminance-durand")
print(f"processor (user + system, mean): ours {ours_cpu:.2f} s, peer {peer_cpu:.2f} s, ratio {ours_cpu / peer_cpu:.3f}")
PY
