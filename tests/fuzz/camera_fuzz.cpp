// Fuzzes the library from the camera's side: whatever a camera answers at
// open and while streaming, every call must come back with a code.
#include <cstddef>
#include <cstdint>

#include "camera_case.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vocam::fuzz::useSimulatedCameras();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vocam::fuzz::runCameraCase(data, size);
    return 0;
}
