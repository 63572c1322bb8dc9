// vocamsrc: a live push source of one camera. Frames are copied (or
// converted by the library's colour engine) out of the library's ring of
// three buffers into buffers of the element's own pool, so no ring buffer
// ever travels downstream, and time-stamped from their arrival on the
// pipeline clock. Controls are properties that apply at once in any state.
#include "vocamsrc.h"

#include <gst/base/gstpushsrc.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "camera.h"
#include "controls.h"
#include "deviceprovider.h"
#include "log.h"

GST_DEBUG_CATEGORY_STATIC(vocam_src_debug);
#define GST_CAT_DEFAULT vocam_src_debug

namespace {

using vocam::gst::Format;
using vocam::gst::Sensor;
using vocam::gst::Window;
namespace controls = vocam::controls;

// The controls the element shows, by their names in the shared table.
constexpr const char *kControlNames[] = {
    "exposure",      "gain",
    "gain-red",      "gain-blue",
    "gain-green1",   "gain-green2",
    "auto-exposure", "auto-exposure-target",
    "data-rate",     "conversion-threads",
};
constexpr std::size_t kControls = std::size(kControlNames);

enum {
    PROP_0,
    PROP_SERIAL,
    PROP_RESOURCES,
    PROP_OFFSET_X,
    PROP_OFFSET_Y,
    PROP_DEMOSAIC,
    PROP_LIGHT,
    PROP_STATS,
    PROP_CONTROL_FIRST,
};

constexpr std::uint32_t kDefaultMethod = 2;  // edge-detecting
constexpr std::uint32_t kDefaultLight = 14;  // identity: no correction
// Waits for a frame in slices this long, so a flush or a state change never
// waits for the camera. A camera gone silent is the library's to tell: it
// ends the stream after the camera's frame period and 2 s more.
constexpr std::uint32_t kWaitSliceMs = 50;
// Set on a buffer's memory once it has been cleared: the fourth byte of a
// 32-bit picture is left as the buffer held it, and stale memory must not
// travel downstream.
constexpr auto kCleared = static_cast<GstMemoryFlags>(GST_MEMORY_FLAG_LAST);

std::uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

// Everything the element keeps; lives inside the GObject instance.
struct State {
    // Guards the settings, the camera handle and the negotiated layout
    // against property calls and queries from other threads. The streaming
    // thread reads the layout without it: only set_caps (on that thread) and
    // start/stop (when the thread is not running) change it.
    std::mutex lock;

    // Settings.
    guint serial = 0;
    std::string resources;
    int offsetX = -1, offsetY = -1;
    std::uint32_t demosaic = kDefaultMethod, light = kDefaultLight;
    std::array<std::optional<double>, kControls> wanted;

    // The camera, from start to stop.
    _vocam *camera = nullptr;
    guint openSerial = 0;
    Sensor sensor;

    // The stream, from set_caps to stop.
    bool streaming = false;
    Format format = Format::Bayer;
    Window window;
    _VOCAM_IMAGE_FORMAT image{};
    double fps = 0;  // nominal, 0 when unknown
    std::size_t stride = 0, bytes = 0;
    std::vector<std::uint8_t> scratch;  // the library's picture, when it needs arranging
    GstBufferPool *pool = nullptr;
    bool windowMoved = false;  // an offset changed while streaming
    std::uint64_t errorMark = 0;

    // Streaming thread only.
    std::uint64_t lastSequence = 0;
    std::uint64_t offsetBase = 0;  // frame numbers of the streams before a restart
    bool discont = false;
    bool capsRefused = false;  // set_caps refused the caps and said why

    // Last read from the camera; the property calls update them.
    std::atomic<double> exposureMs{0};
    std::atomic<std::uint32_t> rate{0};

    std::atomic<bool> flushing{false};
    std::atomic<std::uint64_t> delivered{0}, dropped{0}, failedReads{0};
};

}  // namespace

struct GstVocamSrc {
    GstPushSrc parent;
    State state;
};

struct GstVocamSrcClass {
    GstPushSrcClass parent_class;
};

G_DEFINE_TYPE(GstVocamSrc, gst_vocam_src, GST_TYPE_PUSH_SRC)

namespace {

GstVocamSrc *self(gpointer p) {
    return reinterpret_cast<GstVocamSrc *>(p);
}

const controls::Control &controlAt(std::size_t i) {
    return *controls::find(kControlNames[i]);
}

// ---- enumerations from the shared table ---------------------------------------

std::vector<GEnumValue> enumValues(std::span<const controls::Choice> choices) {
    std::vector<GEnumValue> values;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        bool usual = true;
        for (std::size_t j = 0; j < i; ++j) usual = usual && choices[j].value != choices[i].value;
        if (usual)
            values.push_back(
                {static_cast<gint>(choices[i].value), choices[i].what, choices[i].name});
    }
    values.push_back({0, nullptr, nullptr});
    return values;
}

// GLib keeps the value tables for the life of the types, which is the process.
GType demosaicType() {
    static const std::vector<GEnumValue> values = enumValues(controls::demosaicMethods());
    static const GType type = g_enum_register_static("GstVocamDemosaic", values.data());
    return type;
}

GType lightType() {
    static const std::vector<GEnumValue> values = enumValues(controls::lightSources());
    static const GType type = g_enum_register_static("GstVocamLight", values.data());
    return type;
}

// ---- controls on the camera ----------------------------------------------------

