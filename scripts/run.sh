#!/usr/bin/env bash
# Builds the library and runs the example on a simulated camera bus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOCAM_TESTS=OFF -DVOCAM_BENCH=OFF > /dev/null
cmake --build build/app -j "$(nproc)"
export VOCAM_SIM="${VOCAM_SIM-model_02,model_16}"
# Not installed, the library cannot find the simulated cameras' images beside
# itself: name the build's folder unless the caller names one.
[ $# -gt 0 ] || set -- build/app/resources/files
exec build/app/tools/vocam_example "$@"
