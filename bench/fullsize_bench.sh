#!/bin/sh
# Full-size previews (mode 2) of 8000 x 6000 RGB pictures: uncompressed BMP
# and TIFF, LZW TIFF and baseline JPEG, through the quorvel host ("info
# --mode 2": the preview is made and released), beside `vips copy` of the
# same file and, for the JPEG, a full `djpeg` decode.  Best wall time, best
# CPU time (user + system, less disturbed by a busy machine) and largest
# peak RSS of three runs, from /usr/bin/time.  The pictures are made
# here (vips, convert, tiffcp, cjpeg) and kept in the work directory.
# usage: bench/fullsize_bench.sh [work dir] QUORVEL [QUORVEL ...]
#   each QUORVEL is a label=path pair, e.g. before=/tmp/old/quorvel
set -eu
. "$(dirname "$0")/measure.sh"
DIR=${1:-/tmp/quorvel-fullsize}
shift
W=8000
H=6000
mkdir -p "$DIR"
if [ ! -f "$DIR/rgb.jpg" ]; then
  ramp_picture "$DIR/base.tif" $W $H
  tiffcp -c none -r 64 "$DIR/base.tif" "$DIR/rgb_none.tif"
  tiffcp -c lzw -r 64 "$DIR/base.tif" "$DIR/rgb_lzw.tif"
  convert "$DIR/base.tif" -type TrueColor BMP3:"$DIR/rgb.bmp"
  tiff2rgba "$DIR/base.tif" "$DIR/rgba.tif" 2>/dev/null || true
  vips copy "$DIR/base.tif" "$DIR/base.ppm"
  cjpeg -quality 90 "$DIR/base.ppm" > "$DIR/rgb.jpg"
  rm -f "$DIR/base.ppm" "$DIR/rgba.tif" "$DIR/base.tif"
fi

measure_header file command
for f in rgb.bmp rgb_none.tif rgb_lzw.tif rgb.jpg; do
  in="$DIR/$f"
  for q in "$@"; do
    label=${q%%=*}
    exe=${q#*=}
    measure "$f | quorvel $label" "$exe" info --mode 2 --colour-dir "$DIR" "$in"
  done
  measure "$f | vips copy" vips copy "$in" "$DIR/copy.v"
  rm -f "$DIR/copy.v"
  case $f in
  *.jpg) measure "$f | djpeg" djpeg -outfile /dev/null "$in" ;;
  esac
done
