#!/usr/bin/env bash
# jpegenc's command line: what it writes for each option, exit statuses,
# messages. Inputs are made with jpegdec; outputs are read back with it.
#   jpegenc_test.sh JPEGENC JPEGDEC DATA_DIR
set -u
JPEGENC=$1
JPEGDEC=$2
DATA=$3
OUT=$(mktemp)
ERR=$(mktemp)
IMG=$(mktemp -d)
trap 'rm -f "$OUT" "$ERR"; rm -rf "$IMG"' EXIT

# shellcheck source=checks.sh
source "$(dirname "$0")/checks.sh"
run() { "$JPEGENC" "$@" >"$OUT" 2>"$ERR"; echo $?; }
info() { "$JPEGDEC" --info "$1" 2>/dev/null | grep "^$2: " | cut -d' ' -f2-; }
has_marker() { od -An -v -tx1 "$1" | tr -d ' \n' | grep -q "$2"; }

check "--help exits 0 and explains --progressive" \
  test "$(run --help)" = 0 -a -n "$(grep -- '--progressive' "$OUT")"
check "no arguments is bad usage (exit 2)" test "$(run)" = 2
check "an unknown option is bad usage (exit 2)" test "$(run --frobnicate a b)" = 2
check "--quality 0 is bad usage" test "$(run --quality 0 a b)" = 2
check "--sampling 411 is bad usage" test "$(run --sampling 411 a b)" = 2
check "--gray with --rgb is bad usage" test "$(run --gray --rgb a b)" = 2
check "--version names the package" test "$("$JPEGENC" --version)" = "jpegenc (jpegcodec) 2.2.0"
check "a usage error is one line that points to --help" \
  test "$(run --quality 0 a b)" = 2 -a "$(wc -l <"$ERR")" = 1 -a -n "$(grep 'jpegenc --help' "$ERR")"
check "a missing input exits 1" test "$(run /nonexistent/in.ppm "$IMG/x.jpg")" = 1
check "naming it" grep -q '/nonexistent/in.ppm' "$ERR"
check "a file that is no image exits 1" test "$(run "$DATA/generated/base_420.jpg" "$IMG/x.jpg")" = 1
check "saying so" grep -q 'not a PNG, PGM, PPM or PAM image' "$ERR"

"$JPEGDEC" "$DATA/generated/base_420.jpg" "$IMG/src.ppm" 2>/dev/null
"$JPEGDEC" "$DATA/generated/base_420.jpg" "$IMG/src.png" 2>/dev/null
"$JPEGDEC" "$DATA/generated/gray.jpg" "$IMG/grey.pgm" 2>/dev/null
"$JPEGDEC" --layout cmyk "$DATA/generated/cmyk.jpg" "$IMG/cmyk.pam" 2>/dev/null
"$JPEGDEC" --layout rgba "$DATA/generated/base_420.jpg" "$IMG/rgba.pam" 2>/dev/null

