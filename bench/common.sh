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
