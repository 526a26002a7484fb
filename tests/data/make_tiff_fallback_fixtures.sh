#!/bin/sh
# Makes the tiff_fb_*.tif fixtures: TIFF files the own decoders refuse or
# would misread, read through libtiff.  Run in this directory; needs
# ImageMagick, libtiff-tools and python3.
set -e
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
# Base pictures: 241 x 67 (wider than a fitted preview, so columns and rows
# are sampled) and a 37 x 23 one for the odd depths.
convert -size 241x67 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "(i%23)/22" +channel -depth 8 -compress none "$T/rgb8.tif"
convert -size 241x67 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "(i%23)/22" +channel -depth 16 -compress none "$T/rgb16.tif"
convert -size 241x67 xc: -fx "((i*7+j*3)%41)/40" -colors 200 -type palette -depth 8 -compress none "$T/pal8.tif"
convert -size 241x67 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "(i%23)/22" +channel -colorspace cmyk -depth 8 -compress none "$T/cmyk8.tif"
convert -size 241x67 xc:white -fill black -draw "circle 120,33 120,5" -draw "line 0,0 240,66" -type bilevel -depth 1 -compress none "$T/bw1.tif"
convert "$T/rgb8.tif" -resize 61x29! -depth 8 -compress none "$T/small8.tif"
convert "$T/rgb16.tif" -resize 61x29! -depth 16 -compress none "$T/small16.tif"
convert "$T/cmyk8.tif" -resize 61x29! -depth 8 -compress none "$T/smallcmyk.tif"
G='xc: -colorspace gray -fx "((i*3+j*5)%17)/16"'

tiffcp -c zip:2 -r 8 "$T/rgb8.tif" tiff_fb_rgb8_zip.tif
tiffcp -c zip -r 8 -B "$T/small16.tif" tiff_fb_rgb16_zip_be.tif
tiffcp -c zip -r 16 "$T/pal8.tif" tiff_fb_pal8_zip.tif
tiffcp -c zip -r 16 "$T/smallcmyk.tif" tiff_fb_cmyk8_zip.tif
tiffcp -c jpeg:r:90 -r 16 "$T/rgb8.tif" tiff_fb_rgb8_jpeg.tif
tiffcp -c jpeg:90 -r 16 "$T/rgb8.tif" tiff_fb_ycbcr_jpeg.tif
tiffcp -c g3 -r 8 "$T/bw1.tif" tiff_fb_bw1_g3.tif
tiffcp -c g3:2d:fill -r 8 "$T/bw1.tif" tiff_fb_bw1_g3_2d.tif
tiffcp -c g4 "$T/bw1.tif" tiff_fb_bw1_g4.tif
tiffcp -c lzma -r 8 "$T/small8.tif" tiff_fb_rgb8_lzma.tif
tiffcp -c zstd -r 8 "$T/small8.tif" tiff_fb_rgb8_zstd.tif
tiffcp -c lzw:2 -t -w 64 -l 32 "$T/rgb8.tif" tiff_fb_rgb8_tiles_lzw.tif
tiffcp -c lzw -t -w 32 -l 16 "$T/pal8.tif" tiff_fb_pal8_tiles.tif
tiffcp -c zip -p separate -r 8 "$T/rgb8.tif" tiff_fb_rgb8_sep_zip.tif
convert "$T/small16.tif" -interlace plane -depth 16 -compress none -define tiff:rows-per-strip=8 tiff_fb_rgb16_sep.tif
tiffcp -c none -8 -r 8 "$T/small8.tif" tiff_fb_rgb8_bigtiff.tif
tiffcp -c g4 -8 "$T/bw1.tif" tiff_fb_bw1_g4_bigtiff.tif
convert "$T/small8.tif" -modulate 90,40 -colorspace Lab -depth 8 -compress zip tiff_fb_lab8_zip.tif
eval convert -size 37x23 $G -depth 2 -compress none tiff_fb_grey2_37x23.tif
eval convert -size 37x23 $G -depth 12 -compress none tiff_fb_grey12_37x23.tif
eval convert -size 37x23 $G -depth 12 -compress zip tiff_fb_grey12_zip_37x23.tif
convert -size 37x23 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%7)/7" +channel \
  -define quantum:format=floating-point -depth 32 -compress zip -define tiff:predictor=3 tiff_fb_rgbf32_pred3_37x23.tif
eval convert -size 37x23 $G -define quantum:format=floating-point -depth 32 -compress zip tiff_fb_greyf32_37x23.tif
eval convert -size 37x23 $G -depth 32 -compress none tiff_fb_grey32_37x23.tif
eval convert -size 37x23 $G -define quantum:format=signed -depth 16 -compress none tiff_fb_grey16s_37x23.tif
