#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the capture application
# need; packages already present are skipped, so this is cheap to run again.
# With --bench-peers first, it also installs the libraries that the conversion
# benchmark compares against (never needed to build or test).
set -euo pipefail
extra=()
if [ "${1:-}" = "--bench-peers" ]; then
  extra=(libopencv-dev libdc1394-dev)
  shift
fi
packages=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
          pybind11-dev python3-dev python3-numpy python3-pytest
          libusb-1.0-0-dev libgtest-dev libgmock-dev libbenchmark-dev libpng-dev
          libumockdev-dev umockdev "${extra[@]}" "$@")
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
