#!/usr/bin/env bash
# jpegdec's command line: output lines, exit statuses, messages.
#   jpegdec_test.sh JPEGDEC DATA_DIR
set -u
JPEGDEC=$1
DATA=$2
PASSED=0
FAILED=0
OUT=$(mktemp)
ERR=$(mktemp)
trap 'rm -f "$OUT" "$ERR"' EXIT

check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then
    PASSED=$((PASSED + 1))
    echo "ok   - $name"
  else
    FAILED=$((FAILED + 1))
    echo "FAIL - $name"
  fi
}
run() { "$JPEGDEC" "$@" >"$OUT" 2>"$ERR"; echo $?; }

check "--help exits 0 and explains --info" \
  test "$(run --help)" = 0 -a -n "$(grep -- '--info FILE' "$OUT")"
check "no arguments is bad usage (exit 2)" test "$(run)" = 2
check "an unknown option is bad usage (exit 2)" test "$(run --frobnicate x)" = 2

check "--info on a JFIF file exits 0" test "$(run --info "$DATA/generated/jfif_thumb.jpg")" = 0
expected="status: 0 Success
width: 320
height: 240
channels: 3
color: 3 YCbCr
subsampling: 1 4:2:0
thumbnail: 16x12
jfif_version: 1.02"
check "and prints its parameters in order" test "$(head -8 "$OUT")" = "$expected"

run --info "$DATA/generated/comment.jpg" >/dev/null
check "the comment is printed" grep -qx 'comment: a comment of some length' "$OUT"
run --info "$DATA/generated/cmyk.jpg" >/dev/null
check "Adobe values are printed" grep -qx 'adobe_transform: 0' "$OUT"
check "a CMYK file reads as four channels" grep -qx 'color: 5 four-channel' "$OUT"

check "a file that is not JPEG exits 1" test "$(run --info "$DATA/generated/not_jpeg.jpg")" = 1
check "with the status on standard output" grep -qx 'status: -13 Not JPEG' "$OUT"
check "and the status text on standard error" grep -q 'Not JPEG' "$ERR"
check "a missing file exits 1" test "$(run --info /nonexistent/file.jpg)" = 1
check "saying the name is invalid" grep -q 'Invalid file name' "$ERR"

echo "$PASSED passed, $FAILED failed"
((FAILED == 0))
