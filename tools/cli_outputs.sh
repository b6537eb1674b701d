#!/usr/bin/env bash
# Runs sombrel-cli through every operator on the sample bracket and prints one manifest: for each
# run its exit status, the SHA-256 of every file it wrote and of its standard output, and its
# standard error as text. Two builds whose manifests are equal wrote byte-identical files and said
# the same things.
#
#   tools/cli_outputs.sh CLI [SAMPLES_DIR]               print the manifest
#   tools/cli_outputs.sh --check EXPECTED CLI [SAMPLES]  compare with a recorded manifest
#
# JPEG files come from the installed cjpeg and Deflate strips from the installed zlib: the
# recorded manifest holds for Debian 12's.
set -euo pipefail

check=
if [ "${1:-}" = "--check" ]; then
  check=$(realpath "$2")
  shift 2
fi
cli=$(realpath "$1")
samples=$(realpath "${2:-$(dirname "$0")/../samples}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The sRGB profile embedded in JPEG, PNG and float TIFF files carries the time it was made: the
# runs see a stopped clock, so that two runs of one build write the same bytes.
cat >clock.c <<'C'
#include <time.h>
time_t time(time_t* t) { if (t) *t = 946684800; return 946684800; }
C
cc -shared -fPIC -O1 -o clock.so clock.c
export LD_PRELOAD="$work/clock.so"
# A sanitizer build accepts a library loaded before its runtime.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
# Short relative names: the report prints the paths as given.
cp "$samples/bracket_minus2.jpg" m2.jpg
cp "$samples/bracket_0.jpg" e0.jpg
cp "$samples/bracket_plus2.jpg" p2.jpg

manifest() {
  local name=$1
  shift
  mkdir -p out
  local status=0
  "$cli" --quiet "$@" >out/stdout 2>out/stderr || status=$?
  echo "== $name (exit $status)"
  for f in $(cd out && ls | sort); do
    [ "$f" = stderr ] && continue
    [ -s "out/$f" ] || { echo "  $f empty"; continue; }
    echo "  $f $(sha256sum <"out/$f" | cut -c1-64)"
  done
  sed 's/^/  stderr: /' out/stderr
  rm -rf out
}

run_all() {
bracket=(--open m2.jpg --open e0.jpg --open p2.jpg)
base=(--open m2.jpg --open e0.jpg --shift 2,-1 --open p2.jpg --gamma 140 --saturation 30)

# ---- stack: opening with a shift, removing, dumps, report
manifest open-shift "${bracket[@]:0:2}" --shift 3,-2 "${bracket[@]:2}" --dump-stack out/s.pfm --report out/r.json
manifest remove "${bracket[@]}" --remove 2 --dump-stack out/s.pfm --report -
manifest remove-last "${bracket[@]}" --remove 3 --remove 1 --report out/r.json
manifest tiff-gamma --tiff-gamma no "${bracket[@]}" --report out/r.json

# ---- tone settings, one at a time and together; the render and its report
manifest defaults "${bracket[@]}" --process --dump-processed out/p.pfm --report out/r.json
manifest gamma "${bracket[@]}" --gamma 37 --dump-processed out/p.pfm
manifest saturation "${bracket[@]}" --saturation -60 --dump-processed out/p.pfm
manifest saturation-high "${bracket[@]}" --saturation 250 --dump-processed out/p.pfm
manifest white "${bracket[@]}" --white 180 --dump-processed out/p.pfm --report out/r.json
manifest black "${bracket[@]}" --black 40 --dump-processed out/p.pfm --report out/r.json
manifest points-cross "${bracket[@]}" --black 200 --white 100 --dump-processed out/p.pfm --report out/r.json
manifest points-equal "${bracket[@]}" --white 90 --black 90 --dump-processed out/p.pfm
manifest curve-smooth "${bracket[@]}" --point 50,80 --point 140,150 --dump-processed out/p.pfm
manifest curve-linear "${bracket[@]}" --curve linear --point 30,70 --point 100,110 --point 170,185 \
  --dump-processed out/p.pfm
manifest all-tone "${base[@]}" --white 230 --black 12 --curve linear --point 40,60 --process \
  --dump-processed out/p.pfm --report out/r.json
manifest tone-after-render "${bracket[@]}" --process --gamma 120 --white 200 --curve linear --point 9,9 \
  --dump-processed out/p.pfm
manifest process-twice "${bracket[@]}" --process --gamma 180 --process --dump-processed out/p.pfm

# ---- filters and colour: each with settings away from its defaults, then all in a row
manifest blur "${base[@]}" --blur sigma=25,opacity=70 --dump-processed out/p.pfm
manifest blur-defaults "${base[@]}" --blur "" --dump-processed out/p.pfm
manifest sharpen "${base[@]}" --sharpen amount=150,sigma=20 --dump-processed out/p.pfm
manifest sharpen-wide "${base[@]}" --sharpen sigma=50,amount=10 --dump-processed out/p.pfm
manifest median "${base[@]}" --median shape=box,size=3,threshold=95,opacity=60 --dump-processed out/p.pfm
manifest median-hbar "${base[@]}" --median shape=hbar,size=1,threshold=100 --dump-processed out/p.pfm
manifest median-vbar "${base[@]}" --median shape=vbar,threshold=99 --dump-processed out/p.pfm
manifest median-plus "${base[@]}" --median shape=plus,size=3,threshold=90,opacity=1 --dump-processed out/p.pfm
manifest bilateral "${base[@]}" --bilateral sigma=30,threshold=20,opacity=80 --dump-processed out/p.pfm
manifest bilateral-edge "${base[@]}" --bilateral sigma=80,threshold=1 --dump-processed out/p.pfm
manifest neutral "${base[@]}" --neutral-sample 300,200 --neutral --dump-processed out/p.pfm
manifest neutral-point "${base[@]}" --neutral-sample 40,30,0 --neutral --dump-processed out/p.pfm
manifest neutral-unsampled "${base[@]}" --neutral --dump-processed out/p.pfm
manifest balance "${base[@]}" --balance-sample shadows,100,400,4 --balance-sample midtones,320,240 \
  --balance-sample highlights,600,50,1 --balance-target shadows,20,30,60 --balance-target midtones,140,120,100 \
  --balance-target highlights,250,240,200 --balance --dump-processed out/p.pfm
manifest balance-untargeted "${base[@]}" --balance-sample midtones,320,240 --balance --dump-processed out/p.pfm
manifest balance-none "${base[@]}" --balance --dump-processed out/p.pfm
manifest chain "${base[@]}" --blur sigma=12,opacity=50 --median shape=box,size=2,threshold=95 \
  --sharpen amount=120,sigma=15 --bilateral sigma=20,threshold=15,opacity=90 --neutral-sample 200,100,3 --neutral \
  --balance-sample midtones,100,60 --balance-target midtones,140,120,100 --balance --dump-processed out/p.pfm \
  --report out/r.json

# ---- saving
manifest tiff-8-deflate "${base[@]}" --sharpen amount=80 --save out/a.tif
manifest tiff-8-none "${base[@]}" --save out/a.tif --compression none
manifest tiff-16-deflate "${base[@]}" --save out/a.tif --bits 16
manifest tiff-16-none "${base[@]}" --save out/a.tif --bits 16 --compression none
manifest tiff-by-format "${base[@]}" --save out/a.picture --format tiff --bits 16 --compression deflate
manifest bmp "${base[@]}" --median "" --save out/a.bmp
manifest jpeg "${base[@]}" --save out/a.jpg
manifest jpeg-quality "${base[@]}" --save out/a.jpeg --quality 60
manifest jpeg-by-format "${base[@]}" --save out/a.out --format jpeg --quality 100
manifest saves-in-order "${base[@]}" --save out/1.tif --blur "" --save out/2.bmp --dump-processed out/3.pfm

# ---- the help text and the messages of bad usage and bad input
manifest help --help
manifest nothing
manifest only-quiet --quiet
manifest unknown "${bracket[@]}" --frobnicate
manifest shift-alone --shift 1,1
manifest shift-bad --open e0.jpg --shift 1
manifest shift-word --open e0.jpg --shift a,1
manifest open-missing --open missing.jpg
manifest open-type --open m2.txt
manifest open-no-value --open
manifest tiff-gamma-bad --tiff-gamma maybe
manifest process-empty --process
manifest report-empty --report out/r.json
manifest dump-empty --dump-stack out/s.pfm
manifest remove-range "${bracket[@]}" --remove 4
manifest remove-word "${bracket[@]}" --remove two
manifest gamma-low "${bracket[@]}" --gamma 0
manifest gamma-word "${bracket[@]}" --gamma abc
manifest gamma-plus "${bracket[@]}" --gamma +150 --dump-processed out/p.pfm
manifest saturation-high-bad "${bracket[@]}" --saturation 301
manifest saturation-low-bad "${bracket[@]}" --saturation -100
manifest white-bad "${bracket[@]}" --white 256
manifest black-bad "${bracket[@]}" --black -1
manifest curve-bad "${bracket[@]}" --curve cubic
manifest point-one "${bracket[@]}" --point 1
manifest point-word "${bracket[@]}" --point a,1
manifest point-outside "${bracket[@]}" --point 300,10
manifest point-repeated "${bracket[@]}" --point 50,50 --point 50,60
manifest point-eight "${bracket[@]}" --point 10,10 --point 20,20 --point 30,30 --point 40,40 --point 50,50 \
  --point 60,60 --point 70,70 --point 80,80
manifest blur-low "${bracket[@]}" --blur sigma=0
manifest blur-high "${bracket[@]}" --blur opacity=101
manifest blur-word "${bracket[@]}" --blur sigma=x
manifest blur-key "${bracket[@]}" --blur colour=3
manifest blur-no-equals "${bracket[@]}" --blur sigma
manifest blur-no-value "${bracket[@]}" --blur
manifest sharpen-high "${bracket[@]}" --sharpen amount=201
manifest sharpen-sigma "${bracket[@]}" --sharpen sigma=51
manifest median-shape "${bracket[@]}" --median shape=ring
manifest median-size "${bracket[@]}" --median size=4
manifest median-threshold "${bracket[@]}" --median threshold=-1
manifest median-opacity "${bracket[@]}" --median opacity=0
manifest bilateral-key "${bracket[@]}" --bilateral colour=3
manifest bilateral-threshold "${bracket[@]}" --bilateral threshold=31
manifest bilateral-sigma "${bracket[@]}" --bilateral sigma=81
manifest neutral-sample-short "${bracket[@]}" --neutral-sample 5
manifest neutral-sample-outside "${bracket[@]}" --neutral-sample 640,10
manifest neutral-sample-radius "${bracket[@]}" --neutral-sample 10,10,5
manifest neutral-empty --neutral
manifest balance-sample-range "${bracket[@]}" --balance-sample skies,1,1
manifest balance-sample-short "${bracket[@]}" --balance-sample midtones,1
manifest balance-target-byte "${bracket[@]}" --balance-target midtones,1,2,256
manifest balance-target-short "${bracket[@]}" --balance-target midtones,1,2
manifest balance-empty --balance
manifest save-type "${bracket[@]}" --save out/a.png
manifest save-format "${bracket[@]}" --save out/a.tif --format png
manifest save-bits "${bracket[@]}" --save out/a.tif --bits 12
manifest save-compression "${bracket[@]}" --save out/a.tif --compression lzw
manifest save-quality "${bracket[@]}" --save out/a.jpg --quality 5
manifest save-quality-tiff "${bracket[@]}" --save out/a.tif --quality 50
manifest save-bits-jpeg "${bracket[@]}" --save out/a.jpg --bits 8
manifest save-folder "${bracket[@]}" --save out/no/such/a.tif
manifest save-empty --save out/a.tif
manifest modifier-alone "${bracket[@]}" --bits 8
convert e0.jpg -resize 50% small.jpg
manifest wrong-size --open e0.jpg --open small.jpg

# ---- automatic alignment, ghost removal, fusion, local contrast, the newer files
manifest shift-auto --open m2.jpg --open e0.jpg --shift auto --open p2.jpg --shift auto --dump-stack out/s.pfm --report out/r.json
manifest deghost "${bracket[@]}" --deghost 2,strength=70 --dump-stack out/s.pfm --dump-ghost-mask out/g.pfm --report -
manifest deghost-range "${bracket[@]}" --deghost 2,strength=101
manifest ghost-mask-alone "${bracket[@]}" --dump-ghost-mask out/g.pfm
manifest fuse "${bracket[@]}" --fuse contrast=150,saturation=50,exposure=120 --dump-processed out/p.pfm
manifest fuse-defaults "${bracket[@]}" --fuse --save out/a.tif --bits 16
manifest fuse-range "${bracket[@]}" --fuse exposure=201
manifest local-contrast "${bracket[@]}" --local-contrast compression=70,detail=150,radius=30 --dump-processed out/p.pfm
manifest local-contrast-defaults "${bracket[@]}" --local-contrast --process --save out/a.png --bits 16
manifest local-contrast-range "${bracket[@]}" --local-contrast radius=4
manifest save-png8 "${bracket[@]}" --save out/a.png --metadata no
manifest save-hdr-exr "${bracket[@]}" --save-hdr out/a.exr
manifest save-hdr-rgbe "${bracket[@]}" --save-hdr out/a.hdr
manifest save-hdr-tiff "${bracket[@]}" --save-hdr out/a.tif
manifest save-hdr-pfm "${bracket[@]}" --save-hdr out/a.pfm
convert e0.jpg e0.png
manifest open-png --open m2.jpg --open e0.png --open p2.jpg --process --dump-processed out/p.pfm
}

if [ -z "$check" ]; then
  run_all
  exit 0
fi
run_all >"$work/manifest"
if ! diff -u "$check" "$work/manifest"; then
  echo "cli_outputs: the outputs above differ from the recorded ones ($check)" >&2
  exit 1
fi
echo "cli_outputs: every output is as recorded"
