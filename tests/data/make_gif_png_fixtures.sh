#!/bin/sh
# Makes the GIF and PNG fixtures (gif_*.gif, png_*.png).  Run in this
# directory; needs ImageMagick (convert), giflib's gifbuild, netpbm, Debian's
# python3 with Pillow, and optipng.
set -eu
PY=/usr/bin/python3
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

# Base pictures: a smooth four-corner gradient with a few shapes.
base() {  # WIDTH HEIGHT OUT
    convert -size "$1x$2" xc: -sparse-color bilinear "0,0 red $(($1-1)),0 yellow 0,$(($2-1)) blue $(($1-1)),$(($2-1)) lime" \
        -fill white -draw "rectangle $(($1/8)),$(($2/8)) $(($1/3)),$(($2/3))" \
        -fill black -draw "line 0,$(($2-1)) $(($1-1)),0" "$3"
}
base 241 97 "$T/a.ppm"
base 213 67 "$T/b.ppm"
base 37 23 "$T/c.ppm"

# GIF
convert "$T/a.ppm" +dither -colors 256 gif_256_241x97.gif
convert "$T/b.ppm" +dither -colors 16 gif_16_213x67.gif
convert "$T/b.ppm" +dither -colors 16 -interlace GIF gif_16_interlaced_213x67.gif
convert "$T/c.ppm" +dither -colors 4 gif_4_37x23.gif
convert -size 421x37 xc:white -fill black -draw "circle 200,18 200,3" -draw "line 0,0 420,36" -colors 2 gif_2_421x37.gif
convert "$T/c.ppm" -crop 5x3+10+10 +repage +dither -colors 8 -interlace GIF gif_interlaced_5x3.gif
convert "$T/c.ppm" -crop 4x2+10+10 +repage +dither -colors 8 -interlace GIF gif_interlaced_4x2.gif
convert "$T/c.ppm" -crop 19x11+3+3 +repage +dither -colors 32 -interlace GIF gif_interlaced_19x11.gif
gifbuild gif_local_anim.txt > gif_local_anim_12x7.gif
convert -size 100x50 xc: -sparse-color bilinear '0,0 red 99,0 yellow 0,49 blue 99,49 lime' +dither -colors 64 \
    -page 640x480+20+30 gif_offset_100x50_in_640x480.gif
$PY -c "from PIL import Image; im=Image.open('$T/c.ppm').quantize(16, dither=0); im.save('gif_pil_transparent_37x23.gif', transparency=im.getpixel((0,0)))"

# PNG: every colour type and bit depth, interlaced and not
convert "$T/b.ppm" -colorspace gray -depth 8 "$T/grey.png"
for d in 1 2 4; do
    convert "$T/grey.png" pgm:- | pamdepth $(((1 << d) - 1)) | pnmtopng > "png_grey${d}_213x67.png"
done
convert "$T/grey.png" -define png:color-type=0 -depth 8 png_grey8_213x67.png
convert "$T/c.ppm" -colorspace gray -fx "u+i/w/300" -define png:color-type=0 -depth 16 png_grey16_37x23.png
convert "$T/b.ppm" -colorspace gray -alpha set -channel A -fx "(i%5)/4" +channel -define png:color-type=4 -depth 8 png_greya8_213x67.png
convert "$T/c.ppm" -colorspace gray -alpha set -channel A -fx "(i%5)/4" +channel -define png:color-type=4 -depth 16 png_greya16_37x23.png
convert "$T/b.ppm" -define png:color-type=2 -depth 8 png_rgb8_213x67.png
convert "$T/c.ppm" -channel G -fx "j/h+i/w/300" +channel -define png:color-type=2 -depth 16 png_rgb16_37x23.png
convert "$T/b.ppm" -alpha set -channel A -fx "(j%3)/2" +channel -define png:color-type=6 -depth 8 png_rgba8_213x67.png
convert "$T/c.ppm" -alpha set -channel A -fx "(j%3)/2" +channel -define png:color-type=6 -depth 16 png_rgba16_37x23.png
optipng -quiet -nx -i1 -o1 -out png_rgb8_interlaced_213x67.png png_rgb8_213x67.png
optipng -quiet -nx -i1 -o1 -out png_grey2_interlaced_213x67.png png_grey2_213x67.png
optipng -quiet -nx -i1 -o1 -out png_rgba16_interlaced_37x23.png png_rgba16_37x23.png
# Palettes of 2, 16 and 256 entries at 1, 4 and 8 bits; of 3 entries at 2 bits
# (optipng drops the unused fourth entry Pillow writes) and 253 at 8 bits.
$PY -c "from PIL import Image; Image.open('$T/b.ppm').quantize(2, dither=0).save('png_pal1_2_213x67.png', bits=1)"
$PY -c "from PIL import Image; Image.open('$T/b.ppm').quantize(16, dither=0).save('png_pal4_16_213x67.png', bits=4)"
$PY -c "from PIL import Image; Image.open('$T/b.ppm').quantize(3, dither=0).save('$T/p3.png', bits=2)"
optipng -quiet -o1 -out png_pal2_3_213x67.png "$T/p3.png"
$PY -c "from PIL import Image; Image.open('$T/b.ppm').quantize(256, dither=0).save('png_pal8_256_213x67.png')"
convert "$T/b.ppm" +dither -colors 256 PNG8:png_pal8_253_213x67.png
optipng -quiet -nx -i1 -o1 -out png_pal4_16_interlaced_213x67.png png_pal4_16_213x67.png
$PY -c "from PIL import Image; im=Image.open('$T/b.ppm').quantize(40, dither=0); im.save('png_pal8_trns_213x67.png', transparency=bytes([0,128,255]))"
# Divisor 16 (wider than 1600), and a physical-size chunk of 300 dpi.
convert -size 1700x40 gradient:black-white -rotate 90 -resize 1700x40\! -colorspace gray -depth 8 png_grey8_1700x40.png
convert "$T/c.ppm" -units PixelsPerInch -density 300 -depth 8 png_rgb8_300dpi_37x23.png
# A wide picture (divisor 200) interlaced and not: columns and rows 200 apart
# differ from their neighbours.
$PY -c "from PIL import Image, ImageDraw; im=Image.new('1',(40000,401)); d=ImageDraw.Draw(im); [d.line([(x,0),(x,400)],fill=1) for x in range(0,40000,200)]; d.line([(0,200),(39999,200)],fill=1); d.line([(0,0),(39999,400)],fill=1); im.save('png_wide_40000x401.png')"
optipng -quiet -nx -i1 -o1 -out png_wide_interlaced_40000x401.png png_wide_40000x401.png
