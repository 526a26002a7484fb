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
echo "previews in $OUT/"
exit $status
