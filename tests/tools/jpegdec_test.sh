#!/usr/bin/env bash
# jpegdec's command line: output lines, exit statuses, messages.
#   jpegdec_test.sh JPEGDEC DATA_DIR
set -u
JPEGDEC=$1
DATA=$2
OUT=$(mktemp)
ERR=$(mktemp)
trap 'rm -f "$OUT" "$ERR"' EXIT

# shellcheck source=checks.sh
source "$(dirname "$0")/checks.sh"
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

# ---- decoding ----
IMG=$(mktemp -d)
trap 'rm -f "$OUT" "$ERR"; rm -rf "$IMG"' EXIT
size_of() { identify -format '%m %wx%h' "$1" 2>/dev/null; }
same_picture() { test "$(compare -metric AE "$1" "$2" null: 2>&1)" = 0; }
SRC=$DATA/generated/base_420.jpg

check "decoding to PNG exits 0" test "$(run "$SRC" "$IMG/a.png")" = 0
check "and writes a 320x240 PNG" test "$(size_of "$IMG/a.png")" = "PNG 320x240"
run "$SRC" "$IMG/a.ppm" >/dev/null
check "PPM output" test "$(size_of "$IMG/a.ppm")" = "PPM 320x240"
check "PPM and PNG hold the same picture" same_picture "$IMG/a.png" "$IMG/a.ppm"
run "$DATA/generated/gray.jpg" "$IMG/g.pgm" >/dev/null
check "PGM output of a grey file" test "$(size_of "$IMG/g.pgm")" = "PGM 320x240"
run --layout rgba "$SRC" "$IMG/a.pam" >/dev/null
check "PAM output with four channels" test "$(size_of "$IMG/a.pam")" = "PAM 320x240"
run --scale 2 "$SRC" "$IMG/half.png" >/dev/null
check "--scale 2 halves the size" test "$(size_of "$IMG/half.png")" = "PNG 160x120"
run --scale 8 "$SRC" "$IMG/eighth.png" >/dev/null
check "--scale 8" test "$(size_of "$IMG/eighth.png")" = "PNG 40x30"
# Odd sizes round up, as djpeg's do: 17x17 is 9x9 at 1/2, 5x5 at 1/4, 3x3 at 1/8.
for scale in 2:9x9 4:5x5 8:3x3; do
  run --scale "${scale%%:*}" "$DATA/generated/odd_17x17_420.jpg" "$IMG/odd.ppm" >/dev/null
  check "--scale ${scale%%:*} of a 17x17 image is ${scale#*:}" \
    test "$(size_of "$IMG/odd.ppm")" = "PPM ${scale#*:}"
done
run --roi 10,20,50,50 "$SRC" "$IMG/roi.png" >/dev/null
check "--roi gives the region's size" test "$(size_of "$IMG/roi.png")" = "PNG 40x30"
convert "$IMG/a.png" -crop 40x30+10+20 +repage "$IMG/crop.png"
check "and the region's pixels" same_picture "$IMG/roi.png" "$IMG/crop.png"
for variant in "--layout bgr" "--bottom-up" "--pad 3" "--interrupt"; do
  # shellcheck disable=SC2086
  run $variant "$SRC" "$IMG/v.png" >/dev/null
  check "$variant gives the same picture" same_picture "$IMG/a.png" "$IMG/v.png"
done
run --fast-dct "$SRC" "$IMG/fast.png" >/dev/null
psnr=$(compare -metric PSNR "$IMG/a.png" "$IMG/fast.png" null: 2>&1 | awk '{print $1}')
check "--fast-dct stays close to the accurate transform (PSNR $psnr)" \
  awk -v p="$psnr" 'BEGIN { exit !(p > 35 || p == "inf") }'
run --thumbnail "$DATA/generated/jfif_thumb.jpg" "$IMG/thumb.png" >/dev/null
check "--thumbnail writes the 16x12 thumbnail" test "$(size_of "$IMG/thumb.png")" = "PNG 16x12"
"$JPEGDEC" - - <"$SRC" >"$IMG/piped.png" 2>"$ERR"
check "standard input to standard output" same_picture "$IMG/a.png" "$IMG/piped.png"
run --layout ycbcr422 "$DATA/generated/base_422.jpg" "$IMG/packed.pgm" >/dev/null
check "packed YCbCr as a grey image twice as wide" test "$(size_of "$IMG/packed.pgm")" = "PGM 640x240"

check "a truncated file exits 1" test "$(run "$DATA/generated/truncated_half.jpg" "$IMG/t.png")" = 1
check "saying the data ended" grep -q 'Error EOF' "$ERR"
check "and writes what it decoded" test "$(size_of "$IMG/t.png")" = "PNG 320x240"
convert "$IMG/t.png" -crop 320x8+0+232 +repage -format '%[fx:minima.r*255] %[fx:maxima.r*255]' \
  info: >"$OUT" 2>/dev/null
check "grey where the data were missing" test "$(cat "$OUT")" = "128 128"
check "--strict writes nothing for it" \
  test "$(run --strict "$DATA/generated/truncated_half.jpg" "$IMG/s.png")" = 1 -a ! -e "$IMG/s.png"
