// One frame-sized 24-bit pixel buffer with an owner count: the image worker
// fills one buffer while the live view and the still view each hold another.
#pragma once

#include <QImage>
#include <QSizeF>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vocapture {

struct RawFrame;

class VoBitmapImage {
  public:
    explicit VoBitmapImage(QSizeF size);
    VoBitmapImage(const VoBitmapImage &) = delete;
    VoBitmapImage &operator=(const VoBitmapImage &) = delete;

    void lockImage();
    // Drops the bitmap wrapper when the last holder lets go; the pixels stay.
    void releaseImage();
    bool available() const;
    int owners() const;
    // Wraps the pixels (no copy) in a fresh bitmap for drawing.
    void updateBitmap();

    // Room for rows padded to 4 bytes, the widest a conversion writes.
    std::uint8_t *buffer() { return buffer_.data(); }
    const std::uint8_t *buffer() const { return buffer_.data(); }
    // Bytes from one row to the next of the picture in the buffer: 3 x width
    // unless the last conversion padded its rows. Set by whoever alone holds
    // the buffer, like the pixels; 0 or a value out of range is ignored.
    void setStride(std::uint32_t stride);
    int stride() const { return stride_; }
    QSizeF size() const { return size_; }
    // The picture at 16 bits a sample (width x height x 3), kept only for a
    // still from a camera that delivers 16-bit samples; empty otherwise.
    // Written by whoever alone holds the buffer, like the pixels.
    std::vector<std::uint16_t> &deep() { return deep_; }
    const std::vector<std::uint16_t> &deep() const { return deep_; }
    // The raw frame a still was converted from, kept for saving it as FITS;
    // null for other frames. Set by whoever alone holds the buffer.
    std::shared_ptr<const RawFrame> &raw() { return raw_; }
    const std::shared_ptr<const RawFrame> &raw() const { return raw_; }
    // The wrapper, or a null image when there is none.
    QImage bmp() const;

  private:
    mutable std::mutex lock_;
    std::optional<QImage> bmp_;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint16_t> deep_;
    std::shared_ptr<const RawFrame> raw_;
    QSizeF size_;
    int stride_;
    int owners_ = 0;
};

}  // namespace vocapture
