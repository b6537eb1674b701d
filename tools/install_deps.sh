#!/usr/bin/env bash
# Installs, on Debian 12 as root, whatever the build and the tests need and is missing, and any
# packages named as arguments.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
  zlib1g-dev libjpeg62-turbo-dev libturbojpeg0-dev libjpeg-turbo-progs libstb-dev libtbb-dev
  libgtest-dev libgmock-dev libbenchmark-dev libopencv-dev python3-skimage
  clang libclang-rt-14-dev
  imagemagick libtiff-tools python3 python3-pil python3-numpy
  xvfb xauth x11-apps
  enfuse libopencv-dev python3-opencv python3-skimage
  libraw-dev libexiv2-dev libopenexr-dev liblcms2-dev libpng-dev
  libimage-exiftool-perl openexr libmagickcore-6.q16-6-extra nlohmann-json3-dev
)
packages+=("$@")  # more packages a caller needs (tools/install_bench_peers.sh)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