// A register property block that the camera does not have reads as zeros.
bool absent(int min, int max, std::uint32_t flags) {
    return min == 0 && max == 0 && (flags & VOCAM_PROP_FLAG_PRESENT) == 0;
}

void applyControl(GstVocamSrc *src, _vocam *camera, const controls::Control &c, double value) {
    switch (c.kind) {
        case controls::Kind::Property: {
            int min = 0, max = 0, current = 0;
            std::uint32_t flags = 0;
            if (vocam_property_get_range(camera, c.id, &min, &max, &current, &flags) < 0 ||
                absent(min, max, flags)) {
                GST_WARNING_OBJECT(src, "the camera has no %s: %g not applied", c.name, value);
                return;
            }
            const double lo = controls::registerNumber(c, min),
                         hi = controls::registerNumber(c, max);
            double raw = controls::rawValue(c, value);
            if (raw < lo || raw > hi) {
                GST_WARNING_OBJECT(src, "%s %g is outside the camera's %s .. %s: clamped", c.name,
                                   value, controls::formatValue(c, min).c_str(),
                                   controls::formatValue(c, max).c_str());
                raw = std::clamp(raw, lo, hi);
            }
            const int word =
                static_cast<int>(static_cast<std::uint32_t>(static_cast<std::int64_t>(raw)));
            if (const int r = vocam_property_set(camera, c.id, word, flags); r < 0)
                GST_WARNING_OBJECT(src, "the camera refused %s %g: %s", c.name, value,
                                   vocam_strerror(r));
            return;
        }
        case controls::Kind::AutoExposure: {
            int min = 0, max = 0, current = 0;
            std::uint32_t flags = 0;
            if (vocam_property_get_range(camera, VOCAM_PROP_EXPOSURE, &min, &max, &current,
                                         &flags) < 0 ||
                (flags & VOCAM_PROP_FLAG_AUTO_AVAILABLE) == 0) {
                if (value != 0) GST_WARNING_OBJECT(src, "the camera has no automatic exposure");
                return;
            }
            const std::uint32_t want =
                value != 0 ? flags | VOCAM_PROP_FLAG_AUTO : flags & ~VOCAM_PROP_FLAG_AUTO;
            if (const int r = vocam_property_set(camera, VOCAM_PROP_EXPOSURE, current, want); r < 0)
                GST_WARNING_OBJECT(src, "the camera refused automatic exposure: %s",
                                   vocam_strerror(r));
            return;
        }
        case controls::Kind::DataRate: {
            const auto &rates = src->state.sensor.rates;
            if (value <= 0 || rates.empty()) return;  // 0: the camera's own
            const auto nearest = *std::min_element(rates.begin(), rates.end(), [&](auto a, auto b) {
                return std::fabs(a - value) < std::fabs(b - value);
            });
            if (nearest != value)
                GST_WARNING_OBJECT(src, "the camera has no data rate %g: %u kpixel/s instead",
                                   value, nearest);
            if (const int r = vocam_set_data_rate(camera, nearest); r < 0)
                GST_WARNING_OBJECT(src, "the camera refused data rate %u: %s", nearest,
                                   vocam_strerror(r));
            return;
        }
        case controls::Kind::ConversionThreads:
            if (const int r =
                    vocam_set_conversion_threads(camera, static_cast<std::uint32_t>(value));
                r < 0)
                GST_WARNING_OBJECT(src, "conversion threads %g refused: %s", value,
                                   vocam_strerror(r));
            return;
    }
}

// The control's value as the camera has it now.
std::optional<double> readControl(_vocam *camera, const controls::Control &c) {
    int value = 0;
    std::uint32_t flags = 0;
    switch (c.kind) {
        case controls::Kind::Property:
            if (vocam_property_get(camera, c.id, &value, &flags) < 0) return std::nullopt;
            return controls::toReadable(c, value);
        case controls::Kind::AutoExposure:
            if (vocam_property_get(camera, VOCAM_PROP_EXPOSURE, &value, &flags) < 0)
                return std::nullopt;
            return (flags & VOCAM_PROP_FLAG_AUTO) != 0 ? 1.0 : 0.0;
        case controls::Kind::DataRate: {
            std::uint32_t rate = 0;
            if (vocam_get_data_rate(camera, &rate) < 0) return std::nullopt;
            return rate;
        }
        case controls::Kind::ConversionThreads:
            break;
    }
    return std::nullopt;
}

double exposureOf(_vocam *camera) {
    return readControl(camera, *controls::find("exposure")).value_or(0);
}

std::uint32_t rateOf(_vocam *camera) {
    std::uint32_t rate = 0;
    return vocam_get_data_rate(camera, &rate) < 0 ? 0 : rate;
}

// ---- properties ----------------------------------------------------------------

