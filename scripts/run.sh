#!/usr/bin/env bash
# Builds the library and the vocam tool, brings up a simulated camera, lists
# the bus and saves one converted frame as vocam_frame.png. Arguments, when
# given, are a vocam command to run instead (bash scripts/run.sh info).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOCAM_TESTS=OFF -DVOCAM_BENCH=OFF > /dev/null
cmake --build build/app
export VOCAM_SIM="${VOCAM_SIM-model_02,model_16}"
vocam=(build/app/tools/vocam --resources build/app/resources/files)
if [ $# -gt 0 ]; then exec "${vocam[@]}" "$@"; fi
"${vocam[@]}" list
exec "${vocam[@]}" grab -o vocam_frame.png
