#!/bin/sh
# Wall time and peak memory of fitted previews of TIFF files read through
# libtiff: 8000 x 6000 RGB with Deflate, JPEG (YCbCr) and tiled LZW, and an
# A4 page at 300 dpi in Group 4, through the quorvel host against
# vipsthumbnail and ImageMagick's convert -sample.  The pictures are made in
# the work directory on the first run (vips, tiffcp, convert); never commit
# them.
# usage: bench/tiff_fallback_compare.sh BUILD_DIR [work dir]
set -eu
. "$(dirname "$0")/measure.sh"
HOST=${1:-build}/quorvel
DIR=${2:-/tmp/quorvel-tiff-fallback}
mkdir -p "$DIR"
if [ ! -f "$DIR/page_g4.tif" ]; then
  ramp_picture "$DIR/base.tif" 8000 6000
  tiffcp -c zip "$DIR/base.tif" "$DIR/rgb_zip.tif"
  tiffcp -c jpeg:90 -r 16 "$DIR/base.tif" "$DIR/rgb_jpeg.tif"
  tiffcp -c lzw -t -w 256 -l 256 "$DIR/base.tif" "$DIR/rgb_tiles_lzw.tif"
  rm -f "$DIR/base.tif"
  # A4 at 300 dpi: text-like rows of black bars on white.
  convert -size 2480x3508 xc:white -fill black \
    -draw "$(awk 'BEGIN { for (y = 200; y < 3300; y += 60) for (x = 200; x < 2280; x += 97) printf "rectangle %d,%d %d,%d ", x, y, x + 40 + (x * y) % 50, y + 28 }')" \
    -type bilevel -depth 1 -compress none "$DIR/page.tif"
  tiffcp -c g4 "$DIR/page.tif" "$DIR/page_g4.tif"
  rm -f "$DIR/page.tif"
fi

measure_header command
for f in rgb_zip.tif rgb_jpeg.tif rgb_tiles_lzw.tif page_g4.tif; do
  measure "$f: quorvel fitted preview" "$HOST" info --mode 1 "$DIR/$f"
  measure "$f: vipsthumbnail -s 200" vipsthumbnail "$DIR/$f" -s 200 -o "$DIR/vips.png"
  measure "$f: convert -sample 200x200" convert "$DIR/$f" -sample 200x200 "$DIR/im.bmp"
done
rm -f "$DIR/vips.png" "$DIR/im.bmp"
