// The layout of a frame as an image-format record (_VOCAM_IMAGE_FORMAT)
// describes it, read once from the record's named fields; the colour engine
// and the camera API's conversion calls judge a frame by it.
#pragma once

#include <cstdint>
#include <cstring>

#include "vocamapi.h"

namespace vo {

struct FrameLayout {
    std::uint32_t width = 0, height = 0;
    // 0: 8-bit samples, 1: 16-bit samples, 2: 24-bit RGB.
    std::uint32_t pixelFormat = 0;
    // VOCAM_LAYOUT_* (VocamReserved[0]); bit 4: rows stored bottom up.
    std::uint32_t flags = 0;
    // The low byte of VocamReserved[4]: 0 for a progressive frame, else two
    // fields one after the other (48-bit output keeps the value itself).
    std::uint32_t deinterlace = 0;

    bool mono() const { return (flags & VOCAM_LAYOUT_MONO) != 0; }
    bool lsbFirst() const { return (flags & VOCAM_LAYOUT_LSB_FIRST) != 0; }
    bool blueRow() const { return (flags & VOCAM_LAYOUT_BLUE_ROW) != 0; }
    bool greenFirst() const { return (flags & VOCAM_LAYOUT_GREEN_FIRST) != 0; }
    bool bottomUp() const { return (flags & 0x10u) != 0; }
    // The raw frame's bytes, for the pixel formats a conversion takes (0, 1).
    std::uint64_t frameBytes() const {
        return std::uint64_t{width} * height * (pixelFormat == 1 ? 2 : 1);
    }
};

// False when `record` is not an image format: its Size is not the record's.
// Only the Size is read before it is known to be one, so a shorter buffer
// given in its place is never read past.
inline bool decodeImageFormat(const void *record, FrameLayout &out) {
    std::uint32_t size = 0;
    std::memcpy(&size, record, sizeof size);
    if (size != sizeof(_VOCAM_IMAGE_FORMAT)) return false;
    _VOCAM_IMAGE_FORMAT f;
    std::memcpy(&f, record, sizeof f);
    out.width = f.Width;
    out.height = f.Height;
    out.pixelFormat = f.PixelFormat;
    out.flags = f.VocamReserved[0];
    out.deinterlace = f.VocamReserved[4] & 0xFF;
    return true;
}

}  // namespace vo
