// The conversion of a frame a caller hands to a camera's conversion calls.
#pragma once

#include <cstdint>

#include "vo_cam/vo_cam.h"

// Converts `src` into `dst` with the colour engine while the stream runs
// (-22 otherwise); the engine is made for the camera on first need. `layout`
// is the frame as the caller's image format describes it, decoded once by the
// call that took the record (null: none was given). A ring buffer is kept for
// the conversion and must hold that frame (-22, with a line naming `call`,
// when it does not); any other memory is the caller's to size.
int vo_convert_stream_frame(const char *call, vo::Stream &stream, vo::ColourPart &colour,
                            const vo::CameraState &camera, std::uint8_t *dst,
                            const std::uint8_t *src, const vo::FrameLayout *layout,
                            const void *conversion_params, std::uint32_t bits);