run --layout cmyk "$DATA/generated/cmyk.jpg" "$IMG/c.pam" >/dev/null
check "four-channel PAM output says CMYK" grep -qa '^TUPLTYPE CMYK$' "$IMG/c.pam"
if [[ -w /dev/full ]]; then
  check "a failed write exits 1" test "$(run "$SRC" /dev/full)" = 1
  check "and leaves a path it did not create" test -c /dev/full
fi
check "--info - reads standard input" \
  test "$("$JPEGDEC" --info - <"$SRC" 2>/dev/null | sed -n 2p)" = "width: 320"
check "empty standard input says so" test "$(run - "$IMG/e.png" </dev/null)" = 1
check "in those words" grep -q 'standard input is empty' "$ERR"
run --info "$DATA/generated/tables_then_image.jpg" >/dev/null
check "--info on tables, then an image, reports the image" grep -qx 'width: 320' "$OUT"
convert -size 800x800 gradient: -interlace JPEG "$IMG/big.jpg"
# The progress bar on a terminal: drawn at most ten times a second (the
# read returns after each of the file's 300 MCUs), ending at 100 %.
if command -v script >/dev/null; then
  started=$(date +%s%N)
  script -qec "\"$JPEGDEC\" --interrupt \"$SRC\" \"$IMG/bar.ppm\"" /dev/null >"$OUT" 2>&1
  tenths=$((($(date +%s%N) - started) / 100000000))
  draws=$(tr '\r' '\n' <"$OUT" | grep -c '^\[')
  check "the bar is drawn $draws times in $tenths tenths of a second" test "$draws" -le $((tenths + 2))
  check "  and ends at 100 %" grep -q '100%' "$OUT"
fi
check "--max-memory 1 refuses an 800x800 progressive store" \
  test "$(run --max-memory 1 "$IMG/big.jpg" "$IMG/big.png")" = 1 -a ! -e "$IMG/big.png"
check "saying there was no memory for it" grep -q 'Memory error' "$ERR"
check "--max-memory 0 is bad usage" test "$(run --max-memory 0 "$SRC" "$IMG/x.png")" = 2
convert -size 1500x1500 gradient: "$IMG/wide.jpg"
check "an image larger than --max-memory is refused" test "$(run --max-memory 2 "$IMG/wide.jpg" "$IMG/w.png")" = 1
check "naming the limit" grep -q 'more than the 2 MB allowed' "$ERR"
check "--roi with trailing junk is bad usage" test "$(run --roi 1,2,30,40x "$SRC" "$IMG/x.png")" = 2
check "--roi with a number past 65535 is bad usage" \
  test "$(run --roi 1,2,4294967306,40 "$SRC" "$IMG/x.png")" = 2
check "an unsupported frame exits 1" \
  test "$(run "$DATA/jpegsuite/lossless_huffman/32x32x8_grayscale.jpg" "$IMG/l.png")" = 1
check "saying why" grep -q 'Unsupported frame was found' "$ERR"
check "--scale 3 is bad usage (exit 2)" test "$(run --scale 3 "$SRC" "$IMG/x.png")" = 2
check "a bad region is bad usage (exit 2)" test "$(run --roi 5,5,2,2 "$SRC" "$IMG/x.png")" = 2

# What a photograph carries: orientation, ICC profile (with its own
# description), EXIF and XMP sizes.
run --info "$DATA/metadata/exif_icc_xmp.jpg" >/dev/null
check "--info gives the EXIF orientation" grep -qx 'orientation: 6' "$OUT"
check "the profile's size" grep -qx 'icc_profile: 3000 bytes' "$OUT"
check "the EXIF block's" grep -qx 'exif: 44 bytes' "$OUT"
check "the XMP packet's" grep -qx 'xmp: 55 bytes' "$OUT"
run --info "$SRC" >/dev/null
check "orientation 1 for a file without EXIF" grep -qx 'orientation: 1' "$OUT"
check "and no profile" test -z "$(grep icc_profile "$OUT")"
if command -v python3 >/dev/null; then
  # A profile that names itself: ICC v2 'desc' and v4 'mluc'.
  PYTHONPATH=$(dirname "$0") python3 - "$SRC" "$IMG" <<'PY'
import struct, sys
from icc_profile import profile
base = open(sys.argv[1], "rb").read()
for name, kind in (("v2", b"desc"), ("v4", b"mluc")):
    icc = b"ICC_PROFILE\0\x01\x01" + profile(kind, b"Test RGB " + name.encode())
    open(sys.argv[2] + "/" + name + ".icc", "wb").write(icc[14:])
    segment = b"\xff\xe2" + struct.pack(">H", len(icc) + 2) + icc
    open(sys.argv[2] + "/icc_" + name + ".jpg", "wb").write(base[:2] + segment + base[2:])
