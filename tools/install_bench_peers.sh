#!/usr/bin/env bash
# Installs, on Debian 12 as root, the peer programs some benchmarks in bench/ time ours against
# (with whatever the build needs). Not needed to build or test the program: test.sh does not
# call it.
set -euo pipefail
exec "$(dirname "$0")/install_deps.sh" luminance-hdr hyperfine
