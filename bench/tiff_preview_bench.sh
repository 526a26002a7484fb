#!/bin/sh
# Fitted 200-pixel previews of a large RGB TIFF (default 10000 x 10000) in
# several layouts: quorvel (its command-line host), vipsthumbnail and
# ImageMagick's convert -sample, with wall time and peak memory from
# /usr/bin/time -v.  The pictures are made here (vips, tiffcp), not committed.
# usage: bench/tiff_preview_bench.sh [build dir] [size] [work dir]
set -eu
BUILD=${1:-build}
SIZE=${2:-10000}
DIR=${3:-/tmp/quorvel-bench}
QUORVEL="$BUILD/quorvel"
mkdir -p "$DIR"
if [ ! -f "$DIR/base_$SIZE.tif" ]; then
  # Smooth ramps in red and green and a sawtooth in blue, with some noise so
  # that the compressed files are not trivially small.
  vips xyz "$DIR/xyz.v" "$SIZE" "$SIZE"
  vips extract_band "$DIR/xyz.v" "$DIR/x.v" 0
  vips extract_band "$DIR/xyz.v" "$DIR/y.v" 1
  vips add "$DIR/x.v" "$DIR/y.v" "$DIR/s.v"
  vips linear "$DIR/x.v" "$DIR/r.v" "$(echo "255 / $SIZE" | bc -l)" 0 --uchar
  vips linear "$DIR/y.v" "$DIR/g.v" "$(echo "255 / $SIZE" | bc -l)" 0 --uchar
  vips boolean_const "$DIR/s.v" "$DIR/b.v" and 255
  vips cast "$DIR/b.v" "$DIR/bu.v" uchar
  vips gaussnoise "$DIR/n.v" "$SIZE" "$SIZE" --sigma 3 --mean 0
  vips bandjoin "$DIR/r.v $DIR/g.v $DIR/bu.v" "$DIR/rgb.v"
  vips add "$DIR/rgb.v" "$DIR/n.v" "$DIR/rgbn.v"
  vips cast "$DIR/rgbn.v" "$DIR/rgb8.v" uchar
  vips tiffsave "$DIR/rgb8.v" "$DIR/base_$SIZE.tif"
  rm -f "$DIR"/*.v
  tiffcp -c none -r 128 "$DIR/base_$SIZE.tif" "$DIR/none_r128.tif"
  tiffcp -c packbits -r 16 "$DIR/base_$SIZE.tif" "$DIR/packbits_r16.tif"
  tiffcp -c lzw:2 -r 1 "$DIR/base_$SIZE.tif" "$DIR/lzw2_r1.tif"
  tiffcp -c lzw:2 -r 64 "$DIR/base_$SIZE.tif" "$DIR/lzw2_r64.tif"
  tiffcp -c lzw -r 1 "$DIR/base_$SIZE.tif" "$DIR/lzw_r1.tif"
  tiffcp -c lzw -r 64 "$DIR/base_$SIZE.tif" "$DIR/lzw_r64.tif"
fi

measure() {  # tool file command...
  tool=$1; file=$2; shift 2
  /usr/bin/time -v "$@" >/dev/null 2>"$DIR/time.txt" || { echo "| $file | $tool | failed | |"; return; }
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$DIR/time.txt")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$DIR/time.txt")
  echo "| $file | $tool | $wall | $((rss / 1024)) |"
}

echo "| file | tool | wall (m:ss) | peak RSS (MiB) |"
echo "|---|---|---|---|"
for f in none_r128 packbits_r16 lzw2_r1 lzw2_r64 lzw_r1 lzw_r64; do
  in="$DIR/$f.tif"
  size=$(($(stat -c %s "$in") / 1048576))
  measure quorvel "$f ($size MiB)" "$QUORVEL" preview -o "$DIR/q_$f.png" "$in"
  measure vipsthumbnail "$f ($size MiB)" vipsthumbnail "$in" -s 200x200 -o "$DIR/v_$f.png"
  measure "convert -sample" "$f ($size MiB)" convert "$in" -sample 200x200 "$DIR/c_$f.png"
done
