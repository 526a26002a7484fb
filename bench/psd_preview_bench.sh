#!/bin/sh
# Fitted 200-pixel previews of a large RGB PSD (default 8000 x 6000), raw and
# PackBits: quorvel (its command-line host), vipsthumbnail (through its
# ImageMagick loader) and ImageMagick's convert -sample, with wall time and
# peak memory from /usr/bin/time, best of three.  The pictures are made here, not
# committed.
# usage: bench/psd_preview_bench.sh [build dir] [width] [height] [work dir]
set -eu
. "$(dirname "$0")/measure.sh"
BUILD=${1:-build}
W=${2:-8000}
H=${3:-6000}
DIR=${4:-/tmp/quorvel-psd-bench}
QUORVEL="$BUILD/quorvel"
mkdir -p "$DIR"
if [ ! -f "$DIR/raw_${W}x$H.psd" ]; then
  ramp_picture "$DIR/base.tif" "$W" "$H"
  convert "$DIR/base.tif" -compress None "$DIR/raw_${W}x$H.psd"
  convert "$DIR/base.tif" -compress RLE "$DIR/packbits_${W}x$H.psd"
fi

measure_header file tool
for f in raw packbits; do
  in="$DIR/${f}_${W}x$H.psd"
  size=$(($(stat -c %s "$in") / 1048576))
  measure "$f ($size MiB) | quorvel" "$QUORVEL" preview -o "$DIR/q_$f.png" "$in"
  measure "$f ($size MiB) | vipsthumbnail" vipsthumbnail "$in" -s 200 -o "$DIR/v_$f.png"
  measure "$f ($size MiB) | convert -sample" convert "$in[0]" -sample 200x200 "$DIR/c_$f.png"
done