void setProperty(GObject *object, guint id, const GValue *value, GParamSpec *spec) {
    GstVocamSrc *src = self(object);
    State &s = src->state;
    std::lock_guard lock(s.lock);
    switch (id) {
        case PROP_SERIAL:
            s.serial = g_value_get_uint(value);
            return;
        case PROP_RESOURCES: {
            const char *text = g_value_get_string(value);
            s.resources = text != nullptr ? text : "";
            return;
        }
        case PROP_OFFSET_X:
        case PROP_OFFSET_Y:
            (id == PROP_OFFSET_X ? s.offsetX : s.offsetY) = g_value_get_int(value);
            // The new window needs the stream restarted: the streaming
            // thread does it between two frames.
            if (s.streaming) s.windowMoved = true;
            return;
        case PROP_DEMOSAIC:
            s.demosaic = static_cast<std::uint32_t>(g_value_get_enum(value));
            return;
        case PROP_LIGHT:
            s.light = static_cast<std::uint32_t>(g_value_get_enum(value));
            return;
        default:
            break;
    }
    if (id < PROP_CONTROL_FIRST || id >= PROP_CONTROL_FIRST + kControls) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
        return;
    }
    const std::size_t i = id - PROP_CONTROL_FIRST;
    const controls::Control &c = controlAt(i);
    double v = 0;
    if (G_VALUE_HOLDS_BOOLEAN(value))
        v = g_value_get_boolean(value) ? 1 : 0;
    else if (G_VALUE_HOLDS_UINT(value))
        v = g_value_get_uint(value);
    else
        v = g_value_get_double(value);
    s.wanted[i] = v;
    if (s.camera == nullptr) return;
    applyControl(src, s.camera, c, v);
    if (c.kind == controls::Kind::DataRate) s.rate = rateOf(s.camera);
    if (c.kind == controls::Kind::Property && c.id == VOCAM_PROP_EXPOSURE)
        s.exposureMs = exposureOf(s.camera);
}

void getProperty(GObject *object, guint id, GValue *value, GParamSpec *spec) {
    GstVocamSrc *src = self(object);
    State &s = src->state;
    std::lock_guard lock(s.lock);
    switch (id) {
        case PROP_SERIAL:
            g_value_set_uint(value, s.serial);
            return;
        case PROP_RESOURCES:
            g_value_set_string(value, s.resources.empty() ? nullptr : s.resources.c_str());
            return;
        case PROP_OFFSET_X:
            g_value_set_int(value, s.offsetX);
            return;
        case PROP_OFFSET_Y:
            g_value_set_int(value, s.offsetY);
            return;
        case PROP_DEMOSAIC:
            g_value_set_enum(value, static_cast<gint>(s.demosaic));
            return;
        case PROP_LIGHT:
            g_value_set_enum(value, static_cast<gint>(s.light));
            return;
        case PROP_STATS: {
            // The streams before the last restart, and the one running.
            std::uint64_t failed = s.failedReads.load();
            if (s.camera != nullptr && s.streaming) {
                vocam_stream_stats stats{};
                stats.size = sizeof stats;
                if (vocam_get_stream_stats(s.camera, &stats) == 0)
                    failed += stats.failed_reads + stats.short_frames;
            }
            g_value_take_boxed(
                value, gst_structure_new("application/x-vocam-stats", "delivered", G_TYPE_UINT64,
                                         guint64{s.delivered.load()}, "dropped", G_TYPE_UINT64,
                                         guint64{s.dropped.load()}, "failed-reads", G_TYPE_UINT64,
                                         guint64{failed}, nullptr));
            return;
        }
        default:
            break;
    }
    if (id < PROP_CONTROL_FIRST || id >= PROP_CONTROL_FIRST + kControls) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
        return;
    }
    const std::size_t i = id - PROP_CONTROL_FIRST;
    std::optional<double> v;
    if (s.camera != nullptr) v = readControl(s.camera, controlAt(i));
    if (!v) v = s.wanted[i];
    if (!v) {
        g_param_value_set_default(spec, value);
        return;
    }
    if (G_VALUE_HOLDS_BOOLEAN(value))
        g_value_set_boolean(value, *v != 0);
    else if (G_VALUE_HOLDS_UINT(value))
        g_value_set_uint(value, static_cast<guint>(std::clamp(*v, 0.0, double(G_MAXUINT))));
    else
        g_value_set_double(value, *v);
}

GParamSpec *controlSpec(const controls::Control &c) {
    constexpr auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                    GST_PARAM_MUTABLE_PLAYING);
    const std::string blurb =
        std::string(c.what) +
        (c.unit == controls::Unit::Milliseconds ? " in milliseconds"
         : c.unit == controls::Unit::Factor     ? " as a factor (1.0: unity)"
         : c.unit == controls::Unit::Kilopixels ? " in kilopixels per second (0: the camera's own)"
                                                : "") +
        (c.kind == controls::Kind::ConversionThreads ? "" : "; unset, the camera keeps its own");
    // Blurbs are made once per class; GLib keeps them.
    const char *text = g_intern_string(blurb.c_str());
    switch (c.unit) {
        case controls::Unit::Switch:
            return g_param_spec_boolean(c.name, c.name, text, FALSE, flags);
        case controls::Unit::Plain:
        case controls::Unit::Kilopixels: {
            const guint def = c.id == VOCAM_PROP_AUTO_EXPOSURE_TARGET ? 128 : 0;
            return g_param_spec_uint(c.name, c.name, text, static_cast<guint>(c.lowest),
                                     static_cast<guint>(c.highest), def, flags);
        }
        default: {
            const double def = c.unit == controls::Unit::Milliseconds ? 20.0 : 1.0;
            return g_param_spec_double(c.name, c.name, text, c.lowest, c.highest, def, flags);
        }
    }
}

// ---- caps ----------------------------------------------------------------------

