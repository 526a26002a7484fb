#!/bin/sh
# Regenerates the TIFF reader fixtures (tiff_*.tif) with ImageMagick and
# libtiff's tools; run from tests/data.  See README.md for the list.
set -eu
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
# Base pictures, 37 x 23 (odd sizes catch row padding).
convert -size 37x23 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%7)/7" +channel -depth 8 -compress none "$T/rgb8.tif"
convert -size 37x23 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%7)/7" +channel -depth 16 -compress none "$T/rgb16.tif"
convert -size 37x23 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%7)/7" -alpha set -channel A -fx "(i+j)%3/2" +channel -depth 8 -compress none "$T/rgba8.tif"
convert -size 37x23 xc: -colorspace gray -fx "((i*3+j*5)%17)/16" -depth 8 -compress none "$T/grey8.tif"
convert -size 37x23 xc: -colorspace gray -fx "((i*3+j*5)%17)/16" -depth 4 -compress none "$T/grey4.tif"
convert -size 37x23 xc: -colorspace gray -fx "((i*3+j*5)%17)/16" -depth 16 -compress none "$T/grey16.tif"
convert -size 37x23 xc: -fx "((i*7+j*3)%41)/40" -colors 200 -type palette -depth 8 -compress none "$T/pal8.tif"
convert -size 37x23 xc: -fx "((i*7+j*3)%13)/12" -colors 16 -type palette -depth 4 -compress none "$T/pal4.tif"
convert -size 37x23 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%7)/7" +channel -colorspace cmyk -depth 8 -compress none "$T/cmyk8.tif"
convert -size 37x23 xc:white -fill black -draw "circle 18,11 18,3" -draw "line 0,0 36,22" -type bilevel -depth 1 "$T/bw.pbm"
convert "$T/bw.pbm" -type bilevel -depth 1 -compress none "$T/bw1.tif"
convert "$T/bw.pbm" -negate -type bilevel -depth 1 -compress none "$T/bw1w.tif"
tiffset -s 262 0 "$T/bw1w.tif"
convert -size 37x23 xc: -colorspace gray -fx "((i*3+j*5)%17)/16" -negate -depth 8 -compress none "$T/grey8w.tif"
tiffset -s 262 0 "$T/grey8w.tif"
# A wide picture for the fitted 200-pixel preview.
convert -size 233x9 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%5)/4" +channel -depth 8 -compress none "$T/wide.tif"
convert -size 411x5 xc:white -fill black -draw "line 0,0 410,4" -draw "line 0,4 410,0" -type bilevel -depth 1 "$T/wide.pbm"

