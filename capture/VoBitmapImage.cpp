#include "VoBitmapImage.h"

namespace vocapture {

namespace {

std::size_t paddedStride(int width) {
    return (3 * static_cast<std::size_t>(width) + 3) & ~std::size_t{3};
}

}  // namespace

VoBitmapImage::VoBitmapImage(QSizeF size)
    : buffer_(paddedStride(static_cast<int>(size.width())) *
              static_cast<std::size_t>(size.height())),
      size_(size),
      stride_(3 * static_cast<int>(size.width())) {}

void VoBitmapImage::setStride(std::uint32_t stride) {
    const int w = static_cast<int>(size_.width());
    if (stride >= 3 * static_cast<std::uint32_t>(w) && stride <= paddedStride(w))
        stride_ = static_cast<int>(stride);
}

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
    bmp_.emplace(buffer_.data(), w, h, stride_, QImage::Format_RGB888);
}

QImage VoBitmapImage::bmp() const {
    std::lock_guard lock(lock_);
    return bmp_ ? *bmp_ : QImage();
}

}  // namespace vocapture
