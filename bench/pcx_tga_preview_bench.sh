#!/bin/sh
# Fitted previews of large PCX (8-bit palette, 24-bit) and TGA (24-bit,
# uncompressed and run-length) files, default 8000 x 6000: quorvel (its
# command-line host), vipsthumbnail -s 200 (when it reads the format) and
# ImageMagick's convert -sample 200x200, with wall time and peak memory
# from /usr/bin/time, best of three.  The pictures are made here, not committed.
# usage: bench/pcx_tga_preview_bench.sh [build dir] [width] [height] [work dir]
# (FILES="rle24.tga ..." in the environment measures only those files)
set -eu
. "$(dirname "$0")/measure.sh"
BUILD=${1:-build}
W=${2:-8000}
H=${3:-6000}
DIR=${4:-/tmp/quorvel-bench-pcx}
QUORVEL="$BUILD/quorvel"
mkdir -p "$DIR"
if [ ! -f "$DIR/rgb24.tga" ] || [ ! -f "$DIR/pairs24.tga" ]; then
  # Ramps with some noise, so that the run-length files are not trivially small.
  vips xyz "$DIR/xyz.v" "$W" "$H"
  vips extract_band "$DIR/xyz.v" "$DIR/x.v" 0
  vips extract_band "$DIR/xyz.v" "$DIR/y.v" 1
  vips linear "$DIR/x.v" "$DIR/r.v" "$(echo "255 / $W" | bc -l)" 0 --uchar
  vips linear "$DIR/y.v" "$DIR/g.v" "$(echo "255 / $H" | bc -l)" 0 --uchar
  vips gaussnoise "$DIR/n.v" "$W" "$H" --sigma 2 --mean 0
  vips bandjoin "$DIR/r.v $DIR/g.v $DIR/r.v" "$DIR/rgb.v"
  vips add "$DIR/rgb.v" "$DIR/n.v" "$DIR/rgbn.v"
  vips cast "$DIR/rgbn.v" "$DIR/rgb8.v" uchar
  vips copy "$DIR/rgb8.v" "$DIR/rgb.ppm"
  rm -f "$DIR"/*.v
  [ -f "$DIR/rgb24.pcx" ] || convert "$DIR/rgb.ppm" "$DIR/rgb24.pcx"
  # 216 web-safe colours without dithering: quick for Pillow, slow for convert.
  /usr/bin/python3 -c "from PIL import Image; Image.open('$DIR/rgb.ppm').convert('P', palette=Image.Palette.WEB, dither=Image.Dither.NONE).save('$DIR/pal8.pcx')"
  convert "$DIR/rgb.ppm" -compress none "$DIR/rgb24.tga"
  convert "$DIR/rgb.ppm" -compress RLE "$DIR/rle24.tga"
  # Every pixel twice across: one run packet per two pixels, the most
  # packets a run-length file of this size holds.
  vips zoom "$DIR/rgb.ppm" "$DIR/pairs.v" 2 1
  vips extract_area "$DIR/pairs.v" "$DIR/pairs.ppm" 0 0 "$W" "$H"
  convert "$DIR/pairs.ppm" -compress RLE "$DIR/pairs24.tga"
  rm -f "$DIR/pairs.v" "$DIR/pairs.ppm"
  rm -f "$DIR/rgb.ppm"
fi

measure_header file tool
for f in ${FILES:-pal8.pcx rgb24.pcx rgb24.tga rle24.tga pairs24.tga}; do
  in="$DIR/$f"
  size=$(($(stat -c %s "$in") / 1048576))
  measure "$f ($size MiB) | quorvel" "$QUORVEL" preview -o "$DIR/q_$f.png" "$in"
  measure "$f ($size MiB) | vipsthumbnail" vipsthumbnail "$in" -s 200 -o "$DIR/v_$f.png"
  measure "$f ($size MiB) | convert -sample" convert "$in" -sample 200x200 "$DIR/c_$f.png"
done
