#!/usr/bin/env bash
# Fuzzes every fuzz target for MINUTES each (default 10) with libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer, starting from the target's seeds, and
# prints the runs and crashes of each target.
#
#   bench/fuzz.sh [MINUTES]
#
# Builds with clang 16 into build-fuzz/ (BUILD_DIR picks another folder), every target
# of the project instrumented (-DMERGALO_FUZZ=ON). The targets are those the list in
# tests/CMakeLists.txt makes: every target of that build whose name ends in "_fuzz".
# Each target's corpus starts from `fuzz_seeds TARGET` and grows in
# build-fuzz/fuzz/corpus/<target>/ from run to run; libFuzzer's log goes to
# build-fuzz/fuzz/<target>.log, and the input of a crash (a sanitizer's report, a
# leak, a run over 30 seconds or 2 GB) to build-fuzz/fuzz/crashes/<target>/. A
# target stops at its first crash: make the input a test, mend it, run again.
# The fuzzers' temporary files go to a folder in /dev/shm when there is one.
# Exit status: 0 when no target crashed, 1 otherwise, 2 when something is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/bench/common.sh"

minutes="${1:-10}"
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || ((minutes == 0)); then
    echo "usage: bench/fuzz.sh [MINUTES]" >&2
    exit 2
fi
require_tools fuzz.sh clang-16 clang++-16 cmake ninja
if ! compgen -G "/usr/lib/llvm-16/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
    echo "fuzz.sh: libFuzzer is not installed (apt-get install libclang-rt-16-dev)" >&2
    exit 2
fi

build="${BUILD_DIR:-$root/build-fuzz}"
out="$build/fuzz"
CC=clang-16 CXX=clang++-16 cmake -S "$root" -B "$build" -G Ninja -DMERGALO_FUZZ=ON -DMERGALO_WERROR=ON \
    -DMERGALO_BUILD_BENCH=OFF >/dev/null
mapfile -t targets < <(ninja -C "$build" -t targets all | sed -n 's/^\([A-Za-z0-9_]*_fuzz\): phony$/\1/p' | grep -v '^cmake_' | sort -u)
if ((${#targets[@]} == 0)); then
    echo "fuzz.sh: the build in $build has no fuzz targets" >&2
    exit 2
fi
echo "Building ${targets[*]}..."
ninja -C "$build" "${targets[@]}" fuzz_seeds >/dev/null

shm=/dev/shm
[[ -d "$shm" && -w "$shm" ]] || shm="${TMPDIR:-/tmp}"
tmp="$(mktemp -d "$shm/mergalo_fuzz.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT

printf '%-22s %8s %12s %8s %8s  %s\n' target seconds runs "runs/s" crashes "crash inputs"
crashed=0
for target in "${targets[@]}"; do
    corpus="$out/corpus/$target" crashes="$out/crashes/$target" log="$out/$target.log"
    mkdir -p "$corpus" "$crashes"
    "$build/tests/fuzz_seeds" "${target%_fuzz}" "$corpus" >/dev/null
    old_inputs="$(ls "$crashes")"
    status=0
    start=$SECONDS
    TMPDIR="$tmp" "$build/tests/$target" -max_total_time=$((minutes * 60)) -timeout=30 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus" >"$log" 2>&1 || status=$?
    runs="$(awk '/^stat::number_of_executed_units:/ { n = $2 } END { print n + 0 }' "$log")"
    rate="$(awk '/^stat::average_exec_per_sec:/ { n = $2 } END { print n + 0 }' "$log")"
    new_inputs="$(comm -13 <(echo "$old_inputs") <(ls "$crashes") | sed '/^$/d' | sed "s|^|$crashes/|" | tr '\n' ' ')"
    count="$(wc -w <<<"$new_inputs")"
    if ((status != 0)); then
        crashed=$((crashed + 1))
        ((count > 0)) || { count=1; new_inputs="(none saved: exit status $status)"; }
    fi
    printf '%-22s %8s %12s %8s %8s  %s\n' "$target" "$((SECONDS - start))" "$runs" "$rate" "$count" "$new_inputs"
done
echo
if ((crashed == 0)); then
    echo "No crash in ${#targets[@]} target(s)."
else
    echo "$crashed target(s) crashed: see $out/<target>.log"
    exit 1
fi
