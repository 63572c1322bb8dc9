#include "ImageViewer.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

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
        for (QScrollBar *bar :
             {scrollView_->horizontalScrollBar(), scrollView_->verticalScrollBar()})
            connect(bar, &QScrollBar::valueChanged, this, &ImageViewer::noteShownRegion);
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
        lastPictureSize_ = image_->size().toSize();
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
    return {image_->bmp().copy(), image_->deep(), image_->raw()};
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

QSize ImageViewer::pictureSize() const {
    std::lock_guard lock(lock_);
    return image_ != nullptr ? image_->size().toSize() : lastPictureSize_;
}

QRect ImageViewer::targetRect(QSize s) const {
    const QSize b = scrollView_ ? scrollView_->maximumViewportSize() : size();
    if (s.isEmpty()) return {};
    if (fit_) {
        const QSize scaled = s.scaled(b, Qt::KeepAspectRatio);
        return QRect((b.width() - scaled.width()) / 2, (b.height() - scaled.height()) / 2,
                     std::max(1, scaled.width()), std::max(1, scaled.height()));
    }
    const int x = s.width() < b.width() ? (b.width() - s.width()) / 2 : 0;
    const int y = s.height() < b.height() ? (b.height() - s.height()) / 2 : 0;
    return QRect(x, y, s.width(), s.height());
}

QRect ImageViewer::updateFrameSize() {
    const QSize s = pictureSize();
    const QSize b = scrollView_ ? scrollView_->maximumViewportSize() : size();
    // Fitted, the view is the visible area and never scrolls; unscaled, it
    // grows to the picture wherever the picture is larger.
    const QSize frame =
        fit_ ? b : QSize(std::max(s.width(), b.width()), std::max(s.height(), b.height()));
    if (scrollView_ && size() != frame) resize(frame);
    noteShownRegion();
    return targetRect(s);
}

void ImageViewer::setFit(bool fit) {
    if (fit == fit_) return;
    fit_ = fit;
    if (scrollView_) {
        const Qt::ScrollBarPolicy policy = fit ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded;
        scrollView_->setHorizontalScrollBarPolicy(policy);
        scrollView_->setVerticalScrollBarPolicy(policy);
    }
    updateFrameSize();
    update();
}

QRect ImageViewer::shownRegion() const {
    const QSize s = pictureSize();
    const QRect target = targetRect(s);
    if (target.isEmpty()) return {};
    const QRect visible = scrollView_ ? QRect(-pos(), scrollView_->viewport()->size()) : rect();
    const QRect seen = visible.intersected(target);
    if (seen.isEmpty()) return {};
    const QPoint a = pictureAt(seen.topLeft());
    const QPoint b = pictureAt(seen.bottomRight() + QPoint(1, 1));
    return QRect(a, b - QPoint(1, 1)).intersected(QRect(QPoint(0, 0), s));
}

QPoint ImageViewer::pictureAt(QPoint viewPoint) const {
    const QSize s = pictureSize();
    const QRect target = targetRect(s);
    if (target.isEmpty()) return {};
    const double kx = double(s.width()) / target.width(), ky = double(s.height()) / target.height();
    const int x = static_cast<int>((viewPoint.x() - target.x()) * kx);
    const int y = static_cast<int>((viewPoint.y() - target.y()) * ky);
    return {std::clamp(x, 0, s.width()), std::clamp(y, 0, s.height())};
}

void ImageViewer::setMarkedRegion(QRect region) {
    marked_ = region;
    update();
}

void ImageViewer::noteShownRegion() {
    const QRect shown = shownRegion();
    if (shown == lastShown_) return;
    lastShown_ = shown;
    emit shownRegionChanged();
}

void ImageViewer::mousePressEvent(QMouseEvent *event) {
    if (!selectable_ || event->button() != Qt::LeftButton || pictureSize().isEmpty()) {
        QWidget::mousePressEvent(event);
        return;
    }
    dragStart_ = event->position().toPoint();
    if (band_ == nullptr) band_ = new QRubberBand(QRubberBand::Rectangle, this);
    band_->setGeometry(QRect(dragStart_, QSize()));
    band_->show();
}

void ImageViewer::mouseMoveEvent(QMouseEvent *event) {
    if (band_ != nullptr && band_->isVisible())
        band_->setGeometry(QRect(dragStart_, event->position().toPoint()).normalized());
}

void ImageViewer::mouseReleaseEvent(QMouseEvent *event) {
    if (band_ == nullptr || !band_->isVisible() || event->button() != Qt::LeftButton) return;
    band_->hide();
    const QRect dragged = QRect(dragStart_, event->position().toPoint()).normalized();
    // A click, or a wobble of a few pixels, asks for no region at all.
    if (dragged.width() < 4 || dragged.height() < 4) {
        emit regionSelected({});
        return;
    }
    const QPoint a = pictureAt(dragged.topLeft()), b = pictureAt(dragged.bottomRight());
    emit regionSelected(QRect(a, b).normalized());
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
    const QRect target = targetRect(bmp.size());
    const QRegion around = QRegion(rect()).subtracted(target);
    for (const QRect &r : around) painter.fillRect(r, palette().window());
    if (target.size() == bmp.size())
        painter.drawImage(target.topLeft(), bmp);
    else
        painter.drawImage(target, bmp);
    if (!marked_.isEmpty()) {
        const double kx = double(target.width()) / bmp.width(),
                     ky = double(target.height()) / bmp.height();
        const QRectF box(target.x() + marked_.x() * kx, target.y() + marked_.y() * ky,
                         marked_.width() * kx, marked_.height() * ky);
        painter.setPen(QPen(Qt::black, 1));
        painter.drawRect(box);
        painter.setPen(QPen(Qt::yellow, 1, Qt::DashLine));
        painter.drawRect(box);
    }
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
