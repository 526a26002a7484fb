#!/bin/sh
# Runs one fuzzing campaign: fuzz/campaign.sh FORMAT SECONDS [RUNS]
#   FORMAT  an extension with a reader (bmp rle gif jpg png pcx tga psd eps pcd
#           sct pxr awd tif), cvt for the colour-table loader, or all (the
#           first input byte chooses the extension)
# Builds the libFuzzer target with clang under ASan + UBSan in build-fuzz/,
# grows the working corpus fuzz-runs/FORMAT/corpus from fuzz/corpus/FORMAT and
# leaves findings (crash-*, leak-*, oom-*, timeout-*) in fuzz-runs/FORMAT/.
# An allocation over 300 MB or a resident size over 600 MB is a finding.
# The campaign ends after SECONDS, or after RUNS executions when given.
set -eu
[ $# -eq 2 ] || [ $# -eq 3 ] || { echo "usage: $0 FORMAT SECONDS [RUNS]" >&2; exit 2; }
format=$1
seconds=$2
runs=${3:--1}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
run=$root/fuzz-runs/$format

if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVEL_FUZZ=ON -DQUORVEL_SANITIZE=ON >/dev/null
fi
cmake --build "$build" -j2 --target quorvel_fuzz >/dev/null

mkdir -p "$run/corpus"
seeds=
[ -d "$root/fuzz/corpus/$format" ] && seeds=$root/fuzz/corpus/$format
dict=
[ -f "$root/fuzz/dict/$format.dict" ] && dict=-dict=$root/fuzz/dict/$format.dict
if [ "$format" = all ]; then
    unset QUORVEL_FUZZ_EXT
else
    QUORVEL_FUZZ_EXT=.$format
    export QUORVEL_FUZZ_EXT
fi

ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/fuzz/quorvel_fuzz" -max_total_time="$seconds" -runs="$runs" -rss_limit_mb=600 -malloc_limit_mb=300 \
    -timeout=10 -max_len=65536 -print_final_stats=1 -artifact_prefix="$run/" $dict \
    "$run/corpus" $seeds 2>&1 | tee "$run/log.txt" | grep -E '^#[0-9]+ +(INITED|DONE|pulse)|^==|ERROR|stat::' || true
ls "$run" | grep -E '^(crash|leak|oom|timeout|slow-unit)-' || echo "no findings"
