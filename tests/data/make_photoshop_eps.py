#!/usr/bin/python3
"""Writes an EPS file laid out as Photoshop writes them: a "%%Creator: Adobe
Photoshop" comment and a hexadecimal "%BeginPhotoshop:" block of image
resources (a resolution block, a named block, then the JPEG thumbnail of
resource 1036).  Usage: make_photoshop_eps.py THUMB.jpg WIDTH HEIGHT OUT.eps"""
import struct
import sys


def resource(rid, name, data):
    field = bytes([len(name)]) + name
    if len(field) % 2:
        field += b"\0"
    block = b"8BIM" + struct.pack(">H", rid) + field + struct.pack(">I", len(data)) + data
    return block + (b"\0" if len(data) % 2 else b"")


jpeg = open(sys.argv[1], "rb").read()
width, height = int(sys.argv[2]), int(sys.argv[3])
# Thumbnail header: format 1 (JPEG), width, height, bytes per row, total
# size, compressed size, bits per pixel, planes.
row = (width * 24 + 31) // 32 * 4
thumb = struct.pack(">IIIIIIHH", 1, width, height, row, row * height, len(jpeg), 24, 1) + jpeg
resources = (resource(1005, b"", struct.pack(">HHHHHHHH", 72, 0, 1, 1, 72, 0, 1, 1))
             + resource(1000, b"odd", b"\1\2\3")
             + resource(1036, b"", thumb))
hexed = resources.hex().upper()
lines = ["% " + hexed[i:i + 64] for i in range(0, len(hexed), 64)]
text = "\n".join([
    "%!PS-Adobe-3.0 EPSF-3.0",
    "%%Creator: Adobe Photoshop Version 7.0",
    "%%Title: thumb.eps",
    "%%%%BoundingBox: 0 0 %d %d" % (width, height),
    "%%%%HiResBoundingBox: 0 0 %.4f %.4f" % (width - 0.25, height - 0.5),
    "%%EndComments",
    "%%BeginProlog",
    "%%EndProlog",
    "%%BeginSetup",
    "%%EndSetup",
    "%%BeginPhotoshop: %d" % len(hexed),
] + lines + [
    "%EndPhotoshop",
    "gsave 0.5 setgray 0 0 %d %d rectfill grestore" % (width, height),
    "showpage",
    "%%EOF",
    "",
])
open(sys.argv[4], "w", newline="\r\n").write(text)
