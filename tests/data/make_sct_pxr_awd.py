#!/usr/bin/python3
"""Writes the SCT, PXR and AWD fixtures from their byte layouts, with pixel
content given by small formulas.  No common tool writes these formats, so the
files are built here and checked against independent decoders by the tests
(ImageMagick for SCT, Pillow for PXR, libtiff for the TIFF-shaped AWD files).

Run in tests/data:  /usr/bin/python3 make_sct_pxr_awd.py
"""
import struct


def ramp(x, y, k, w, h):
    """An RGB-ish test pattern: horizontal, vertical and checker parts."""
    if k == 0:
        return (x * 255) // max(w - 1, 1)
    if k == 1:
        return (y * 255) // max(h - 1, 1)
    if k == 2:
        return ((x * 7 + y * 13) % 11) * 25
    return ((x + 2 * y) % 5) * 60


# ---- SCT -----------------------------------------------------------------

def scitex_number(v):
    """A physical dimension as the format writes it: +.dddddddde+xx."""
    if v == 0:
        return b'+.00000000e+00'
    exp = 0
    while v >= 1:
        v /= 10
        exp += 1
    while v < 0.1:
        v *= 10
        exp -= 1
    digits = int(round(v * 1e8))
    if digits >= 10 ** 8:
        digits //= 10
        exp += 1
    return ('+.%08de%+03d' % (digits, exp)).encode()


def write_sct(name, w, h, seps, phys_w, phys_h, units, pixel):
    head = bytearray(2048)
    head[0:80] = b'quorvel test fixture'.ljust(80)
    head[80:82] = b'CT'
    head[1024] = units          # 0 millimetres, 1 inches
    head[1025] = seps
    head[1026:1028] = struct.pack('>H', {1: 8, 3: 7, 4: 15}[seps])
    head[1028:1042] = scitex_number(phys_h)
    head[1042:1056] = scitex_number(phys_w)
    head[1056:1068] = b'%+012d' % h
    head[1068:1080] = b'%+012d' % w
    data = bytearray()
    for y in range(h):
        for k in range(seps):
            data += bytes(pixel(x, y, k) for x in range(w))
            if w % 2:
                data += b'\0'   # each separation row is padded to even length
    with open(name, 'wb') as f:
        f.write(head + data)


def sct_fixtures():
    # RGB, odd width, inches: 0.37 x 0.23 in -> 100 pixels per inch.
    write_sct('sct_rgb_37x23.sct', 37, 23, 3, 0.37, 0.23, 1,
              lambda x, y, k: ramp(x, y, k, 37, 23))
    # Grey, even width, millimetres: 250 px over 63.5 mm (2.5 in) -> 100 ppi.
    write_sct('sct_grey_250x9_mm.sct', 250, 9, 1, 63.5, 2.286, 0,
              lambda x, y, k: (x * 3 + y * 29) % 256)
    # Grey, odd width, tall: rows are sampled.
    write_sct('sct_grey_7x213.sct', 7, 213, 1, 0.07, 2.13, 1,
              lambda x, y, k: (x * 40 + y) % 256)
    # CMYK (stored inverted: 255 is no ink), odd width.
    write_sct('sct_cmyk_31x17.sct', 31, 17, 4, 0.31, 0.17, 1,
              lambda x, y, k: 255 - ramp(x, y, k, 31, 17))


# ---- PXR -----------------------------------------------------------------

def write_pxr(name, w, h, storage, samples, pixel):
    head = bytearray(1024)
    head[0:4] = b'\x80\xe8\x00\x00'
    struct.pack_into('<HHHHHH', head, 416, h, w, h, w, storage, 2)  # 2: 8-bit dumped
    data = bytearray()
    for y in range(h):
        for x in range(w):
            data += bytes(pixel(x, y, k) for k in range(samples))
    with open(name, 'wb') as f:
        f.write(head + data)


def pxr_fixtures():
    write_pxr('pxr_rgb_37x23.pxr', 37, 23, 14, 3, lambda x, y, k: ramp(x, y, k, 37, 23))
    write_pxr('pxr_rgb_211x7.pxr', 211, 7, 14, 3, lambda x, y, k: ramp(x, y, k, 211, 7))
    write_pxr('pxr_grey_41x19.pxr', 41, 19, 8, 1, lambda x, y, k: (x * 6 + y * 11) % 256)


# ---- AWD (little-endian TIFF-shaped) --------------------------------------

SHORT, LONG, RATIONAL = 3, 4, 5


