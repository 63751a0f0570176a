#!/usr/bin/env bash
# Peak memory and time of the merge job (merge_zip) on archives made to take far more
# memory than their size, in layouts 1 and 4:
#   content-bomb   one waybill whose page content is two streams, the second compressed
#                  twice: a few hundred bytes of archive, 4 GiB when decoded;
#   array-bomb     one waybill with a resource array of 60 million numbers: 120 MB of
#                  PDF in about 120 KB of archive (a structure, not content);
#   raw-min        60 waybills whose content is stored uncompressed, 240 MiB in all, in
#                  an archive of about 600 KB (packing 400 to 1);
#   raw-100mb      500 waybills packing 5.5 times, about 575 MB in an archive just under
#                  100 MiB;
# and on archives of many members, in layout 4, each also listed by `unzip -l` (the
# peer: it reads the same central directory and keeps nothing per member):
#   members-1m     a million empty members, an archive of 100 MB;
#   members-300k   300,000 empty members (30 MB);
#   members-100k   100,000 members, the most a job unpacks: 20 waybills and empty files.
#
#   bench/hostile.sh
#
# Needs a build made beforehand (cmake -S . -B build -G Ninja && cmake --build build);
# BUILD_DIR picks another build folder. Takes about 3 minutes and 1.5 GB of disk in
# TMPDIR. Targets: every run stays under 1 GB of peak memory, and ends either with the
# output written or with our clear message (the content bomb, in every layout; the
# archives of more members than a job unpacks, in fewer seconds than `unzip -l` takes
# to list them).
# Exit status: 0 when every target passes, 1 otherwise, 2 when something is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
merge_zip="$build/tools/merge_zip"
make_hostile="$build/bench/make_hostile"

source "$root/bench/common.sh"
require_built hostile.sh "$merge_zip" "$make_hostile"
require_tools hostile.sh /usr/bin/time python3 unzip

work="$(mktemp -d "${TMPDIR:-/tmp}/mergalo_hostile.XXXXXX")"
trap 'rm -rf "$work"' EXIT

echo "Making the archives..."
"$make_hostile" content-bomb --decoded 4294967296 --out "$work/gen/bomb" --zip "$work/content-bomb.zip"
python3 - "$work" <<'EOF'
import sys, zipfile
n = 60_000_000
objects = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
           b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << /Junk 5 0 R >> >>",
           b"<< /Length 22 >>\nstream\n0 g 50 50 100 100 re f\nendstream", b"[" + b"0 " * n + b"]"]
pdf, offsets = b"%PDF-1.7\n", []
for i, o in enumerate(objects):
    offsets.append(len(pdf))
    pdf += b"%d 0 obj\n" % (i + 1) + o + b"\nendobj\n"
xref = len(pdf)
pdf += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
pdf += b"".join(b"%010d 00000 n \n" % o for o in offsets)
pdf += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
with zipfile.ZipFile(sys.argv[1] + "/array-bomb.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("array.pdf", pdf)
EOF
"$make_hostile" raw-streams --files 60 --file-bytes 4194304 --ratio 1000 --out "$work/gen/raw-min" \
    --zip "$work/raw-min.zip"
"$make_hostile" raw-streams --files 500 --file-bytes 1150000 --ratio 5.8 --out "$work/gen/raw-100mb" \
    --zip "$work/raw-100mb.zip"
"$make_hostile" many-members --members 1000000 --zip "$work/members-1m.zip"
"$make_hostile" many-members --members 300000 --zip "$work/members-300k.zip"
"$make_hostile" many-members --members 100000 --waybills 20 --zip "$work/members-100k.zip"
rm -rf "$work/gen"

# measure OUT COMMAND...: runs the command under /usr/bin/time; sets `status`, `s`
# (wall-clock seconds) and `m` (peak resident MB).
measure() {
    local out="$1"
    shift
    status=0
    /usr/bin/time -v -o "$out" "$@" || status=$?
    read -r s m < <(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0
                                                          for (j = 1; j <= n; j++) s = s * 60 + t[j] }
                               /Maximum resident set size/ { m = $2 / 1024 }
                               END { printf "%s %.1f\n", s, m }' "$out")
}

echo
printf '%-14s %12s %6s %8s %9s %s\n' archive "size bytes" layout seconds "peak MB" outcome
declare -A peak seconds
declare -A members=([members-1m]=1000000 [members-300k]=300000)
runs=()
for name in content-bomb array-bomb raw-min raw-100mb; do runs+=("$name/1" "$name/4"); done
runs+=(members-1m/4 members-300k/4 members-100k/4)
for job in "${runs[@]}"; do
    name="${job%/*}" nup="${job#*/}"
    run="$work/run"
    rm -rf "$run"
    mkdir -p "$run"/{bin,home,local,tmp,archive}
    cp "$merge_zip" "$run/bin/"
    cp "$work/$name.zip" "$run/archive/"
    measure "$run/time.txt" env HOME="$run/home" LOCALAPPDATA="$run/local" TMPDIR="$run/tmp" \
        "$run/bin/merge_zip" "$run/archive/$name.zip" "$nup" >"$run/out.txt" 2>"$run/err.txt"
    if ((status == 0)); then
        outcome="written, $(awk -F= '$1 == "total_pages" { print $2 }' "$run/out.txt") pages"
    else
        outcome="exit $status: $(head -n 1 "$run/err.txt")"
    fi
    printf '%-14s %12s %6s %8.2f %9.1f %s\n' "$name" "$(stat -c %s "$work/$name.zip")" "$nup" "$s" "$m" "$outcome"
    peak[$job]="$m"
    seconds[$job]="$s"
    case "$name" in
        # Every layout reads each page's content in full and stops at the limit, and
        # must say why.
        content-bomb) ;;
        # Refused before anything is unpacked, with the count in the message.
        members-1m | members-300k)
            if ((status == 0)) || ! grep -q "${members[$name]}" "$run/err.txt"; then failures=$((failures + 1)); fi ;;
        *) if ((status != 0)); then failures=$((failures + 1)); fi ;;
    esac
done

echo
echo "The peer: unzip -l on the archives of many members"
printf '%-14s %8s %9s %14s %14s\n' archive seconds "peak MB" "peak, ours/it" "time, ours/it"
declare -A time_ratio
for name in members-1m members-300k members-100k; do
    measure "$work/time.txt" unzip -l "$work/$name.zip" >/dev/null
    time_ratio[$name]="$(ratio "${seconds[$name/4]}" "$s")"
    printf '%-14s %8.2f %9.1f %14s %14s\n' "$name" "$s" "$m" "$(ratio "${peak[$name/4]}" "$m")" "${time_ratio[$name]}"
done

echo
echo "Targets"
for job in "${runs[@]}"; do check "peak MB, ${job%/*}, L${job#*/}" "${peak[$job]}" "<" 1024; done
for name in members-1m members-300k; do check "seconds against unzip -l, $name" "${time_ratio[$name]}" "<" 1; done
finish
