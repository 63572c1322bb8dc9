#include "camera.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include <immintrin.h>

namespace vocam::gst {

namespace {

std::uint32_t property(_vocam *camera, std::uint32_t id, std::uint32_t fallback) {
    int value = 0;
    std::uint32_t flags = 0;
    if (vocam_property_get(camera, id, &value, &flags) < 0 || value <= 0) return fallback;
    return static_cast<std::uint32_t>(value);
}

// Delivered widths (or heights) at one subsampling: multiples of `step`
// from `low` to `high`.
struct Span {
    std::uint32_t low = 0, high = 0, step = 1;
    bool empty() const { return high < low; }
};

// A delivered size d needs a window of d x s sensor pixels on the camera's
// steps, and the colour engine converts even sizes of 4 and more only.
Span spanOf(std::uint32_t sensor, std::uint32_t unit, std::uint32_t s) {
    const std::uint32_t own = unit / std::gcd(unit, s);
    const std::uint32_t step = std::lcm(own, 2u);
    Span span;
    span.step = step;
    span.low = (4 + step - 1) / step * step;
    span.high = sensor / s / step * step;
    return span;
}

GValue range(const Span &span) {
    GValue v = G_VALUE_INIT;
    g_value_init(&v, GST_TYPE_INT_RANGE);
    if (span.low == span.high) {
        // A range of one value is refused: give the value itself.
        g_value_unset(&v);
        g_value_init(&v, G_TYPE_INT);
        g_value_set_int(&v, static_cast<int>(span.low));
    } else {
        gst_value_set_int_range_step(&v, static_cast<int>(span.low), static_cast<int>(span.high),
                                     static_cast<int>(span.step));
    }
    return v;
}

GstStructure *structureFor(const char *media, const char *format, const Span &w, const Span &h,
                           int maxFps) {
    GstStructure *s = gst_structure_new(media, "format", G_TYPE_STRING, format, nullptr);
    GValue width = range(w), height = range(h);
    gst_structure_take_value(s, "width", &width);
    gst_structure_take_value(s, "height", &height);
    gst_structure_set(s, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, maxFps, 1,
                      "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    return s;
}

const char *const kConvertedNames[] = {"RGB", "BGR", "RGBx", "BGRx"};

}  // namespace

bool Sensor::read(_vocam *camera) {
    width = property(camera, VOCAM_PROP_MAX_WIDTH, 0);
    height = property(camera, VOCAM_PROP_MAX_HEIGHT, 0);
    unitWidth = property(camera, VOCAM_PROP_UNIT_WIDTH, 1);
    unitHeight = property(camera, VOCAM_PROP_UNIT_HEIGHT, 1);
    maxSubsample =
        vocam_supports_subsampling(camera) == 1
            ? std::clamp<std::uint32_t>(property(camera, VOCAM_PROP_MAX_SUBSAMPLING, 1), 1, 255)
            : 1;
    colour = vocam_is_color(camera) == 1;
    _VOCAM_IMAGE_FORMAT image{};
    image.Size = sizeof image;
    if (vocam_get_image_format(camera, &image) != 0) return false;
    layout = image.VocamReserved[0];
    pixelFormat = image.PixelFormat;
    rates.assign(static_cast<std::size_t>(std::max(0, vocam_count_available_data_rates(camera))),
                 0);
    rates.resize(static_cast<std::size_t>(std::max(
        0, vocam_enum_available_data_rates(camera, rates.data(), static_cast<int>(rates.size())))));
    return width >= 4 && height >= 4;
}

const char *Sensor::bayerName() const {
    switch (layout & (VOCAM_LAYOUT_BLUE_ROW | VOCAM_LAYOUT_GREEN_FIRST)) {
        case VOCAM_LAYOUT_BLUE_ROW:
            return "bggr";
        case VOCAM_LAYOUT_GREEN_FIRST:
            return "grbg";
        case VOCAM_LAYOUT_BLUE_ROW | VOCAM_LAYOUT_GREEN_FIRST:
            return "gbrg";
        default:
            return "rggb";
    }
}

GstCaps *Sensor::caps() const {
    GstCaps *out = gst_caps_new_empty();
    const std::uint32_t fastest = rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end());
    // The raw frames first: they cost the host nothing but a copy.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::uint32_t s = 1; s <= maxSubsample; ++s) {
            const Span w = spanOf(width, unitWidth, s), h = spanOf(height, unitHeight, s);
            if (w.empty() || h.empty()) continue;
            const int maxFps =
                std::max(1, static_cast<int>(std::ceil(framesPerSecond(fastest, w.low, h.low, 0))));
            if (pass == 0) {
                if (pixelFormat != 0) continue;  // 16-bit samples: converted only
                gst_caps_append_structure(
                    out, colour ? structureFor("video/x-bayer", bayerName(), w, h, maxFps)
                                : structureFor("video/x-raw", "GRAY8", w, h, maxFps));
            } else {
                GstStructure *st = structureFor("video/x-raw", "RGB", w, h, maxFps);
                GValue list = G_VALUE_INIT;
                gst_value_list_init(&list, 4);
                for (const char *name : kConvertedNames) {
                    GValue item = G_VALUE_INIT;
                    g_value_init(&item, G_TYPE_STRING);
                    g_value_set_string(&item, name);
                    gst_value_list_append_and_take_value(&list, &item);
                }
                gst_structure_take_value(st, "format", &list);
                gst_caps_append_structure(out, st);
            }
        }
    }
    return out;
}

