// What the GStreamer element and its device provider know of one opened
// camera: the sensor's geometry, the caps it can deliver, the window a size
// asks for, and how a frame becomes the bytes of a buffer.
#pragma once

#include <gst/gst.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vocamapi.h"

namespace vocam::gst {

// How the element delivers frames: as the camera sends them, or converted by
// the library's colour engine.
enum class Format { Bayer, Gray8, Rgb, Bgr, Rgbx, Bgrx };

struct Sensor {
    std::uint32_t width = 0, height = 0;          // sensor pixels
    std::uint32_t unitWidth = 1, unitHeight = 1;  // window size steps
    std::uint32_t maxSubsample = 1;
    bool colour = false;
    std::uint32_t layout = 0;          // VOCAM_LAYOUT_* of the image format
    std::uint32_t pixelFormat = 0;     // 0: 8-bit samples
    std::vector<std::uint32_t> rates;  // kilopixels per second

    // Reads what an opened camera reports; false when it reports no usable
    // geometry or colour layout.
    bool read(_vocam *camera);
    // "rggb", "grbg", "gbrg" or "bggr".
    const char *bayerName() const;
    // The caps of every size and format the camera can deliver.
    GstCaps *caps() const;
    // Which sizes the camera delivers, for a person.
    std::string sizesText() const;
};

// The sensor window behind a delivered size.
struct Window {
    std::uint32_t x = 0, y = 0, width = 0, height = 0;  // sensor pixels
    std::uint32_t subsample = 1;
    std::uint32_t outWidth = 0, outHeight = 0;  // delivered pixels
};

// The window for a delivered size: the largest subsampling (or only
// `subsample`, when not 0) whose window fits on the sensor, on the camera's
// size steps, centred unless an offset (>= 0) places it. Nothing, with `why`
// set, when no window gives that size there.
std::optional<Window> chooseWindow(const Sensor &sensor, std::uint32_t width, std::uint32_t height,
                                   int offsetX, int offsetY, std::string &why,
                                   std::uint32_t subsample = 0);

// Parses caps the element offered; nothing for caps it never offers.
std::optional<Format> formatOf(const GstStructure *s, const Sensor &sensor);
// The row stride GStreamer expects and the bytes of one buffer.
std::size_t strideOf(Format format, std::uint32_t width);
inline std::size_t bufferBytes(Format format, std::uint32_t width, std::uint32_t height) {
    return strideOf(format, width) * height;
}
inline bool converted(Format f) {
    return f != Format::Bayer && f != Format::Gray8;
}

// Frames per second the camera sends a delivered size at, from the data
// rate (kilopixels per second) and, when it is longer than the readout,
// the exposure.
double framesPerSecond(std::uint32_t rate, std::uint32_t width, std::uint32_t height,
                       double exposureMs);

// Whether the library's 32-bit picture is the cheaper road to RGBx for
// demosaic `method`: its grey, nearest, edge-detecting and 2x2-block kernels
// write 32-bit rows about as fast as 24-bit ones, which saves the layout
// pass; its gradient-corrected kernel costs more at 32 bits than at 24 bits
// and a layout pass (measured with bench/gst_bench on one and two threads).
inline bool onePass32(std::uint32_t method) {
    return method == 0 || method == 1 || method == 2 || method == 8;
}

// Copies a raw frame of `width` x `height` bytes into rows `stride` apart.
void copyRows(std::uint8_t *dst, std::size_t stride, const std::uint8_t *src, std::uint32_t width,
              std::uint32_t height);
// Lays the library's 24-bit picture (red, green, blue; rows `srcStride`
// bytes apart) out as `format` in rows `dstStride` apart; pad bytes and the
// fourth byte of RGBx and BGRx are 0.
void arrangePicture(std::uint8_t *dst, std::size_t dstStride, const std::uint8_t *src,
                    std::size_t srcStride, Format format, std::uint32_t width,
                    std::uint32_t height);

}  // namespace vocam::gst
