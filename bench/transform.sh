#!/usr/bin/env bash
# jpegxform against jpegtran on the benchmark's photographs: a 512x512 crop
# in the lower half and a rotation by 90 degrees of each file, the CPU time
# of the whole process (perf's task clock), the best of N runs, the two
# tools alternated, and the ratio (below 1: jpegxform takes less). Both
# write with one thread; both outputs are checked to decode to the same
# pixels (djpeg).
#
#   bench/transform.sh [N] FILE...      (default N: 7)
#   bench/transform.sh 7 build-photos/photos/Altai-q90-420.jpg
#
# Needs perf (linux-perf), jpegtran and djpeg (libjpeg-turbo-progs), and
# build/bin/jpegxform.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
XFORM=$ROOT/build/bin/jpegxform
RUNS=7
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
  RUNS=$1
  shift
fi
(($# > 0)) || { echo "usage: bench/transform.sh [N] FILE..." >&2; exit 2; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# The task clock in ms of one run of the command.
cpu_ms() { perf stat -x, -e task-clock "$@" 2>&1 >/dev/null | awk -F, '/task-clock/ {print $1}'; }
lowest() { awk -v a="$1" -v b="$2" 'BEGIN {print (a < b) ? a : b}'; }

printf '%-32s %-24s %10s %10s %8s\n' file transform "ours ms" "jpegtran" ratio
for file in "$@"; do
  read -r width height < <(djpeg "$file" | head -c 64 | awk 'NR == 2 {print $1, $2}')
  x=$((width / 3))
  y=$((height / 2 + (height / 2 - 512) / 2))
  ((y < 0)) && y=0
  for pair in "--crop 512x512+$x+$y|-crop 512x512+$x+$y" "--rotate 90|-rotate 90"; do
    ours=${pair%%|*}
    theirs=${pair#*|}
    best_ours=1e9
    best_theirs=1e9
    for ((i = 0; i < RUNS; ++i)); do
      # shellcheck disable=SC2086
      best_ours=$(lowest "$best_ours" "$(cpu_ms "$XFORM" --threads 1 $ours "$file" "$WORK/a.jpg")")
      # shellcheck disable=SC2086
      best_theirs=$(lowest "$best_theirs" "$(cpu_ms jpegtran $theirs -outfile "$WORK/b.jpg" "$file")")
    done
    same=$(cmp -s <(djpeg "$WORK/a.jpg") <(djpeg "$WORK/b.jpg") && echo "" || echo " DIFFERENT PIXELS")
    printf '%-32s %-24s %10.2f %10.2f %8.2f%s\n' "$(basename "$file")" "$ours" "$best_ours" \
      "$best_theirs" "$(awk -v a="$best_ours" -v b="$best_theirs" 'BEGIN {print a / b}')" "$same"
  done
done
