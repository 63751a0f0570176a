#!/usr/bin/env bash
# Several jobs at once, as when a user selects several archives and picks a layout:
# 4 merge_zip processes on 4 different archives at the same moment, sharing one
# history, 20 rounds. In every other round one of the 4 archives holds a damaged
# waybill, so that job must fail.
#
#   bench/stress.sh [ROUNDS]
#
# Checks after every round: each job that should succeed did; every waybill of every
# successful job is in the history; no waybill of a failed job is; a failed job left no
# output; no scratch folder or temporary file is left anywhere. Prints the counts and
# the time. Needs a build (BUILD_DIR, default build) and the zip tool.
# Exit status: 0 when every check passes, 1 otherwise, 2 when something is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
rounds="${1:-20}"
jobs_per_round=4
per_archive=40
merge_zip="$build/tools/merge_zip"
make_waybills="$build/bench/make_waybills"

source "$root/bench/common.sh"
require_built stress.sh "$merge_zip" "$make_waybills"
require_tools stress.sh zip

work="$(mktemp -d "${TMPDIR:-/tmp}/mergalo_stress.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{bin,home,local,tmp,pool,archives}
cp "$merge_zip" "$work/bin/"  # its history lands beside this copy
"$make_waybills" --count "$per_archive" --out "$work/pool" --seed 7 >/dev/null
mapfile -t pool < <(cd "$work/pool" && ls)

# The names recorded in the history (first column, header and byte-order mark left out).
history_names() {
    [[ -f "$work/bin/waybill_history.csv" ]] || return 0
    awk -F';' 'NR > 1 { print $1 }' "$work/bin/waybill_history.csv"
}

spurious=0 missing=0 leaked=0 left_outputs=0 left_files=0 succeeded=0 failed_as_planned=0
start=$(date +%s.%N)
for ((r = 1; r <= rounds; r++)); do
    damaged=-1
    ((r % 2 == 0)) && damaged=$((r / 2 % jobs_per_round))
    pids=()
    for ((j = 0; j < jobs_per_round; j++)); do
        dir="$work/round/$r/$j"
        mkdir -p "$dir"
        for f in "${pool[@]}"; do cp "$work/pool/$f" "$dir/r${r}j${j}_$f"; done
        ((j == damaged)) && printf '%%PDF-1.7 cut short' >"$dir/r${r}j${j}_damaged.pdf"
        (cd "$dir" && zip -q -0 "$work/archives/r${r}j${j}.zip" ./*.pdf)
    done
    for ((j = 0; j < jobs_per_round; j++)); do
        env HOME="$work/home" LOCALAPPDATA="$work/local" TMPDIR="$work/tmp" \
            "$work/bin/merge_zip" "$work/archives/r${r}j${j}.zip" 4 >"$work/out_$j.txt" 2>"$work/err_$j.txt" &
        pids+=($!)
    done
    for ((j = 0; j < jobs_per_round; j++)); do
        status=0
        wait "${pids[$j]}" || status=$?
        names="$(cd "$work/round/$r/$j" && ls)"
        recorded="$(history_names | grep -c "^r${r}j${j}_" || true)"
        outputs="$(ls "$work/archives" | grep -c "^r${r}j${j}_Tarvo" || true)"
        if ((j == damaged)); then
            if ((status == 0)); then
                echo "round $r job $j: a job with a damaged waybill succeeded" >&2
                spurious=$((spurious + 1))
            else
                failed_as_planned=$((failed_as_planned + 1))
            fi
            ((recorded > 0)) && { echo "round $r job $j: $recorded waybills of a failed job recorded" >&2; leaked=$((leaked + recorded)); }
            ((outputs > 0)) && { echo "round $r job $j: a failed job left $outputs outputs" >&2; left_outputs=$((left_outputs + outputs)); }
        elif ((status != 0)); then
            echo "round $r job $j failed: $(head -n 3 "$work/err_$j.txt")" >&2
            spurious=$((spurious + 1))
        else
            succeeded=$((succeeded + 1))
            want="$(wc -l <<<"$names")"
            if ((recorded != want)); then
                echo "round $r job $j: $recorded of $want waybills recorded" >&2
                missing=$((missing + want - recorded))
            fi
        fi
    done
    # Nothing left behind: no scratch folder, no lock of one, no temporary file.
    stray="$(find "$work/tmp" -mindepth 1 | wc -l) $(find "$work/bin" "$work/archives" -name '.*.tmp' | wc -l)"
    if [[ "$stray" != "0 0" ]]; then
        echo "round $r: left behind (temporary folder entries, temporary files): $stray" >&2
        left_files=$((left_files + 1))
    fi
done
end=$(date +%s.%N)

total=$((rounds * jobs_per_round))
echo
echo "$rounds rounds of $jobs_per_round jobs at once, $per_archive waybills an archive (layout 4)"
printf '  %-44s %s\n' "jobs" "$total" \
    "succeeded" "$succeeded" \
    "failed as planned (damaged waybill)" "$failed_as_planned" \
    "history rows" "$(history_names | wc -l)" \
    "seconds in all" "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')"
echo
echo "Checks"
check "jobs failing or succeeding against plan" "$spurious" "<=" 0
check "waybills of successful jobs not recorded" "$missing" "<=" 0
check "waybills of failed jobs recorded" "$leaked" "<=" 0
check "outputs left by failed jobs" "$left_outputs" "<=" 0
check "rounds leaving files behind" "$left_files" "<=" 0
finish
