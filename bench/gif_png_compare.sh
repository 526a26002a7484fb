#!/bin/sh
# Wall time and peak memory of fitted previews of large GIF and PNG files:
# this library (through the quorvel host) against vipsthumbnail and
# ImageMagick's convert -sample.  The pictures (8000 x 6000) are made in /tmp
# with Pillow (and optipng for the interlaced PNG) on the first run.
# Usage: bench/gif_png_compare.sh BUILD_DIR
set -eu
. "$(dirname "$0")/measure.sh"
HOST=${1:-build}/quorvel
PY=/usr/bin/python3
GIF=/tmp/quorvel_bench_256.gif
PNG=/tmp/quorvel_bench_rgb.png
PNGI=/tmp/quorvel_bench_rgb_interlaced.png

if [ ! -f "$GIF" ] || [ ! -f "$PNG" ]; then
    $PY - "$GIF" "$PNG" <<'PYEOF'
import sys
from PIL import Image, ImageChops
size = (8000, 6000)
across = Image.linear_gradient('L').rotate(90).resize(size)
down = Image.linear_gradient('L').resize(size)
noise = Image.effect_noise(size, 24)
texture = ImageChops.add(ImageChops.multiply(across, down), noise, scale=1.5)
indexed = Image.frombytes('P', size, texture.tobytes())
indexed.putpalette([(i * k * 37) % 256 for i in range(256) for k in (1, 3, 7)])
indexed.save(sys.argv[1])
Image.merge('RGB', (across, down, noise)).save(sys.argv[2], compress_level=6)
PYEOF
fi
[ -f "$PNGI" ] || optipng -quiet -nx -i1 -o1 -out "$PNGI" "$PNG"

measure_header command
for f in "$GIF" "$PNG" "$PNGI"; do
    name=$(basename "$f")
    measure "$name: quorvel fitted preview" "$HOST" info --mode 1 "$f"
    measure "$name: quorvel size only" "$HOST" info --mode 0 "$f"
    measure "$name: vipsthumbnail -s 200" vipsthumbnail "$f" -s 200 -o /tmp/quorvel_bench_vips.png
    measure "$name: convert -sample 200x200" convert "$f" -sample 200x200 /tmp/quorvel_bench_im.bmp
done
rm -f /tmp/quorvel_bench_vips.png /tmp/quorvel_bench_im.bmp
