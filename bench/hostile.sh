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
#                  100 MiB.
#
#   bench/hostile.sh
#
# Needs a build made beforehand (cmake -S . -B build -G Ninja && cmake --build build);
# BUILD_DIR picks another build folder. Takes about 2 minutes and 1.5 GB of disk in
# TMPDIR. Target: every run stays under 1 GB of peak memory, and ends either with the
# output written or with our clear message (the content bomb, in every layout).
# Exit status: 0 when every target passes, 1 otherwise, 2 when something is missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
merge_zip="$build/tools/merge_zip"
make_hostile="$build/bench/make_hostile"

source "$root/bench/common.sh"
require_built hostile.sh "$merge_zip" "$make_hostile"
require_tools hostile.sh /usr/bin/time python3

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
rm -rf "$work/gen"

echo
printf '%-14s %12s %6s %8s %9s %s\n' archive "size bytes" layout seconds "peak MB" outcome
declare -A peak
for name in content-bomb array-bomb raw-min raw-100mb; do
    for nup in 1 4; do
        run="$work/run"
        rm -rf "$run"
        mkdir -p "$run"/{bin,home,local,tmp,archive}
        cp "$merge_zip" "$run/bin/"
        cp "$work/$name.zip" "$run/archive/"
        status=0
        /usr/bin/time -v -o "$run/time.txt" env HOME="$run/home" LOCALAPPDATA="$run/local" TMPDIR="$run/tmp" \
            "$run/bin/merge_zip" "$run/archive/$name.zip" "$nup" >"$run/out.txt" 2>"$run/err.txt" || status=$?
        read -r s m < <(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0
                                                              for (j = 1; j <= n; j++) s = s * 60 + t[j] }
                                   /Maximum resident set size/ { m = $2 / 1024 }
                                   END { printf "%s %.1f\n", s, m }' "$run/time.txt")
        if ((status == 0)); then
            outcome="written, $(awk -F= '$1 == "total_pages" { print $2 }' "$run/out.txt") pages"
        else
            outcome="exit $status: $(head -n 1 "$run/err.txt")"
        fi
        printf '%-14s %12s %6s %8.2f %9.1f %s\n' "$name" "$(stat -c %s "$work/$name.zip")" "$nup" "$s" "$m" "$outcome"
        peak[$name/$nup]="$m"
        # Only the content bomb may fail (every layout reads each page's content in full
        # and stops at the limit), and it must say why.
        if ((status != 0)) && ! [[ "$name" == content-bomb ]]; then
            failures=$((failures + 1))
        fi
    done
done

echo
echo "Targets"
for name in content-bomb array-bomb raw-min raw-100mb; do
    for nup in 1 4; do check "peak MB, $name, L$nup" "${peak[$name/$nup]}" "<" 1024; done
done
finish