tiffcp -c none -L -r 5 "$T/rgb8.tif" tiff_rgb8_none_le.tif
tiffcp -c none -B -r 5 "$T/rgb8.tif" tiff_rgb8_none_be.tif
tiffcp -c packbits -L -r 4 "$T/rgb8.tif" tiff_rgb8_packbits.tif
tiffcp -c lzw -L -r 3 "$T/rgb8.tif" tiff_rgb8_lzw.tif
tiffcp -c lzw:2 -B -r 1 "$T/rgb8.tif" tiff_rgb8_lzw2_be.tif
tiffcp -c lzw:2 -L -r 23 "$T/rgb8.tif" tiff_rgb8_lzw2_one.tif
tiffcp -p separate -c none -L -r 1 "$T/rgb8.tif" tiff_rgb8_sep_r1.tif
tiffcp -p separate -c none -B -r 4 "$T/rgb8.tif" tiff_rgb8_sep_r4.tif
tiffcp -c none -L -r 6 "$T/rgb16.tif" tiff_rgb16_none_le.tif
tiffcp -c none -B -r 6 "$T/rgb16.tif" tiff_rgb16_none_be.tif
tiffcp -c packbits -B -r 6 "$T/rgb16.tif" tiff_rgb16_packbits_be.tif
tiffcp -c lzw:2 -L -r 6 "$T/rgb16.tif" tiff_rgb16_lzw2_le.tif
tiffcp -c lzw:2 -B -r 6 "$T/rgb16.tif" tiff_rgb16_lzw2_be.tif
tiffcp -c none -L "$T/rgba8.tif" tiff_rgba8_none.tif
tiffcp -c lzw:2 -B -r 2 "$T/rgba8.tif" tiff_rgba8_lzw2_be.tif
tiffcp -p separate -c none -L -r 1 "$T/rgba8.tif" tiff_rgba8_sep_r1.tif
tiffcp -c none -B -r 7 "$T/grey8.tif" tiff_grey8_none_be.tif
tiffcp -c packbits -L -r 7 "$T/grey8.tif" tiff_grey8_packbits.tif
tiffcp -c lzw:2 -L -r 7 "$T/grey8.tif" tiff_grey8_lzw2.tif
tiffcp -c lzw -L "$T/grey8w.tif" tiff_grey8w_lzw.tif
tiffcp -c none -L -r 5 "$T/grey4.tif" tiff_grey4_none.tif
tiffcp -c lzw -B -r 5 "$T/grey4.tif" tiff_grey4_lzw_be.tif
convert -size 37x23 xc: -colorspace gray -fx "((i*3+j*5)%17)/16" -alpha set -channel A -fx "(i%2)" +channel -depth 4 -compress none "$T/greya4.tif"
tiffcp -c lzw -L -r 5 "$T/greya4.tif" tiff_greya4_lzw.tif
tiffcp -c packbits -L -r 5 "$T/grey16.tif" tiff_grey16_packbits.tif
tiffcp -c lzw -B -r 5 "$T/grey16.tif" tiff_grey16_lzw_be.tif
tiffcp -c none -L -r 8 "$T/pal8.tif" tiff_pal8_none.tif
tiffcp -c lzw -B -r 8 "$T/pal8.tif" tiff_pal8_lzw_be.tif
tiffcp -c packbits -L -r 8 "$T/pal4.tif" tiff_pal4_packbits.tif
tiffcp -c none -B -r 8 "$T/pal4.tif" tiff_pal4_none_be.tif
tiffcp -c none -L -r 8 "$T/cmyk8.tif" tiff_cmyk8_none.tif
tiffcp -c lzw:2 -B -r 8 "$T/cmyk8.tif" tiff_cmyk8_lzw2_be.tif
tiffcp -c none -L -r 5 "$T/bw1.tif" tiff_bw1_none.tif
tiffcp -c packbits -B -r 5 "$T/bw1w.tif" tiff_bw1w_packbits_be.tif
tiffcp -c lzw -L -r 5 "$T/bw1.tif" tiff_bw1_lzw.tif
python3 make_tiff_ccitt.py "$T/bw.pbm" tiff_bw1w_ccitt.tif 0 5
python3 make_tiff_ccitt.py "$T/bw.pbm" tiff_bw1_ccitt_be.tif 1 23 b
python3 make_tiff_ccitt.py "$T/wide.pbm" tiff_wide_ccitt.tif 0 2
python3 make_tiff_runs.py "$T/runs.pbm"
python3 make_tiff_ccitt.py "$T/runs.pbm" tiff_runs_ccitt.tif 0 3
tiffcp -c lzw:2 -L -r 2 "$T/wide.tif" tiff_wide_lzw2.tif
convert -size 37x23 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%7)/7" +channel -depth 8 "$T/rgb8.ppm"
pamtotiff -rowsperstrip 12 "$T/rgb8.ppm" > tiff_pam_rgb8_two_strips.tif
convert -size 37x23 xc: -channel R -fx "((i*7+j*3)%13)/12" -channel G -fx "(i%3)/2" -channel B -fx "j%2" +channel -depth 8 "$T/pal.ppm"
pamtotiff -packbits -rowsperstrip 12 "$T/pal.ppm" > tiff_pam_pal8_packbits.tif
convert -size 37x23 xc: -colorspace gray -fx "((i*3+j*5)%17)/16" -depth 8 "$T/grey8.pgm"
pamtotiff -lzw -rowsperstrip 6 "$T/grey8.pgm" > tiff_pam_grey8_lzw.tif
/usr/bin/python3 -c "from PIL import Image; Image.open('$T/bw.pbm').save('tiff_bw1_ccitt_pil.tif', compression='tiff_ccitt')"
