#!/bin/sh
# Fitted 200-pixel previews of a large RGB TIFF (default 10000 x 10000) in
# several layouts: quorvel (its command-line host), vipsthumbnail and
# ImageMagick's convert -sample, with wall time and peak memory from
# /usr/bin/time, best of three.  The pictures are made here (vips, tiffcp), not committed.
# usage: bench/tiff_preview_bench.sh [build dir] [size] [work dir]
set -eu
. "$(dirname "$0")/measure.sh"
BUILD=${1:-build}
SIZE=${2:-10000}
DIR=${3:-/tmp/quorvel-bench}
QUORVEL="$BUILD/quorvel"
mkdir -p "$DIR"
if [ ! -f "$DIR/base_$SIZE.tif" ]; then
  ramp_picture "$DIR/base_$SIZE.tif" "$SIZE" "$SIZE"
  tiffcp -c none -r 128 "$DIR/base_$SIZE.tif" "$DIR/none_r128.tif"
  tiffcp -c packbits -r 16 "$DIR/base_$SIZE.tif" "$DIR/packbits_r16.tif"
  tiffcp -c lzw:2 -r 1 "$DIR/base_$SIZE.tif" "$DIR/lzw2_r1.tif"
  tiffcp -c lzw:2 -r 64 "$DIR/base_$SIZE.tif" "$DIR/lzw2_r64.tif"
  tiffcp -c lzw -r 1 "$DIR/base_$SIZE.tif" "$DIR/lzw_r1.tif"
  tiffcp -c lzw -r 64 "$DIR/base_$SIZE.tif" "$DIR/lzw_r64.tif"
fi

measure_header file tool
for f in none_r128 packbits_r16 lzw2_r1 lzw2_r64 lzw_r1 lzw_r64; do
  in="$DIR/$f.tif"
  size=$(($(stat -c %s "$in") / 1048576))
  measure "$f ($size MiB) | quorvel" "$QUORVEL" preview -o "$DIR/q_$f.png" "$in"
  measure "$f ($size MiB) | vipsthumbnail" vipsthumbnail "$in" -s 200x200 -o "$DIR/v_$f.png"
  measure "$f ($size MiB) | convert -sample" convert "$in" -sample 200x200 "$DIR/c_$f.png"
done
