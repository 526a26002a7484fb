#!/bin/sh
# The whole preview table in one command: fitted (mode 1) and full-size
# (mode 2) previews of 8000 x 6000 plasma pictures in every format the
# library reads and ImageMagick writes, each beside the peers that apply:
# vipsthumbnail (fitted) or `vips copy FILE out.v` to tmpfs (full size),
# ImageMagick, Pillow and, for JPEG, a full `djpeg -outfile /dev/null`.
#
# Each row runs quorvel and one peer interleaved, RUNS (default 5) pairs,
# and prints the medians of CPU time (user + system) and wall time of each,
# and the ratio of the CPU medians (quorvel / peer).  CPU time is the figure
# to compare on a busy machine; wall time is shown beside it.
#
# The pictures are made once (ImageMagick plasma, then cjpeg, tiffcp and
# convert) and kept in the cache folder.
#
# usage: bench/preview_table.sh [QUORVEL_HOST]
#   QUORVEL_HOST  the quorvel command-line host (default build/quorvel)
#   CACHE         cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-bench)
#   RUNS          paired runs a row (default 5)
#   ONLY          run only the rows whose file name matches this grep pattern
#   PYTHON        a Python with Pillow (default /usr/bin/python3)
set -eu
HOST=${1:-build/quorvel}
CACHE=${CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-bench}
RUNS=${RUNS:-5}
ONLY=${ONLY:-.}
W=8000
H=6000
IM=/usr/bin/convert
PY=${PYTHON:-/usr/bin/python3}
[ -x "$IM" ] || IM=convert
SCRATCH=${SCRATCH:-/dev/shm}
[ -d "$SCRATCH" ] && [ -w "$SCRATCH" ] || SCRATCH=${TMPDIR:-/tmp}
OUT="$SCRATCH/quorvel-table.$$"
mkdir -p "$CACHE" "$OUT"
trap 'rm -rf "$OUT"' EXIT INT TERM

make_pictures() {
  [ -f "$CACHE/done" ] && return 0
  echo "making the pictures in $CACHE (once)" >&2
  (
    cd "$CACHE"
    "$IM" -size ${W}x${H} plasma:fractal -depth 8 -type TrueColor base.ppm
    "$IM" base.ppm -type TrueColor BMP3:rgb24.bmp
    "$IM" base.ppm tif:base.tif
    tiffcp -c none -r 64 base.tif rgb_none.tif
    tiffcp -c lzw -r 16 base.tif rgb_lzw16.tif
    tiffcp -c lzw -r 64 base.tif rgb_lzw64.tif
    cjpeg -quality 85 -sample 2x2 -outfile baseline.jpg base.ppm
    cjpeg -quality 85 -sample 2x2 -progressive -outfile progressive.jpg base.ppm
    "$IM" base.ppm +dither -colors 256 gif256.gif
    "$IM" base.ppm png24.png
    "$IM" base.ppm -type TrueColor pcx:rgb24.pcx
    "$IM" base.ppm -compress none tga:rgb24.tga
    "$IM" base.ppm -compress none psd:rgb_raw.psd
    "$IM" base.ppm -compress rle psd:rgb_rle.psd
    rm -f base.ppm base.tif
    : > done
  )
}

