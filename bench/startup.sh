#!/usr/bin/env bash
# What the program adds to a merge job when it starts: the time from starting
# `Mergalo --selfcheck` until it exits, and from starting `Mergalo ARCHIVE 4` (the
# right-click route) until its result window is on screen, against the merge job alone
# (`merge_zip ARCHIVE 4`, which prints the result and exits) on the same archive of 60
# generated waybills, a typical day.
#
#   bench/startup.sh
#
# Needs a build made beforehand (this script builds nothing):
#   cmake -S . -B build -G Ninja && cmake --build build
# BUILD_DIR picks another build folder (default: build); REPEATS the number of runs per
# measurement (default 5; the median is reported). Runs under Xvfb (started here when
# DISPLAY is not set); build/bench/startup_timer watches the screen for the result
# window ("Tarvo PDF Mergalo") to be mapped, then closes it as its close box does.
#
# The program runs as the shipped folder (`cmake --install` into a scratch folder, with
# its mgl/tcl and mgl/tk); merge_zip is copied beside it. Every run starts from nothing:
# a fresh copy of the archive, no history, fresh HOME, LOCALAPPDATA, XDG folders and TMPDIR.
# Target: Mergalo until the result window shows takes at most 0.15 s longer than merge_zip.
# Exit status: 0 when every target passes, 1 otherwise, 2 when something is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
repeats="${REPEATS:-5}"
count=60
timer="$build/bench/startup_timer"
merge_zip="$build/tools/merge_zip"
make_waybills="$build/bench/make_waybills"

source "$root/bench/common.sh"
require_built startup.sh "$timer" "$merge_zip" "$make_waybills" "$build/src/app/Mergalo"
require_tools startup.sh cmake

if [[ -z "${DISPLAY:-}" ]]; then
    require_tools startup.sh xvfb-run
    exec xvfb-run -a -s "-screen 0 1920x1080x24" "$0" "$@"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/mergalo_startup.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/Mergalo" >/dev/null
cp "$merge_zip" "$work/Mergalo/"
"$make_waybills" --count "$count" --out "$work/generated" --zip "$work/waybills.zip" --seed 2024 >/dev/null
rm -rf "$work/generated"

# fresh: a clean run folder with its own copy of the archive; no history, no outputs.
fresh() {
    rm -rf "$work/run" "$work/Mergalo/waybill_history.csv" "$work/Mergalo/logs"
    mkdir -p "$work/run"/{home,local,config,data,tmp}
    cp "$work/waybills.zip" "$work/run/"
}
in_env() {
    env HOME="$work/run/home" LOCALAPPDATA="$work/run/local" XDG_CONFIG_HOME="$work/run/config" \
        XDG_DATA_HOME="$work/run/data" TMPDIR="$work/run/tmp" "$@"
}
# timed [--until-mapped TITLE] PROGRAM ARGS...: seconds from start to exit (or until the
# window is mapped); stops the script unless the program ends with exit code 0.
timed() {
    local args=()
    if [[ "$1" == --until-mapped ]]; then args=("$1" "$2"); shift 2; fi
    local out secs code
    out="$(in_env "$timer" "${args[@]}" -- "$@" 2>"$work/stderr.txt")" || {
        echo "startup.sh: $* did not show its window:" >&2; cat "$work/stderr.txt" >&2; exit 1; }
    read -r secs code <<<"$out"
    if [[ "$code" != 0 ]]; then
        echo "startup.sh: $* exited with $code:" >&2; cat "$work/stderr.txt" >&2; exit 1
    fi
    echo "$secs"
}

selfcheck=() shown=() alone=()
for ((i = 0; i < repeats; i++)); do
    fresh
    s="$(timed "$work/Mergalo/Mergalo" --selfcheck)"
    selfcheck+=("$s")
    fresh
    s="$(timed --until-mapped "Tarvo PDF Mergalo" "$work/Mergalo/Mergalo" "$work/run/waybills.zip" 4)"
    shown+=("$s")
    fresh
    s="$(timed "$work/Mergalo/merge_zip" "$work/run/waybills.zip" 4)"
    alone+=("$s")
done
s_selfcheck="$(median "${selfcheck[@]}")"
s_shown="$(median "${shown[@]}")"
s_alone="$(median "${alone[@]}")"
added="$(awk -v a="$s_shown" -v b="$s_alone" 'BEGIN { printf "%.3f", a - b }')"

echo
echo "Start-up on an archive of $count generated waybills, layout 4; median of $repeats runs"
printf '%-52s %8.3f s\n' "Mergalo --selfcheck, start to exit" "$s_selfcheck"
printf '%-52s %8.3f s\n' "Mergalo ARCHIVE 4, start to result window on screen" "$s_shown"
printf '%-52s %8.3f s\n' "merge_zip ARCHIVE 4 (the job alone), start to exit" "$s_alone"
printf '%-52s %8.3f s   (ratio %s)\n' "added by the program around the job" "$added" "$(ratio "$s_shown" "$s_alone")"

echo
echo "Targets"
check "result window shown - job alone (s)" "$added" "<=" 0.15
finish
