// A still image as the user saves it: the 8-bit picture the window shows;
// from a camera that delivers 16-bit samples, the same picture at 16 bits a
// sample, so that a TIFF keeps the depth the camera measured; and the raw
// frame it was converted from, with what the camera was set to, for FITS.
#pragma once

#include <QImage>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

#include "astro.h"
#include "vocamapi.h"

namespace vocapture {

// A frame as the camera sent it, copied out of the library's ring buffer
// (which goes back to the camera) when it became a still.
struct RawFrame {
    std::vector<std::uint8_t> bytes;
    _VOCAM_IMAGE_FORMAT format{};
    std::int64_t startUtcNs = 0;  // the exposure's start, as FITS DATE-OBS gives it
    vocam::cli::CaptureFacts facts;
};

struct StillImage {
    QImage picture;                       // RGB888; null when there is no still
    std::vector<std::uint16_t> deep;      // width x height x 3 samples, or empty
    std::shared_ptr<const RawFrame> raw;  // null when the frame was not kept
    bool isNull() const { return picture.isNull(); }
};

// Writes `still` to `path` whole or not at all: ".png" as 8-bit RGB, ".tif"
// or ".tiff" as 48-bit RGB when the still has its 16-bit samples, 24-bit
// otherwise, ".fits" (".fit", ".fts") as the raw frame with the camera's
// settings. Throws std::runtime_error with one line for a name of another
// kind or a file that cannot be written.
void saveStill(const StillImage &still, const QString &path);

}  // namespace vocapture
