// White balance from a region of one raw frame: an incremental step over the
// analogue and digital gains, a one-shot recomputation of the analogue gains,
// and a purely digital correction in the colour engine.
#include <algorithm>

#include "auto/frame.h"
#include "base/vo_log.h"
#include "transport/vo_usb.h"
#include "vo_cam/auto.h"

using namespace vocam::autoalg;

namespace {

constexpr std::uint32_t kGainRed = VOCAM_PROP_GAIN_RED;
constexpr std::uint32_t kGainGreen1 = VOCAM_PROP_GAIN_GREEN1;
constexpr std::uint32_t kGainGreen2 = VOCAM_PROP_GAIN_GREEN2;
constexpr std::uint32_t kGainBlue = VOCAM_PROP_GAIN_BLUE;
constexpr std::uint32_t kDigitalRed = VOCAM_PROP_DIGITAL_GAIN_RED;
constexpr std::uint32_t kDigitalGreen = VOCAM_PROP_DIGITAL_GAIN_GREEN;
constexpr std::uint32_t kDigitalBlue = VOCAM_PROP_DIGITAL_GAIN_BLUE;

// Mean pixel levels outside (kTooDark, kTooBright) carry too little colour
// to balance: too dark to measure, or clipped, so that the brightest channel
// no longer shows how bright it is.
constexpr float kTooDark = 16.0f;
constexpr float kTooBright = 240.0f;
constexpr float kRatioFloor = 0.01f;
constexpr float kAverageCap = 1073741824.0f;
// A factor this close to 1 is not worth a gain change.
constexpr float kChangeThreshold = 1.03f;

// The region's four averages in 2x2-cell order and its pixel count.
struct Averages {
    float a[4] = {};
    int samples = 0;
    std::uint32_t layout = 0;
};

// Describes and checks the region and forms the averages: each cell sum over
// the pixels it covers, a quarter of the region, so that every average is a
// pixel level.
int measure(vo::UsbCamera *handle, const std::uint8_t *frame, int x, int y, int width, int height,
            Averages &out) {
    if (handle == nullptr || frame == nullptr) return VOCAM_EINVAL;
    const FramePin pin(handle->stream, frame);
    _FrameDesc fd;
    if (const int r = vo_describe_frame(handle, pin, &fd, x, y, width, height, 0); r != 0) return r;
    _VOCAM_IMAGE_FORMAT format{};
    if (const int r = cam_image_format(handle, &format); r != 0) return r;
    const auto odd = [](int v) { return (v & 1) != 0; };
    if (std::int64_t{x} + width > static_cast<std::int64_t>(fd.frame_width) ||
        std::int64_t{y} + height > static_cast<std::int64_t>(fd.frame_height) || odd(x) || odd(y) ||
        odd(width) || odd(height) || width == 0 || height == 0)
        return VOCAM_EINVAL;
    RegionWalk walk;
    if (!walkRegion(fd, fd.roi_width, fd.roi_height, 0, walk)) return VOCAM_EINVAL;
    std::uint32_t sums[4];
    computeSums(fd, walk, frame, sums);
    const float cellPixels = static_cast<float>(width) * static_cast<float>(height) / 4.0f;
    for (int i = 0; i < 4; ++i) out.a[i] = static_cast<float>(sums[i]) / cellPixels;
    out.samples = width * height;
    out.layout = format.VocamReserved[0];
    return 0;
}

// Reorders cell-order averages into red, green on red rows, green on blue
// rows, blue.
void toColourOrder(float a[4], std::uint32_t layout) {
    if (layout & VOCAM_LAYOUT_BLUE_ROW) {
        std::swap(a[0], a[3]);
        std::swap(a[1], a[2]);
    }
    if (layout & VOCAM_LAYOUT_GREEN_FIRST) {
        std::swap(a[0], a[1]);
        std::swap(a[3], a[2]);
    }
}

float mean(const float a[4]) {
    return (a[0] + a[1] + a[2] + a[3]) / 4.0f;
}

bool outOfRange(float m) {
    return m <= kTooDark || m >= kTooBright;
}

// Divides red and blue by their target ratios; a ratio below the floor (or
// not a number) counts as the floor.
void applyRatios(float a[4], float red_ratio, float blue_ratio) {
    if (!(red_ratio >= kRatioFloor)) red_ratio = kRatioFloor;
    if (!(blue_ratio >= kRatioFloor)) blue_ratio = kRatioFloor;
    a[0] = std::min(a[0] * (1.0f / red_ratio), kAverageCap);
    a[3] = std::min(a[3] * (1.0f / blue_ratio), kAverageCap);
}

// No channel counts as darker than 1/128 of the mean, and none as 0.
void applyFloors(float a[4], float m) {
    for (int i = 0; i < 4; ++i) {
        if (m / 128.0f > a[i]) a[i] = m / 128.0f;
        if (a[i] == 0.0f) a[i] = 1.0f;
    }
}

// The balance measurement: the colour of the region, after the target ratios,
// as red, green and blue levels. 0, -22 for a bad region, -35 for one too dark
// or too bright.
int adjustment(vo::UsbCamera *handle, const std::uint8_t *frame, float target_red_ratio,
               float target_blue_ratio, int x, int y, int width, int height, float *red,
               float *green, float *blue) {
    Averages av;
    if (const int r = measure(handle, frame, x, y, width, height, av); r != 0) return r;
    float *a = av.a;
    toColourOrder(a, av.layout);
    if (outOfRange(mean(a))) return VOCAM_EEXPOSURE;
    applyRatios(a, target_red_ratio, target_blue_ratio);
    applyFloors(a, mean(a));
    *red = a[0];
    // The two greens as they are: a neutral region measures neutral.
    *green = (a[1] + a[2]) / 2.0f;
    *blue = a[3];
    return 0;
}

}  // namespace