def write_awd(name, w, h, entries, data):
    """entries: (tag, type, [values]); the strip offsets (273) get the data
    offset(s) filled in: a list of offsets relative to the pixel block."""
    entries = sorted(entries)
    count = len(entries)
    dir_at = 8
    extra_at = dir_at + 2 + 12 * count + 4
    extra = bytearray()
    pixel_at = None
    # Out-of-line values first, then the pixels.
    layout = []
    for tag, typ, values in entries:
        size = {SHORT: 2, LONG: 4, RATIONAL: 8}[typ]
        layout.append((tag, typ, values, size * len(values)))
    out_of_line = sum(n for *_, n in layout if n > 4)
    pixel_at = extra_at + out_of_line
    body = bytearray()
    dirb = bytearray(struct.pack('<H', count))
    for tag, typ, values, nbytes in layout:
        if tag == 273:
            values = [pixel_at + v for v in values]
        packed = bytearray()
        for v in values:
            if typ == SHORT:
                packed += struct.pack('<H', v)
            elif typ == LONG:
                packed += struct.pack('<I', v)
            else:
                packed += struct.pack('<II', *v)
        if nbytes <= 4:
            field = bytes(packed).ljust(4, b'\0')
        else:
            field = struct.pack('<I', extra_at + len(extra))
            extra += packed
        dirb += struct.pack('<HHI', tag, typ, len(values)) + field
    dirb += b'\0\0\0\0'
    with open(name, 'wb') as f:
        f.write(b'II' + struct.pack('<HI', 42, dir_at) + dirb + extra + bytes(data))


def chunky(w, h, samples, pixel):
    return bytes(pixel(x, y, k) for y in range(h) for x in range(w) for k in range(samples))


def awd_entries(w, h, bits, photometric, samples, nbytes, xres=(72, 1), yres=(72, 1), planar=1,
                strips=None):
    e = [(256, SHORT, [w]), (257, SHORT, [h]), (258, SHORT, [bits] * samples),
         (259, SHORT, [1]), (262, SHORT, [photometric]), (273, LONG, strips or [0]),
         (277, SHORT, [samples]), (278, SHORT, [h]),
         (279, LONG, [nbytes // len(strips or [0])] * len(strips or [0])),
         (282, RATIONAL, [xres]), (283, RATIONAL, [yres]), (284, SHORT, [planar]), (296, SHORT, [2])]
    return e


def awd_fixtures():
    # RGB, 300 x 299 ppi (599/2 truncates).
    w, h = 37, 23
    data = chunky(w, h, 3, lambda x, y, k: ramp(x, y, k, w, h))
    write_awd('awd_rgb8_37x23.awd', w, h, awd_entries(w, h, 8, 2, 3, len(data), (300, 1), (599, 2)), data)
    # RGB, wide: columns are sampled.
    w, h = 233, 5
    data = chunky(w, h, 3, lambda x, y, k: ramp(x, y, k, w, h))
    write_awd('awd_rgb8_233x5.awd', w, h, awd_entries(w, h, 8, 2, 3, len(data)), data)
    # Grey, black is zero.
    w, h = 41, 19
    grey = chunky(w, h, 1, lambda x, y, k: (x * 6 + y * 11) % 256)
    write_awd('awd_grey8_41x19.awd', w, h, awd_entries(w, h, 8, 1, 1, len(grey)), grey)
    # Grey, white is zero: the same bytes show inverted.
    write_awd('awd_white8_41x19.awd', w, h, awd_entries(w, h, 8, 0, 1, len(grey)), grey)
    # Palette of 256 entries with 16-bit components.
    w, h = 33, 21
    data = chunky(w, h, 1, lambda x, y, k: (x * 9 + y * 5) % 256)
    cmap = [(i * 37 % 256) * 257 for i in range(256)] + [(255 - i) * 257 for i in range(256)] + \
           [(i * 3 % 256) * 257 for i in range(256)]
    e = awd_entries(w, h, 8, 3, 1, len(data)) + [(320, SHORT, cmap)]
    write_awd('awd_pal8_33x21.awd', w, h, e, data)
    # Planar RGB: three planes, one strip each.
    w, h = 29, 13
    planes = bytes(ramp(x, y, k, w, h) for k in range(3) for y in range(h) for x in range(w))
    e = awd_entries(w, h, 8, 2, 3, len(planes), planar=2, strips=[0, w * h, 2 * w * h])
    write_awd('awd_rgb8_planar_29x13.awd', w, h, e, planes)
    # CMYK.
    w, h = 23, 11
    data = chunky(w, h, 4, lambda x, y, k: ramp(x, y, k, w, h))
    write_awd('awd_cmyk8_23x11.awd', w, h, awd_entries(w, h, 8, 5, 4, len(data)), data)
    # RGB with one unassociated alpha sample and the private tag 748 = 6.
    w, h = 19, 11
    data = chunky(w, h, 4, lambda x, y, k: ramp(x, y, k, w, h) if k < 3 else 255)
    e = awd_entries(w, h, 8, 2, 4, len(data)) + [(338, SHORT, [2]), (748, LONG, [6])]
    write_awd('awd_rgba8_748_19x11.awd', w, h, e, data)


if __name__ == '__main__':
    sct_fixtures()
    pxr_fixtures()
    awd_fixtures()
