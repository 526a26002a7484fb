"""Hand-built TGA files no common writer makes, from a 37 x 23 PPM picture:
16- and 15-bit true colour (5-5-5, the top bit set on every third pixel,
which readers ignore) and an 8-bit picture whose 15-bit colour map starts at
index 10 and whose pixels use indices below and past the map."""
import struct
import sys


def read_ppm(path):
    data = open(path, 'rb').read()
    fields = data.split(maxsplit=4)
    assert fields[0] == b'P6' and fields[3] == b'255'
    width, height = int(fields[1]), int(fields[2])
    return width, height, fields[4][:width * height * 3]


def header(image_type, map_first, map_length, entry_bits, width, height, depth, descriptor):
    return struct.pack('<BBBHHBHHHHBB', 0, 1 if image_type == 1 else 0, image_type,
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
