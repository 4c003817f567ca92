# Shared by scripts/run and scripts/test.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# What building the demo and the codec needs.
# FLTK's CMake package names /usr/bin/fluid, which libfltk1.3-dev only recommends.
BUILD_PACKAGES=(g++ cmake make pkg-config libsdl2-dev libfltk1.3-dev fluid libglu1-mesa-dev
  libgl1-mesa-dri libpng-dev libx11-dev)
# What running the demo without a display needs.
HEADLESS_PACKAGES=(xvfb xauth xfonts-base)
# What the tests and benchmarks need besides.
# clang and its runtimes build the coverage-guided fuzzer; NumPy serves the
# Python module's test, pip, setuptools, wheel and venv its package's
# install, Dask the cluster example; jpegtran (libjpeg-turbo-progs) is the
# lossless transforms' oracle.
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev libjpeg-dev libjpeg-turbo-progs libstb-dev
  xdotool x11-utils x11-xserver-utils imagemagick clang libclang-rt-14-dev python3-numpy python3-pip
  python3-setuptools python3-wheel python3-venv python3-dask python3-distributed)

# Installs, with apt-get, those of the named Debian packages that are missing.
ensure_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]} == 0)) && return 0
  local sudo=()
  if [[ $(id -u) != 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "These Debian packages are missing: ${missing[*]}" >&2
      echo "Install them as root (apt-get install ${missing[*]}) and run this again." >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "Installing Debian packages: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# configure_and_build BUILD_DIR [cmake options...] -- [targets...]
configure_and_build() {
  local dir=$1
  shift
  local options=() targets=()
  while (($#)) && [[ $1 != -- ]]; do options+=("$1"); shift; done
  (($#)) && shift
  targets=("$@")
  cmake -S "$ROOT" -B "$ROOT/$dir" "${options[@]}" >/dev/null
  if ((${#targets[@]})); then
    cmake --build "$ROOT/$dir" -j "$JOBS" --target "${targets[@]}"
  else
    cmake --build "$ROOT/$dir" -j "$JOBS"
  fi
}