GstCaps *templateCaps() {
    return gst_caps_from_string(
        "video/x-bayer, format = (string) { rggb, grbg, gbrg, bggr }, "
        "width = (int) [ 4, 65535 ], height = (int) [ 4, 65535 ], "
        "framerate = (fraction) [ 0/1, MAX ]; "
        "video/x-raw, format = (string) { GRAY8, RGB, BGR, RGBx, BGRx }, "
        "width = (int) [ 4, 65535 ], height = (int) [ 4, 65535 ], "
        "framerate = (fraction) [ 0/1, MAX ]");
}

GstCaps *getCaps(GstBaseSrc *base, GstCaps *filter) {
    State &s = self(base)->state;
    GstCaps *caps;
    {
        std::lock_guard lock(s.lock);
        caps = s.camera != nullptr ? s.sensor.caps()
                                   : gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
    }
    if (filter != nullptr) {
        GstCaps *both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

double exposureForRate(State &s) {
    // Automatic exposure moves it: the readout alone sets the nominal rate.
    const auto autoOn = s.camera != nullptr
                            ? readControl(s.camera, *controls::find("auto-exposure"))
                            : std::nullopt;
    return autoOn.value_or(0) != 0 ? 0.0 : s.exposureMs.load();
}

GstCaps *fixate(GstBaseSrc *base, GstCaps *caps) {
    State &s = self(base)->state;
    caps = gst_caps_make_writable(caps);
    caps = gst_caps_truncate(caps);
    GstStructure *st = gst_caps_get_structure(caps, 0);
    {
        std::lock_guard lock(s.lock);
        // The whole sensor unless downstream asks for less.
        gst_structure_fixate_field_nearest_int(st, "width", static_cast<int>(s.sensor.width));
        gst_structure_fixate_field_nearest_int(st, "height", static_cast<int>(s.sensor.height));
        int w = 0, h = 0;
        if (gst_structure_get_int(st, "width", &w) && gst_structure_get_int(st, "height", &h)) {
            const double fps = vocam::gst::framesPerSecond(
                s.camera != nullptr ? rateOf(s.camera) : 0, static_cast<std::uint32_t>(w),
                static_cast<std::uint32_t>(h), exposureForRate(s));
            int n = 0, d = 1;
            if (fps > 0) gst_util_double_to_fraction(fps, &n, &d);
            gst_structure_fixate_field_nearest_fraction(st, "framerate", n, d);
        }
    }
    return GST_BASE_SRC_CLASS(gst_vocam_src_parent_class)->fixate(base, caps);
}

// Stops and disables the camera's stream (lock held).
void endStream(State &s) {
    if (!s.streaming) return;
    vocam_stream_stats stats{};
    stats.size = sizeof stats;
    if (vocam_get_stream_stats(s.camera, &stats) == 0)
        s.failedReads += stats.failed_reads + stats.short_frames;
    vocam_stop_streaming(s.camera);
    vocam_disable_streaming(s.camera);
    s.streaming = false;
    s.windowMoved = false;
}

// Sets the window and starts the stream (lock held). An empty result is
// success; otherwise what went wrong.
std::string beginStream(State &s, const Window &w) {
    _vocam_frame_format f{};
    f.xOffset = w.x;
    f.yOffset = w.y;
    f.width = w.width;
    f.height = w.height;
    f.subSampleX = f.subSampleY = static_cast<std::uint16_t>(w.subsample);
    if (const int r = vocam_set_video_format(s.camera, &f); r != 0)
        return std::string("the camera refused the window: ") + vocam_strerror(r);
    s.image = _VOCAM_IMAGE_FORMAT{};
    s.image.Size = sizeof s.image;
    if (vocam_get_image_format(s.camera, &s.image) != 0 || s.image.Width != w.outWidth ||
        s.image.Height != w.outHeight)
        return "the camera delivers " + std::to_string(s.image.Width) + "x" +
               std::to_string(s.image.Height) + " for that window";
    s.errorMark = vocam::gst::libraryErrorCount();
    if (const int r = vocam_enable_streaming(s.camera); r < 0)
        return std::string("the camera refused to stream: ") + vocam_strerror(r);
    if (const int r = vocam_start_streaming(s.camera); r < 0) {
        vocam_disable_streaming(s.camera);
        return std::string("video did not start: ") + vocam_strerror(r);
    }
    s.streaming = true;
    s.window = w;
    s.offsetBase += s.lastSequence;
    s.lastSequence = 0;
    s.discont = true;
    return "";
}

gboolean setCaps(GstBaseSrc *base, GstCaps *caps) {
    GstVocamSrc *src = self(base);
    State &s = src->state;
    std::lock_guard lock(s.lock);
    if (s.camera == nullptr) return FALSE;
    s.capsRefused = true;  // until the stream runs
    const GstStructure *st = gst_caps_get_structure(caps, 0);
    const auto format = vocam::gst::formatOf(st, s.sensor);
    int w = 0, h = 0, n = 0, d = 1;
    if (!format || !gst_structure_get_int(st, "width", &w) ||
        !gst_structure_get_int(st, "height", &h) || w <= 0 || h <= 0) {
        GST_ELEMENT_ERROR(src, CORE, NEGOTIATION,
                          ("The camera does not deliver %" GST_PTR_FORMAT, caps), (nullptr));
        return FALSE;
    }
    std::string why;
    const auto window =
        vocam::gst::chooseWindow(s.sensor, static_cast<std::uint32_t>(w),
                                 static_cast<std::uint32_t>(h), s.offsetX, s.offsetY, why);
    if (!window) {
        GST_ELEMENT_ERROR(src, CORE, NEGOTIATION, ("%s", why.c_str()), (nullptr));
        return FALSE;
    }
    s.exposureMs = exposureOf(s.camera);
    s.rate = rateOf(s.camera);
    const double nominal = vocam::gst::framesPerSecond(s.rate, window->outWidth, window->outHeight,
                                                       exposureForRate(s));
    if (gst_structure_get_fraction(st, "framerate", &n, &d) && n != 0) {
        const double asked = double(n) / d;
        if (!(std::fabs(asked - nominal) <= 0.005 * nominal)) {
            GST_ELEMENT_ERROR(
                src, CORE, NEGOTIATION,
                ("The camera sends %dx%d at %.3f frames/s, not %.3f", w, h, nominal, asked),
                ("data rate %u kpixel/s; set data-rate, or leave the frame rate open "
                 "(framerate=0/1)",
                 s.rate.load()));
            return FALSE;
        }
    }
    endStream(s);
    if (const std::string failure = beginStream(s, *window); !failure.empty()) {
        GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS, ("%s", failure.c_str()), (nullptr));
        return FALSE;
    }
    s.format = *format;
    s.fps = n == 0 && gst_structure_has_field(st, "framerate") ? 0 : nominal;
    s.stride = vocam::gst::strideOf(s.format, window->outWidth);
    s.bytes = s.stride * window->outHeight;
    s.scratch.clear();
    if (vocam::gst::converted(s.format))
        s.scratch.resize(((std::size_t{window->outWidth} * 3 + 3) & ~std::size_t{3}) *
                         window->outHeight);
    s.capsRefused = false;
    GST_INFO_OBJECT(src,
                    "window %ux%u+%u+%u subsampling %u delivers %ux%u, %.3f frames/s at %u "
                    "kpixel/s",
                    window->width, window->height, window->x, window->y, window->subsample,
                    window->outWidth, window->outHeight, nominal, s.rate.load());
    return TRUE;
}

gboolean negotiate(GstBaseSrc *base) {
    if (GST_BASE_SRC_CLASS(gst_vocam_src_parent_class)->negotiate(base)) return TRUE;
    GstVocamSrc *src = self(base);
    State &s = src->state;
    // set_caps has said why already when it was reached.
    if (s.capsRefused) return FALSE;
    GstCaps *peer = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), nullptr);
    std::string why;
    {
        std::lock_guard lock(s.lock);
        for (guint i = 0; peer != nullptr && i < gst_caps_get_size(peer) && why.empty(); ++i) {
            const GstStructure *st = gst_caps_get_structure(peer, i);
            int w = 0, h = 0;
            if (gst_structure_get_int(st, "width", &w) && gst_structure_get_int(st, "height", &h) &&
                w > 0 && h > 0)
                vocam::gst::chooseWindow(s.sensor, static_cast<std::uint32_t>(w),
                                         static_cast<std::uint32_t>(h), -1, -1, why);
        }
        if (why.empty())
            why = "the camera delivers " +
                  std::string(s.sensor.colour
                                  ? "video/x-bayer (" + std::string(s.sensor.bayerName()) +
                                        "), RGB, BGR, RGBx or BGRx"
                                  : "GRAY8, RGB, BGR, RGBx or BGRx") +
                  " in " + s.sensor.sizesText();
    }
    gchar *asked = peer != nullptr ? gst_caps_to_string(peer) : g_strdup("nothing");
    GST_ELEMENT_ERROR(src, CORE, NEGOTIATION, ("%s", why.c_str()),
                      ("downstream accepts %s", asked));
    g_free(asked);
    if (peer != nullptr) gst_caps_unref(peer);
    return FALSE;
}

