#!/usr/bin/env python3
# Writes a PBM (P4) whose rows hold runs of every CCITT code length: 0 to 63
# and every make-up length up to 2560 and beyond, in both colours.
# usage: make_tiff_runs.py out.pbm
import sys

WIDTH = 2700
lengths = list(range(1, 64)) + list(range(63, 0, -1)) + [1]
lengths += [64 * m + (m * 5) % 64 for m in range(1, 42)] + [2560 + 70, 1]
lengths += [64 * m for m in range(1, 42)] + [5000, 3]
pixels = []
colour = 0  # 0 white, 1 black
for n in lengths:
    pixels += [colour] * n
    colour ^= 1
rows = (len(pixels) + WIDTH - 1) // WIDTH
pixels += [0] * (rows * WIDTH - len(pixels))
out = bytearray(b"P4\n%d %d\n" % (WIDTH, rows))
for y in range(rows):
    row = pixels[y * WIDTH:(y + 1) * WIDTH]
    for x in range(0, WIDTH, 8):
        byte = 0
        for k in range(8):
            if x + k < WIDTH and row[x + k]:
                byte |= 0x80 >> k
        out.append(byte)
open(sys.argv[1], "wb").write(out)
