#include "ImageViewer.h"

#include <QEvent>
#include <QPainter>
#include <QScrollBar>

namespace vocapture {

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ImageViewer::ImageViewer(QWidget *parent) : QWidget(parent) {
    // Every pixel is painted, by the picture or the background, so Qt need not clear first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

ImageViewer::~ImageViewer() {
    releaseImage();
}

void ImageViewer::setScrollView(QScrollArea *scrollView) {
    if (viewport_) viewport_->removeEventFilter(this);
    scrollView_ = scrollView;
    viewport_ = scrollView != nullptr ? scrollView->viewport() : nullptr;
    if (scrollView_) {
        scrollView_->setAlignment(Qt::AlignCenter);
        viewport_->installEventFilter(this);
    }
}

void ImageViewer::setImage(VoBitmapImage *image, std::int64_t arrivalNs, std::uint64_t frame) {
    std::lock_guard lock(lock_);
    if (image_ != nullptr) image_->releaseImage();
    image_ = image;
    arrivalNs_ = arrivalNs;
    frame_ = frame;
    if (image_ != nullptr) {
        image_->lockImage();
        image_->updateBitmap();
    }
}

void ImageViewer::releaseImage() {
    std::lock_guard lock(lock_);
    if (image_ != nullptr) {
        image_->releaseImage();
        image_ = nullptr;
    }
}

VoBitmapImage *ImageViewer::image() const {
    std::lock_guard lock(lock_);
    return image_;
}

QImage ImageViewer::snapshot() const {
    std::lock_guard lock(lock_);
    return image_ != nullptr ? image_->bmp().copy() : QImage();
}

StillImage ImageViewer::stillSnapshot() const {
    std::lock_guard lock(lock_);
    if (image_ == nullptr) return {};
    return {image_->bmp().copy(), image_->deep()};
}

void ImageViewer::setMessage(const QString &message) {
    message_ = message;
    update();
}

void ImageViewer::updateImageWindow() {
    {
        std::lock_guard lock(lock_);
        if (image_ == nullptr) return;
    }
    updateFrameSize();
    // Painted now rather than at the next coalesced update, so that a frame
    // is not replaced by the following one before it reaches the screen.
    repaint();
}

QRect ImageViewer::updateFrameSize() {
    QSizeF s;
    {
        std::lock_guard lock(lock_);
        if (image_ != nullptr) s = image_->size();
    }
    const QSize b = scrollView_ ? scrollView_->maximumViewportSize() : size();
    const int sw = static_cast<int>(s.width()), sh = static_cast<int>(s.height());
    int fw, fh, x, y;
    if (sw >= b.width())
        fw = sw, x = 0;
    else
        fw = b.width(), x = (b.width() - sw) / 2;
    if (sh >= b.height())
        fh = sh, y = 0;
    else
        fh = b.height(), y = (b.height() - sh) / 2;
    if (scrollView_ && size() != QSize(fw, fh)) resize(fw, fh);
    return QRect(x, y, sw, sh);
}

bool ImageViewer::eventFilter(QObject *watched, QEvent *event) {
    // The viewport also reports while its scroll area is being destroyed, so
    // only its resizes reach the scroll area.
    if (event->type() == QEvent::Resize && watched == viewport_.data() && scrollView_)
        updateFrameSize();
    return QWidget::eventFilter(watched, event);
}

void ImageViewer::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    std::lock_guard lock(lock_);
    const QImage bmp = image_ != nullptr ? image_->bmp() : QImage();
    if (bmp.isNull()) {
        painter.fillRect(rect(), palette().window());
        if (!message_.isEmpty() && scrollView_) {
            const QRect visible(-pos(), scrollView_->viewport()->size());
            painter.drawText(visible, Qt::AlignCenter, message_);
        }
        return;
    }
    const QSize b = scrollView_ ? scrollView_->maximumViewportSize() : size();
    const int x = bmp.width() < b.width() ? (b.width() - bmp.width()) / 2 : 0;
    const int y = bmp.height() < b.height() ? (b.height() - bmp.height()) / 2 : 0;
    const QRect target(x, y, bmp.width(), bmp.height());
    const QRegion around = QRegion(rect()).subtracted(target);
    for (const QRect &r : around) painter.fillRect(r, palette().window());
    painter.drawImage(target.topLeft(), bmp);
    if (frame_ != 0 && frame_ != lastPaintedFrame_) {
        lastPaintedFrame_ = frame_;
        ++painted_;
        const std::int64_t latency = steadyNowNs() - arrivalNs_;
        lastLatencyNs_ = latency;
        sumLatencyNs_ += latency;
        if (latency > maxLatencyNs_) maxLatencyNs_ = latency;
    }
}

void ImageViewer::resetLatency() {
    painted_ = 0;
    lastLatencyNs_ = maxLatencyNs_ = sumLatencyNs_ = 0;
}

}  // namespace vocapture
