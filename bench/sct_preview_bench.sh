#!/bin/sh
# A fitted 200-pixel preview of a large RGB Scitex CT file (default 8000 x
# 6000, 144 MB) against reading the whole file: quorvel (its command-line
# host), `cat FILE > /dev/null` and ImageMagick's `convert -sample 200x200`.
# Best wall and CPU time and peak memory of three runs (bench/measure.sh),
# bytes read through read() (and whole-file maps) from strace.
# The picture is made here, not committed.  The page cache is warm for every
# run (the file was just written), so the times compare work, not the disk.
# usage: bench/sct_preview_bench.sh [build dir] [width] [height] [work dir]
set -eu
. "$(dirname "$0")/measure.sh"
BUILD=${1:-build}
W=${2:-8000}
H=${3:-6000}
DIR=${4:-/tmp/quorvel-bench}
mkdir -p "$DIR"
IN="$DIR/rgb_${W}x${H}.sct"
if [ ! -f "$IN" ]; then
  /usr/bin/python3 - "$IN" "$W" "$H" <<'PY'
import sys
path, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
head = bytearray(2048)
head[0:80] = b'quorvel benchmark'.ljust(80)
head[80:82] = b'CT'
head[1024] = 1
head[1025] = 3
head[1028:1042] = b'+.60000000e+02'
head[1042:1056] = b'+.80000000e+02'
head[1056:1068] = b'%+012d' % h
head[1068:1080] = b'%+012d' % w
pad = b'\0' if w % 2 else b''
# 64 different scan lines, repeated: red ramps across, green by line, blue stripes.
lines = []
for v in range(64):
    r = bytes((x * 256 // w) for x in range(w)) + pad
    g = bytes([v * 4]) * w + pad
    b = bytes(((x // 50 + v) % 2) * 255 for x in range(w)) + pad
    lines.append(r + g + b)
with open(path, 'wb') as f:
    f.write(head)
    for y in range(h):
        f.write(lines[(y * 64) // h])
PY
fi

# One row: the measure figures, then the bytes the command read.
measure_read() {  # label command...
  label=$1; shift
  time_runs "$@" || { echo "| $label | failed | | | |"; return; }
  strace -f -e trace=read,pread64,mmap -o "$DIR/strace.txt" "$@" >/dev/null 2>&1 || true
  bytes=$(awk '/^[0-9]+ +(read|pread64)\(/ { n = $NF; if (n + 0 > 0) s += n } END { printf "%.1f", s / 1048576 }' "$DIR/strace.txt")
  # A reader that maps the whole file reads it through page faults, not read().
  if awk -v size="$(stat -c %s "$IN")" -F', ' '/mmap\(/ && $2 + 0 >= size { found = 1 } END { exit !found }' "$DIR/strace.txt"; then
    bytes="$bytes + whole file mapped"
  fi
  echo "| $label | $MEASURED_WALL | $MEASURED_CPU | $MEASURED_RSS | $bytes |"
}

size=$(($(stat -c %s "$IN") / 1048576))
echo "$IN: ${W} x ${H} RGB, $size MiB"
echo
echo "| run | wall (s) | CPU (s) | peak RSS (MiB) | bytes read, all files (MiB) |"
echo "|---|---|---|---|---|"
cat "$IN" >/dev/null  # warm the cache
measure_read "quorvel preview (fitted)" "$BUILD/quorvel" preview -o "$DIR/q_sct.bmp" "$IN"
measure_read "quorvel info (size only)" "$BUILD/quorvel" info "$IN"
measure_read "cat > /dev/null (full read)" sh -c "cat '$IN' > /dev/null"
measure_read "convert -sample 200x200" convert "$IN" -sample 200x200 "$DIR/c_sct.png"
