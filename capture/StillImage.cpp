#include "StillImage.h"

#include <QFileInfo>

#include <stdexcept>

#include "images.h"

namespace vocapture {

void saveStill(const StillImage &still, const QString &path) {
    if (still.isNull()) throw std::runtime_error("there is no still image to save");
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool tiff = suffix == "tif" || suffix == "tiff";
    if (!tiff && suffix != "png")
        throw std::runtime_error("'" + path.toStdString() +
                                 "': the file name must end in .png, .tif or .tiff");
    // The file writer's advice speaks of the command line; here the dialog
    // itself is the way to choose another file.
    vocam::cli::setWriteAdvice("");
    const QImage picture = still.picture.convertToFormat(QImage::Format_RGB888);
    const auto width = static_cast<std::uint32_t>(picture.width());
    const auto height = static_cast<std::uint32_t>(picture.height());
    const std::string name = path.toStdString();
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
