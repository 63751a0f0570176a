#!/usr/bin/env bash
# Times one whole merge job (build/tools/merge_zip ARCHIVE NUP) on an archive of 1000
# generated waybills, against the sum of its parts measured in the same run.
#
#   bench/job.sh
#
# Needs a build made beforehand (this script builds nothing):
#   cmake -S . -B build -G Ninja && cmake --build build
# BUILD_DIR picks another build folder (default: build); REPEATS the number of runs per
# measurement (default 3; the median is reported).
#
# For layouts 1 and 4, each repetition starts from nothing: a fresh folder holds a copy
# of merge_zip (so its history file lands beside that copy), a copy of the archive (the
# outputs are written beside it), and HOME, LOCALAPPDATA, the XDG folders and TMPDIR.
# The job then runs twice in a row: the first run finds every waybill new, the second
# finds every waybill known.
# The parts, timed one by one on the same archive: unzip -q into a temporary folder,
# sha256sum of the unpacked PDFs, and our merge alone (build/tools/merge_files).
# Target: each job run takes at most 1.25 x the sum of the parts' medians.
# Exit status: 0 when every target passes, 1 otherwise, 2 when something is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
repeats="${REPEATS:-3}"
count=1000
merge_zip="$build/tools/merge_zip"
merge_files="$build/tools/merge_files"
make_waybills="$build/bench/make_waybills"
history_bench="$build/bench/history_bench"

source "$root/bench/common.sh"
require_built job.sh "$merge_zip" "$merge_files" "$make_waybills" "$history_bench"
require_tools job.sh unzip sha256sum /usr/bin/time

work="$(mktemp -d "${TMPDIR:-/tmp}/mergalo_job.XXXXXX")"
trap 'rm -rf "$work"' EXIT
archive="$work/waybills.zip"
"$make_waybills" --count "$count" --out "$work/generated" --zip "$archive" --seed 2024 >/dev/null
rm -rf "$work/generated"

declare -A secs mb

for nup in 1 4; do
    first=() second=() first_mb=() second_mb=() unzip_s=() sha_s=() merge_s=() merge_mb=()
    for ((i = 0; i < repeats; i++)); do
        run="$work/run"
        rm -rf "$run"
        mkdir -p "$run"/{bin,home,local,tmp,archive,parts}
        cp "$merge_zip" "$run/bin/"
        cp "$archive" "$run/archive/"
        job=(env HOME="$run/home" LOCALAPPDATA="$run/local" XDG_CONFIG_HOME="$run/home/.config"
             XDG_DATA_HOME="$run/home/.local/share" TMPDIR="$run/tmp"
             "$run/bin/merge_zip" "$run/archive/waybills.zip" "$nup")

        read -r s m < <(timed "$run/first.txt" "${job[@]}")
        first+=("$s"); first_mb+=("$m")
        read -r s m < <(timed "$run/second.txt" "${job[@]}")
        second+=("$s"); second_mb+=("$m")
        # The history must have done its part: all new, then all known.
        if [[ "$(value file_count_new "$run/first.txt")" != "$count" ||
              "$(value file_count_new "$run/second.txt")" != 0 ||
              "$(value file_count_all "$run/second.txt")" != "$count" ]]; then
            echo "job.sh: unexpected merge results for layout $nup:" >&2
            cat "$run/first.txt" "$run/second.txt" >&2
            exit 1
        fi

        read -r s _ < <(timed /dev/null unzip -q "$run/archive/waybills.zip" -d "$run/parts")
        unzip_s+=("$s")
        mapfile -t files < <(find "$run/parts" -name '*.pdf' | LC_ALL=C sort)
        read -r s _ < <(timed /dev/null sha256sum "${files[@]}")
        sha_s+=("$s")
        read -r s m < <(timed /dev/null "$merge_files" --nup "$nup" --out "$run/merged.pdf" "${files[@]}")
        merge_s+=("$s"); merge_mb+=("$m")
    done
    secs[first/$nup]="$(median "${first[@]}")";  mb[first/$nup]="$(median "${first_mb[@]}")"
    secs[second/$nup]="$(median "${second[@]}")"; mb[second/$nup]="$(median "${second_mb[@]}")"
    secs[unzip/$nup]="$(median "${unzip_s[@]}")"
    secs[sha/$nup]="$(median "${sha_s[@]}")"
    secs[merge/$nup]="$(median "${merge_s[@]}")"; mb[merge/$nup]="$(median "${merge_mb[@]}")"
    secs[sum/$nup]="$(awk -v a="${secs[unzip/$nup]}" -v b="${secs[sha/$nup]}" -v c="${secs[merge/$nup]}" \
                        'BEGIN { print a + b + c }')"
done

echo
echo "Merge job on an archive of $count generated waybills; median of $repeats runs"
printf '%-34s %6s %8s %8s\n' step layout seconds "peak MB"
for nup in 1 4; do
    printf '%-34s %6s %8.2f %8.1f\n' "merge_zip, first run (all new)" "$nup" "${secs[first/$nup]}" "${mb[first/$nup]}"
    printf '%-34s %6s %8.2f %8.1f\n' "merge_zip, second run (all known)" "$nup" "${secs[second/$nup]}" "${mb[second/$nup]}"
    printf '%-34s %6s %8.2f %8s\n' "unzip -q" "$nup" "${secs[unzip/$nup]}" "-"
    printf '%-34s %6s %8.2f %8s\n' "sha256sum of the PDFs" "$nup" "${secs[sha/$nup]}" "-"
    printf '%-34s %6s %8.2f %8.1f\n' "merge_files (our merge alone)" "$nup" "${secs[merge/$nup]}" "${mb[merge/$nup]}"
    printf '%-34s %6s %8.2f\n' "sum of the parts" "$nup" "${secs[sum/$nup]}"
done

echo
echo "Targets"
for nup in 1 4; do
    for run in first second; do
        check "job ($run run) / sum of parts, L$nup" "$(ratio "${secs[$run/$nup]}" "${secs[sum/$nup]}")" "<=" 1.25
    done
done

# The history store alone: one load and one save of 20,000 entries, against the job.
history_s="$("$history_bench" 20000 | sed -n 's/.*load_save_seconds=//p')"
echo
printf '%-34s %8.3f s\n' "history load + save, 20000 entries" "$history_s"
for nup in 1 4; do
    check "history load+save / job (first run), L$nup" "$(ratio "$history_s" "${secs[first/$nup]}")" "<" 0.1
done

finish
