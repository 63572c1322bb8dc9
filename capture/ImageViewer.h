// Shows a VoBitmapImage unscaled inside a scroll area: centred when it is
// smaller than the visible area, from the origin with scrollers when larger.
#pragma once

#include <QPointer>
#include <QRect>
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

  protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    mutable std::mutex lock_;
    VoBitmapImage *image_ = nullptr;
    std::int64_t arrivalNs_ = 0;
    std::uint64_t frame_ = 0, lastPaintedFrame_ = 0;
    QPointer<QScrollArea> scrollView_;
    QPointer<QWidget> viewport_;
    QString message_;
    std::atomic<std::uint64_t> painted_{0};
    std::atomic<std::int64_t> lastLatencyNs_{0}, maxLatencyNs_{0}, sumLatencyNs_{0};
};

std::int64_t steadyNowNs();

}  // namespace vocapture
