#!/usr/bin/env bash
# The codec as a library user gets it: installed from the build into a
# temporary prefix, then a C program built against it through the CMake
# package (shared and static) and through pkg-config, each run on a file.
#   install_test.sh BUILD_DIR JPEG_FILE
set -u
BUILD=$1
JPEG=$2
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../tools/checks.sh
source "$HERE/../tools/checks.sh"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
PREFIX=$WORK/prefix

check "cmake --install into a prefix" cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
for f in include/jpegcodec.h lib/libjpegcodec.so lib/libjpegcodec.a bin/jpegdec bin/jpegenc \
  bin/jpegxform lib/cmake/jpegcodec/jpegcodecConfig.cmake lib/pkgconfig/jpegcodec.pc \
  share/man/man1/jpegdec.1 share/man/man1/jpegenc.1 share/man/man1/jpegxform.1; do
  check "installs $f" test -e "$PREFIX/$f"
done
soname=$(objdump -p "$PREFIX/lib/libjpegcodec.so" 2>/dev/null | awk '/SONAME/ {print $2}')
check "the shared library's SONAME is libjpegcodec.so.2 ($soname)" test "$soname" = libjpegcodec.so.2
# The shared library exports the entry operations only; the static one
# defines nothing outside them and the codec's namespace (a weak reference
# to the C++ runtime's personality routine aside).
exported=$(nm -D --defined-only "$PREFIX/lib/libjpegcodec.so" | awk '{print $3}' | grep -v '^jpeg_')
check "the shared library exports only jpeg_* (others: ${exported:-none})" test -z "$exported"
stray=$(nm -C --defined-only --extern-only "$PREFIX/lib/libjpegcodec.a" | awk 'NF >= 3 {$1 = ""; print}' |
  grep -v '^ [A-Za-z] jpeg_\|^ [A-Za-z] jpegcodec::\|DW.ref.__gxx_personality_v0' | sort -u)
check "the static library's symbols are jpeg_* or jpegcodec:: (others: ${stray:-none})" test -z "$stray"
check "the installed header stands alone" \
  cc -std=c99 -pedantic -Wall -Werror -fsyntax-only -x c "$PREFIX/include/jpegcodec.h"

expected="$(identify -format '%wx%h' "$JPEG" 2>/dev/null) read 0 written 0"
check "find_package: the consumer configures" \
  cmake -S "$HERE/../../examples/cmake" -B "$WORK/consumer" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
check "and builds" cmake --build "$WORK/consumer" >/dev/null
out=$(LD_LIBRARY_PATH="$PREFIX/lib" "$WORK/consumer/consumer" "$JPEG")
check "and reads and writes the file with the shared library ($out)" \
  test "${out%% (*}" = "$expected"
out=$("$WORK/consumer/consumer_static" "$JPEG")
check "and with the static one ($out)" test "${out%% (*}" = "$expected"

export PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig
check "pkg-config knows jpegcodec" test "$(pkg-config --modversion jpegcodec)" = 2.2.0
# shellcheck disable=SC2046
check "pkg-config: the consumer builds" \
  cc -std=c99 "$HERE/../../examples/cmake/consumer.c" -o "$WORK/pc_consumer" $(pkg-config --cflags --libs jpegcodec)
out=$(LD_LIBRARY_PATH="$PREFIX/lib" "$WORK/pc_consumer" "$JPEG")
check "and runs ($out)" test "${out%% (*}" = "$expected"
# shellcheck disable=SC2046
check "pkg-config --static: the consumer builds" \
  cc -std=c99 "$HERE/../../examples/cmake/consumer.c" -o "$WORK/pc_static" \
  -Wl,-Bstatic $(pkg-config --cflags --libs-only-L jpegcodec) -ljpegcodec -Wl,-Bdynamic \
  $(pkg-config --static --libs-only-l jpegcodec | sed 's/-ljpegcodec//')
out=$("$WORK/pc_static" "$JPEG")
check "and runs ($out)" test "${out%% (*}" = "$expected"

# The Python module as installed finds the library of its prefix.
module=$PREFIX/share/jpegcodec/python
check "installs the Python module" test -e "$module/jpegcodec.py"
if command -v /usr/bin/python3 >/dev/null && /usr/bin/python3 -c 'import numpy' 2>/dev/null; then
  out=$(PYTHONPATH=$module /usr/bin/python3 -c \
    'import sys, jpegcodec; a = jpegcodec.read(sys.argv[1]); print("%dx%d" % (a.shape[1], a.shape[0]), jpegcodec._library()._name)' \
    "$JPEG")
  check "and reads the file through the installed library ($out)" \
    test "$out" = "${expected%% *} $PREFIX/lib/libjpegcodec.so.2"
fi
checks_done
