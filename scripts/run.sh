#!/usr/bin/env bash
# Builds the library and runs the example on a simulated camera bus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOCAM_TESTS=OFF -DVOCAM_BENCH=OFF > /dev/null
cmake --build build/release -j "$(nproc)"
export VOCAM_SIM="${VOCAM_SIM-model_02,model_16}"
exec build/release/tools/vocam_example "$@"