PY
  for v in v2 v4; do
    run --info "$IMG/icc_$v.jpg" >/dev/null
    check "an ICC $v profile's description" grep -q "^icc_profile: [0-9]* bytes, Test RGB $v\$" "$OUT"
  done
  if "$JPEGDEC" --help | grep -q PNG; then
    run "$IMG/icc_v2.jpg" "$IMG/icc.png" >/dev/null
    convert "$IMG/icc.png" "$IMG/back.icc" 2>/dev/null
    check "the profile goes into the PNG as it was" cmp -s "$IMG/v2.icc" "$IMG/back.icc"
    run "$IMG/icc_v2.jpg" "$IMG/icc.ppm" >/dev/null
    check "a PPM, which holds none, is written all the same" test "$(size_of "$IMG/icc.ppm")" = "PPM 320x240"
  fi
fi

# The EXIF orientation applied as a viewer applies it; --no-orient keeps the
# stored order.
run --no-orient "$DATA/metadata/exif_icc_xmp.jpg" "$IMG/stored.ppm" >/dev/null
check "--no-orient keeps the stored 320x240" test "$(size_of "$IMG/stored.ppm")" = "PPM 320x240"
if command -v python3 >/dev/null; then
  transforms=("" "" "-flop" "-rotate 180" "-flip" "-transpose" "-rotate 90" "-transverse" "-rotate 270")
  for n in 1 2 3 4 5 6 7 8; do
    # The same file with orientation n (the value's byte is the EXIF
    # block's 38th from its segment's start).
    python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[d.find(b"Exif") + 6 + 8 + 2 + 12 + 8 + 1] = int(sys.argv[3]); open(sys.argv[2], "wb").write(d)' \
      "$DATA/metadata/exif_icc_xmp.jpg" "$IMG/o$n.jpg" "$n"
    run "$IMG/o$n.jpg" "$IMG/o$n.ppm" >/dev/null
    # shellcheck disable=SC2086
    convert "$IMG/stored.ppm" ${transforms[$n]} "$IMG/want$n.ppm"
    check "orientation $n is applied ($(size_of "$IMG/o$n.ppm"))" same_picture "$IMG/o$n.ppm" "$IMG/want$n.ppm"
  done
fi

# The command line as other tools take it.
check "--version names the package" test "$("$JPEGDEC" --version)" = "jpegdec (jpegcodec) 2.2.0"
run --scale=2 "$SRC" "$IMG/eq.png" >/dev/null
check "--scale=2 as --scale 2" test "$(size_of "$IMG/eq.png")" = "PNG 160x120"
check "a usage error is one line" test "$(run --frobnicate "$SRC" "$IMG/x.png")" = 2 -a "$(wc -l <"$ERR")" = 1
check "  that points to --help" grep -q 'jpegdec --help' "$ERR"
check "an extension it does not write is refused (exit 2)" test "$(run "$SRC" "$IMG/x.bmp")" = 2
check "  saying which it writes" grep -q 'writes PNG (.png), PPM (.ppm), PGM (.pgm) and PAM (.pam), not ".bmp"' "$ERR"
check "  and writing nothing" test ! -e "$IMG/x.bmp"
run "$SRC" "$IMG/UPPER.PNG" >/dev/null
check "extensions in capitals" test "$(size_of "$IMG/UPPER.PNG")" = "PNG 320x240"
run "$SRC" "$IMG/grey.pgm" >/dev/null
check "a colour file to a PGM is grey" test "$(size_of "$IMG/grey.pgm")" = "PGM 320x240"

# A CMYK file: RGB in PNG and PPM (Adobe's inverted inks, as other programs
# show them: each channel c * k / 255), CMYK in PAM.
run "$DATA/generated/cmyk.jpg" "$IMG/cmyk.png" >/dev/null
check "CMYK to PNG is RGB" test "$(identify -format '%[channels]' "$IMG/cmyk.png")" = srgb
run "$DATA/generated/cmyk.jpg" "$IMG/cmyk.pam" >/dev/null
check "CMYK to PAM stays CMYK" grep -qa '^TUPLTYPE CMYK$' "$IMG/cmyk.pam"
run "$DATA/generated/cmyk.jpg" "$IMG/cmyk.ppm" >/dev/null
if command -v python3 >/dev/null; then
  check "each RGB channel is c * k / 255 of the CMYK pixel" python3 - "$IMG/cmyk.pam" "$IMG/cmyk.ppm" <<'PY'
import sys
pam, ppm = (open(p, "rb").read() for p in sys.argv[1:])
cmyk = pam[pam.index(b"ENDHDR\n") + 7:]
rgb = ppm[ppm.index(b"255\n") + 4:]
assert len(cmyk) // 4 == len(rgb) // 3 > 0
for i in range(len(rgb) // 3):
    k = cmyk[4 * i + 3]
    for c in range(3):
        assert rgb[3 * i + c] == (cmyk[4 * i + c] * k + 127) // 255, (i, c)
PY
fi

# Chroma interpolated by default, as djpeg does; --fast-upsample repeats it.
run "$SRC" "$IMG/smooth.ppm" >/dev/null
run --fast-upsample "$SRC" "$IMG/plain.ppm" >/dev/null
differ() { ! cmp -s "$1" "$2"; }
check "--fast-upsample gives other pixels than the default" differ "$IMG/smooth.ppm" "$IMG/plain.ppm"

checks_done