std::string Sensor::sizesText() const {
    std::string out;
    for (std::uint32_t s = 1; s <= maxSubsample; ++s) {
        const Span w = spanOf(width, unitWidth, s), h = spanOf(height, unitHeight, s);
        if (w.empty() || h.empty()) continue;
        if (!out.empty()) out += "; ";
        out += "widths " + std::to_string(w.low) + " to " + std::to_string(w.high) +
               " in steps of " + std::to_string(w.step) + " and heights " + std::to_string(h.low) +
               " to " + std::to_string(h.high) + " in steps of " + std::to_string(h.step) +
               " (subsampling " + std::to_string(s) + ")";
    }
    return out.empty() ? "no size" : out;
}

std::optional<Window> chooseWindow(const Sensor &sensor, std::uint32_t width, std::uint32_t height,
                                   int offsetX, int offsetY, std::string &why,
                                   std::uint32_t subsample) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    // Even offsets keep the colour mosaic's phase.
    const std::uint32_t keep = sensor.colour ? ~1u : ~0u;
    const auto at = [&](int offset, std::uint32_t window, std::uint32_t limit) -> std::uint32_t {
        return (offset >= 0 ? static_cast<std::uint32_t>(offset) : (limit - window) / 2) & keep;
    };
    std::string placeWhy;
    if (width >= 4 && height >= 4 && width % 2 == 0 && height % 2 == 0) {
        for (std::uint32_t s = subsample != 0 ? subsample : sensor.maxSubsample;
             s >= 1 && (subsample == 0 || s == subsample); --s) {
            const std::uint64_t w = std::uint64_t{width} * s, h = std::uint64_t{height} * s;
            if (w > sensor.width || h > sensor.height || w % sensor.unitWidth != 0 ||
                h % sensor.unitHeight != 0)
                continue;
            Window found{at(offsetX, static_cast<std::uint32_t>(w), sensor.width),
                         at(offsetY, static_cast<std::uint32_t>(h), sensor.height),
                         static_cast<std::uint32_t>(w),
                         static_cast<std::uint32_t>(h),
                         s,
                         width,
                         height};
            if (found.x + w <= sensor.width && found.y + h <= sensor.height) return found;
            if (placeWhy.empty())
                placeWhy = "offsets " + std::to_string(offsetX) + "," + std::to_string(offsetY) +
                           " put the " + size + " window (" + std::to_string(w) + "x" +
                           std::to_string(h) + " sensor pixels, subsampling " + std::to_string(s) +
                           ") beyond the sensor's " + std::to_string(sensor.width) + "x" +
                           std::to_string(sensor.height);
        }
    }
    why = !placeWhy.empty()
              ? placeWhy
              : "the camera cannot deliver " + size + ": it delivers " + sensor.sizesText();
    return std::nullopt;
}

