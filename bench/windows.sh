#!/usr/bin/env bash
# Times the whole merge job on 1000 generated waybills under Wine (the cross-built
# build-win/tools/merge_zip.exe) against the Linux build (build/tools/merge_zip), in the
# same run, for layouts 4 and 1, and prints the Wine/Linux ratio of the medians.
#
#   bench/windows.sh
#
# Needs both builds made beforehand (this script builds nothing):
#   cmake -S . -B build -G Ninja && cmake --build build --target merge_zip make_waybills
#   scripts/windows-build
# BUILD_DIR and WIN_BUILD_DIR pick other build folders (default build, build-win);
# REPEATS the number of runs per measurement (default 5; the median is reported).
#
# Each run starts from nothing on both sides: a fresh folder holds a copy of the driver
# (its history file lands beside that copy, so every waybill is new) and a copy of the
# archive (the outputs are written beside it); HOME, TMPDIR and LOCALAPPDATA are the
# run's own. Wine runs in a throw-away prefix and HOME, started once before the timing
# (wineserver is kept running, as on a Windows machine the system is), and each Wine
# run is timed from the start of `wine` to its end.
# Each run also reports when its stages began (merge_zip --times); the medians of the
# stages (unpacking, merging, saving with the clean-up) say where Wine loses its time.
# Target: Wine within 1.3x of Linux for each layout (no file is made per waybill: the
# waybills are read into memory, where Wine once paid for every file it created).
# Exit status: 0 when every target passes, 1 otherwise, 2 when something is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
win_build="${WIN_BUILD_DIR:-$root/build-win}"
repeats="${REPEATS:-5}"
count=1000
merge_zip="$build/tools/merge_zip"
merge_zip_exe="$win_build/tools/merge_zip.exe"
make_waybills="$build/bench/make_waybills"

source "$root/bench/common.sh"
require_built windows.sh "$merge_zip" "$make_waybills"
[[ -f "$merge_zip_exe" ]] || { echo "windows.sh: $merge_zip_exe not found: run scripts/windows-build" >&2; exit 2; }
require_tools windows.sh wine wineserver

work="$(mktemp -d "${TMPDIR:-/tmp}/mergalo_wine_bench.XXXXXX")"
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home"
export HOME="$work/home"  # Wine maps Documents and Desktop there
wine wineboot -i >/dev/null 2>&1 || true  # without a display it says so, and still makes the prefix
# A server that stays up between the runs, as the system does on Windows.
wineserver -p || true  # already up from wineboot: it stays
archive="$work/waybills.zip"
"$make_waybills" --count "$count" --out "$work/generated" --zip "$archive" --seed 2024 >/dev/null
rm -rf "$work/generated"
drive_c="$WINEPREFIX/drive_c"

now() { date +%s.%N; }

# stages TIMES: the seconds of unpacking, merging and saving (clean-up included) from
# merge_zip's --times lines, on one line.
stages() {
    awk '{ t[$1] = $2 } END { printf "%.3f %.3f %.3f\n", t["merging"] - t["unpacking"], t["saving"] - t["merging"], t["end"] - t["saving"] }' "$1"
}

# stage_medians FILE: the median of each column of stage lines.
stage_medians() {
    local i
    for i in 1 2 3; do median $(cut -d' ' -f"$i" "$1"); done | paste -sd' ' |
        awk '{ printf "unpacking %s s, merging %s s, saving %s s", $1, $2, $3 }'
}
since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.3f", e - s }'; }

# linux_run NUP: seconds of one job run in a fresh folder.
linux_run() {
    local nup="$1" dir start
    dir="$(mktemp -d "$work/linux.XXXXXX")"
    mkdir -p "$dir/home" "$dir/tmp" "$dir/local"
    cp "$merge_zip" "$archive" "$dir/"
    start="$(now)"
    HOME="$dir/home" TMPDIR="$dir/tmp" LOCALAPPDATA="$dir/local" XDG_DATA_HOME="$dir/local" \
        "$dir/merge_zip" "$dir/waybills.zip" "$nup" --times >"$dir/result.txt" 2>"$dir/times.txt"
    since "$start"
    grep -q '^final_sheets=' "$dir/result.txt" || { echo "linux run failed" >&2; exit 1; }
    stages "$dir/times.txt" >>"$work/stages.linux.$nup"
    rm -rf "$dir"
}

# wine_run NUP: the same under Wine, in a fresh folder on drive C: (its TEMP is the
# prefix's own, LOCALAPPDATA the run's).
wine_run() {
    local nup="$1" dir rel start
    dir="$(mktemp -d "$drive_c/run.XXXXXX")"
    rel="C:\\${dir#"$drive_c/"}"
    mkdir -p "$dir/local"
    cp "$merge_zip_exe" "$archive" "$dir/"
    start="$(now)"
    LOCALAPPDATA="$rel\\local" wine "$dir/merge_zip.exe" "$rel\\waybills.zip" "$nup" --times \
        >"$dir/result.txt" 2>"$dir/times.txt"
    since "$start"
    grep -q '^final_sheets=' "$dir/result.txt" ||
        { echo "wine run failed: $(head -3 "$dir/result.txt" "$dir/times.txt")" >&2; exit 1; }
    stages "$dir/times.txt" >>"$work/stages.wine.$nup"
    rm -rf "$dir"
}

echo "merge_zip on $count generated waybills, median of $repeats runs each, Wine against Linux in the same run"
for nup in 4 1; do
    wine_run "$nup" >/dev/null  # the first start of a program under Wine loads its DLLs
    rm -f "$work/stages.wine.$nup"
    linux_times=()
    wine_times=()
    for ((i = 0; i < repeats; i++)); do
        linux_times+=("$(linux_run "$nup")")
        wine_times+=("$(wine_run "$nup")")
    done
    linux_median="$(median "${linux_times[@]}")"
    wine_median="$(median "${wine_times[@]}")"
    echo "layout $nup: Linux ${linux_times[*]} s -> median $linux_median s"
    echo "layout $nup: Wine  ${wine_times[*]} s -> median $wine_median s"
    echo "layout $nup: stages, Linux: $(stage_medians "$work/stages.linux.$nup")"
    echo "layout $nup: stages, Wine:  $(stage_medians "$work/stages.wine.$nup")"
    check "layout $nup: Wine / Linux" "$(ratio "$wine_median" "$linux_median")" "<=" 1.3
done
finish
