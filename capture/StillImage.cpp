#include "StillImage.h"

#include <QFileInfo>

#include <stdexcept>

#include "images.h"

namespace vocapture {

void saveStill(const StillImage &still, const QString &path) {
    if (still.isNull()) throw std::runtime_error("there is no still image to save");
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool tiff = suffix == "tif" || suffix == "tiff";
    const bool fits = suffix == "fits" || suffix == "fit" || suffix == "fts";
    if (!tiff && !fits && suffix != "png")
        throw std::runtime_error("'" + path.toStdString() +
                                 "': the file name must end in .png, .tif, .tiff or .fits");
    // The file writer's advice speaks of the command line; here the dialog
    // itself is the way to choose another file.
    vocam::cli::setWriteAdvice("");
    const std::string name = path.toStdString();
    if (fits) {
        if (!still.raw) throw std::runtime_error("the raw frame of this still was not kept");
        const RawFrame &raw = *still.raw;
        vocam::cli::writeFits(name, raw.format, raw.bytes.data(), raw.facts, raw.startUtcNs);
        return;
    }
    const QImage picture = still.picture.convertToFormat(QImage::Format_RGB888);
    const auto width = static_cast<std::uint32_t>(picture.width());
    const auto height = static_cast<std::uint32_t>(picture.height());
    if (tiff && still.deep.size() == std::size_t{width} * height * 3) {
        vocam::cli::writeTiff(name, {width, height, std::size_t{width} * 6, 16,
                                     reinterpret_cast<const std::uint8_t *>(still.deep.data())});
        return;
    }
    const vocam::cli::Rgb rgb{width, height, static_cast<std::size_t>(picture.bytesPerLine()), 8,
                              picture.constBits()};
    tiff ? vocam::cli::writeTiff(name, rgb) : vocam::cli::writePng(name, rgb);
}

}  // namespace vocapture
