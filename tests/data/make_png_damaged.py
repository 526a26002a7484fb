#!/usr/bin/python3
# Damaged PNG files made from png_rgb8_213x67.png (run in this directory):
# the file cut short inside its image data, and rows whose filter byte is
# not a filter (libpng stops there).
import struct
import zlib


def chunks(data):
    at = 8
    while at < len(data):
        n = struct.unpack('>I', data[at:at + 4])[0]
        yield data[at + 4:at + 8], data[at + 8:at + 8 + n]
        at += 12 + n


def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))


src = open('png_rgb8_213x67.png', 'rb').read()
parts = list(chunks(src))
header = parts[0][1]
width, height = struct.unpack('>II', header[:8])
raw = bytearray(zlib.decompress(b''.join(b for k, b in parts if k == b'IDAT')))
stride = 1 + 3 * width


def with_bad_filter(row):
    data = bytearray(raw)
    data[row * stride] = 7
    body = zlib.compress(bytes(data), 9)
    return src[:8] + chunk(b'IHDR', header) + chunk(b'IDAT', body) + chunk(b'IEND', b'')


open('png_rgb8_badfilter41_213x67.png', 'wb').write(with_bad_filter(41))
open('png_rgb8_badfilter0_213x67.png', 'wb').write(with_bad_filter(0))
# Cut inside the image data, a little past its middle; the data is split
# into IDAT chunks of 256 bytes, as writers split it, so that libpng reads
# the rows before the cut.
body = zlib.compress(bytes(raw), 9)
idat = b''.join(chunk(b'IDAT', body[k:k + 256]) for k in range(0, len(body), 256))
whole = src[:8] + chunk(b'IHDR', header) + idat + chunk(b'IEND', b'')
open('png_rgb8_cut_213x67.png', 'wb').write(whole[:len(whole) * 6 // 10])
