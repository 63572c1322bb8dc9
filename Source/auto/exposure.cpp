// One-shot exposure, gain and iris: one property change that brings the mean
// level of a region to a target.
#include <cmath>

#include "auto/frame.h"
#include "transport/vo_usb.h"
#include "vo_cam/auto.h"

using namespace vocam::autoalg;

namespace {

constexpr std::uint32_t kIris = 21;
// A black region says nothing about how far to go; this much more light is a
// safe guess.
constexpr double kBlackRatio = 1.2;

// Truncation toward zero, then raised to lo and lowered to hi. Values beyond
// the range are placed before converting, which gives the same integer and
// keeps the conversion defined.
std::uint32_t clampedTruncation(double x, std::uint32_t lo, std::uint32_t hi) {
    std::int64_t v = 0;
    if (std::isnan(x) || x < lo)
        v = lo;
    else if (x >= static_cast<double>(hi) + 1.0)
        v = hi;
    else
        v = static_cast<std::int64_t>(x);
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    return static_cast<std::uint32_t>(v);
}

// The mean level of the region, its sums wrapping at 32 bits; the frame is
// kept while it is read.
int regionMean(vo::UsbCamera *handle, const std::uint8_t *frame, int x, int y, int width,
               int height, double &mean) {
    const FramePin pin(handle->stream, frame);
    _FrameDesc fd;
    if (const int r = vo_describe_frame(handle, pin, &fd, x, y, width, height, 0); r != 0) return r;
    RegionWalk walk;
    if (!walkRegion(fd, fd.roi_width, fd.roi_height, 0, walk)) return VOCAM_EINVAL;
    std::uint32_t sums[4];
    computeSums(fd, walk, frame, sums);
    const std::uint32_t total = sums[0] + sums[1] + sums[2] + sums[3];
    mean = static_cast<double>(total) / static_cast<double>(fd.roi_width) /
           static_cast<double>(fd.roi_height);
    return 0;
}

}  // namespace

int vocam::autoalg::oneshot(Control control, Camera camera, std::uint32_t target,
                            const std::uint8_t *frame, int x, int y, int width, int height) {
    if (frame == nullptr) return VOCAM_EINVAL;
    double mean = 0;
    if (const int r = regionMean(&camera.transport(), frame, x, y, width, height, mean); r != 0)
        return r;
    std::uint32_t id = kIris;
    if (control == Control::Exposure) id = VOCAM_PROP_EXPOSURE;
    if (control == Control::Gain) id = VOCAM_PROP_GAIN;
    int words[3] = {};
    std::uint32_t flags = 0;
    if (camera.propertyRange(id, &words[0], &words[1], &words[2], &flags) < 0) return VOCAM_EIO;
    // The camera's words are unsigned: a cooled camera's hour of exposure in
    // microseconds passes the largest int.
    const std::uint32_t lo = static_cast<std::uint32_t>(words[0]),
                        hi = static_cast<std::uint32_t>(words[1]),
                        value = static_cast<std::uint32_t>(words[2]);
    const double ratio = mean == 0.0 ? kBlackRatio : static_cast<double>(target) / mean;
    double start = value, factor = ratio;
    switch (control) {
        case Control::Exposure:
            // From a near-zero exposure a ratio cannot climb.
            if (value < 2 && ratio > 1.0) start = 2;
            break;
        case Control::Gain:
            if (value == 0) start = 1;
            break;
        case Control::Iris:
            // The light through an aperture goes with its area.
            factor = std::sqrt(1.0 / ratio);
            break;
    }
    const std::uint32_t next = clampedTruncation(0.5 + start * factor, lo, hi);
    return camera.setProperty(id, static_cast<int>(next), 0) < 0 ? -5 : 0;
}
