#!/usr/bin/env bash
# Hostile inputs against jpegdec and libjpeg-turbo's djpeg: wall time, peak
# memory and exit status of each, side by side, with a time limit and a
# memory cap.
#
#   bench/hostile/run_hostile.sh JPEGDEC [DIR] [LIMIT_SECONDS]
#
# DIR holds the inputs (made by make_hostile.py when missing). Both decoders
# write to /dev/null (ours PAM, djpeg PPM or PGM).
set -u
JPEGDEC=$(realpath "$1")
DIR=${2:-/tmp/jpeg-hostile}
LIMIT=${3:-120}
HERE=$(cd "$(dirname "$0")" && pwd)
[[ -d $DIR ]] || python3 "$HERE/make_hostile.py" "$DIR" || exit 1
command -v djpeg >/dev/null || { echo "djpeg (libjpeg-turbo-progs) is missing" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
ln -s /dev/null "$WORK/out.ppm"
ln -s /dev/null "$WORK/out.pam"

# measure COMMAND...: prints "seconds megabytes status" (status "timeout"
# past the limit); memory is capped at 8 GB.
measure() {
  local stats
  stats=$( (ulimit -v 8388608; /usr/bin/time -f '%e %M' timeout "$LIMIT" "$@" \
    >/dev/null 2>"$WORK/err"); tail -1 "$WORK/err")
  local rc=$?
  local seconds=${stats%% *} kilobytes=${stats##* }
  rc=$(grep -o 'Command exited with non-zero status [0-9]*' "$WORK/err" | awk '{print $NF}')
  [[ -z $rc ]] && rc=0
  [[ $rc == 124 ]] && rc=timeout
  printf '%s %s %s' "$seconds" "$((kilobytes / 1024))" "$rc"
}

printf '%-34s %9s %8s %7s   %9s %8s %7s\n' file "ours s" "ours MB" exit "djpeg s" "djpeg MB" exit
for file in "$DIR"/*.jpg; do
  read -r os om orc <<<"$(measure "$JPEGDEC" "$file" "$WORK/out.pam")"
  read -r ds dm drc <<<"$(measure djpeg -outfile "$WORK/out.ppm" "$file")"
  printf '%-34s %9s %8s %7s   %9s %8s %7s\n' "$(basename "$file")" "$os" "$om" "$orc" "$ds" "$dm" "$drc"
done
