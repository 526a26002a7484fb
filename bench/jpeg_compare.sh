#!/bin/sh
# Wall time and peak memory of a fitted preview of 8000 x 6000 JPEG files:
# this library (decoding every scanline, and with its short cuts) against
# djpeg to /dev/null (a full decode), vipsthumbnail and convert -sample.
# Usage: bench/jpeg_compare.sh BUILD_DIR   (configured with -DQUORVEL_BENCH=ON)
set -eu
. "$(dirname "$0")/measure.sh"
BENCH=${1:-build-bench}/bench/JpegIo_bench
"$BENCH" --verify 2>/dev/null

measure_header command
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
