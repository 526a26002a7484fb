#!/bin/sh
# Real-world sweep: tools/sweep.sh [DIR]   (DIR defaults to ../realworld)
# Every picture file under DIR (one subdirectory per suite) goes through its
# reader in modes 0, 1 and 2 under the ASan + UBSan build (another build
# directory with QUORVEL_SWEEP_BUILD), and its fitted preview is judged
# against Pillow, ImageMagick and libvips (tests/sweep_main.cpp); then every
# file goes through every reader (the fuzz replay, no damage).  A crash, leak,
# hang (60 s) or a refusal without a reason is a fault.  Results go to
# BUILD/sweep.tsv (suite, status, detail, peers that read the file, path).
# Printed: counts per suite and status; per format the files, and how many
# quorvel (a fitted preview), Pillow, ImageMagick and libvips read; then the
# files a peer reads and quorvel does not.  Not part of `make test`.
#
# DIR: the test suites of Debian's source packages, fetched with a private
# deb-src list (no change to the system's apt sources), e.g. Pillow's:
#   mkdir -p /tmp/apt/lists/partial && echo 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] MIRROR bookworm main' >/tmp/apt/src.list   # MIRROR: the URI of /etc/apt/sources.list.d/debian.sources
#   O="-o Dir::Etc::SourceList=/tmp/apt/src.list -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists=/tmp/apt/lists"
#   apt-get $O update && apt-get $O source --download-only pillow
#   tar xJf pillow_9.4.0.orig.tar.xz pillow-9.4.0/Tests/images && mkdir -p realworld && mv pillow-9.4.0/Tests/images realworld/pillow
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "${1:-$root/../realworld}" && pwd)
build=${QUORVEL_SWEEP_BUILD:-$root/build-asan}
[ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZE=ON >/dev/null
cmake --build "$build" -j2 --target quorvel_sweep quorvel_fuzz_replay >/dev/null
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
out=$build/sweep.tsv
log=$build/sweep-faults.log
: >"$out"
: >"$log"
pattern='.*\.\(bmp\|rle\|gif\|jpg\|jpeg\|jpe\|png\|pcx\|tga\|psd\|eps\|pcd\|sct\|pxr\|awd\|tif\|tiff\)$'
find "$dir" -type f -iregex "$pattern" | sort | while read -r file; do
    suite=${file#"$dir"/}
    suite=${suite%%/*}
    if line=$(timeout 60 "$build/tests/quorvel_sweep" "$file" 2>>"$log"); then
        printf '%s\t%s\n' "$suite" "$line" >>"$out"
    else
        rc=$?
        printf '%s\tfault\texit %s\t-\t%s\n' "$suite" "$rc" "$file" >>"$out"
        echo "fault (exit $rc): $file" >>"$log"
    fi
done
echo "every reader over every file:"
find "$dir" -type f -iregex "$pattern" -print0 | xargs -0 -n 50 timeout 600 "$build/fuzz/quorvel_fuzz_replay" \
    >/dev/null 2>>"$log" && echo "  no fault" || echo "  FAULT, see $log"
echo "per suite (status: files):"
awk -F'\t' '{ n[$1 "\t" $2]++ } END { for (k in n) print k "\t" n[k] }' "$out" | sort
echo "per format (files read):"
awk -F'\t' '
    function format(path,   e) {
        e = tolower(path)
        sub(/.*\./, "", e)
        return e == "jpeg" || e == "jpe" ? "jpg" : e == "tiff" ? "tif" : e
    }
    {
        f = format($5)
        files[f]++
        if ($2 == "match" || $2 == "close" || $2 == "mismatch" || $2 == "oracle-refused")
            q[f]++
        if ($4 ~ /pillow/) p[f]++
        if ($4 ~ /magick/) m[f]++
        if ($4 ~ /vips/) v[f]++
        if ($4 != "-" && !($2 == "match" || $2 == "close" || $2 == "mismatch")) {
            missed[f]++
            list = list "  " f "\t" $4 "\t" $2 " " $3 "\t" $5 "\n"
        }
    }
    END {
        printf "  %-6s %6s %8s %7s %7s %7s %8s\n", "format", "files", "quorvel", "pillow", "magick", "vips", "missed"
        for (f in files) {
            printf "  %-6s %6d %8d %7d %7d %7d %8d\n", f, files[f], q[f], p[f], m[f], v[f], missed[f] | "sort"
            tf += files[f]; tq += q[f]; tp += p[f]; tm += m[f]; tv += v[f]; tx += missed[f]
        }
        close("sort")
        printf "  %-6s %6d %8d %7d %7d %7d %8d\n", "all", tf, tq, tp, tm, tv, tx
        printf "files a peer reads and quorvel does not:\n%s", list
    }' "$out"
echo "details in $out"
