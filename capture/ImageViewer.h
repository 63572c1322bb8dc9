// Shows a VoBitmapImage inside a scroll area, unscaled (1:1) or scaled to
// fit: unscaled, it is centred when smaller than the visible area and
// starts at the origin with scrollers when larger. A rectangle dragged over
// the picture is reported in picture pixels, and one region may be marked.
#pragma once

#include <QPointer>
#include <QRect>
#include <QRubberBand>
#include <QScrollArea>
#include <QString>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "StillImage.h"
#include "VoBitmapImage.h"

namespace vocapture {

class ImageViewer : public QWidget {
    Q_OBJECT
  public:
    explicit ImageViewer(QWidget *parent = nullptr);
    ~ImageViewer() override;

    // The scroll area whose visible part sizes the view (from the window layout).
    void setScrollView(QScrollArea *scrollView);

    // Any thread: hold `image` (with its arrival time, steady-clock
    // nanoseconds, and frame number) in place of the one shown before.
    void setImage(VoBitmapImage *image, std::int64_t arrivalNs = 0, std::uint64_t frame = 0);
    void releaseImage();
    VoBitmapImage *image() const;
    // A copy of the picture shown (null when none), safe while the worker
    // replaces or drops it.
    QImage snapshot() const;
    // The same with the picture's 16-bit samples, when it has them.
    StillImage stillSnapshot() const;
    // Main thread: a line shown in place of a picture (the camera is gone).
    void setMessage(const QString &message);
    QString message() const { return message_; }

    // Main thread: the whole picture scaled into the visible area, keeping
    // its proportions, or shown pixel for pixel (the default).
    void setFit(bool fit);
    bool fit() const { return fit_; }
    // The part of the picture the visible area shows, in picture pixels.
    QRect shownRegion() const;
    // Whether a drag on the view selects a region (regionSelected).
    void setSelectable(bool selectable) { selectable_ = selectable; }
    // A region outlined over the picture, in picture pixels (empty: none).
    void setMarkedRegion(QRect region);
    QRect markedRegion() const { return marked_; }
    // The picture pixel under a point of the view (outside: clamped to the picture).
    QPoint pictureAt(QPoint viewPoint) const;

    // Main thread: resize to the picture and ask for a repaint.
    Q_INVOKABLE void updateImageWindow();
    QRect updateFrameSize();

    // Frames drawn (each counted once) and the time from the newest drawn
    // frame's arrival to its paint.
    std::uint64_t framesPainted() const { return painted_; }
    double lastLatencyMs() const { return lastLatencyNs_ / 1e6; }
    double maxLatencyMs() const { return maxLatencyNs_ / 1e6; }
    double meanLatencyMs() const { return painted_ ? double(sumLatencyNs_) / painted_ / 1e6 : 0.0; }
    void resetLatency();

  signals:
    // A drag ended: the rectangle it covered in picture pixels, or an empty
    // one for a click without a drag.
    void regionSelected(QRect picture);
    // Scrolling, resizing or a new zoom showed another part of the picture.
    void shownRegionChanged();

  protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

  private:
    // Where a picture of `picture` pixels is drawn in the view.
    QRect targetRect(QSize picture) const;
    QSize pictureSize() const;
    void noteShownRegion();

    mutable std::mutex lock_;
    VoBitmapImage *image_ = nullptr;
    std::int64_t arrivalNs_ = 0;
    std::uint64_t frame_ = 0, lastPaintedFrame_ = 0;
    QPointer<QScrollArea> scrollView_;
    QPointer<QWidget> viewport_;
    QString message_;
    QSize lastPictureSize_;
    bool fit_ = false;
    bool selectable_ = false;
    QRect marked_;
    QRect lastShown_;
    QPoint dragStart_;
    QRubberBand *band_ = nullptr;  // a child of the view
    std::atomic<std::uint64_t> painted_{0};
    std::atomic<std::int64_t> lastLatencyNs_{0}, maxLatencyNs_{0}, sumLatencyNs_{0};
};

std::int64_t steadyNowNs();

}  // namespace vocapture
