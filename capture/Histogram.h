// A live histogram of the converted picture, one curve a colour (one for a
// grey picture), linear or logarithmic, for judging exposure by eye.
#pragma once

#include <QWidget>

#include <array>
#include <cstdint>

namespace vocapture {

struct Histogram {
    // Counts of red, green and blue levels; a grey picture fills all three alike.
    std::array<std::array<std::uint32_t, 256>, 3> counts{};
    bool grey = false;
    std::uint64_t samples = 0;
};

// The levels of every `step`-th pixel of every `step`-th row of a picture
// of 3 bytes a pixel (red, green, blue) whose rows start `stride` bytes apart.
Histogram computeHistogram(const std::uint8_t *rgb, int width, int height, int stride, int step,
                           bool grey);

// Heights of one colour's bars as fractions of the tallest bar of any colour:
// the counts themselves, or their logarithms, which lift the thin tails.
std::array<double, 256> histogramHeights(const Histogram &histogram, int channel, bool logScale);

class HistogramView : public QWidget {
    Q_OBJECT
  public:
    explicit HistogramView(QWidget *parent = nullptr);
    void setHistogram(const Histogram &histogram);
    const Histogram &histogram() const { return histogram_; }
    void setLogScale(bool on);
    bool logScale() const { return log_; }
    QSize sizeHint() const override { return {256, 90}; }

  protected:
    void paintEvent(QPaintEvent *event) override;

  private:
    Histogram histogram_;
    bool log_ = false;
};

}  // namespace vocapture
