#!/usr/bin/env bash
# jpegxform's command line: exit statuses, messages, standard input and
# output, refusals that leave no file. What each transform gives is tested
# against jpegtran in the codec's tests.
#   jpegxform_test.sh JPEGXFORM JPEGDEC DATA_DIR
set -u
JPEGXFORM=$1
JPEGDEC=$2
DATA=$3
OUT=$(mktemp)
ERR=$(mktemp)
DIR=$(mktemp -d)
trap 'rm -f "$OUT" "$ERR"; rm -rf "$DIR"' EXIT

# shellcheck source=checks.sh
source "$(dirname "$0")/checks.sh"
run() { "$JPEGXFORM" "$@" >"$OUT" 2>"$ERR"; echo $?; }
info() { "$JPEGDEC" --info "$1" 2>/dev/null | grep "^$2: " | cut -d' ' -f2-; }
SRC=$DATA/generated/base_411.jpg  # 257x131, 4:1:1: partial MCUs at both edges

check "--help exits 0 and explains --crop" test "$(run --help)" = 0 -a -n "$(grep -- '--crop' "$OUT")"
check "--version names the package" test "$("$JPEGXFORM" --version)" = "jpegxform (jpegcodec) 2.2.0"
check "no arguments is bad usage (exit 2)" test "$(run)" = 2
check "--rotate 45 is bad usage" test "$(run --rotate 45 a b)" = 2
check "two transforms are bad usage" test "$(run --rotate 90 --transpose a b)" = 2
check "a malformed crop is bad usage" test "$(run --crop 10x+3+4 a b)" = 2
check "--copy some is bad usage" test "$(run --copy some a b)" = 2
check "a usage error is one line that points to --help" \
  test "$(run --rotate 45 a b)" = 2 -a "$(wc -l <"$ERR")" = 1 -a -n "$(grep 'jpegxform --help' "$ERR")"

check "--rotate 90 exits 0" test "$(run --rotate 90 "$SRC" "$DIR/r.jpg")" = 0
check "and swaps width and height" test "$(info "$DIR/r.jpg" width)x$(info "$DIR/r.jpg" height)" = 131x257
check "--trim drops the partial MCU a rotation cannot move" \
  test "$(run --rotate 90 --trim "$SRC" "$DIR/t.jpg")" = 0 -a "$(info "$DIR/t.jpg" width)" = 128
check "standard input to standard output gives the file's bytes" \
  sh -c "'$JPEGXFORM' --rotate 90 - - < '$SRC' | cmp -s - '$DIR/r.jpg'"
check "--crop moves to the MCU grid (32x8 in 4:1:1)" \
  test "$(run --crop 20x10+35+9 "$SRC" "$DIR/c.jpg")" = 0 -a "$(info "$DIR/c.jpg" width)x$(info "$DIR/c.jpg" height)" = 23x11
check "--grayscale writes one component" \
  test "$(run --grayscale "$SRC" "$DIR/g.jpg")" = 0 -a "$(info "$DIR/g.jpg" channels)" = 1
check "--progressive writes a progressive file (SOF2)" \
  test "$(run --progressive --rotate 180 "$SRC" "$DIR/p.jpg")" = 0 -a -n "$(od -An -v -tx1 "$DIR/p.jpg" | tr -d ' \n' | grep ffc2)"

check "--perfect with partial MCUs exits 1" test "$(run --perfect --rotate 90 "$SRC" "$DIR/no.jpg")" = 1
check "saying why" grep -q 'not perfect' "$ERR"
check "and leaves no file" test ! -e "$DIR/no.jpg"
check "a crop outside the image exits 1" test "$(run --crop 10x10+300+0 "$SRC" "$DIR/no.jpg")" = 1
check "saying so" grep -q 'outside the 257x131 image' "$ERR"
check "an arithmetic-coded file exits 1" test "$(run --rotate 90 "$DATA/generated/arith.jpg" "$DIR/no.jpg")" = 1
check "a missing input exits 1, naming it" \
  test "$(run --rotate 90 /nonexistent/in.jpg "$DIR/no.jpg")" = 1 -a -n "$(grep /nonexistent/in.jpg "$ERR")"
check "none of them left a file" test ! -e "$DIR/no.jpg"
head -c 3000 "$SRC" >"$DIR/cut.jpg"
check "a damaged file exits 1 and writes nothing" \
  test "$(run --rotate 90 "$DIR/cut.jpg" "$DIR/no.jpg")" = 1 -a ! -e "$DIR/no.jpg"
check "with --force it writes what was read, and still exits 1" \
  test "$(run --force --rotate 90 "$DIR/cut.jpg" "$DIR/forced.jpg")" = 1 -a "$(info "$DIR/forced.jpg" width)" = 131
check "a refusal leaves an existing OUTPUT as it was" \
  sh -c "cp '$DIR/r.jpg' '$DIR/keep.jpg'; '$JPEGXFORM' --perfect --rotate 90 '$SRC' '$DIR/keep.jpg' 2>/dev/null; cmp -s '$DIR/r.jpg' '$DIR/keep.jpg'"
checks_done