gboolean decideAllocation(GstBaseSrc *base, GstQuery *query) {
    State &s = self(base)->state;
    GstCaps *caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    guint min = 2;
    if (gst_query_get_n_allocation_pools(query) > 0) {
        guint size = 0, asked = 0, max = 0;
        gst_query_parse_nth_allocation_pool(query, 0, nullptr, &size, &asked, &max);
        min = std::max(min, asked);
    }
    // Always a pool of our own: the frames are copied into it, and a buffer
    // comes back to it only when downstream has let go of it.
    GstBufferPool *pool = gst_buffer_pool_new();
    GstStructure *config = gst_buffer_pool_get_config(pool);
    const guint size = static_cast<guint>(s.bytes);
    gst_buffer_pool_config_set_params(config, caps, size, min, 0);
    if (!gst_buffer_pool_set_config(pool, config)) {
        gst_object_unref(pool);
        return FALSE;
    }
    if (gst_query_get_n_allocation_pools(query) > 0)
        gst_query_set_nth_allocation_pool(query, 0, pool, size, min, 0);
    else
        gst_query_add_allocation_pool(query, pool, size, min, 0);
    {
        std::lock_guard lock(s.lock);
        if (s.pool != nullptr) gst_object_unref(s.pool);
        s.pool = pool;  // the query holds a reference of its own
    }
    return TRUE;
}

// ---- start, stop, frames --------------------------------------------------------