std::optional<Format> formatOf(const GstStructure *s, const Sensor &sensor) {
    const char *format = gst_structure_get_string(s, "format");
    if (format == nullptr) return std::nullopt;
    if (gst_structure_has_name(s, "video/x-bayer")) {
        if (sensor.colour && sensor.pixelFormat == 0 &&
            std::strcmp(format, sensor.bayerName()) == 0)
            return Format::Bayer;
        return std::nullopt;
    }
    if (!gst_structure_has_name(s, "video/x-raw")) return std::nullopt;
    if (std::strcmp(format, "GRAY8") == 0)
        return !sensor.colour && sensor.pixelFormat == 0 ? std::optional(Format::Gray8)
                                                         : std::nullopt;
    constexpr Format kConverted[] = {Format::Rgb, Format::Bgr, Format::Rgbx, Format::Bgrx};
    for (int i = 0; i < 4; ++i)
        if (std::strcmp(format, kConvertedNames[i]) == 0) return kConverted[i];
    return std::nullopt;
}

std::size_t strideOf(Format format, std::uint32_t width) {
    const std::size_t w = width;
    switch (format) {
        case Format::Bayer:
        case Format::Gray8:
            return (w + 3) & ~std::size_t{3};
        case Format::Rgb:
        case Format::Bgr:
            return (3 * w + 3) & ~std::size_t{3};
        case Format::Rgbx:
        case Format::Bgrx:
            break;
    }
    return 4 * w;
}

double framesPerSecond(std::uint32_t rate, std::uint32_t width, std::uint32_t height,
                       double exposureMs) {
    const double pixels = double(width) * height;
    if (rate == 0 || pixels == 0) return 0;
    const double readout = rate * 1000.0 / pixels;
    return exposureMs > 0 ? std::min(readout, 1000.0 / exposureMs) : readout;
}

void copyRows(std::uint8_t *dst, std::size_t stride, const std::uint8_t *src, std::uint32_t width,
              std::uint32_t height) {
    if (stride == width) {
        std::memcpy(dst, src, std::size_t{width} * height);
        return;
    }
    for (std::uint32_t r = 0; r < height; ++r) {
        std::memcpy(dst + r * stride, src + std::size_t{r} * width, width);
        std::memset(dst + r * stride + width, 0, stride - width);
    }
}

namespace {

// Pixels of one row from the library's red, green, blue into RGBx, BGRx or
// BGR; returns how many it did, the rest being left to the plain loop. Four
// pixels a step: 12 bytes in, 16 (or 12) out, one shuffle. A step reads 16
// bytes, so it stops while at least 16 remain in the row.
__attribute__((target("ssse3"))) std::uint32_t rowSsse3(std::uint8_t *out, const std::uint8_t *in,
                                                        std::uint32_t width, bool wide, bool swap) {
    std::uint32_t i = 0;
    if (wide) {
        // Index -1 gives the fourth byte 0.
        const __m128i order =
            swap ? _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
                 : _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
        for (; i + 6 <= width; i += 4) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 3 * i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * i), _mm_shuffle_epi8(v, order));
        }
    } else {
        // Red and blue swapped in 24-bit pixels: the 16-byte store writes 4
        // bytes too many, which the next step (or the plain loop) rewrites.
        const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15);
        for (; i + 6 <= width; i += 4) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 3 * i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 3 * i), _mm_shuffle_epi8(v, order));
        }
    }
    return i;
}

}  // namespace

void arrangePicture(std::uint8_t *__restrict dst, std::size_t dstStride,
                    const std::uint8_t *__restrict src, std::size_t srcStride, Format format,
                    std::uint32_t width, std::uint32_t height) {
    const bool wide = format == Format::Rgbx || format == Format::Bgrx;
    const bool swap = format == Format::Bgr || format == Format::Bgrx;
    const std::size_t rowBytes = std::size_t{width} * (wide ? 4 : 3);
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    for (std::uint32_t r = 0; r < height; ++r) {
        const std::uint8_t *in = src + r * srcStride;
        std::uint8_t *out = dst + r * dstStride;
        std::uint32_t i = 0;
        if (format == Format::Rgb) {
            std::memcpy(out, in, rowBytes);
            i = width;
        } else if (ssse3) {
            i = rowSsse3(out, in, width, wide, swap);
        }
        for (; i < width; ++i) {
            const std::uint8_t red = in[3 * i], green = in[3 * i + 1], blue = in[3 * i + 2];
            std::uint8_t *p = out + (wide ? 4 : 3) * i;
            p[0] = swap ? blue : red;
            p[1] = green;
            p[2] = swap ? red : blue;
            if (wide) p[3] = 0;
        }
        std::memset(out + rowBytes, 0, dstStride - rowBytes);
    }
}

}  // namespace vocam::gst
