#!/usr/bin/env bash
# Installs what is missing, builds, and starts Sombrel Varno.
# On a machine without a display:  xvfb-run -a ./run.sh
set -euo pipefail
cd "$(dirname "$0")"
tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DSV_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/src/mainwindow/sombrel-varno ]; then
  exec build/src/mainwindow/sombrel-varno "$@"
fi
# Without the window, show the engine at work on the bundled bracket.
exec build/src/sombrel-cli --open samples/bracket_minus2.jpg --open samples/bracket_0.jpg \
  --open samples/bracket_plus2.jpg --report - "$@"