// Brings up cameras still waiting for firmware or FPGA, then opens the one
// asked for; an element error and false when there is none to open.
bool openCamera(GstVocamSrc *src, State &s) {
    vocam_camera_state states[64];
    std::uint32_t count = 64;
    bool waiting = false, held = false;
    if (vocam_get_camera_states(states, &count) >= 0)
        for (std::uint32_t i = 0; i < std::min<std::uint32_t>(count, 64); ++i) {
            waiting = waiting || states[i].state == VOCAM_STATE_NO_FIRMWARE ||
                      states[i].state == VOCAM_STATE_NO_FPGA;
            held = held || states[i].state == VOCAM_STATE_UNREACHABLE;
        }
    if (waiting) {
        GST_INFO_OBJECT(src, "bringing cameras up from %s",
                        s.resources.empty() ? "the installed files" : s.resources.c_str());
        vocam_init(s.resources.empty() ? nullptr : s.resources.c_str());
    }
    vocam_version records[64];
    count = 64;
    const int found = vocam_enum_cameras(records, &count);
    const vocam_version *wanted = nullptr;
    for (std::uint32_t i = 0; found >= 0 && i < std::min<std::uint32_t>(count, 64); ++i)
        if (s.serial == 0 || records[i].serial_number == s.serial) {
            wanted = &records[i];
            break;
        }
    if (wanted == nullptr) {
        if (held)
            GST_ELEMENT_ERROR(
                src, RESOURCE, BUSY,
                ("%s: a camera on the bus is in use by another program",
                 s.serial == 0
                     ? "No free camera"
                     : ("No camera with serial " + std::to_string(s.serial) + " is free").c_str()),
                (nullptr));
        else
            GST_ELEMENT_ERROR(
                src, RESOURCE, NOT_FOUND,
                ("%s%s",
                 s.serial == 0 ? "No camera found"
                               : ("No camera with serial " + std::to_string(s.serial)).c_str(),
                 waiting ? " (cameras still wait for firmware or FPGA: check resources)" : ""),
                (nullptr));
        return false;
    }
    vocam_version request = *wanted;
    const std::uint64_t mark = vocam::gst::libraryErrorCount();
    if (vocam_camera_open(&s.camera, &request) < 0 || s.camera == nullptr) {
        s.camera = nullptr;
        const std::string line = vocam::gst::libraryErrorSince(mark);
        GST_ELEMENT_ERROR(src, RESOURCE, BUSY,
                          ("Camera %u could not be opened: another program is using it, or you "
                           "have no access to it",
                           wanted->serial_number),
                          ("%s", line.c_str()));
        return false;
    }
    s.openSerial = wanted->serial_number;
    if (!s.sensor.read(s.camera)) {
        GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS,
                          ("Camera %u reports no usable geometry or colour layout", s.openSerial),
                          (nullptr));
        vocam_camera_close(&s.camera);
        return false;
    }
    return true;
}

gboolean start(GstBaseSrc *base) {
    GstVocamSrc *src = self(base);
    State &s = src->state;
    vocam::gst::routeLibraryLog();
    std::lock_guard lock(s.lock);
    if (!openCamera(src, s)) return FALSE;
    for (std::size_t i = 0; i < kControls; ++i)
        if (s.wanted[i]) applyControl(src, s.camera, controlAt(i), *s.wanted[i]);
    s.exposureMs = exposureOf(s.camera);
    s.rate = rateOf(s.camera);
    s.delivered = 0;
    s.dropped = 0;
    s.failedReads = 0;
    s.offsetBase = s.lastSequence = 0;
    GST_INFO_OBJECT(src, "camera %u: %ux%u, %s", s.openSerial, s.sensor.width, s.sensor.height,
                    s.sensor.colour ? s.sensor.bayerName() : "monochrome");
    return TRUE;
}

gboolean stop(GstBaseSrc *base) {
    State &s = self(base)->state;
    std::lock_guard lock(s.lock);
    if (s.camera != nullptr) {
        endStream(s);
        vocam_camera_close(&s.camera);
    }
    if (s.pool != nullptr) {
        gst_object_unref(s.pool);
        s.pool = nullptr;
    }
    return TRUE;
}

gboolean unlock(GstBaseSrc *base) {
    self(base)->state.flushing = true;
    return TRUE;
}

gboolean unlockStop(GstBaseSrc *base) {
    self(base)->state.flushing = false;
    return TRUE;
}

gboolean query(GstBaseSrc *base, GstQuery *q) {
    State &s = self(base)->state;
    if (GST_QUERY_TYPE(q) == GST_QUERY_LATENCY) {
        double fps;
        {
            std::lock_guard lock(s.lock);
            if (!s.streaming) return FALSE;
            fps = s.fps > 0 ? s.fps
                            : vocam::gst::framesPerSecond(s.rate, s.window.outWidth,
                                                          s.window.outHeight, s.exposureMs);
        }
        // A frame is stamped when it arrives and may wait up to a frame
        // period to be taken; the ring holds three.
        const GstClockTime period =
            fps > 0 ? static_cast<GstClockTime>(GST_SECOND / fps) : GstClockTime{0};
        gst_query_set_latency(q, TRUE, period, 3 * period);
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_vocam_src_parent_class)->query(base, q);
}

// Moves the window to new offsets between two frames.
void moveWindow(GstVocamSrc *src, State &s) {
    std::lock_guard lock(s.lock);
    if (!s.windowMoved) return;
    s.windowMoved = false;
    std::string why;
    // The subsampling stays: moving the window keeps the picture's scale.
    const auto w = vocam::gst::chooseWindow(s.sensor, s.window.outWidth, s.window.outHeight,
                                            s.offsetX, s.offsetY, why, s.window.subsample);
    if (!w) {
        GST_WARNING_OBJECT(src, "window not moved: %s", why.c_str());
        return;
    }
    const Window old = s.window;
    endStream(s);
    if (std::string failure = beginStream(s, *w); !failure.empty()) {
        GST_WARNING_OBJECT(src, "window not moved: %s", failure.c_str());
        beginStream(s, old);
    }
}

