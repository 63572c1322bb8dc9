// One camera-side fuzz case: a simulated camera whose registers, string
// descriptors, data-rate list and frames come from the input, opened and
// streamed through the library's own calls. Shared by the libFuzzer target
// and the test that replays saved findings.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocam::fuzz {

// Makes the library use the simulated bus; call once, before any case.
void useSimulatedCameras();
// Runs one case; every call the library answers must come back, and the
// handle must be gone at the end. Aborts on a broken promise.
void runCameraCase(const std::uint8_t *data, std::size_t size);

}  // namespace vocam::fuzz