# runs COMMAND once, output discarded; prints "CPU WALL" or "fail" (CPU
# from the rusage of the finished process, to the microsecond)
TIMER='import os, subprocess, sys, time
start = time.perf_counter()
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
_, status, usage = os.wait4(child.pid, 0)
wall = time.perf_counter() - start
print("fail" if status else "%.4f %.4f" % (usage.ru_utime + usage.ru_stime, wall))'
one_run() {
  "$PY" -c "$TIMER" "$@"
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# row MODE FILE GOAL PEER-NAME -- PEER COMMAND...
row() {
  _mode=$1 _file=$2 _goal=$3 _peer=$4
  shift 5
  echo "$_file" | grep -q -- "$ONLY" || return 0
  _q="$OUT/q" _p="$OUT/p"
  : > "$_q"
  : > "$_p"
  _n=0 _failed=
  while [ "$_n" -lt "$RUNS" ]; do
    _a=$(one_run "$HOST" info --mode "$_mode" --colour-dir "$CACHE" "$CACHE/$_file")
    _b=$(one_run "$@")
    [ "$_a" = fail ] && _failed="$_failed quorvel"
    [ "$_b" = fail ] && _failed="$_failed peer"
    [ -n "$_failed" ] && break
    echo "$_a" >> "$_q"
    echo "$_b" >> "$_p"
    _n=$((_n + 1))
    rm -f "$OUT"/peer.*
  done
  if [ -n "$_failed" ]; then
    echo "| $_mode | $_file | $_peer | failed:$_failed | | | | | $_goal |"
    return 0
  fi
  _qc=$(cut -d' ' -f1 "$_q" | median) _qw=$(cut -d' ' -f2 "$_q" | median)
  _pc=$(cut -d' ' -f1 "$_p" | median) _pw=$(cut -d' ' -f2 "$_p" | median)
  _r=$(awk -v a="$_qc" -v b="$_pc" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "-" }')
  echo "| $_mode | $_file | $_peer | $_qc | $_qw | $_pc | $_pw | $_r | $_goal |"
}

PIL_FULL='import sys; from PIL import Image; Image.open(sys.argv[1]).load()'
PIL_FIT='import sys; from PIL import Image; im = Image.open(sys.argv[1]); im.draft("RGB", (200, 200)); im.thumbnail((200, 200))'

# full FILE GOAL-AGAINST-VIPS [extra peers...]
full() {
  _f=$1
  row 2 "$_f" "${2:-}" "vips copy (tmpfs)" -- vips copy "$CACHE/$_f" "$OUT/peer.v"
  row 2 "$_f" "" "ImageMagick" -- "$IM" "$CACHE/$_f" null:
  row 2 "$_f" "" "Pillow" -- "$PY" -c "$PIL_FULL" "$CACHE/$_f"
}

fitted() {
  _f=$1
  row 1 "$_f" "${2:-}" "vipsthumbnail" -- vipsthumbnail "$CACHE/$_f" -s 200 -o "$OUT/peer.v"
  row 1 "$_f" "" "ImageMagick" -- "$IM" "$CACHE/$_f" -thumbnail 200x200 null:
  row 1 "$_f" "" "Pillow" -- "$PY" -c "$PIL_FIT" "$CACHE/$_f"
}

make_pictures
echo "quorvel host: $HOST; $RUNS interleaved pairs a row; medians; CPU = user + system (s); ratio = quorvel CPU / peer CPU"
echo
echo "| mode | file | peer | quorvel CPU | quorvel wall | peer CPU | peer wall | ratio (CPU) | goal |"
echo "|---|---|---|---|---|---|---|---|---|"
full rgb24.bmp "hold"
full rgb_none.tif "<= 1.0"
full rgb_lzw16.tif "<= 1.0"
full rgb_lzw64.tif
full baseline.jpg
row 2 baseline.jpg "<= 1.2" "djpeg (full)" -- djpeg -outfile /dev/null "$CACHE/baseline.jpg"
full progressive.jpg
row 2 progressive.jpg "" "djpeg (full)" -- djpeg -outfile /dev/null "$CACHE/progressive.jpg"
full gif256.gif
full png24.png
full rgb24.pcx
full rgb24.tga
full rgb_raw.psd
full rgb_rle.psd
fitted rgb24.bmp
fitted rgb_none.tif
fitted rgb_lzw16.tif
fitted rgb_lzw64.tif "<= 0.4"
fitted baseline.jpg
row 1 baseline.jpg "<= 0.5" "djpeg (full)" -- djpeg -outfile /dev/null "$CACHE/baseline.jpg"
fitted progressive.jpg
row 1 progressive.jpg "" "djpeg (full)" -- djpeg -outfile /dev/null "$CACHE/progressive.jpg"
fitted gif256.gif "<= 0.2"
fitted png24.png
fitted rgb24.pcx
fitted rgb24.tga
fitted rgb_raw.psd
fitted rgb_rle.psd
