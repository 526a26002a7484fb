#!/usr/bin/python3
# TIFF files with one damaged strip (run in this directory; needs
# ImageMagick and libtiff-tools): LZW strips of 4 rows and YCbCr JPEG strips
# of 16 rows, each also kept whole as the reference for the rows before the
# damage.  Damage: the strip's first two bytes overwritten (no clear code in
# LZW, no start-of-image marker in JPEG).
import os
import struct
import subprocess


def run(*args):
    subprocess.run(args, check=True)


def strip_offsets(data):
    order = '<' if data[:2] == b'II' else '>'
    ifd = struct.unpack(order + 'I', data[4:8])[0]
    count = struct.unpack(order + 'H', data[ifd:ifd + 2])[0]
    for i in range(count):
        entry = data[ifd + 2 + 12 * i:ifd + 14 + 12 * i]
        tag, kind, n = struct.unpack(order + 'HHI', entry[:8])
        if tag == 273:
            size = 2 if kind == 3 else 4
            fmt = order + ('H' if kind == 3 else 'I')
            at = struct.unpack(order + 'I', entry[8:12])[0] if n * size > 4 else None
            if at is None:
                return [struct.unpack(fmt, entry[8:8 + size])[0]]
            return [struct.unpack(fmt, data[at + k * size:at + (k + 1) * size])[0] for k in range(n)]
    raise ValueError('no strip offsets')


def damage(src, dst, strip, value):
    data = bytearray(open(src, 'rb').read())
    at = strip_offsets(data)[strip]
    data[at:at + 2] = bytes([value, value])
    open(dst, 'wb').write(data)


run('convert', '-size', '40x48', '-seed', '3', 'plasma:fractal', '-depth', '8', '-compress', 'None', 'src.tif')
run('tiffcp', '-c', 'lzw', '-r', '4', 'src.tif', 'tiff_lzw_rgb8_40x48.tif')
run('tiffcp', '-c', 'jpeg', '-r', '16', 'src.tif', 'tiff_ycc_jpeg_40x48.tif')
os.remove('src.tif')
damage('tiff_lzw_rgb8_40x48.tif', 'tiff_lzw_rgb8_badstrip5_40x48.tif', 5, 0xFF)
damage('tiff_lzw_rgb8_40x48.tif', 'tiff_lzw_rgb8_badstrip0_40x48.tif', 0, 0xFF)
damage('tiff_ycc_jpeg_40x48.tif', 'tiff_ycc_jpeg_badstrip1_40x48.tif', 1, 0)
damage('tiff_ycc_jpeg_40x48.tif', 'tiff_ycc_jpeg_badstrip0_40x48.tif', 0, 0)

# A palette picture whose index 0 is white: rows past a damaged strip must
# still come out black, not in palette colour 0.
from PIL import Image
pal = Image.new('P', (40, 48))
pal.putpalette([255, 255, 255] + [(i * 37) % 256 for i in range(45)] + [0] * 720)
pal.putdata([(x // 5 + y // 6) % 16 for y in range(48) for x in range(40)])
pal.save('src.tif')
run('tiffcp', '-c', 'lzw', '-r', '4', 'src.tif', 'tiff_lzw_pal8_40x48.tif')
os.remove('src.tif')
damage('tiff_lzw_pal8_40x48.tif', 'tiff_lzw_pal8_badstrip5_40x48.tif', 5, 0xFF)
