"""Hand-built TGA files no common writer makes, from a 37 x 23 PPM picture:
16- and 15-bit true colour (5-5-5, the top bit set on every third pixel,
which readers ignore) and an 8-bit picture whose 15-bit colour map starts at
index 10 and whose pixels use indices below and past the map.

Run-length files whose packets carry on from one row into the next (the
format allows it; common writers start a packet on every row), from a
37 x 23 picture of flat stretches (runs) and noisy ones (raw packets) that
lie across row ends.  Pillow 9.4 refuses a run packet that crosses a row end
(netpbm and ImageMagick read it), so the files meant for Pillow let only raw
packets cross."""
import struct
import sys


def read_ppm(path):
    data = open(path, 'rb').read()
    fields = data.split(maxsplit=4)
    assert fields[0] == b'P6' and fields[3] == b'255'
    width, height = int(fields[1]), int(fields[2])
    return width, height, fields[4][:width * height * 3]


def header(image_type, map_first, map_length, entry_bits, width, height, depth, descriptor):
    return struct.pack('<BBBHHBHHHHBB', 0, 1 if image_type in (1, 9) else 0, image_type,
                       map_first, map_length, entry_bits, 0, 0, width, height, depth, descriptor)


def pack555(r, g, b, top):
    return struct.pack('<H', (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3) | (0x8000 if top else 0))


width, height, rgb = read_ppm(sys.argv[1])
# Bottom row first.
rows = [rgb[y * width * 3:(y + 1) * width * 3] for y in reversed(range(height))]
for depth in (16, 15):
    body = b''.join(pack555(row[3 * x], row[3 * x + 1], row[3 * x + 2], x % 3 == 0)
                    for row in rows for x in range(width))
    open('tga%d_hand_%dx%d.tga' % (depth, width, height), 'wb').write(
        header(2, 0, 0, 0, width, height, depth, 0) + body)

first, length = 10, 40
colour_map = b''.join(pack555((k * 37) & 255, (k * 91) & 255, (k * 53) & 255, False) for k in range(length))
indices = bytes((x + 2 * y) % 60 for y in range(height) for x in range(width))
open('tga8_map15_first10_%dx%d.tga' % (width, height), 'wb').write(
    header(1, first, length, 15, width, height, 8, 0x20) + colour_map + indices)


def rle_packets(pixels, width, runs_cross):
    """Run-length packets of a list of equal-sized pixels: runs of two or
    more equal pixels, raw packets between them, at most 128 pixels each.
    Raw packets carry on past row ends; runs only when `runs_cross`."""
    out = bytearray()
    i = 0
    while i < len(pixels):
        limit = len(pixels) if runs_cross else (i // width + 1) * width
        run = 1
        while i + run < limit and run < 128 and pixels[i + run] == pixels[i]:
            run += 1
        if run >= 2:
            out += bytes([0x80 | (run - 1)]) + pixels[i]
            i += run
            continue
        j = i + 1
        while j < len(pixels) and j - i < 128:
            # Stop where a run begins.
            same_row = runs_cross or (j + 1) // width == j // width
            if j + 1 < len(pixels) and same_row and pixels[j + 1] == pixels[j]:
                break
            j += 1
        out += bytes([j - i - 1]) + b''.join(pixels[i:j])
        i = j
    return bytes(out)


def stretch_value(s):
    """Stored pixel s (row after row in stored order): flat stretches of 23
    pixels, every third one noisy."""
    k = s // 23
    return (k * 67 + (s * 29 if k % 3 == 0 else 0)) & 255


w, h = 37, 23
values = [stretch_value(s) for s in range(w * h)]
name = '%dx%d.tga' % (w, h)
rgb24 = [bytes([v, (v * 3) & 255, 255 - v]) for v in values]
open('tga24_hand_rle_cross_' + name, 'wb').write(header(10, 0, 0, 0, w, h, 24, 0) + rle_packets(rgb24, w, True))
# 5-5-5 with the top bit set in some stretches; the 16-bit file top row first.
p555 = [struct.pack('<H', (v * 131) & 0x7FFF | (0x8000 if v & 1 else 0)) for v in values]
open('tga16_hand_rle_rawcross_' + name, 'wb').write(header(10, 0, 0, 0, w, h, 16, 0x20) + rle_packets(p555, w, False))
open('tga15_hand_rle_cross_' + name, 'wb').write(header(10, 0, 0, 0, w, h, 15, 0) + rle_packets(p555, w, True))
grey = [bytes([v]) for v in values]
open('tga8_hand_rle_grey_cross_' + name, 'wb').write(header(11, 0, 0, 0, w, h, 8, 0x20) + rle_packets(grey, w, True))
# 64-entry map of 16-bit entries; indices are the values modulo 64.
map16 = b''.join(struct.pack('<H', (k * 523) & 0x7FFF) for k in range(64))
indices = [bytes([v % 64]) for v in values]
open('tga8_hand_rle_map16_' + name, 'wb').write(header(9, 0, 64, 16, w, h, 8, 0) + map16 + rle_packets(indices, w, False))
