#!/bin/sh
# Size-only reading of a folder of 2,000 mixed pictures (the bundled samples
# and test fixtures, copied round-robin into /tmp): the quorvel host with one
# job and with one job per core, against vipsheader and ImageMagick's
# identify -ping, each one process over the whole list.  Every command's exit
# status is ignored, since each refuses some of the files.
# Usage: bench/folder_info_bench.sh BUILD_DIR
set -eu
. "$(dirname "$0")/measure.sh"
HOST=$(cd "${1:-build}" && pwd)/quorvel
SRC=$(cd "$(dirname "$0")/.." && pwd)
DIR=/tmp/quorvel_bench_folder
LIST=/tmp/quorvel_bench_folder.list
CORES=$(nproc)

if [ ! -f "$LIST" ]; then
    rm -rf "$DIR"
    mkdir -p "$DIR"
    find "$SRC/samples" "$SRC/tests/data" -type f \
        \( -name '*.bmp' -o -name '*.gif' -o -name '*.jpg' -o -name '*.png' -o -name '*.pcx' \
           -o -name '*.tga' -o -name '*.psd' -o -name '*.eps' -o -name '*.tif' -o -name '*.pcd' \
           -o -name '*.sct' -o -name '*.pxr' -o -name '*.awd' \) | sort > "$DIR.src"
    n=0
    while [ "$n" -lt 2000 ]; do
        while read -r f && [ "$n" -lt 2000 ]; do
            sub=$DIR/$((n / 100))
            mkdir -p "$sub"
            cp "$f" "$sub/$n-$(basename "$f")"
            n=$((n + 1))
        done < "$DIR.src"
    done
    rm -f "$DIR.src"
    find "$DIR" -type f | sort > "$LIST"
fi
echo "$(wc -l < "$LIST") files, $(du -sh "$DIR" | cut -f1), $CORES cores"
echo
measure_header tool
measure "quorvel info --jobs 1" sh -c "'$HOST' info --jobs 1 '$DIR' >/dev/null 2>&1; true"
measure "quorvel info --jobs $CORES" sh -c "'$HOST' info --jobs $CORES '$DIR' >/dev/null 2>&1; true"
measure "quorvel info --json --jobs $CORES" sh -c "'$HOST' info --json --jobs $CORES '$DIR' >/dev/null 2>&1; true"
measure "vipsheader (one process)" sh -c "xargs vipsheader < '$LIST' >/dev/null 2>&1; true"
measure "identify -ping (one process)" sh -c "xargs identify -ping < '$LIST' >/dev/null 2>&1; true"