// The pipeline clock's time of a CLOCK_MONOTONIC instant, as running time.
GstClockTime runningTimeOf(GstVocamSrc *src, std::uint64_t arrivalNs) {
    GstClock *clock = gst_element_get_clock(GST_ELEMENT(src));
    if (clock == nullptr) return GST_CLOCK_TIME_NONE;
    const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(src));
    const GstClockTime now = gst_clock_get_time(clock);
    const std::uint64_t mono = monotonicNs();
    gst_object_unref(clock);
    const std::uint64_t age = mono > arrivalNs ? mono - arrivalNs : 0;
    const GstClockTime at = now > age ? now - age : 0;
    return at > base ? at - base : 0;
}

GstFlowReturn streamEnded(GstVocamSrc *src, State &s, const char *what) {
    std::string line = vocam::gst::libraryErrorSince(s.errorMark);
    GST_ELEMENT_ERROR(src, RESOURCE, READ, ("Camera %u %s", s.openSerial, what),
                      ("%s", line.empty() ? "the library gave no reason" : line.c_str()));
    return GST_FLOW_ERROR;
}

// Copies (or converts) the frame in ring buffer `index` into `out`.
bool fill(GstVocamSrc *src, State &s, int index, GstBuffer *out) {
    const std::uint8_t *raw = vocam_get_buffer_address(s.camera, index);
    if (raw == nullptr) return false;
    GstMapInfo map;
    if (!gst_buffer_map(out, &map, GST_MAP_WRITE)) return false;
    bool ok = true;
    const std::uint32_t w = s.window.outWidth, h = s.window.outHeight;
    if (!vocam::gst::converted(s.format)) {
        vocam::gst::copyRows(map.data, s.stride, raw, w, h);
    } else {
        conversion_params params{};
        params.size = 12;  // the engine's own hue, saturation and gains apply
        {
            std::lock_guard lock(s.lock);
            params.demosaicMethod = s.sensor.colour ? s.demosaic : 0;
            params.correctionMatrix = s.sensor.colour ? s.light : 0;
        }
        int r = 0;
        if (s.format == Format::Rgbx && vocam::gst::onePass32(params.demosaicMethod)) {
            if (GstMemory *memory = gst_buffer_peek_memory(out, 0);
                !GST_MEMORY_FLAG_IS_SET(memory, kCleared)) {
                std::memset(map.data, 0, map.size);
                GST_MINI_OBJECT_FLAG_SET(memory, kCleared);
            }
            r = vocam_convert_frame_to_rgb_bits(s.camera, map.data, raw, &s.image, &params, 32);
        } else {
            // The 24-bit picture: straight into the buffer when its rows are
            // GStreamer's, otherwise laid out from the scratch picture.
            std::uint32_t pictureStride = 0;
            std::size_t pictureBytes = 0;
            r = vocam_get_rgb_frame_size(s.camera, &s.image, &params, &pictureStride,
                                         &pictureBytes);
            const bool direct = r == 0 && s.format == Format::Rgb && pictureStride == s.stride;
            if (r == 0 && !direct && pictureBytes > s.scratch.size()) r = VOCAM_EINVAL;
            if (r == 0)
                r = vocam_convert_frame_to_rgb(s.camera, direct ? map.data : s.scratch.data(), raw,
                                               &s.image, &params);
            if (r == 0 && !direct)
                vocam::gst::arrangePicture(map.data, s.stride, s.scratch.data(), pictureStride,
                                           s.format, w, h);
        }
        if (r != 0) {
            GST_WARNING_OBJECT(src, "conversion failed: %s", vocam_strerror(r));
            ok = false;
        }
    }
    gst_buffer_unmap(out, &map);
    return ok;
}

GstFlowReturn create(GstPushSrc *push, GstBuffer **buffer) {
    GstVocamSrc *src = self(push);
    State &s = src->state;
    moveWindow(src, s);
    int index = -1;
    while (index < 0) {
        if (s.flushing) return GST_FLOW_FLUSHING;
        const int r = vocam_wait_for_capture_to_buffer_timeout(s.camera, kWaitSliceMs);
        if (s.flushing) {
            if (r >= 0) vocam_release_buffer(s.camera, r);
            return GST_FLOW_FLUSHING;
        }
        if (r >= 0)
            index = r;
        else if (r != VOCAM_WAIT_TIMED_OUT && r != VOCAM_EINVAL)
            return streamEnded(src, s,
                               "stopped streaming: it left the bus, went silent or its reads fail");
    }
    vocam_frame_info info{};
    info.size = sizeof info;
    vocam_get_buffer_info(s.camera, index, &info);
    GstBuffer *out = nullptr;
    GstFlowReturn flow = s.pool != nullptr ? gst_buffer_pool_acquire_buffer(s.pool, &out, nullptr)
                                           : GST_FLOW_NOT_NEGOTIATED;
    if (flow == GST_FLOW_OK && !fill(src, s, index, out)) {
        gst_buffer_unref(out);
        flow = s.flushing ? GST_FLOW_FLUSHING : GST_FLOW_ERROR;
        if (flow == GST_FLOW_ERROR)
            GST_ELEMENT_ERROR(src, STREAM, FAILED,
                              ("Frame %" G_GUINT64_FORMAT " could not be converted", info.sequence),
                              (nullptr));
    }
    vocam_release_buffer(s.camera, index);
    if (flow != GST_FLOW_OK) return flow;

    if (s.lastSequence != 0 && info.sequence > s.lastSequence + 1) {
        s.dropped += info.sequence - s.lastSequence - 1;
        s.discont = true;
    }
    s.lastSequence = info.sequence;
    if (s.discont) GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_DISCONT);
    s.discont = false;
    GST_BUFFER_OFFSET(out) = s.offsetBase + info.sequence;
    GST_BUFFER_OFFSET_END(out) = s.offsetBase + info.sequence + 1;
    GST_BUFFER_PTS(out) = GST_BUFFER_DTS(out) = runningTimeOf(src, info.timestamp_ns);
    GST_BUFFER_DURATION(out) =
        s.fps > 0 ? static_cast<GstClockTime>(GST_SECOND / s.fps) : GST_CLOCK_TIME_NONE;
    ++s.delivered;
    *buffer = out;
    return GST_FLOW_OK;
}

