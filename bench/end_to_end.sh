#!/usr/bin/env bash
# End to end on brackets of three JPEGs (-2, 0, +2 EV of one detailed synthetic scene) at 24, 96
# and 200 megapixels: sombrel-cli opens and merges them, renders the stack and saves a 16-bit
# Deflate TIFF, under /usr/bin/time -v. Prints wall time, processor time (user + system, which
# holds better while other programs share the cores) and peak memory per size, and the ratios
# to the 24-megapixel run. Not a test: a measurement, as every figure in bench/ is.
#
#   bench/end_to_end.sh                 # all three sizes, each run twice (the faster one counts)
#   SIZES="24 96" REPEAT=3 bench/end_to_end.sh
#   BUILD=build-other bench/end_to_end.sh
#   BASE=/path/to/older/sombrel-cli bench/end_to_end.sh   # also times that build, run for run
#
# With BASE, each run of ours is followed by one of the other build on the same bracket, and the
# table adds our time as a ratio to theirs (and checks that both wrote the same TIFF).
#
# The brackets live in a temporary folder that is removed at the end. A size whose run would not
# fit in the memory available now (about 50 bytes a pixel, 10 GB at 200 megapixels) is skipped.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
sizes=${SIZES:-24 96 200}
repeat=${REPEAT:-2}
cli=$build/src/sombrel-cli
maker=$build/bench/make_bracket

if [[ ! -x $cli || ! -x $maker ]]; then
    echo "building sombrel-cli and make_bracket in $build" >&2
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSV_BUILD_GUI=OFF >/dev/null
    cmake --build "$build" -j2 --target sombrel-cli make_bracket >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sombrel-end-to-end.XXXXXX")
trap 'rm -rf "$work"' EXIT

dimensions() {
    case $1 in
        24) echo "6000 4000" ;;
        96) echo "12000 8000" ;;
        200) echo "17400 11500" ;;
        *) echo "unknown size $1 (24, 96 or 200)" >&2; exit 1 ;;
    esac
}

available_kb() { awk '/^MemAvailable:/ { print $2 }' /proc/meminfo; }

base=${BASE:-}
declare -A seconds cpu peak baseSeconds baseCpu

# Runs one CLI on the bracket under /usr/bin/time; sets wall, used and rss.
timed() {
    /usr/bin/time -v -o "$work/time.txt" "$1" --quiet \
        --open "$work/scene_minus2.jpg" --open "$work/scene_0.jpg" --open "$work/scene_plus2.jpg" \
        --process --save "$2" --bits 16 --compression deflate
    # "Elapsed (wall clock) time (h:mm:ss or m:ss): 0:02.61" -> seconds
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0;
               for (i = 1; i <= n; ++i) s = s * 60 + p[i]; print s }' "$work/time.txt")
    used=$(awk -F': ' '/User time|System time/ { s += $2 } END { print s }' "$work/time.txt")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
}
smaller() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
for mp in $sizes; do
    read -r w h <<<"$(dimensions "$mp")"
    need_kb=$(( w * h / 1024 * 50 ))
    if (( need_kb > $(available_kb) )); then
        echo "${mp} MP: skipped, needs about $(( need_kb / 1048576 )) GB and $(( $(available_kb) / 1048576 )) GB are available" >&2
        continue
    fi
    echo "${mp} MP: making the bracket (${w} x ${h})" >&2
    "$maker" "$w" "$h" "$work/scene"
    for (( run = 1; run <= repeat; ++run )); do
        timed "$cli" "$work/out.tif"
        echo "${mp} MP: run ${run}: ${wall} s, ${used} s of processor time, $(( rss / 1024 )) MB peak" >&2
        if [[ -z ${seconds[$mp]:-} ]] || smaller "$wall" "${seconds[$mp]}"; then
            seconds[$mp]=$wall
        fi
        if [[ -z ${cpu[$mp]:-} ]] || smaller "$used" "${cpu[$mp]}"; then
            cpu[$mp]=$used
        fi
        if [[ -z ${peak[$mp]:-} ]] || (( rss > peak[$mp] )); then peak[$mp]=$rss; fi
        if [[ -n $base ]]; then
            timed "$base" "$work/base.tif"
            echo "${mp} MP: run ${run}: the other build: ${wall} s, ${used} s of processor time, $(( rss / 1024 )) MB peak" >&2
            cmp -s "$work/out.tif" "$work/base.tif" || echo "${mp} MP: the two builds wrote different TIFFs" >&2
            if [[ -z ${baseSeconds[$mp]:-} ]] || smaller "$wall" "${baseSeconds[$mp]}"; then baseSeconds[$mp]=$wall; fi
            if [[ -z ${baseCpu[$mp]:-} ]] || smaller "$used" "${baseCpu[$mp]}"; then baseCpu[$mp]=$used; fi
            rm -f "$work/base.tif"
        fi
        rm -f "$work/out.tif"
    done
    rm -f "$work"/scene_*.jpg
done

echo
echo "sombrel-cli, three JPEGs opened, merged, rendered and saved as a 16-bit Deflate TIFF"
echo "processor: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores"
printf '%-6s %9s %9s %14s %12s %12s %14s\n' size seconds "cpu s" "peak memory" "time / 24MP" "cpu / 24MP" \
    "pixels / 24MP"
ratio() { if [[ -n ${2:-} ]]; then awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", a / b }'; else echo -; fi; }
for mp in $sizes; do
    [[ -n ${seconds[$mp]:-} ]] || continue
    printf '%-6s %9.2f %9.2f %11.2f GB %12s %12s %14s\n' "${mp}MP" "${seconds[$mp]}" "${cpu[$mp]}" \
        "$(awk -v k="${peak[$mp]}" 'BEGIN { print k / 1048576 }')" "$(ratio "${seconds[$mp]}" "${seconds[24]:-}")" \
        "$(ratio "${cpu[$mp]}" "${cpu[24]:-}")" "$(awk -v m="$mp" 'BEGIN { printf "%.2fx", m / 24 }')"
done
if [[ -n $base ]]; then
    echo
    echo "against $base, run for run (the faster of each)"
    printf '%-6s %12s %12s\n' size "time / base" "cpu / base"
    for mp in $sizes; do
        [[ -n ${baseSeconds[$mp]:-} ]] || continue
        printf '%-6s %12s %12s\n' "${mp}MP" "$(ratio "${seconds[$mp]}" "${baseSeconds[$mp]}")" \
            "$(ratio "${cpu[$mp]}" "${baseCpu[$mp]}")"
    done
fi
