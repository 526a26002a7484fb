#!/usr/bin/python3
"""Turns a three-scan, three-component sequential JPEG (cjpeg -scans with one
component per scan) into a valid two-component one: the frame header loses its
third component and the file its third scan.  Usage: IN OUT"""
import struct
import sys

data = open(sys.argv[1], "rb").read()
out = bytearray(data[:2])
pos = 2
scans = 0
while pos < len(data):
    assert data[pos] == 0xFF, "marker expected at %d" % pos
    marker = data[pos + 1]
    if marker == 0xD9:
        out += data[pos:pos + 2]
        break
    length = struct.unpack(">H", data[pos + 2:pos + 4])[0]
    segment = bytearray(data[pos:pos + 2 + length])
    end = pos + 2 + length
    if marker == 0xDA:
        # Entropy-coded data runs to the next marker that is neither a stuffed
        # zero nor a restart marker.
        while not (data[end] == 0xFF and data[end + 1] not in (0x00,) and
                   not 0xD0 <= data[end + 1] <= 0xD7):
            end += 1
        scans += 1
        if scans != 3:
            out += data[pos:end]
        pos = end
        continue
    if marker in (0xC0, 0xC1):
        assert segment[9] == 3
        segment[9] = 2
        del segment[16:19]
        segment[2:4] = struct.pack(">H", length - 3)
    out += segment
    pos = end
open(sys.argv[2], "wb").write(bytes(out))
