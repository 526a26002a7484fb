#!/bin/sh
# Runs the quorvel host on every bundled sample picture: its size, then its
# preview written to the output directory as PNG.
set -u
BUILD=${1:-build}
OUT=${2:-out}
QUORVEL="$BUILD/quorvel"
mkdir -p "$OUT"
status=0
for f in samples/*.*; do
  [ -f "$f" ] || continue
  case "$f" in *.md|*.txt) continue ;; esac
  name=$(basename "$f")
  "$QUORVEL" info --mode 1 --colour-dir samples "$f" || status=1
  "$QUORVEL" preview --colour-dir samples -o "$OUT/$name.png" "$f" || status=1
done
# ConvertBWTiff both ways: black pixels coloured blue, and colour reduced to
# black and white; each result is previewed too.
"$QUORVEL" convert --colour 2040c0 samples/convert-bw.tif "$OUT/convert-bw-coloured.tif" || status=1
"$QUORVEL" convert samples/convert-colour.tif "$OUT/convert-colour-bw.tif" || status=1
for f in "$OUT/convert-bw-coloured.tif" "$OUT/convert-colour-bw.tif"; do
  [ -f "$f" ] || continue
  "$QUORVEL" preview --colour-dir samples -o "$f.png" "$f" || status=1
done
echo "previews in $OUT/"
exit $status
