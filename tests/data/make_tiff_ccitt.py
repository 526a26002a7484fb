#!/usr/bin/env python3
# Writes a 1-bit TIFF with Compression 2 (CCITT modified Huffman RLE) through
# libtiff's own encoder, from a PBM (P4) file.
# usage: make_tiff_ccitt.py in.pbm out.tif photometric(0|1) rowsperstrip [b]
import ctypes
import sys

src, dst, photometric, rps = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
mode = b"wb" if len(sys.argv) > 5 and sys.argv[5] == "b" else b"wl"
data = open(src, "rb").read()
fields = data.split(maxsplit=3)
assert fields[0] == b"P4"
width, height = int(fields[1]), int(fields[2])
pixels = fields[3]
row_bytes = (width + 7) // 8
lib = ctypes.CDLL("libtiff.so.6")
lib.TIFFOpen.restype = ctypes.c_void_p
lib.TIFFOpen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
lib.TIFFSetField.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
lib.TIFFWriteScanline.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32, ctypes.c_uint16]
lib.TIFFClose.argtypes = [ctypes.c_void_p]
tif = lib.TIFFOpen(dst.encode(), mode)
for tag, value in [(256, width), (257, height), (258, 1), (277, 1), (259, 2),
                   (262, photometric), (278, rps)]:
    lib.TIFFSetField(tif, tag, ctypes.c_int(value))
for y in range(height):
    row = pixels[y * row_bytes:(y + 1) * row_bytes]
    if photometric == 1:  # PBM stores 1 = black; BlackIsZero wants 1 = white
        row = bytes(b ^ 0xFF for b in row)
    lib.TIFFWriteScanline(tif, row, y, 0)
lib.TIFFClose(tif)