check "PPM to JPEG exits 0" test "$(run "$IMG/src.ppm" "$IMG/a.jpg")" = 0
check "a 320x240 YCbCr JPEG" test "$(info "$IMG/a.jpg" width)x$(info "$IMG/a.jpg" height)" = 320x240
check "4:2:0 unless told otherwise" test "$(info "$IMG/a.jpg" subsampling)" = "1 4:2:0"
"$JPEGDEC" "$IMG/a.jpg" "$IMG/back.ppm" 2>/dev/null
psnr=$(compare -metric PSNR "$IMG/src.ppm" "$IMG/back.ppm" null: 2>&1 | awk '{print $1}')
check "which reads back close to the source (PSNR $psnr)" awk -v p="$psnr" 'BEGIN { exit !(p > 30) }'
run "$IMG/src.png" "$IMG/p.jpg" >/dev/null
check "PNG input gives the same JPEG as PPM input" cmp -s "$IMG/a.jpg" "$IMG/p.jpg"
run "$IMG/rgba.pam" "$IMG/r.jpg" >/dev/null
check "an alpha channel is dropped" cmp -s "$IMG/a.jpg" "$IMG/r.jpg"
run "$IMG/grey.pgm" "$IMG/g.jpg" >/dev/null
check "PGM input gives a grey JPEG" test "$(info "$IMG/g.jpg" color)" = "4 gray"
run "$IMG/cmyk.pam" "$IMG/c.jpg" >/dev/null
check "CMYK PAM input gives a four-channel JPEG" test "$(info "$IMG/c.jpg" channels)" = 4
check "with an Adobe segment" test "$(info "$IMG/c.jpg" adobe_transform)" = 0
run --sampling 444 "$IMG/src.ppm" "$IMG/s.jpg" >/dev/null
check "--sampling 444" test "$(info "$IMG/s.jpg" subsampling)" = "0 4:4:4"
run --sampling 422 "$IMG/src.ppm" "$IMG/s.jpg" >/dev/null
check "--sampling 422" test "$(info "$IMG/s.jpg" subsampling)" = "2 4:2:2"
run --gray "$IMG/src.ppm" "$IMG/s.jpg" >/dev/null
check "--gray" test "$(info "$IMG/s.jpg" channels)" = 1
run --rgb "$IMG/src.ppm" "$IMG/s.jpg" >/dev/null
check "--rgb keeps RGB (Adobe transform 0)" test "$(info "$IMG/s.jpg" color)" = "1 RGB"
run --progressive "$IMG/src.ppm" "$IMG/pr.jpg" >/dev/null
check "--progressive writes SOF2" has_marker "$IMG/pr.jpg" ffc2
"$JPEGDEC" "$IMG/pr.jpg" "$IMG/pr.ppm" 2>/dev/null
check "with the baseline file's pixels" cmp -s "$IMG/back.ppm" "$IMG/pr.ppm"
run --optimize "$IMG/src.ppm" "$IMG/o.jpg" >/dev/null
check "--optimize writes a smaller file" test "$(stat -c %s "$IMG/o.jpg")" -lt "$(stat -c %s "$IMG/a.jpg")"
run --restart 2 "$IMG/src.ppm" "$IMG/rs.jpg" >/dev/null
check "--restart 2 writes DRI and restart markers" has_marker "$IMG/rs.jpg" ffdd0004
check "  every two MCU rows (40 MCUs)" has_marker "$IMG/rs.jpg" ffdd00040028
# A row of MCUs of a width that is not a multiple of the MCU: 33 pixels are
# 3 MCUs of 16 (4:2:0) or 5 of 8 (4:4:4).
"$JPEGDEC" "$DATA/generated/odd_33x9_420.jpg" "$IMG/odd.ppm" 2>/dev/null
run --restart 1 "$IMG/odd.ppm" "$IMG/r1.jpg" >/dev/null
check "--restart 1 of a 33-pixel 4:2:0 image: every 3 MCUs" has_marker "$IMG/r1.jpg" ffdd00040003
run --restart 2 --sampling 444 "$IMG/odd.ppm" "$IMG/r2.jpg" >/dev/null
check "--restart 2 of it at 4:4:4: every 10 MCUs" has_marker "$IMG/r2.jpg" ffdd0004000a
run --quality=20 "$IMG/src.ppm" "$IMG/q.jpg" >/dev/null
check "--quality 20 writes a smaller file" test "$(stat -c %s "$IMG/q.jpg")" -lt "$(stat -c %s "$IMG/a.jpg")"
run --comment "made for a test" "$IMG/src.ppm" "$IMG/m.jpg" >/dev/null
check "--comment is read back" test "$(info "$IMG/m.jpg" comment)" = "made for a test"
run --fast-dct "$IMG/src.ppm" "$IMG/f.jpg" >/dev/null
"$JPEGDEC" "$IMG/f.jpg" "$IMG/f.ppm" 2>/dev/null
psnr=$(compare -metric PSNR "$IMG/src.ppm" "$IMG/f.ppm" null: 2>&1 | awk '{print $1}')
check "--fast-dct stays close (PSNR $psnr)" awk -v p="$psnr" 'BEGIN { exit !(p > 30) }'
"$JPEGENC" - - <"$IMG/src.ppm" >"$IMG/piped.jpg" 2>"$ERR"
check "standard input to standard output" cmp -s "$IMG/a.jpg" "$IMG/piped.jpg"
check "an unwritable output exits 1" test "$(run "$IMG/src.ppm" /nonexistent/dir/x.jpg)" = 1
check "saying why" grep -q 'cannot write' "$ERR"
if [[ -w /dev/full ]]; then
  check "a failed write exits 1" test "$(run "$IMG/src.ppm" /dev/full)" = 1
fi
printf 'P6\n4 4\n255\nxx' >"$IMG/short.ppm"
check "a cut netpbm file exits 1" test "$(run "$IMG/short.ppm" "$IMG/x.jpg")" = 1
check "saying it ends early" grep -q 'ends early' "$ERR"
check "and writes nothing" test ! -e "$IMG/x.jpg"

# PNG headers that claim far more than their bytes hold: refused before the
# memory is taken, or where their data end.
if command -v python3 >/dev/null; then
  python3 - "$IMG" <<'PY'
import struct, sys, zlib
def png(name, w, h, depth, colour, interlace=0):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    head = struct.pack(">IIBBBBB", w, h, depth, colour, 0, 0, interlace)
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(b"\0" * 10))
    open(sys.argv[1] + "/" + name, "wb").write(data + chunk(b"IEND", b""))
