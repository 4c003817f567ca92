#!/usr/bin/env bash
# Makes the benchmark's photographs: the wallpapers of Debian's
# plasma-workspace-wallpapers package, each one's largest JPEG as its own
# encoder wrote it, and the PNG ones encoded again with cjpeg at q75 and q90
# in the samplings, colours and modes the decoder must be fast at. Other
# wallpapers go to held-out/, to check a result on photos it was not tuned
# to. Nothing here is committed: the data live in DIR (default build-photos/).
#
#   bench/photos.sh [DIR]
#   build/bin/jpegbench DIR/photos/*.jpg        # the benchmark
#   build/bin/jpegbench DIR/held-out/*.jpg      # the check
#
# Needs apt-get (to download the package), cjpeg (libjpeg-turbo-progs) and
# ImageMagick's convert; as root it installs the last two when missing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"

DIR=$(mkdir -p "${1:-$ROOT/build-photos}" && cd "${1:-$ROOT/build-photos}" && pwd)
BENCH=(Altai Autumn BytheWater Canopee Cascade ColdRipple ColorfulCups EveningGlow FallenLeaf Kite Path)
HELD_OUT=(Elarun Flow IceCold Kokkini MilkyWay Opal SafeLanding Volna)

if ! command -v cjpeg >/dev/null || ! command -v convert >/dev/null; then
  ensure_packages libjpeg-turbo-progs imagemagick
fi

unpacked="$DIR/unpacked/usr/share/wallpapers"
if [[ ! -d $unpacked ]]; then
  echo "Downloading plasma-workspace-wallpapers"
  (cd "$DIR" && apt-get download plasma-workspace-wallpapers >/dev/null)
  dpkg-deb -x "$DIR"/plasma-workspace-wallpapers_*.deb "$DIR/unpacked"
fi

# The largest file of a wallpaper with the given extension, or nothing.
largest() { ls -S "$unpacked/$1/contents/images/"*."$2" 2>/dev/null | head -n 1 || true; }

# Encodes the PNG $2 again as $1-*.jpg in folder $3: q75 and q90 in 4:2:0,
# 4:2:2 and 4:4:4; grey; progressive; a restart marker every MCU row; and
# the uncommon samplings 4:4:0, 4:1:1, 4x2 and 1x4 (luma's factors, chroma
# 1x1).
encode_again() {
  local name=$1 png=$2 out=$3 ppm
  ppm=$(mktemp --suffix=.ppm)
  convert "$png" -alpha off "$ppm"
  for q in 75 90; do
    for s in 2x2:420 2x1:422 1x1:444; do
      cjpeg -quality "$q" -sample "${s%%:*}" -outfile "$out/$name-q$q-${s##*:}.jpg" "$ppm"
    done
  done
  cjpeg -quality 90 -grayscale -outfile "$out/$name-q90-grey.jpg" "$ppm"
  cjpeg -quality 90 -progressive -outfile "$out/$name-q90-progressive.jpg" "$ppm"
  cjpeg -quality 90 -restart 1 -outfile "$out/$name-q90-restart.jpg" "$ppm"
  for s in 1x2:440 4x1:411 4x2:4x2 1x4:1x4; do
    cjpeg -quality 90 -sample "${s%%:*}" -outfile "$out/$name-q90-${s##*:}.jpg" "$ppm"
  done
  rm -f "$ppm"
}

make_set() {
  local out=$1 wallpaper jpeg png
  shift
  mkdir -p "$out"
  for wallpaper in "$@"; do
    jpeg=$(largest "$wallpaper" jpg)
    png=$(largest "$wallpaper" png)
    if [[ -n $jpeg ]]; then
      cp "$jpeg" "$out/$wallpaper.jpg"
    elif [[ -n $png ]]; then
      encode_again "$wallpaper" "$png" "$out"
    else
      echo "photos.sh: no image for $wallpaper" >&2
    fi
  done
}

make_set "$DIR/photos" "${BENCH[@]}"
make_set "$DIR/held-out" "${HELD_OUT[@]}"
echo "$(ls "$DIR/photos" | wc -l) photos in $DIR/photos, $(ls "$DIR/held-out" | wc -l) held out in $DIR/held-out"
