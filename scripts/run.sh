#!/usr/bin/env bash
# Builds the library and VoCam_Capture, brings up a simulated camera from its
# boot state (FX2 firmware, then FPGA) and starts the application on it: a
# window where there is a display, else a screenshot of the window after ten
# frames (build/app/vocam_capture.png). Arguments go to the application.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --app
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOCAM_TESTS=OFF -DVOCAM_BENCH=OFF > /dev/null
cmake --build build/app -j "$(nproc)" --target VoCam_Capture vocam_resources
export VOCAM_SIM="${VOCAM_SIM-model_02}"
app=(build/app/capture/VoCam_Capture --resources build/app/resources/files)
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "${app[@]}" "$@"
fi
echo "no display: writing a screenshot of the window instead"
exec "${app[@]}" --screenshot build/app/vocam_capture.png --frames 10 "$@"
