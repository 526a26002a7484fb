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
DIR=${1:-/tmp/quorvel-fullsize}
shift
W=8000
H=6000
mkdir -p "$DIR"
if [ ! -f "$DIR/rgb.jpg" ]; then
  # Smooth ramps in red and green, a sawtooth in blue, and some noise, so
  # that the compressed files are not trivially small.
  vips xyz "$DIR/xyz.v" $W $H
  vips extract_band "$DIR/xyz.v" "$DIR/x.v" 0
  vips extract_band "$DIR/xyz.v" "$DIR/y.v" 1
  vips add "$DIR/x.v" "$DIR/y.v" "$DIR/s.v"
  vips linear "$DIR/x.v" "$DIR/r.v" "$(echo "255 / $W" | bc -l)" 0 --uchar
  vips linear "$DIR/y.v" "$DIR/g.v" "$(echo "255 / $H" | bc -l)" 0 --uchar
  vips boolean_const "$DIR/s.v" "$DIR/b.v" and 255
  vips cast "$DIR/b.v" "$DIR/bu.v" uchar
  vips gaussnoise "$DIR/n.v" $W $H --sigma 3 --mean 0
  vips bandjoin "$DIR/r.v $DIR/g.v $DIR/bu.v" "$DIR/rgb.v"
  vips add "$DIR/rgb.v" "$DIR/n.v" "$DIR/rgbn.v"
  vips cast "$DIR/rgbn.v" "$DIR/rgb8.v" uchar
  vips tiffsave "$DIR/rgb8.v" "$DIR/base.tif"
  rm -f "$DIR"/*.v
  tiffcp -c none -r 64 "$DIR/base.tif" "$DIR/rgb_none.tif"
  tiffcp -c lzw -r 64 "$DIR/base.tif" "$DIR/rgb_lzw.tif"
  convert "$DIR/base.tif" -type TrueColor BMP3:"$DIR/rgb.bmp"
  tiff2rgba "$DIR/base.tif" "$DIR/rgba.tif" 2>/dev/null || true
  vips copy "$DIR/base.tif" "$DIR/base.ppm"
  cjpeg -quality 90 "$DIR/base.ppm" > "$DIR/rgb.jpg"
  rm -f "$DIR/base.ppm" "$DIR/rgba.tif" "$DIR/base.tif"
fi

# measure LABEL FILE COMMAND...: one table row.
measure() {
  label=$1
  file=$2
  shift 2
  : > "$DIR/times"
  for run in 1 2 3; do
    /usr/bin/time -f "%e %M %U %S" -a -o "$DIR/times" "$@" >/dev/null 2>&1 || echo "failed" >> "$DIR/times"
  done
  if grep -q failed "$DIR/times"; then
    echo "| $file | $label | failed | | |"
    return
  fi
  awk -v f="$file" -v label="$label" 'NR == 1 || $1 < best { best = $1 }
    NR == 1 || $3 + $4 < cpu { cpu = $3 + $4 } $2 > peak { peak = $2 }
    END { printf "| %s | %s | %.2f | %.2f | %d |\n", f, label, best, cpu, peak / 1024 }' "$DIR/times"
}

echo "| file | command | wall (s) | CPU (s) | peak RSS (MiB) |"
echo "|---|---|---|---|---|"
for f in rgb.bmp rgb_none.tif rgb_lzw.tif rgb.jpg; do
  in="$DIR/$f"
  for q in "$@"; do
    label=${q%%=*}
    exe=${q#*=}
    measure "quorvel $label" "$f" "$exe" info --mode 2 --colour-dir "$DIR" "$in"
  done
  measure "vips copy" "$f" vips copy "$in" "$DIR/copy.v"
  rm -f "$DIR/copy.v"
  case $f in
  *.jpg) measure "djpeg" "$f" djpeg -outfile /dev/null "$in" ;;
  esac
done
