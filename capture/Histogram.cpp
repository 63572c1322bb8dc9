#include "Histogram.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace vocapture {

Histogram computeHistogram(const std::uint8_t *rgb, int width, int height, int stride, int step,
                           bool grey) {
    Histogram h;
    h.grey = grey;
    if (rgb == nullptr || width <= 0 || height <= 0 || step <= 0) return h;
    for (int y = 0; y < height; y += step) {
        const std::uint8_t *row = rgb + std::ptrdiff_t(y) * stride;
        for (int x = 0; x < width; x += step) {
            const std::uint8_t *p = row + 3 * x;
            ++h.counts[0][p[0]];
            ++h.counts[1][p[1]];
            ++h.counts[2][p[2]];
            ++h.samples;
        }
    }
    return h;
}

std::array<double, 256> histogramHeights(const Histogram &histogram, int channel, bool logScale) {
    std::array<double, 256> out{};
    std::uint32_t tallest = 0;
    for (const auto &c : histogram.counts)
        tallest = std::max(tallest, *std::max_element(c.begin(), c.end()));
    if (tallest == 0 || channel < 0 || channel > 2) return out;
    const auto &counts = histogram.counts[channel];
    for (int i = 0; i < 256; ++i)
        out[i] = logScale ? std::log1p(double(counts[i])) / std::log1p(double(tallest))
                          : double(counts[i]) / tallest;
    return out;
}

HistogramView::HistogramView(QWidget *parent) : QWidget(parent) {
    setMinimumSize(128, 60);
}

void HistogramView::setHistogram(const Histogram &histogram) {
    histogram_ = histogram;
    update();
}

void HistogramView::setLogScale(bool on) {
    log_ = on;
    update();
}

void HistogramView::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (histogram_.samples == 0) return;
    painter.setRenderHint(QPainter::Antialiasing);
    // Added light: where the three curves overlap the area turns white.
    painter.setCompositionMode(QPainter::CompositionMode_Plus);
    const QColor colours[3] = {QColor(200, 40, 40), QColor(40, 200, 40), QColor(60, 60, 230)};
    const int channels = histogram_.grey ? 1 : 3;
    const double w = width(), h = height();
    for (int c = 0; c < channels; ++c) {
        const std::array<double, 256> bars = histogramHeights(histogram_, c, log_);
        QPainterPath path(QPointF(0, h));
        for (int i = 0; i < 256; ++i) path.lineTo((i + 0.5) * w / 256, h - bars[i] * (h - 1));
        path.lineTo(w, h);
        path.closeSubpath();
        painter.fillPath(path, histogram_.grey ? QColor(170, 170, 170) : colours[c]);
    }
}

}  // namespace vocapture
