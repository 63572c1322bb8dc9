#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the capture application
# need; packages already present are skipped, so this is cheap to run again.
#   --app          only what building and running VoCam_Capture needs (the main job)
#   --bench-peers  also the libraries that the conversion benchmark compares
#                  against (never needed to build or test)
set -euo pipefail
app=(build-essential cmake ninja-build pkg-config libusb-1.0-0-dev libpng-dev qt6-base-dev)
packages=("${app[@]}" clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          libumockdev-dev umockdev xvfb xauth)
case "${1:-}" in
  --app) packages=("${app[@]}"); shift ;;
  --bench-peers) packages+=(libopencv-dev libdc1394-dev); shift ;;
esac
packages+=("$@")
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
