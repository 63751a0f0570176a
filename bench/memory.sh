#!/usr/bin/env bash
# The in-memory intake: a whole job against the floor of its parts, the files a job
# makes in the temporary folder, a repeat merge against a first one, and peak memory.
#
#   bench/memory.sh [PEER_MERGE_ZIP]
#
# Needs a build made beforehand (this script builds nothing); BUILD_DIR picks another
# build folder (default: build), REPEATS the runs per measurement (default 3; medians).
# PEER_MERGE_ZIP, when given, is another build of merge_zip (say, of the commit before a
# change): its outputs on the same archives must be byte for byte ours, and its times
# are printed beside ours as ratios.
#
# Archives: 1000 and 3000 generated waybills (one seed; the 1000 are the first of the
# 3000). Each job runs in a fresh folder (its own history, HOME, TMPDIR).
#   - floor: unzip -q + sha256sum of the PDFs + merge_files (our merge alone) on the
#     1000; target: merge_zip's first run at most 1.0 x the floor, layouts 1 and 4;
#   - files created in TMPDIR during a 1000-waybill job (inotifywait): target 0;
#   - the 3000 with the 1000 already in the history (two outputs) against the 3000 with
#     an empty history (one output), layout 4: target at most 1.3 x (with a peer: its
#     ratio, its full output byte for byte ours, its new-only one drawn alike);
#   - peak memory of the 3000-waybill jobs: target at most 400 MB.
# Exit status: 0 when every target passes, 1 otherwise, 2 when something is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
repeats="${REPEATS:-3}"
peer="${1:-}"
merge_zip="$build/tools/merge_zip"
merge_files="$build/tools/merge_files"
make_waybills="$build/bench/make_waybills"

source "$root/bench/common.sh"
require_built memory.sh "$merge_zip" "$merge_files" "$make_waybills"
require_tools memory.sh unzip zip sha256sum inotifywait cmp mutool /usr/bin/time

work="$(mktemp -d "${TMPDIR:-/tmp}/mergalo_memory.XXXXXX")"
trap 'rm -rf "$work"' EXIT
"$make_waybills" --count 3000 --out "$work/generated" --seed 2024 >/dev/null
mapfile -t all < <(cd "$work/generated" && find . -name '*.pdf' | LC_ALL=C sort)
(cd "$work/generated" && zip -q -X "$work/w3000.zip" "${all[@]}" && zip -q -X "$work/w1000.zip" "${all[@]:0:1000}")
rm -rf "$work/generated"

# fresh BINARY: a new run folder with a copy of BINARY (its history lands beside it).
fresh() {
    run="$work/run"
    rm -rf "$run"
    mkdir -p "$run"/{bin,home,local,tmp,archive,parts}
    cp "$1" "$run/bin/merge_zip"
}

# job OUT ARCHIVE NUP: merge_zip in the run folder on a copy of ARCHIVE there.
job() {
    cp -n "$2" "$run/archive/" 2>/dev/null || true
    # What the copy and the jobs before wrote reaches the disk first, so that a job's own
    # flushes do not wait for it.
    sync
    timed "$1" env HOME="$run/home" LOCALAPPDATA="$run/local" XDG_CONFIG_HOME="$run/home/.config" \
        XDG_DATA_HOME="$run/home/.local/share" TMPDIR="$run/tmp" \
        "$run/bin/merge_zip" "$run/archive/$(basename "$2")" "$3"
}

# drawn PDF: a checksum of each page drawn at 20 dpi, one per line.
drawn() {
    local d
    d="$(mktemp -d "$work/drawn.XXXXXX")"
    mutool draw -q -r 20 -o "$d/%d.pgm" "$1" 2>/dev/null
    (cd "$d" && ls | sort -n | xargs md5sum | awk '{ print $1 }')
    rm -rf "$d"
}

declare -A secs mb
binaries=(ours)
[[ -n "$peer" ]] && binaries+=(peer)
binary_of() { if [[ "$1" == ours ]]; then echo "$merge_zip"; else echo "$peer"; fi; }

created=0
for nup in 1 4; do
    for b in "${binaries[@]}"; do
        first=() first_mb=()
        for ((i = 0; i < repeats; i++)); do
            fresh "$(binary_of "$b")"
            inotifywait -q -m -r -e create --format '%w%f' "$run/tmp" >"$work/created.txt" 2>/dev/null &
            watcher=$!
            sleep 0.3
            read -r s m < <(job "$run/out.txt" "$work/w1000.zip" "$nup")
            sleep 0.3
            kill "$watcher" && wait "$watcher" 2>/dev/null || true
            [[ "$b" == ours ]] && created=$((created + $(wc -l <"$work/created.txt")))
            first+=("$s"); first_mb+=("$m")
            cp "$(value out_pdf_all "$run/out.txt")" "$work/$b-$nup.pdf"
        done
        secs[$b/$nup]="$(median "${first[@]}")"; mb[$b/$nup]="$(median "${first_mb[@]}")"
    done
    unzip_s=() sha_s=() merge_s=()
    for ((i = 0; i < repeats; i++)); do
        fresh "$merge_zip"
        read -r s _ < <(timed /dev/null unzip -q "$work/w1000.zip" -d "$run/parts"); unzip_s+=("$s")
        mapfile -t files < <(find "$run/parts" -name '*.pdf' | LC_ALL=C sort)
        read -r s _ < <(timed /dev/null sha256sum "${files[@]}"); sha_s+=("$s")
        read -r s _ < <(timed /dev/null "$merge_files" --nup "$nup" --out "$run/merged.pdf" "${files[@]}"); merge_s+=("$s")
    done
    secs[floor/$nup]="$(awk -v a="$(median "${unzip_s[@]}")" -v b="$(median "${sha_s[@]}")" \
                          -v c="$(median "${merge_s[@]}")" 'BEGIN { print a + b + c }')"
    secs[unzip_sha/$nup]="$(awk -v a="$(median "${unzip_s[@]}")" -v b="$(median "${sha_s[@]}")" 'BEGIN { print a + b }')"
