#!/usr/bin/env bash
# Installs the Debian packages a job needs; packages already present are
# skipped, so this is cheap to run again.
#   deps.sh                 what building the library, the tools, the
#                           capture application, the GStreamer plugin and
#                           the INDI driver need
#   deps.sh --test          and what the tests need (clang, sanitizer
#                           runtimes, GoogleTest, Google Benchmark, umockdev,
#                           clang-format, the FITS checkers fitsverify and
#                           astropy, the GStreamer tools and plugins the
#                           element is tested with, OpenCV for Python,
#                           indiserver and INDI's command-line clients)
#   deps.sh --bench-peers   and the libraries the conversion benchmark
#                           compares against (never needed to build or test)
# Further arguments are more packages to install.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libusb-1.0-0-dev libpng-dev libtiff-dev
          libcfitsio-dev libcli11-dev qt6-base-dev libgstreamer1.0-dev
          libgstreamer-plugins-base1.0-dev libindi-dev)
test_packages=(clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
               libumockdev-dev umockdev xvfb xauth
               pybind11-dev python3-dev python3-numpy python3-pytest
               fitsverify python3-astropy
               gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
               gstreamer1.0-plugins-bad gstreamer1.0-plugins-base-apps gstreamer1.0-x
               python3-opencv indi-bin)
while [ $# -gt 0 ]; do
  case "$1" in
    --app) ;;  # what building needs is the default
    --test) packages+=("${test_packages[@]}") ;;
    --bench-peers) packages+=(libopencv-dev libdc1394-dev) ;;
    *) packages+=("$1") ;;
  esac
  shift
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
