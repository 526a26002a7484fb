#!/bin/sh
# eps_dos_tiff_zip.eps: eps_dos_tiff_rgb.eps with its TIFF preview recompressed
# with Deflate (tiffcp), the DOS header's offsets rewritten.  Run in this
# directory; needs libtiff-tools and python3.
set -e
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
python3 - "$T" <<'PY'
import struct, sys
d = open('eps_dos_tiff_rgb.eps', 'rb').read()
to, tl = struct.unpack_from('<II', d, 20)
open(sys.argv[1] + '/in.tif', 'wb').write(d[to:to + tl])
PY
tiffcp -c zip "$T/in.tif" "$T/zip.tif"
python3 - "$T" <<'PY'
import struct, sys
d = open('eps_dos_tiff_rgb.eps', 'rb').read()
po, pl = struct.unpack_from('<II', d, 4)
ps = d[po:po + pl]
t = open(sys.argv[1] + '/zip.tif', 'rb').read()
head = struct.pack('<IIIIIIIH', 0xC6D3D0C5, 30, len(ps), 0, 0, 30 + len(ps), len(t), 0xFFFF)
open('eps_dos_tiff_zip.eps', 'wb').write(head + ps + t)
PY
