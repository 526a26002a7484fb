#!/bin/sh
# Makes the PSD fixtures (psd_*.psd) with ImageMagick; run in this directory.
set -e
grad() { s=$1; shift; convert -size "$s" xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%7)/7" +channel "$@"; }
grey() { s=$1; shift; convert -size "$s" xc: -colorspace gray -fx "((i*3+j*5)%17)/16" "$@"; }
bw() { s=$1; shift; convert -size "$s" xc:white -fill black -draw "circle 18,11 18,3" -draw "line 0,0 420,36" -draw "line 0,420 36,0" -type bilevel -depth 1 "$@"; }
# grad, grey and bw take the picture size, then the rest of the command.
grad 230x9 -depth 8 -density 300 -units PixelsPerInch -compress RLE psd_rgb8_rle_300dpi.psd
grad 7x211 -depth 8 -density 72 -units PixelsPerInch -compress None psd_rgb8_raw_72dpi.psd
grad 41x23 -alpha set -channel A -fx "(i+j)%3/2" +channel -depth 8 -compress RLE psd_rgba8_rle.psd
grad 37x23 -depth 16 -compress RLE psd_rgb16_rle.psd
grad 23x37 -depth 16 -compress None psd_rgb16_raw.psd
grey 7x251 -depth 8 -compress None psd_grey8_raw.psd
grey 251x7 -depth 8 -compress RLE psd_grey8_rle.psd
grey 37x23 -depth 16 -compress None psd_grey16_raw.psd
grad 211x11 -colors 60 -type palette -depth 8 -compress RLE psd_pal8_rle.psd
grad 11x211 -colors 60 -type palette -depth 8 -compress None psd_pal8_raw.psd
grad 37x23 -colorspace cmyk -depth 8 -compress None psd_cmyk8_raw.psd
grad 23x37 -colorspace cmyk -depth 8 -compress RLE psd_cmyk8_rle.psd
bw 421x37 -compress None psd_bitmap_raw.psd
bw 37x421 -compress RLE psd_bitmap_rle.psd
