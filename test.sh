#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the engine and window tests, the same
# engine tests under AddressSanitizer/UBSan, the window's job tests under ThreadSanitizer, and the
# fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")"
tools/install_deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs" --timeout 600)

if [ "${SV_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSV_SANITIZE=ON -DSV_BUILD_GUI=OFF -DSV_BUILD_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest --output-on-failure -j"$jobs" --timeout 900 -L engine)
fi

if [ "${SV_SKIP_TSAN:-0}" != 1 ] && [ -x tests/ui/tsan/run_window_tsan.sh ]; then
  tests/ui/tsan/run_window_tsan.sh build-tsan
fi

if [ "${SV_SKIP_FUZZ:-0}" != 1 ] && [ -f fuzz/CMakeLists.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSV_FUZZ=ON \
    -DSV_BUILD_GUI=OFF -DSV_BUILD_BENCH=OFF -DSV_BUILD_TESTS=OFF >/dev/null
  cmake --build build-fuzz -j"$jobs"
  fuzz/run_all.sh build-fuzz "${SV_FUZZ_SECONDS:-60}"
fi
echo "test.sh: all tests passed"
