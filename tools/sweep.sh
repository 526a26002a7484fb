#!/bin/sh
# Real-world sweep: tools/sweep.sh [DIR]   (DIR defaults to ../realworld)
# Every picture file under DIR (one subdirectory per suite) goes through its
# reader in modes 0, 1 and 2 under the ASan + UBSan build, and its fitted
# preview is judged against Pillow or ImageMagick (tests/sweep_main.cpp); then
# every file goes through every reader (the fuzz replay, no damage).  A crash,
# leak, hang (60 s) or a refusal without a reason is a fault.  Results go to
# build-asan/sweep.tsv; counts per suite are printed.  Not part of `make test`.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "${1:-$root/../realworld}" && pwd)
build=$root/build-asan
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
        printf '%s\tfault\texit %s\t%s\n' "$suite" "$rc" "$file" >>"$out"
        echo "fault (exit $rc): $file" >>"$log"
    fi
done
echo "every reader over every file:"
find "$dir" -type f -iregex "$pattern" -print0 | xargs -0 -n 50 timeout 600 "$build/fuzz/quorvel_fuzz_replay" \
    >/dev/null 2>>"$log" && echo "  no fault" || echo "  FAULT, see $log"
echo "per suite (status: files):"
awk -F'\t' '{ n[$1 "\t" $2]++ } END { for (k in n) print k "\t" n[k] }' "$out" | sort
echo "details in $out"
