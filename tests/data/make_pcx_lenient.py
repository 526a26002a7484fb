#!/usr/bin/python3
# Hand-built PCX files that real writers' files resemble but the writers at
# hand do not make (run in this directory): runs that cross row ends (a
# 3-plane RGB and an 8-bit palette file), an 8-bit file without its palette
# block, and an 8-bit file whose plane lines hold 24 of its 40 columns.
import struct


def pcx(w, h, bits, planes, line, info, data, tail=b''):
    v = bytearray(128)
    v[0], v[1], v[2], v[3] = 10, 5, 1, bits
    struct.pack_into('<HHHHHH', v, 4, 0, 0, w - 1, h - 1, 72, 72)
    for k in range(16):
        v[16 + 3 * k:19 + 3 * k] = bytes([k * 16, 255 - k * 16, k])
    v[65] = planes
    struct.pack_into('<Hh', v, 66, line, info)
    return bytes(v) + bytes(data) + tail


def encode(b, cross, line):
    # Runs of up to 63 equal bytes; with `cross` they go on past line ends.
    out, i = [], 0
    while i < len(b):
        n = 1
        while i + n < len(b) and b[i + n] == b[i] and n < 63 and (cross or (i + n) % line != 0):
            n += 1
        if n > 1 or b[i] >= 0xC0:
            out.append(0xC0 | n)
        out.append(b[i])
        i += n
    return out


W, H = 40, 20
# Each line ends with the value the next one begins with, so runs cross.
rgb = []
for y in range(H):
    for p in range(3):
        for x in range(W):
            if x < 8:
                rgb.append(((y * 3 + p - 1) * 29) % 190)
            elif x >= 32:
                rgb.append(((y * 3 + p) * 29) % 190)
            else:
                rgb.append((x * 5 + y * 11 + p * 60) % 191)
open('pcx24_hand_cross_40x20.pcx', 'wb').write(pcx(W, H, 8, 3, W, 1, encode(rgb, True, W)))
palette = bytes([12]) + bytes(sum(([k, 255 - k, (k * 3) & 255] for k in range(256)), []))
index = []
for y in range(H):
    for x in range(W):
        if x < 8:
            index.append(((y - 1) * 29) % 190)
        elif x >= 32:
            index.append((y * 29) % 190)
        else:
            index.append((x * 5 + y * 11) % 191)
open('pcx8_hand_cross_40x20.pcx', 'wb').write(pcx(W, H, 8, 1, W, 1, encode(index, True, W), palette))
grey = [(x * 3 + y * 5) % 192 for y in range(40) for x in range(64)]
open('pcx8_hand_noblock_64x40.pcx', 'wb').write(pcx(64, 40, 8, 1, 64, 1, encode(grey, False, 64)))
short = [index[y * W + x] for y in range(H) for x in range(24)]
open('pcx8_hand_shortline_40x20.pcx', 'wb').write(pcx(W, H, 8, 1, 24, 1, encode(short, False, 24), palette))
