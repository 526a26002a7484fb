#!/bin/sh
# Wall time and peak memory of a fitted preview of 8000 x 6000 JPEG files:
# this library (decoding every scanline, and with its short cuts) against
# djpeg to /dev/null (a full decode), vipsthumbnail and convert -sample.
# Usage: bench/jpeg_compare.sh BUILD_DIR   (configured with -DQUORVEL_BENCH=ON)
set -eu
BENCH=${1:-build-bench}/bench/JpegIo_bench
"$BENCH" --verify 2>/dev/null

# Best wall time and largest peak resident set of three runs.
measure() {
  label=$1; shift
  for run in 1 2 3; do
    /usr/bin/time -f "%e %M" -a -o /tmp/quorvel_bench_time "$@" >/dev/null 2>&1 || true
  done
  awk -v label="$label" 'NR == 1 || $1 < best { best = $1 } $2 > peak { peak = $2 }
    END { printf "| %-52s | %6.2f s | %7d MB |\n", label, best, peak / 1024 }' /tmp/quorvel_bench_time
  rm -f /tmp/quorvel_bench_time
}

rm -f /tmp/quorvel_bench_time
printf '| %-52s | %8s | %10s |\n' "command" "wall" "peak RSS"
printf '|%s|%s|%s|\n' "------------------------------------------------------" "----------" "------------"
for kind in baseline progressive; do
  f=/tmp/quorvel_bench_$kind.jpg
  measure "$kind: quorvel size only, decode started" "$BENCH" --once "$f" 0 1
  measure "$kind: quorvel size only, short cuts" "$BENCH" --once "$f" 0 0
  measure "$kind: quorvel fitted, every scanline" "$BENCH" --once "$f" 1 1
  measure "$kind: quorvel fitted, short cuts" "$BENCH" --once "$f" 1 0
  measure "$kind: djpeg > /dev/null" djpeg -outfile /dev/null "$f"
  measure "$kind: vipsthumbnail -s 200" vipsthumbnail "$f" -s 200 -o /tmp/quorvel_bench_vips.jpg
  measure "$kind: convert -sample 200x200" convert "$f" -sample 200x200 /tmp/quorvel_bench_im.bmp
done
rm -f /tmp/quorvel_bench_vips.jpg /tmp/quorvel_bench_im.bmp