done

# The 3000, with an empty history and with the first 1000 in it (layout 4); the peer's
# too when there is one, whose two outputs of the repeat merge must be ours byte for byte.
for b in "${binaries[@]}"; do
    empty=() known=() empty_mb=() known_mb=()
    for ((i = 0; i < repeats; i++)); do
        fresh "$(binary_of "$b")"
        read -r s m < <(job "$run/out.txt" "$work/w3000.zip" 4); empty+=("$s"); empty_mb+=("$m")
        fresh "$(binary_of "$b")"
        job /dev/null "$work/w1000.zip" 4 >/dev/null
        read -r s m < <(job "$run/out.txt" "$work/w3000.zip" 4); known+=("$s"); known_mb+=("$m")
        if [[ "$(value file_count_new "$run/out.txt")" != 2000 ]]; then
            echo "memory.sh: the repeat merge did not find 2000 new waybills:" >&2
            cat "$run/out.txt" >&2
            exit 1
        fi
        for k in all new; do cp "$(value "out_pdf_$k" "$run/out.txt")" "$work/$b-known-$k.pdf"; done
    done
    secs[$b/empty]="$(median "${empty[@]}")"; mb[$b/empty]="$(median "${empty_mb[@]}")"
    secs[$b/known]="$(median "${known[@]}")"; mb[$b/known]="$(median "${known_mb[@]}")"
done

echo
echo "Merge jobs on generated waybills; median of $repeats runs"
printf '%-52s %8s %8s\n' step seconds "peak MB"
for nup in 1 4; do
    printf '%-52s %8.2f %8.1f\n' "merge_zip, 1000 waybills, L$nup" "${secs[ours/$nup]}" "${mb[ours/$nup]}"
    [[ -n "$peer" ]] && printf '%-52s %8.2f %8.1f\n' "peer merge_zip, 1000 waybills, L$nup" "${secs[peer/$nup]}" "${mb[peer/$nup]}"
    printf '%-52s %8.2f\n' "unzip -q + sha256sum, L$nup" "${secs[unzip_sha/$nup]}"
    printf '%-52s %8.2f\n' "floor: unzip -q + sha256sum + merge_files, L$nup" "${secs[floor/$nup]}"
done
for b in "${binaries[@]}"; do
    name=merge_zip
    [[ "$b" == peer ]] && name="peer merge_zip"
    printf '%-52s %8.2f %8.1f\n' "$name, 3000 waybills, empty history" "${secs[$b/empty]}" "${mb[$b/empty]}"
    printf '%-52s %8.2f %8.1f\n' "$name, 3000 waybills, 1000 in the history" "${secs[$b/known]}" "${mb[$b/known]}"
done
printf '%-52s %8d\n' "files created in TMPDIR by our 1000-waybill jobs" "$created"

echo
echo "Targets"
for nup in 1 4; do
    check "job / floor, 1000 waybills, L$nup" "$(ratio "${secs[ours/$nup]}" "${secs[floor/$nup]}")" "<=" 1.0
    if [[ -n "$peer" ]]; then
        printf '  (job / peer job, L%s: %s)\n' "$nup" "$(ratio "${secs[ours/$nup]}" "${secs[peer/$nup]}")"
        check "outputs byte-identical to the peer's, L$nup" "$(cmp -s "$work/ours-$nup.pdf" "$work/peer-$nup.pdf" && echo 0 || echo 1)" "<=" 0
    fi
done
check "files created in TMPDIR" "$created" "<=" 0
check "3000 with 1000 known / 3000 all new, L4" "$(ratio "${secs[ours/known]}" "${secs[ours/empty]}")" "<=" 1.3
if [[ -n "$peer" ]]; then
    printf '  (peer: 3000 with 1000 known / 3000 all new, L4: %s)\n' "$(ratio "${secs[peer/known]}" "${secs[peer/empty]}")"
    check "repeat merge's full output byte-identical to the peer's" \
        "$(cmp -s "$work/ours-known-all.pdf" "$work/peer-known-all.pdf" && echo 0 || echo 1)" "<=" 0
    # The new-only output is made another way (from the full one's work): its objects
    # are numbered otherwise, so its sheets are compared as drawn.
    drawn "$work/ours-known-new.pdf" >"$work/ours-drawn.txt"
    drawn "$work/peer-known-new.pdf" >"$work/peer-drawn.txt"
    check "repeat merge's new-only output: sheets drawn alike to the peer's" \
        "$(cmp -s "$work/ours-drawn.txt" "$work/peer-drawn.txt" && echo 0 || echo 1)" "<=" 0
fi
check "peak MB, 3000 waybills (either history)" \
    "$(awk -v a="${mb[ours/empty]}" -v b="${mb[ours/known]}" 'BEGIN { print (a > b ? a : b) }')" "<=" 400
finish