png("wide.png", 100000, 100000, 8, 2)
png("claims.png", 65535, 65535, 8, 2)
png("claims16.png", 65535, 65535, 16, 6)
PY
  check "a PNG wider than a JPEG holds exits 1" test "$(run "$IMG/wide.png" "$IMG/x.jpg")" = 1
  check "saying so" grep -q 'the PNG is 100000x100000; a JPEG holds at most 65535' "$ERR"
  # 12.9 GB claimed in 68 bytes: refused where the data end, within 1 GB
  # of address space (not checked under the sanitizers, whose shadow memory
  # needs far more).
  limit=unlimited
  ldd "$JPEGENC" 2>/dev/null | grep -q 'lib[at]san' || limit=1000000
  for claim in claims claims16; do
    check "$claim.png (68 bytes, 65535x65535) exits 1" \
      test "$(ulimit -v $limit; run "$IMG/$claim.png" "$IMG/x.jpg")" = 1
    check "as a damaged PNG" grep -q 'damaged PNG: Not enough image data' "$ERR"
  done
fi
# What a PNG carries beside its pixels (iCCP, eXIf) goes into the JPEG;
# --icc and --exif give other bytes instead.
if command -v python3 >/dev/null && "$JPEGDEC" --help | grep -q PNG; then
  PYTHONPATH=$(dirname "$0") python3 - "$IMG" "$DATA/metadata/exif_icc_xmp.jpg" <<'PY'
import struct, sys, zlib
from icc_profile import profile
out, photo = sys.argv[1], open(sys.argv[2], "rb").read()
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
tiff = photo[photo.find(b"Exif\0\0") + 6:]
tiff = tiff[:tiff.find(b"\xff")]  # the block's TIFF data end before the next marker
head = struct.pack(">IIBBBBB", 16, 8, 8, 2, 0, 0, 0)
pixels = zlib.compress(b"".join(b"\0" + bytes(range(48)) for _ in range(8)))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) +
       chunk(b"iCCP", b"ICC Profile\0\0" + zlib.compress(profile(b"desc", b"Carried RGB"))) +
       chunk(b"eXIf", tiff) + chunk(b"IDAT", pixels) + chunk(b"IEND", b""))
open(out + "/carries.png", "wb").write(png)
open(out + "/given.icc", "wb").write(profile(b"desc", b"Given RGB"))
t = bytearray(tiff)
t[8 + 2 + 12 + 8 + 1] = 3  # the orientation's byte
open(out + "/given.exif", "wb").write(b"Exif\0\0" + t)
open(out + "/huge.exif", "wb").write(b"\0" * 70000)
PY
  run "$IMG/carries.png" "$IMG/c.jpg" >/dev/null
  check "a PNG's profile goes into the JPEG" test "$(info "$IMG/c.jpg" icc_profile)" = "247 bytes, Carried RGB"
  check "and its EXIF block (orientation 6)" test "$(info "$IMG/c.jpg" orientation)" = 6
  check "  whole" test "$(info "$IMG/c.jpg" exif)" = "$(info "$DATA/metadata/exif_icc_xmp.jpg" exif)"
  run --icc "$IMG/given.icc" --exif "$IMG/given.exif" "$IMG/carries.png" "$IMG/g.jpg" >/dev/null
  check "--icc replaces the profile" test "$(info "$IMG/g.jpg" icc_profile)" = "245 bytes, Given RGB"
  check "--exif the EXIF block" test "$(info "$IMG/g.jpg" orientation)" = 3
  check "no comment unless asked" python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); sys.exit(d[:d.find(b"\xff\xda")].find(b"\xff\xfe") >= 0)' "$IMG/g.jpg"
  check "an EXIF block too large for a segment exits 1" \
    test "$(run --exif "$IMG/huge.exif" "$IMG/carries.png" "$IMG/h.jpg")" = 1
  check "  naming it" grep -q 'huge.exif: status -8: .*exif_size must be 0 to 65527, is 70000' "$ERR"
  check "a missing --icc file exits 1" test "$(run --icc "$IMG/none.icc" "$IMG/carries.png" "$IMG/h.jpg")" = 1
fi
# A grey and alpha PAM loses its alpha: the JPEG is the grey image's.
"$JPEGDEC" "$DATA/generated/base_420.jpg" "$IMG/grey.pgm" 2>/dev/null
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); px = d[-320 * 240:]; open(sys.argv[2], "wb").write(b"P7\nWIDTH 320\nHEIGHT 240\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n" + bytes(b for p in px for b in (p, 255)))' \
  "$IMG/grey.pgm" "$IMG/ga.pam"
run "$IMG/grey.pgm" "$IMG/grey.jpg" >/dev/null
run "$IMG/ga.pam" "$IMG/ga.jpg" >/dev/null
check "a grey and alpha PAM gives its grey image's JPEG" cmp -s "$IMG/grey.jpg" "$IMG/ga.jpg"
if command -v convert >/dev/null && "$JPEGDEC" --help | grep -q PNG; then
  convert "$IMG/src.png" -interlace PNG "$IMG/interlaced.png"
  check "an interlaced PNG exits 0" test "$(run "$IMG/interlaced.png" "$IMG/i.jpg")" = 0
  check "without a word on standard error" test ! -s "$ERR"
  run "$IMG/src.png" "$IMG/p.jpg" >/dev/null
  check "and gives the file its plain twin gives" cmp -s "$IMG/i.jpg" "$IMG/p.jpg"
fi

checks_done
