// A still image as the user saves it: the 8-bit picture the window shows,
// and, from a camera that delivers 16-bit samples, the same picture at 16 bits
// a sample, so that a TIFF keeps the depth the camera measured.
#pragma once

#include <QImage>
#include <QString>

#include <cstdint>
#include <vector>

namespace vocapture {

struct StillImage {
    QImage picture;                   // RGB888; null when there is no still
    std::vector<std::uint16_t> deep;  // width x height x 3 samples, or empty
    bool isNull() const { return picture.isNull(); }
};

// Writes `still` to `path` whole or not at all: ".png" as 8-bit RGB, ".tif"
// or ".tiff" as 48-bit RGB when the still has its 16-bit samples, 24-bit
// otherwise. Throws std::runtime_error with one line for a name of another
// kind or a file that cannot be written.
void saveStill(const StillImage &still, const QString &path);

}  // namespace vocapture
