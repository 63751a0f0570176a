# Helpers shared by the benchmark scripts; sourced, not run.

# require_built NAME EXE...: stops with exit status 2 when an executable is missing.
require_built() {
    local name="$1"
    shift
    for exe in "$@"; do
        if [[ ! -x "$exe" ]]; then
            echo "$name: $exe not found." >&2
            echo "Build first, from $root:  cmake -S . -B build -G Ninja && cmake --build build" >&2
            exit 2
        fi
    done
}

# require_tools NAME TOOL...: stops with exit status 2 when a tool is not installed.
require_tools() {
    local name="$1"
    shift
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$name: $tool is not installed (scripts/setup)" >&2; exit 2; }
    done
}

# Median of the numbers given as arguments.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Targets: `check` prints each measured value against its target and counts the
# failures; `finish` prints the verdict and exits 1 when any target failed.
failures=0

# check LABEL VALUE OP LIMIT: prints the value against its target, PASS or FAIL.
check() {
    local label="$1" value="$2" op="$3" limit="$4" verdict
    if awk -v v="$value" -v l="$limit" -v op="$op" 'BEGIN {
           exit !((op == "<=" && v <= l) || (op == "<" && v < l)) }'; then
        verdict=PASS
    else
        verdict=FAIL
        failures=$((failures + 1))
    fi
    printf '  %-44s %8s   target %-2s %-5s %s\n' "$label" "$value" "$op" "$limit" "$verdict"
}

# ratio A B: A / B to three decimals; a time too short to read counts as 0.01 s.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b < 0.01) b = 0.01; printf "%.3f", a / b }'; }

finish() {
    echo
    if ((failures == 0)); then
        echo "All targets PASS"
    else
        echo "$failures target(s) FAIL"
        exit 1
    fi
}

# timed OUT COMMAND...: runs COMMAND under /usr/bin/time -v (its standard output goes to
# OUT, its error output and the figures to files in $work) and prints "<wall seconds>
# <peak MB>". Stops the script when COMMAND fails.
timed() {
    local out="$1"
    shift
    if ! /usr/bin/time -v -o "$work/time.txt" "$@" >"$out" 2>"$work/stderr.txt"; then
        echo "$(basename "$0"): $* failed:" >&2
        tail -n 5 "$work/stderr.txt" >&2
        exit 1
    fi
    awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0
                                           for (j = 1; j <= n; j++) s = s * 60 + t[j] }
                /Maximum resident set size/ { m = $2 / 1024 }
                END { printf "%s %.1f\n", s, m }' "$work/time.txt"
}

# value KEY FILE: the value of a key=value line that merge_zip printed.
value() { awk -F= -v k="$1" '$1 == k { print substr($0, length(k) + 2) }' "$2"; }
