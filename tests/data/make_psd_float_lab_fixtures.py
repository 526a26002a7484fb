#!/usr/bin/python3
# Makes the PSD fixtures ImageMagick cannot write: 32-bit floating-point grey
# and RGB (with and without layers), Lab (8 and 16 bits) and duotone.  Run in
# this directory with any Python 3 (standard library only).
import math
import struct


def packbits(row):
    # PackBits as Photoshop writes it: runs of 3 or more repeat, the rest
    # goes in literals of up to 128 bytes.
    out = bytearray()
    i, n = 0, len(row)
    while i < n:
        j = i
        while j + 1 < n and row[j + 1] == row[i] and j - i < 127:
            j += 1
        if j - i >= 2:
            out += bytes([257 - (j - i + 1), row[i]])
            i = j + 1
            continue
        start = i
        while i < n and i - start < 128:
            if i + 2 < n and row[i] == row[i + 1] == row[i + 2]:
                break
            i += 1
        out += bytes([i - start - 1]) + row[start:i]
    return bytes(out)


def resolution(dpi):
    # Resource 1005: 16.16 horizontal resolution, unit, width unit, the
    # same for vertical.
    data = struct.pack(">IHHIHH", dpi << 16, 1, 1, dpi << 16, 1, 1)
    return b"8BIM" + struct.pack(">HBBI", 1005, 0, 0, len(data)) + data


def layer_records(w, h, depth, planes):
    # One layer the size of the picture, each channel raw.  Ids 0.. are the
    # colour channels.
    bps = depth // 8
    rec = struct.pack(">iiiiH", 0, 0, h, w, len(planes))
    for k in range(len(planes)):
        rec += struct.pack(">hI", k, 2 + len(planes[k]))
    name = b"\x05layer"
    name += b"\0" * (-len(name) % 4)
    extra = struct.pack(">II", 0, 0) + name
    rec += b"8BIMnorm" + bytes([255, 0, 8, 0]) + struct.pack(">I", len(extra)) + extra
    body = struct.pack(">h", 1) + rec
    for p in planes:
        body += struct.pack(">H", 0) + p
    if len(body) % 2:
        body += b"\0"
    return body, bps


def layer_section(w, h, depth, planes, style):
    if style is None:
        return struct.pack(">I", 0)
    body, _ = layer_records(w, h, depth, planes)
    if style == "plain":
        info = struct.pack(">I", len(body)) + body
        section = info + struct.pack(">I", 0)
    else:
        # Photoshop's way for 16 and 32 bits: an empty layer info, the
        # layers in a tagged block after the global mask info.
        body += b"\0" * (-len(body) % 4)
        section = struct.pack(">I", 0) + struct.pack(">I", 0) + b"8BIM" + style.encode() + struct.pack(">I", len(body)) + body
    return struct.pack(">I", len(section)) + section


def write_psd(name, w, h, depth, mode, planes, compression, colour=b"", layers=None, dpi=None):
    # planes: one bytes object per channel, rows top first, big-endian samples.
    f = bytearray(b"8BPS" + struct.pack(">H6xHIIHH", 1, len(planes), h, w, depth, mode))
    f += struct.pack(">I", len(colour)) + colour
    res = resolution(dpi) if dpi else b""
    f += struct.pack(">I", len(res)) + res
    f += layer_section(w, h, depth, planes, layers)
    f += struct.pack(">H", compression)
    row = w * depth // 8
    if compression == 0:
        for p in planes:
            f += p
    else:
        packed = [[packbits(p[y * row:(y + 1) * row]) for y in range(h)] for p in planes]
        for rows in packed:
            for r in rows:
                f += struct.pack(">H", len(r))
        for rows in packed:
            for r in rows:
                f += r
    with open(name, "wb") as out:
        out.write(f)


def f32(values):
    return b"".join(struct.pack(">f", v) for v in values)


# Floating point: a ramp past both ends (negative and above 1 are clamped),
# values on and beside the rounding steps, and a constant run (for PackBits).
def float_plane(w, h, k):
    specials = [0.0, 1.0, -0.25, 1.5, 0.5 / 255, 1.5 / 255, 127.5 / 255, 0.499, 0.5, 0.501,
                float("inf"), float("-inf"), float("nan"), 2.0 ** -149, 1.0 - 2.0 ** -24, 0.2, 0.7]
    out = []
    for y in range(h):
        for x in range(w):
            if y == 0:
                out.append(specials[(x + 5 * k) % len(specials)])
            elif y == h - 1:
                out.append(0.25)
            else:
                out.append(-0.1 + 1.2 * ((x * (k + 1) + y * (3 - k)) % (w + 3)) / (w + 2))
    return f32(out)


def lab_values(w, h):
    # A sweep of L, a and b, with colours outside sRGB's gamut at the corners.
    L, A, B = [], [], []
    for y in range(h):
        for x in range(w):
            L.append(100.0 * ((x + 2 * y) % (w + 1)) / w)
            A.append(-128.0 + 255.0 * x / (w - 1))
            B.append(127.0 - 255.0 * y / (h - 1))
    return L, A, B


def lab_planes(w, h, depth):
    L, A, B = lab_values(w, h)
    if depth == 8:
        return [bytes(round(v * 255 / 100) for v in L), bytes(round(v + 128) for v in A),
                bytes(round(v + 128) for v in B)]
    pack = lambda vs: b"".join(struct.pack(">H", max(0, min(65535, round(v)))) for v in vs)
    return [pack(v * 65535 / 100 for v in L), pack((v + 128) * 257 for v in A), pack((v + 128) * 257 for v in B)]


def grey_ramp(w, h, depth):
    top = (1 << depth) - 1
    vals = [((x * 3 + y * 5) % 17) * top // 16 for y in range(h) for x in range(w)]
    return b"".join(struct.pack(">B" if depth == 8 else ">H", v) for v in vals)


# Duotone: the colour mode data is Photoshop's duotone specification, kept
# opaque by readers; this one is 4 inks' worth of placeholder bytes.
duotone_spec = struct.pack(">H", 1) + bytes(range(256)) * 2 + b"\0" * 62

if __name__ == "__main__":
    write_psd("psd_grey32_raw.psd", 37, 23, 32, 1, [float_plane(37, 23, 0)], 0)
    write_psd("psd_grey32_rle_layers.psd", 23, 37, 32, 1, [float_plane(23, 37, 1)], 1, layers="plain", dpi=150)
    write_psd("psd_rgb32_raw_layers.psd", 41, 19, 32, 3, [float_plane(41, 19, k) for k in range(3)], 0, layers="Lr32")
    write_psd("psd_rgb32_rle.psd", 19, 41, 32, 3, [float_plane(19, 41, k) for k in range(3)], 1)
    write_psd("psd_lab8_raw.psd", 37, 23, 8, 9, lab_planes(37, 23, 8), 0)
    write_psd("psd_lab8_rle.psd", 23, 37, 8, 9, lab_planes(23, 37, 8), 1)
    write_psd("psd_lab16_rle.psd", 37, 23, 16, 9, lab_planes(37, 23, 16), 1)
    write_psd("psd_duotone8_rle.psd", 37, 23, 8, 8, [grey_ramp(37, 23, 8)], 1, colour=duotone_spec)
    write_psd("psd_duotone16_raw.psd", 23, 37, 16, 8, [grey_ramp(23, 37, 16)], 0, colour=duotone_spec)
