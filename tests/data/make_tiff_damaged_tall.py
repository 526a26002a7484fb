#!/usr/bin/env python3
# Writes tiff_damaged_tall.tif, a copy of a fuzz finding: a 1.4 KB big-endian
# PackBits TIFF whose ImageLength is a SHORT with count 2 (77, 0), so that its
# 32-bit value field reads as 5,046,272 rows of 101 pixels.  Its one strip
# holds 700 rows.  Also writes the fuzz corpus entry (0x0a selects ".tif").
import struct
import sys

width, rows = 101, 700
strip = b"".join(bytes([0x9C, (r * 7) & 0xFF]) for r in range(rows))  # 101 equal bytes a row
entries = [
    (256, 3, 1, struct.pack(">HH", width, 0)),
    (257, 3, 2, struct.pack(">HH", 77, 0)),  # the wrong count
    (258, 3, 1, struct.pack(">HH", 8, 0)),
    (259, 3, 1, struct.pack(">HH", 32773, 0)),
    (262, 3, 1, struct.pack(">HH", 1, 0)),
    (273, 4, 1, struct.pack(">I", 8)),
    (277, 3, 1, struct.pack(">HH", 1, 0)),
    (279, 4, 1, struct.pack(">I", len(strip))),
]
ifd = 8 + len(strip)
out = b"MM" + struct.pack(">HI", 42, ifd) + strip
out += struct.pack(">H", len(entries))
for tag, kind, count, field in entries:
    out += struct.pack(">HHI", tag, kind, count) + field
out += struct.pack(">I", 0)
open(sys.argv[1] if len(sys.argv) > 1 else "tiff_damaged_tall.tif", "wb").write(out)
open(sys.argv[2] if len(sys.argv) > 2 else "../../fuzz/corpus/tiff-tall-full-size", "wb").write(b"\x0a" + out)
