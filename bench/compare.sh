#!/usr/bin/env bash
# Times our merge engine against qpdf and mutool on the same generated waybills.
#
#   bench/compare.sh
#
# Needs a build made beforehand (this script builds nothing):
#   cmake -S . -B build -G Ninja && cmake --build build
# BUILD_DIR picks another build folder (default: build); REPEATS the number of runs per
# measurement (default 3; the median is reported).
#
# Makes 1000 and 2000 waybills once (make_waybills, fixed seed), then measures with
# /usr/bin/time -v the wall time and peak RSS of:
#   build/tools/merge_files --nup 1|4|9 --out OUT INPUT.pdf...
#   qpdf --empty --pages INPUT.pdf... -- OUT
#   mutool merge -o OUT INPUT.pdf...
# prints one table row per tool, N and layout, then the ratios against their targets,
# each marked PASS or FAIL. Exit status: 0 when every target passes, 1 otherwise, 2
# when something needed is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
repeats="${REPEATS:-3}"
merge_files="$build/tools/merge_files"
make_waybills="$build/bench/make_waybills"

source "$root/bench/common.sh"
require_built compare.sh "$merge_files" "$make_waybills"
require_tools compare.sh qpdf mutool /usr/bin/time

work="$(mktemp -d "${TMPDIR:-/tmp}/mergalo_compare.XXXXXX")"
trap 'rm -rf "$work"' EXIT

sizes=(1000 2000)
for n in "${sizes[@]}"; do
    "$make_waybills" --count "$n" --out "$work/in$n" --seed 2024 >/dev/null
done

declare -A secs cpu mb bytes pages


# measure KEY OUT COMMAND...: runs COMMAND `repeats` times (OUT removed before each run)
# and records the median wall seconds, CPU seconds (user + system) and peak MB, and
# OUT's size and page count.
measure() {
    local key="$1" out="$2"
    shift 2
    local s=() c=() m=() i
    for ((i = 0; i < repeats; i++)); do
        rm -f "$out"
        if ! /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/stdout.txt" 2>"$work/stderr.txt"; then
            echo "compare.sh: $key failed:" >&2
            tail -n 5 "$work/stderr.txt" >&2
            exit 1
        fi
        s+=("$(awk -F': ' '/Elapsed \(wall clock\)/ {
                   n = split($2, t, ":"); v = 0
                   for (j = 1; j <= n; j++) v = v * 60 + t[j]
                   print v }' "$work/time.txt")")
        c+=("$(awk -F': ' '/User time|System time/ { v += $2 } END { print v }' "$work/time.txt")")
        m+=("$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$work/time.txt")")
    done
    secs[$key]="$(median "${s[@]}")"
    cpu[$key]="$(median "${c[@]}")"
    mb[$key]="$(median "${m[@]}")"
    bytes[$key]="$(stat -c %s "$out")"
    pages[$key]="$(qpdf --show-npages "$out")"
}

for n in "${sizes[@]}"; do
    mapfile -t files < <(find "$work/in$n" -name '*.pdf' | LC_ALL=C sort)
    for nup in 1 4 9; do
        measure "ours/$n/$nup" "$work/ours.pdf" "$merge_files" --nup "$nup" --out "$work/ours.pdf" "${files[@]}"
    done
    measure "qpdf/$n/1" "$work/qpdf.pdf" qpdf --empty --pages "${files[@]}" -- "$work/qpdf.pdf"
    measure "mutool/$n/1" "$work/mutool.pdf" mutool merge -o "$work/mutool.pdf" "${files[@]}"
done

echo
echo "Merging generated waybills (4 of 5 are 105 x 148 mm labels, 1 of 5 A4); median of $repeats runs"
echo "(targets use wall seconds; CPU seconds show how much of a gap is load from other processes)"
printf '%-7s %5s %6s %8s %8s %8s %10s %6s\n' tool N layout seconds "CPU s" "peak MB" "output MB" pages
for n in "${sizes[@]}"; do
    for key in "ours/$n/1" "ours/$n/4" "ours/$n/9" "qpdf/$n/1" "mutool/$n/1"; do
        IFS=/ read -r tool _ nup <<<"$key"
        printf '%-7s %5s %6s %8.2f %8.2f %8.1f %10.2f %6s\n' "$tool" "$n" "$nup" "${secs[$key]}" "${cpu[$key]}" \
            "${mb[$key]}" \
            "$(awk -v b="${bytes[$key]}" 'BEGIN { print b / 1048576 }')" "${pages[$key]}"
    done
done


echo
echo "Targets"
for n in "${sizes[@]}"; do
    expect=("ours/$n/1:$n" "ours/$n/4:$(((n + 3) / 4))" "ours/$n/9:$(((n + 8) / 9))"
            "qpdf/$n/1:$n" "mutool/$n/1:$n")
    for e in "${expect[@]}"; do
        key="${e%%:*}"
        [[ "${pages[$key]}" == "${e##*:}" ]] || {
            echo "  page count of $key: ${pages[$key]}, expected ${e##*:}   FAIL"
            failures=$((failures + 1))
        }
    done
done
check "time ours L1 / mutool, N=1000" "$(ratio "${secs[ours/1000/1]}" "${secs[mutool/1000/1]}")" "<=" 2
for n in "${sizes[@]}"; do
    check "size ours L1 / qpdf, N=$n" "$(ratio "${bytes[ours/$n/1]}" "${bytes[qpdf/$n/1]}")" "<" 1
    check "size ours L1 / mutool, N=$n" "$(ratio "${bytes[ours/$n/1]}" "${bytes[mutool/$n/1]}")" "<" 1
done
for nup in 1 4 9; do
    check "time N=2000 / N=1000, ours L$nup" "$(ratio "${secs[ours/2000/$nup]}" "${secs[ours/1000/$nup]}")" "<=" 2.2
done
for n in "${sizes[@]}"; do
    for nup in 4 9; do
        check "time L$nup / L1, ours N=$n" "$(ratio "${secs[ours/$n/$nup]}" "${secs[ours/$n/1]}")" "<=" 2
    done
done
for nup in 1 4 9; do
    check "peak MB ours L$nup, N=2000" "${mb[ours/2000/$nup]}" "<" 400
done

finish
