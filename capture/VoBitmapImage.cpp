#include "VoBitmapImage.h"

namespace vocapture {

VoBitmapImage::VoBitmapImage(QSizeF size)
    : buffer_(static_cast<std::size_t>(size.width() * size.height() * 3.0)), size_(size) {}

void VoBitmapImage::lockImage() {
    std::lock_guard lock(lock_);
    ++owners_;
}

void VoBitmapImage::releaseImage() {
    std::lock_guard lock(lock_);
    if (--owners_ == 0) bmp_.reset();
}

bool VoBitmapImage::available() const {
    std::lock_guard lock(lock_);
    return owners_ == 0;
}

int VoBitmapImage::owners() const {
    std::lock_guard lock(lock_);
    return owners_;
}

void VoBitmapImage::updateBitmap() {
    std::lock_guard lock(lock_);
    const int w = static_cast<int>(size_.width()), h = static_cast<int>(size_.height());
    bmp_.emplace(buffer_.data(), w, h, 3 * w, QImage::Format_RGB888);
}

QImage VoBitmapImage::bmp() const {
    std::lock_guard lock(lock_);
    return bmp_ ? *bmp_ : QImage();
}

}  // namespace vocapture
