#!/bin/sh
# Fitted 200-pixel previews of a large RGB PSD (default 8000 x 6000), raw and
# PackBits: quorvel (its command-line host), vipsthumbnail (through its
# ImageMagick loader) and ImageMagick's convert -sample, with wall time and
# peak memory from /usr/bin/time -v.  The pictures are made here, not
# committed.
# usage: bench/psd_preview_bench.sh [build dir] [width] [height] [work dir]
set -eu
BUILD=${1:-build}
W=${2:-8000}
H=${3:-6000}
DIR=${4:-/tmp/quorvel-psd-bench}
QUORVEL="$BUILD/quorvel"
mkdir -p "$DIR"
if [ ! -f "$DIR/raw_${W}x$H.psd" ]; then
  # Ramps in red and green, a sawtooth in blue, some noise.
  vips xyz "$DIR/xyz.v" "$W" "$H"
  vips extract_band "$DIR/xyz.v" "$DIR/x.v" 0
  vips extract_band "$DIR/xyz.v" "$DIR/y.v" 1
  vips add "$DIR/x.v" "$DIR/y.v" "$DIR/s.v"
  vips linear "$DIR/x.v" "$DIR/r.v" "$(echo "255 / $W" | bc -l)" 0 --uchar
  vips linear "$DIR/y.v" "$DIR/g.v" "$(echo "255 / $H" | bc -l)" 0 --uchar
  vips boolean_const "$DIR/s.v" "$DIR/b.v" and 255
  vips cast "$DIR/b.v" "$DIR/bu.v" uchar
  vips gaussnoise "$DIR/n.v" "$W" "$H" --sigma 3 --mean 0
  vips bandjoin "$DIR/r.v $DIR/g.v $DIR/bu.v" "$DIR/rgb.v"
  vips add "$DIR/rgb.v" "$DIR/n.v" "$DIR/rgbn.v"
  vips cast "$DIR/rgbn.v" "$DIR/rgb8.v" uchar
  vips tiffsave "$DIR/rgb8.v" "$DIR/base.tif"
  rm -f "$DIR"/*.v
  convert "$DIR/base.tif" -compress None "$DIR/raw_${W}x$H.psd"
  convert "$DIR/base.tif" -compress RLE "$DIR/packbits_${W}x$H.psd"
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
for f in raw packbits; do
  in="$DIR/${f}_${W}x$H.psd"
  size=$(($(stat -c %s "$in") / 1048576))
  measure quorvel "$f ($size MiB)" "$QUORVEL" preview -o "$DIR/q_$f.png" "$in"
  measure vipsthumbnail "$f ($size MiB)" vipsthumbnail "$in" -s 200 -o "$DIR/v_$f.png"
  measure "convert -sample" "$f ($size MiB)" convert "$in[0]" -sample 200x200 "$DIR/c_$f.png"
done