namespace vocam::autoalg {

int whitebalance_step(Camera camera, const std::uint8_t *frame, int x, int y, int width, int height,
                      float target_red_ratio, float target_blue_ratio) {
    static const char kName[] = "vocam_whitebalance_step_ex";
    float red = 0, green = 0, blue = 0;
    if (const int r = adjustment(&camera.transport(), frame, target_red_ratio, target_blue_ratio, x,
                                 y, width, height, &red, &green, &blue);
        r != 0)
        return r;
    // Every write passes on the flags of the most recent read.
    std::uint32_t flags = 0;
    float dr = 0, dg = 0, db = 0;
    if (!camera.unitProperty(kDigitalRed, &dr, &flags) ||
        !camera.unitProperty(kDigitalGreen, &dg, &flags) ||
        !camera.unitProperty(kDigitalBlue, &db, &flags))
        return 0;
    const float r = red * dr, g = green * dg, b = blue * db;
    const float top = std::max({r, g, b});
    const float cr = top / r, cg = top / g, cb = top / b;
    vo::logf(vo::LogKind::Info, "%s: %0.2f/%0.2f/%0.2f\n", kName, cr, cg, cb);
    if (cr < kChangeThreshold && cg < kChangeThreshold && cb < kChangeThreshold) {
        vo::logf(vo::LogKind::Info, "%s: no whitebalance change required\n", kName);
        return 0;
    }
    float lo = 0, hi = 0, gr = 0, gg1 = 0, gg2 = 0, gb = 0;
    if (!camera.unitPropertyRange(kGainRed, &lo, &hi, &gr, &flags) ||
        !camera.unitProperty(kGainGreen1, &gg1, &flags) ||
        !camera.unitProperty(kGainGreen2, &gg2, &flags) ||
        !camera.unitProperty(kGainBlue, &gb, &flags))
        return 0;
    // Each overall level (digital x analogue) goes 90 % of the way to its target.
    auto approach = [](float level, float factor) {
        const double l = level;
        return static_cast<float>(0.9 * (factor * l - l) + l);
    };
    const float lr = approach(dr * gr, cr), lg1 = approach(dg * gg1, cg),
                lg2 = approach(dg * gg2, cg), lb = approach(db * gb, cb);
    // The analogue gains take the levels relative to the weakest; the digital
    // gains keep what the camera could not.
    const float least = std::min({lr, lg1, lg2, lb});
    auto analogue = [&](float level) { return std::min(std::max(level / least, lo), hi); };
    const int writeFlags = static_cast<int>(flags);
    if (!camera.setUnitProperty(kGainRed, analogue(lr), writeFlags) ||
        !camera.setUnitProperty(kGainGreen1, analogue(lg1), writeFlags) ||
        !camera.setUnitProperty(kGainGreen2, analogue(lg2), writeFlags) ||
        !camera.setUnitProperty(kGainBlue, analogue(lb), writeFlags))
        return 0;
    // The camera may have quantised what it was given.
    if (!camera.unitProperty(kGainRed, &gr, &flags) ||
        !camera.unitProperty(kGainGreen1, &gg1, &flags) ||
        !camera.unitProperty(kGainGreen2, &gg2, &flags) ||
        !camera.unitProperty(kGainBlue, &gb, &flags))
        return 0;
    const int readFlags = static_cast<int>(flags);
    if (!camera.setUnitProperty(kDigitalRed, lr / gr, readFlags) ||
        !camera.setUnitProperty(kDigitalGreen, (lg1 / gg1 + lg2 / gg2) / 2.0f, readFlags))
        return 0;
    return camera.setUnitProperty(kDigitalBlue, lb / gb, readFlags);
}

int oneshot_whitebalance(Camera camera, const std::uint8_t *frame, int x, int y, int width,
                         int height, float target_red_ratio, float target_blue_ratio) {
    static const char kName[] = "vocam_oneshot_autowhitebalance_ex";
    if (frame == nullptr) return VOCAM_EINVAL;
    std::uint32_t flags = 0;
    float lo = 0, hi = 0, green1 = 1.0f, green2 = 1.0f, red = 0, blue = 0;
    // Cameras without separate green gains balance red and blue against green.
    const bool greens = camera.unitPropertyRange(kGainGreen1, &lo, &hi, &green1, &flags) != 0;
    bool green2Readable = false;
    if (!greens) {
        if (!camera.unitPropertyRange(kGainRed, &lo, &hi, &red, &flags)) return VOCAM_EIO;
        green1 = green2 = 1.0f;
    } else {
        if (!camera.unitProperty(kGainGreen1, &green1, &flags)) return VOCAM_EIO;
        green2Readable = camera.unitProperty(kGainGreen2, &green2, &flags) != 0;
        if (!green2Readable) green2 = green1;
    }
    if (!camera.unitProperty(kGainRed, &red, &flags) ||
        !camera.unitProperty(kGainBlue, &blue, &flags))
        return VOCAM_EIO;

    Averages av;
    if (const int r = measure(&camera.transport(), frame, x, y, width, height, av); r != 0)
        return r;
    float *a = av.a;
    auto trace = [&](float m) {
        vo::logf(vo::LogKind::Trace, "%s: averages: %f/%f/%f/%f, samples: %d\n", kName, a[0], a[1],
                 a[2], a[3], av.samples);
        vo::logf(vo::LogKind::Trace, "%s: average: %f\n", kName, m);
    };
    trace(mean(a));
    toColourOrder(a, av.layout);
    float m = mean(a);
    if (outOfRange(m)) return VOCAM_EEXPOSURE;
    applyRatios(a, target_red_ratio, target_blue_ratio);
    m = mean(a);
    trace(m);
    applyFloors(a, m);
    trace(m);

    red *= m / a[0];
    green1 *= m / a[1];
    green2 *= m / a[2];
    blue *= m / a[3];
    if (!greens) {
        const float g = (green1 + green2) / 2.0f;
        red /= g;
        blue /= g;
        green1 = green2 = 1.0f;
    }
    vo::logf(vo::LogKind::Trace, "%s: gains: %f/%f/%f/%f\n", kName, red, green1, green2, blue);
    // Keep the gains' proportions while fitting them into the range: first
    // the largest down to the maximum, then the smallest up to the minimum.
    float largest = std::max(red, blue), smallest = std::min(red, blue);
    if (greens) largest = std::max({largest, green1, green2});
    if (largest > hi) {
        const float k = hi / largest;
        red *= k, green1 *= k, green2 *= k, blue *= k;
    }
    smallest = std::min(red, blue);
    if (greens) smallest = std::min({smallest, green1, green2});
    if (smallest < lo) {
        const float k = lo / smallest;
        red *= k, green1 *= k, green2 *= k, blue *= k;
        smallest = lo;
    }
    auto traceRange = [&] {
        vo::logf(vo::LogKind::Trace, "%s: gains: %f and %f/%f/%f/%f\n", kName, smallest, red,
                 green1, green2, blue);
    };
    traceRange();
    red = std::min(red, hi), green1 = std::min(green1, hi), green2 = std::min(green2, hi),
    blue = std::min(blue, hi);
    traceRange();

    int result = 0;
    if (!camera.setUnitProperty(kGainRed, red, 0)) result = -5;
    if (greens) {
        if (!camera.setUnitProperty(kGainGreen1, green1, 0)) result = -5;
        if (green2Readable && !camera.setUnitProperty(kGainGreen2, green2, 0)) result = -5;
    }
    if (!camera.setUnitProperty(kGainBlue, blue, 0)) result = -5;
    // The colour engine's own balance returns to neutral.
    camera.setUnitProperty(VOCAM_PROP_WHITE_BALANCE_U, 0.0f, 0);
    camera.setUnitProperty(VOCAM_PROP_WHITE_BALANCE_V, 0.0f, 0);
    return result;
}

int digital_whitebalance(Camera camera, const std::uint8_t *frame, int x, int y, int width,
                         int height, float target_red_ratio, float target_blue_ratio) {
    float red = 0, green = 0, blue = 0;
    if (const int r = adjustment(&camera.transport(), frame, target_red_ratio, target_blue_ratio, x,
                                 y, width, height, &red, &green, &blue);
        r != 0)
        return r;
    return camera.adjustWhiteBalance(red, green, blue);
}

}  // namespace vocam::autoalg
