#!/usr/bin/env bash
# Builds the window's job tests with ThreadSanitizer and runs them:
#   tests/ui/tsan/run_window_tsan.sh [BUILD_DIR]
# oneTBB runs on one thread there (the system's oneTBB is not instrumented), and reports from
# inside Qt's own uninstrumented libraries are suppressed (qt.supp); the job worker, the window's
# thread and the buffers they hand over are checked.
set -euo pipefail
cd "$(dirname "$0")/../../.."
build=${1:-build-tsan}
jobs=$(nproc)
# Function entry/exit hooks would run inside ifunc resolvers before the sanitizer is up.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSV_BUILD_BENCH=OFF -DSV_TBB_SERIAL_TESTS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread --param=tsan-instrument-func-entry-exit=0" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j"$jobs" --target test_view_jobs_save jobs_tsan
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 suppressions=$PWD/tests/ui/tsan/qt.supp"
"$build/tests/ui/jobs_tsan"
QT_QPA_PLATFORM=offscreen "$build/tests/ui/test_view_jobs_save"
echo "run_window_tsan.sh: the job tests pass under ThreadSanitizer"
