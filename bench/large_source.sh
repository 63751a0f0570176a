#!/usr/bin/env bash
# Times a merge of one source of 20,000 pages against a merge of the same 20,000 pages
# brought by 20 sources of 1,000 pages each, in layouts 1, 4 and 9: a source's pages
# must cost the same whether they come in one file or in many.
#
#   bench/large_source.sh
#
# Needs a build made beforehand (this script builds nothing):
#   cmake -S . -B build -G Ninja && cmake --build build
# BUILD_DIR picks another build folder (default: build); REPEATS the number of runs per
# measurement (default 3; the median is reported).
#
# The two hold the same data: 1000 waybills (make_waybills, fixed seed) in 20 groups of
# 50; each group, merged 20 times over (merge_files --nup 1, which stores repeated
# objects once), is a source of 1,000 pages that shares its resources among them, and
# the 20 of them are the peer; their merge (merge_files --nup 1) is the source of 20,000
# pages. Then measures with /usr/bin/time -v the wall time and peak RSS of
#   build/tools/merge_files --nup 1|4|9 --out OUT part01.pdf ... part20.pdf
#   build/tools/merge_files --nup 1|4|9 --out OUT whole.pdf
# Targets: the one source within 2 x the time of the 20 sources in each layout, and both
# outputs with the same number of sheets. Exit status: 0 when every target passes, 1
# otherwise, 2 when something needed is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
repeats="${REPEATS:-3}"
merge_files="$build/tools/merge_files"
make_waybills="$build/bench/make_waybills"
parts=20
per_part=1000

source "$root/bench/common.sh"
require_built large_source.sh "$merge_files" "$make_waybills"
require_tools large_source.sh qpdf /usr/bin/time

work="$(mktemp -d "${TMPDIR:-/tmp}/mergalo_large.XXXXXX")"
trap 'rm -rf "$work"' EXIT

group=50
"$make_waybills" --count $((parts * group)) --out "$work/waybills" --seed 2024 >/dev/null
mapfile -t waybills < <(find "$work/waybills" -name '*.pdf' | LC_ALL=C sort)
part_files=()
for ((i = 0; i < parts; i++)); do
    part_files+=("$work/part$(printf '%02d' $((i + 1))).pdf")
    inputs=()
    for ((k = 0; k < per_part / group; k++)); do inputs+=("${waybills[@]:i * group:group}"); done
    "$merge_files" --nup 1 --out "${part_files[-1]}" "${inputs[@]}" >/dev/null
done
rm -rf "$work/waybills"
"$merge_files" --nup 1 --out "$work/whole.pdf" "${part_files[@]}" >/dev/null
[[ "$(qpdf --show-npages "$work/whole.pdf")" == $((parts * per_part)) ]] || {
    echo "large_source.sh: the source of $((parts * per_part)) pages came out with another page count" >&2
    exit 1
}
echo "sources: 20 x $(du -ch "${part_files[@]}" | tail -n 1 | cut -f1) in all, 1 x $(du -h "$work/whole.pdf" | cut -f1)"

declare -A secs mb sheets

# measure KEY COMMAND...: runs COMMAND `repeats` times (its output removed before each
# run) and records the median wall seconds and peak MB, and the output's page count.
measure() {
    local key="$1"
    shift
    local s=() m=() i
    for ((i = 0; i < repeats; i++)); do
        rm -f "$work/out.pdf"
        if ! /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt"; then
            echo "large_source.sh: $key failed:" >&2
            tail -n 5 "$work/stderr.txt" >&2
            exit 1
        fi
        s+=("$(awk -F': ' '/Elapsed \(wall clock\)/ {
                   n = split($2, t, ":"); v = 0
                   for (j = 1; j <= n; j++) v = v * 60 + t[j]
                   print v }' "$work/time.txt")")
        m+=("$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$work/time.txt")")
    done
    secs[$key]="$(median "${s[@]}")"
    mb[$key]="$(median "${m[@]}")"
    sheets[$key]="$(qpdf --show-npages "$work/out.pdf")"
}

for nup in 1 4 9; do
    measure "parts/$nup" "$merge_files" --nup "$nup" --out "$work/out.pdf" "${part_files[@]}"
    measure "whole/$nup" "$merge_files" --nup "$nup" --out "$work/out.pdf" "$work/whole.pdf"
done

echo
echo "The same $((parts * per_part)) waybill pages as $parts sources of $per_part pages and as one source; median of $repeats runs"
printf '%-26s %6s %8s %8s %7s\n' sources layout seconds "peak MB" sheets
for nup in 1 4 9; do
    printf '%-26s %6s %8.2f %8.1f %7s\n' "$parts x $per_part pages" "$nup" "${secs[parts/$nup]}" "${mb[parts/$nup]}" \
        "${sheets[parts/$nup]}"
    printf '%-26s %6s %8.2f %8.1f %7s\n' "1 x $((parts * per_part)) pages" "$nup" "${secs[whole/$nup]}" \
        "${mb[whole/$nup]}" "${sheets[whole/$nup]}"
done

echo
echo "Targets"
for nup in 1 4 9; do
    [[ "${sheets[whole/$nup]}" == "${sheets[parts/$nup]}" ]] || {
        echo "  sheets of the one source in layout $nup: ${sheets[whole/$nup]}, of the $parts sources: ${sheets[parts/$nup]}   FAIL"
        failures=$((failures + 1))
    }
    check "time 1 x $((parts * per_part)) / $parts x $per_part, L$nup" \
        "$(ratio "${secs[whole/$nup]}" "${secs[parts/$nup]}")" "<=" 2
done

finish