// ---- the GObject ---------------------------------------------------------------

void finalize(GObject *object) {
    GstVocamSrc *src = self(object);
    // The camera was closed by stop; a pool may remain after a failed start.
    if (src->state.pool != nullptr) gst_object_unref(src->state.pool);
    src->state.~State();
    G_OBJECT_CLASS(gst_vocam_src_parent_class)->finalize(object);
}

}  // namespace

static void gst_vocam_src_init(GstVocamSrc *src) {
    new (&src->state) State();
    gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
    gst_base_src_set_do_timestamp(GST_BASE_SRC(src), FALSE);
}

static void gst_vocam_src_class_init(GstVocamSrcClass *klass) {
    GObjectClass *object = G_OBJECT_CLASS(klass);
    GstElementClass *element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass *base = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass *push = GST_PUSH_SRC_CLASS(klass);

    object->set_property = setProperty;
    object->get_property = getProperty;
    object->finalize = finalize;

    constexpr auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    constexpr auto live = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                   GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        object, PROP_SERIAL,
        g_param_spec_uint("serial", "Serial",
                          "Serial number of the camera (0: the first ready one)", 0, G_MAXUINT, 0,
                          static_cast<GParamFlags>(rw | GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        object, PROP_RESOURCES,
        g_param_spec_string("resources", "Resources",
                            "Folder of the firmware and FPGA images for cameras still waiting for "
                            "them (unset: the installed folder)",
                            nullptr, static_cast<GParamFlags>(rw | GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        object, PROP_OFFSET_X,
        g_param_spec_int("offset-x", "Offset X",
                         "Left edge of the window on the sensor in sensor pixels (-1: centred)", -1,
                         65535, -1, live));
    g_object_class_install_property(
        object, PROP_OFFSET_Y,
        g_param_spec_int("offset-y", "Offset Y",
                         "Top edge of the window on the sensor in sensor pixels (-1: centred)", -1,
                         65535, -1, live));
    g_object_class_install_property(
        object, PROP_DEMOSAIC,
        g_param_spec_enum("demosaic", "Demosaic", "Demosaic method of converted colour output",
                          demosaicType(), kDefaultMethod, live));
    g_object_class_install_property(
        object, PROP_LIGHT,
        g_param_spec_enum("light", "Light",
                          "Light source whose colour correction converted colour output gets",
                          lightType(), kDefaultLight, live));
    g_object_class_install_property(
        object, PROP_STATS,
        g_param_spec_boxed("stats", "Statistics",
                           "Frames delivered and dropped (lost between two buffers), and the "
                           "camera's failed reads",
                           GST_TYPE_STRUCTURE,
                           static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
    for (std::size_t i = 0; i < kControls; ++i)
        g_object_class_install_property(object, static_cast<guint>(PROP_CONTROL_FIRST + i),
                                        controlSpec(controlAt(i)));

    gst_element_class_set_static_metadata(element, "Camera source", "Source/Video",
                                          "Frames of a USB 2.0 camera of the VoCam family",
                                          "VoCamSDK");
    GstCaps *caps = templateCaps();
    gst_element_class_add_pad_template(
        element, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);

    base->get_caps = getCaps;
    base->fixate = fixate;
    base->set_caps = setCaps;
    base->negotiate = negotiate;
    base->decide_allocation = decideAllocation;
    base->start = start;
    base->stop = stop;
    base->unlock = unlock;
    base->unlock_stop = unlockStop;
    base->query = query;
    push->create = create;

    gst_type_mark_as_plugin_api(demosaicType(), static_cast<GstPluginAPIFlags>(0));
    gst_type_mark_as_plugin_api(lightType(), static_cast<GstPluginAPIFlags>(0));
}

gboolean gst_vocam_register(GstPlugin *plugin) {
    GST_DEBUG_CATEGORY_INIT(vocam_src_debug, "vocamsrc", 0, "camera source");
    GST_DEBUG_CATEGORY_INIT(vocam::gst::vocam_library_debug, "vocam", 0, "the camera library");
    // Rank none: automatic source choice (autovideosrc) is for the usual
    // webcams; a pipeline names this element, or a device monitor hands it out.
    return gst_element_register(plugin, "vocamsrc", GST_RANK_NONE, GST_TYPE_VOCAM_SRC) &&
           vocam::gst::registerDeviceProvider(plugin);
}
