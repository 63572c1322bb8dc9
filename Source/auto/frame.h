// What the auto algorithms share: the bounds of a frame description, and the
// statistics and sharpness passes as plain functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vocamapi.h"

namespace vocam::autoalg {

// Where a description's region lies in the frame's memory: the pixel index of
// the region's first pixel in the first pass, the pixel step between rows of
// one pass, and the rows skipped from the end of the first pass to the
// second (field-ordered frames walk each field in turn).
struct RegionWalk {
    std::uint64_t start = 0;      // pixel index
    std::uint64_t rowStride = 0;  // pixels from one row of a pass to the next
    std::uint64_t passRows = 0;   // rows in each pass (two passes for fields)
    std::uint64_t gapRows = 0;    // field-ordered: rows skipped between the passes
    std::uint64_t bytesPerPixel = 1;
    std::uint64_t firstByte = 0;  // 1 to read each pixel's second byte
    std::uint64_t frameBytes = 0;
};

// Checks that the region of `fd` (rows `rows` of it, `width` pixels wide) and
// `margin` same-colour neighbours around it lie inside the frame, with no
// product overflowing, and describes the walk. False for anything else.
bool walkRegion(const _FrameDesc &fd, std::uint64_t width, std::uint64_t rows, int margin,
                RegionWalk &walk);

// The four 2x2-cell sums, wrapping at 32 bits; the description is already checked.
void computeSums(const _FrameDesc &fd, const RegionWalk &walk, const std::uint8_t *frame,
                 std::uint32_t sums[4]);

// The sharpness sum over the region; the description is already checked.
double sharpnessSum(const _FrameDesc &fd, const RegionWalk &walk, const std::uint8_t *frame);

}  // namespace vocam::autoalg

class FramePin;
namespace vo {
struct UsbCamera;
}

// The description of a frame an auto call was given and of a region in it.
// A ring buffer (kept by `pin`) is measured with the window the ring was
// enabled for, so a frame held across a change of window is read as it was
// taken and a region beyond it is refused; other memory is taken to show the
// camera's current window. 0, -22 or -78 as fill_FrameDesc.
int vo_describe_frame(vo::UsbCamera *handle, const FramePin &pin, _FrameDesc *fd, int x, int y,
                      int width, int height, int border);
