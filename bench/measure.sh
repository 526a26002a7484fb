# Shared by the benchmark scripts (sourced, not run).
#
# measure NAME COMMAND...: runs COMMAND ${RUNS:-3} times, output discarded,
# and prints one table row: | NAME | best wall (s) | best CPU, user + system
# (s) | largest peak RSS (MiB) |, or "failed" when any run fails.  NAME may
# hold " | " to fill more than one column.
# time_runs COMMAND...: the same runs; leaves the figures in MEASURED_WALL,
# MEASURED_CPU and MEASURED_RSS (empty when a run failed) for a script that
# prints its own row.
# measure_header NAME...: the header of a table of measure rows whose first
# columns are NAME....
# ramp_picture OUT WIDTH HEIGHT: an 8-bit RGB TIFF of ramps in red and green,
# a sawtooth in blue and some noise, so that compressed files are not
# trivially small (vips; scratch files next to OUT).

time_runs() {
  _times=$(mktemp)
  MEASURED_WALL=
  MEASURED_CPU=
  MEASURED_RSS=
  _run=0
  while [ "$_run" -lt "${RUNS:-3}" ]; do
    if ! /usr/bin/time -f "%e %M %U %S" -a -o "$_times" "$@" >/dev/null 2>&1; then
      rm -f "$_times"
      return 1
    fi
    _run=$((_run + 1))
  done
  set -- $(awk 'NR == 1 || $1 < wall { wall = $1 } NR == 1 || $3 + $4 < cpu { cpu = $3 + $4 }
    $2 > peak { peak = $2 } END { printf "%.2f %.2f %.1f\n", wall, cpu, peak / 1024 }' "$_times")
  rm -f "$_times"
  MEASURED_WALL=$1
  MEASURED_CPU=$2
  MEASURED_RSS=$3
}

measure() {
  _name=$1
  shift
  if time_runs "$@"; then
    echo "| $_name | $MEASURED_WALL | $MEASURED_CPU | $MEASURED_RSS |"
  else
    echo "| $_name | failed | | |"
  fi
}

measure_header() {
  _head="|"
  _rule="|"
  for _col in "$@" "wall (s)" "CPU (s)" "peak RSS (MiB)"; do
    _head="$_head $_col |"
    _rule="$_rule---|"
  done
  echo "$_head"
  echo "$_rule"
}

ramp_picture() {
  _out=$1
  _w=$2
  _h=$3
  _d=$(dirname "$_out")
  vips xyz "$_d/xyz.v" "$_w" "$_h"
  vips extract_band "$_d/xyz.v" "$_d/x.v" 0
  vips extract_band "$_d/xyz.v" "$_d/y.v" 1
  vips add "$_d/x.v" "$_d/y.v" "$_d/s.v"
  vips linear "$_d/x.v" "$_d/r.v" "$(echo "255 / $_w" | bc -l)" 0 --uchar
  vips linear "$_d/y.v" "$_d/g.v" "$(echo "255 / $_h" | bc -l)" 0 --uchar
  vips boolean_const "$_d/s.v" "$_d/b.v" and 255
  vips cast "$_d/b.v" "$_d/bu.v" uchar
  vips gaussnoise "$_d/n.v" "$_w" "$_h" --sigma 3 --mean 0
  vips bandjoin "$_d/r.v $_d/g.v $_d/bu.v" "$_d/rgb.v"
  vips add "$_d/rgb.v" "$_d/n.v" "$_d/rgbn.v"
  vips cast "$_d/rgbn.v" "$_d/rgb8.v" uchar
  vips tiffsave "$_d/rgb8.v" "$_out"
  rm -f "$_d"/xyz.v "$_d"/x.v "$_d"/y.v "$_d"/s.v "$_d"/r.v "$_d"/g.v "$_d"/b.v "$_d"/bu.v \
    "$_d"/n.v "$_d"/rgb.v "$_d"/rgbn.v "$_d"/rgb8.v
}
