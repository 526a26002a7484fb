#!/bin/sh
# PCX, TGA and PCD fixtures from independent writers (ImageMagick 6,
# GraphicsMagick, Pillow, netpbm) plus a few hand-built TGA files
# (make_tga_hand.py).  Run in this directory.
set -eu
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
PY=/usr/bin/python3

# Base pictures.
convert -size 37x23 xc: -channel R -fx "i/w" -channel G -fx "j/h" -channel B -fx "((i*j)%7)/7" +channel -depth 8 "$T/rgb.ppm"
convert -size 213x41 xc: -channel R -fx "i/w" -channel G -fx "(j%9)/8" -channel B -fx "((i+j)%11)/10" +channel -depth 8 "$T/wide.ppm"
convert -size 7x251 xc: -channel R -fx "j/h" -channel G -fx "i/w" -channel B -fx "(j%5)/4" +channel -depth 8 "$T/tall.ppm"
convert -size 221x19 xc:white -fill black -draw "line 0,0 220,18" -draw "rectangle 30,3 60,12" -draw "line 0,18 220,0" "$T/bw.ppm"
ppmquant 16 "$T/rgb.ppm" > "$T/q16.ppm" 2>/dev/null
ppmquant 16 "$T/wide.ppm" > "$T/wide16.ppm" 2>/dev/null
ppmquant 4 "$T/rgb.ppm" > "$T/q4.ppm" 2>/dev/null

# PCX
$PY -c "from PIL import Image; Image.open('$T/rgb.ppm').convert('1').save('pcx1_pil_37x23.pcx')"
ppmtopcx "$T/bw.ppm" > pcx1_netpbm_221x19.pcx 2>/dev/null
ppmtopcx "$T/q16.ppm" > pcx4planes_netpbm_37x23.pcx 2>/dev/null
ppmtopcx "$T/wide16.ppm" > pcx4planes_netpbm_213x41.pcx 2>/dev/null
ppmtopcx -packed "$T/wide16.ppm" > pcx4_netpbm_packed_213x41.pcx 2>/dev/null
ppmtopcx -packed "$T/q4.ppm" > pcx2_netpbm_packed_37x23.pcx 2>/dev/null
convert "$T/wide.ppm" -colors 200 pcx8_im_213x41.pcx
gm convert "$T/rgb.ppm" -colors 16 pcx8_gm_37x23.pcx
$PY -c "from PIL import Image; Image.open('$T/rgb.ppm').convert('L').save('pcx8_pil_grey_37x23.pcx')"
$PY -c "from PIL import Image; Image.open('$T/rgb.ppm').save('pcx24_pil_37x23.pcx', dpi=(300, 150))"
gm convert "$T/tall.ppm" pcx24_gm_7x251.pcx
convert "$T/rgb.ppm" -alpha set -channel A -fx "(i%3)/2" +channel pcx32_im_37x23.pcx

# TGA (ImageMagick 6 stores rows top row first under a bottom-left descriptor)
convert "$T/wide.ppm" -crop 203x9+0+0 +repage tga24_im_203x9.tga
$PY -c "from PIL import Image; Image.open('$T/rgb.ppm').convert('RGBA').save('tga32_pil_37x23.tga')"
$PY -c "from PIL import Image; Image.open('$T/tall.ppm').save('tga24_pil_top_7x251.tga', orientation=1)"
ppmtotga -norle "$T/rgb.ppm" > tga24_netpbm_37x23.tga 2>/dev/null
$PY -c "from PIL import Image; Image.open('$T/wide.ppm').crop((0,0,213,19)).convert('P').save('tga8_pil_id_213x19.tga', id_section=b'quorvel test picture')"
convert "$T/rgb.ppm" -colors 100 -type palette tga8_im_37x23.tga
$PY -c "from PIL import Image; Image.open('$T/rgb.ppm').convert('L').save('tga8_pil_grey_37x23.tga')"
ppmtotga -norle -mono "$T/rgb.ppm" > tga8_netpbm_grey_37x23.tga 2>/dev/null
$PY -c "from PIL import Image; Image.open('$T/rgb.ppm').convert('LA').save('tga16_pil_grey_alpha_37x23.tga')"
$PY make_tga_hand.py "$T/rgb.ppm"

# PCD: the header and the first two thumbnail rows (one group) of an ImageMagick file
convert -size 768x512 xc:white -fill black -draw "rectangle 40,40 200,140" -draw "circle 600,400 600,330" "$T/pcd.ppm"
convert "$T/pcd.ppm" "$T/full.pcd"
head -c 8768 "$T/full.pcd" > pcd_short_two_rows.pcd
