#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on its seed corpus; fails on the first crash, hang,
# sanitizer report or memory blow-up.
#   fuzz/run_all.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?usage: fuzz/run_all.sh BUILD_DIR SECONDS}
seconds=${2:-60}
build=$(cd "$build" && pwd)
work="$build/fuzz-run"
rm -rf "$work"
mkdir -p "$work/seeds" "$work/artifacts"
"$build/fuzz/make_fuzz_seeds" "$work/seeds"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
# The PNG and PFM readers are thin (libpng does PNG's decoding): a quarter of the time each.
for reader in tiff rgbe jpeg bmp png pfm; do
  target="$build/fuzz/fuzz_$reader"
  time_for=$seconds
  case $reader in png|pfm) time_for=$(( (seconds + 3) / 4 )) ;; esac
  mkdir -p "$work/corpus-$reader"
  echo "fuzz: $reader for ${time_for}s"
  # New inputs go to the first folder; the seeds stay as they were made.
  if ! "$target" -max_total_time="$time_for" -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 \
       -artifact_prefix="$work/artifacts/$reader-" "$work/corpus-$reader" "$work/seeds/$reader" \
       >"$work/$reader.log" 2>&1; then
    echo "fuzz: $reader FAILED (see $work/$reader.log and $work/artifacts)" >&2
    tail -n 60 "$work/$reader.log" >&2
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done" "$work/$reader.log" || true
  fi
done
exit $status
