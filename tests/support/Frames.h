// The window and frame helpers of the suites that stream, on either backend.
#pragma once

#include <cstdint>

#include "vo_cam/vo_cam.h"

namespace vocam::test {

inline _vocam_frame_format window(std::uint32_t x, std::uint32_t y, std::uint32_t w,
                                  std::uint32_t h, std::uint16_t sx, std::uint16_t sy) {
    return {x, y, w, h, 0, sx, 0, sy, 0};
}

// The next frame, waiting past the refusals of a ring with no frame free.
inline int nextFrame(_vocam *h) {
    int r;
    do r = vocam_wait_for_capture_to_buffer(h);
    while (r == -22);
    return r;
}

}  // namespace vocam::test
