#!/bin/sh
# Fitted previews (mode 1) of an 8000 x 6000 run-length (RLE8) BMP through
# the quorvel host ("info --mode 1": the preview is made and released),
# beside `vipsthumbnail -s 200` and `convert -sample 200x200` of the same
# file.  Best wall time, best CPU time (user + system) and largest peak RSS
# of three runs, from /usr/bin/time.  The picture is written here by a small
# Python encoder (bands of runs of many lengths, absolute runs, deltas,
# line ends; about 3 MB) and kept in the work directory.
# usage: bench/rle_bmp_bench.sh [work dir] QUORVEL
set -eu
. "$(dirname "$0")/measure.sh"
DIR=${1:-/tmp/quorvel-rle-bench}
QUORVEL=${2:-build/quorvel}
mkdir -p "$DIR"
IN="$DIR/rle8_8000x6000.bmp"
if [ ! -f "$IN" ]; then
  /usr/bin/python3 - "$IN" <<'EOF'
import struct, sys
W, H = 8000, 6000
palette = b''.join(bytes(((k * 37) & 255, (k * 91) & 255, (k * 13) & 255, 0)) for k in range(256))
rows = []
for y in range(H):
    out = bytearray()
    x = 0
    k = 0
    while x < W:
        kind = (x // 97 + y // 61 + k) % 7
        if kind == 6 and x + 16 <= W:
            # absolute run of 16 varied indices
            out += bytes((0, 16)) + bytes(((x + y + i * 5) & 255) for i in range(16))
            x += 16
        elif kind == 5 and x + 40 <= W and y % 50 == 0:
            out += bytes((0, 2, 40, 0))  # delta: 40 pixels right, same row
            x += 40
        else:
            n = min(W - x, 3 + (x * 7 + y * 3 + k) % 200)
            out += bytes((n, (x // 31 + y // 17) & 255))
            x += n
        k += 1
    out += b'\x00\x00'
    rows.append(bytes(out))
data = b''.join(rows) + b'\x00\x01'
off = 14 + 40 + len(palette)
header = b'BM' + struct.pack('<IHHI', off + len(data), 0, 0, off)
info = struct.pack('<IiiHHIIiiII', 40, W, H, 1, 8, 1, len(data), 2835, 2835, 256, 0)
open(sys.argv[1], 'wb').write(header + info + palette + data)
EOF
fi

echo "$(du -m "$IN" | cut -f1) MB, 8000 x 6000 RLE8"
echo
measure_header command
measure "quorvel info --mode 1" "$QUORVEL" info --mode 1 --colour-dir "$DIR" "$IN"
measure "vipsthumbnail -s 200" vipsthumbnail -s 200 "$IN" -o "$DIR/thumb.png"
measure "convert -sample 200x200" convert "$IN" -sample 200x200 "$DIR/sample.png"
rm -f "$DIR/thumb.png" "$DIR/sample.png"
