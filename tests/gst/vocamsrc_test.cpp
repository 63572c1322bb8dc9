// vocamsrc in process, on the simulated bus, whose cameras the tests reach
// directly (frame log, registers, faults): caps, window, buffers, controls,
// failures and state changes.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Simulator/SimBus.h"
#include "Simulator/SimProperties.h"
#include "support/Watchdog.h"
#include "vocamapi.h"
#include "vocamsrc.h"

namespace {

using namespace std::chrono_literals;
using vocam::sim::Bus;

// A state change that does not come back in time fails the run at once
// instead of hanging it.
GstStateChangeReturn setState(GstElement *e, GstState state, std::chrono::seconds bound = 5s) {
    const vocam::test::Watchdog watchdog(
        bound, std::string("state change to ") + gst_element_state_get_name(state));
    return gst_element_set_state(e, state);
}

class Pipeline {
  public:
    explicit Pipeline(const std::string &description) {
        GError *error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        EXPECT_EQ(error, nullptr) << error->message;
    }
    ~Pipeline() {
        setState(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
    GstElement *get() const { return pipeline_; }
    // The pipeline holds the element as long as it lives.
    GstElement *operator[](const char *name) const {
        GstElement *e = gst_bin_get_by_name(GST_BIN(pipeline_), name);
        gst_object_unref(e);
        return e;
    }
    GstStateChangeReturn play() { return setState(pipeline_, GST_STATE_PLAYING); }
    GstSample *pull(const char *sink = "sink", GstClockTime timeout = 5 * GST_SECOND) const {
        return gst_app_sink_try_pull_sample(GST_APP_SINK((*this)[sink]), timeout);
    }
    // The first error on the bus within `timeout`, as "message | debug";
    // empty when none came.
    std::string error(GstClockTime timeout = 5 * GST_SECOND) const {
        g_autoptr(GstBus) bus = gst_element_get_bus(pipeline_);
        g_autoptr(GstMessage) m = gst_bus_timed_pop_filtered(bus, timeout, GST_MESSAGE_ERROR);
        if (m == nullptr) return "";
        g_autoptr(GError) e = nullptr;
        g_autofree gchar *debug = nullptr;
        gst_message_parse_error(m, &e, &debug);
        return std::string(e->message) + " | " + (debug ? debug : "");
    }

  private:
    GstElement *pipeline_;
};

struct Frame {
    std::vector<std::uint8_t> bytes;
    std::uint64_t offset = 0;
    GstClockTime pts = 0;
    bool discont = false;
};

Frame take(GstSample *sample) {
    if (sample == nullptr) return {};
    GstBuffer *b = gst_sample_get_buffer(sample);
    Frame f{std::vector<std::uint8_t>(gst_buffer_get_size(b)), GST_BUFFER_OFFSET(b),
            GST_BUFFER_PTS(b), GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT)};
    gst_buffer_extract(b, 0, f.bytes.data(), f.bytes.size());
    gst_sample_unref(sample);
    return f;
}

// The simulated camera's own hash of the frame it sent with this number.
std::uint64_t sentHash(int camera, std::uint64_t sequence) {
    for (const auto &r : Bus::instance().devices().at(camera)->video().frameLog())
        if (r.sequence == sequence) return r.hash;
    return 0;
}

std::uint32_t reg(int camera, std::uint16_t address) {
    return Bus::instance().devices().at(camera)->reg(address);
}

class VocamSrc : public testing::Test {
  protected:
    void use(const std::string &cameras) { ASSERT_TRUE(Bus::instance().configure(cameras)); }
    void TearDown() override { Bus::instance().clear(); }
};

// ---- caps ----------------------------------------------------------------------

// The element's caps are the camera's, its own format first (the device
// monitor's case reads those of the colour models).
TEST_F(VocamSrc, CapsOfferTheCamerasOwnFormatFirstThenTheConvertedOnes) {
    use("model_04:state=ready");
    Pipeline src("vocamsrc");
    ASSERT_NE(setState(src.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    g_autoptr(GstPad) pad = gst_element_get_static_pad(src.get(), "src");
    g_autoptr(GstCaps) caps = gst_pad_query_caps(pad, nullptr);
    ASSERT_EQ(gst_caps_get_size(caps), 2u);  // no subsampling: raw and converted
    const GstStructure *first = gst_caps_get_structure(caps, 0);
    EXPECT_TRUE(gst_structure_has_name(first, "video/x-raw"));
    EXPECT_STREQ(gst_structure_get_string(first, "format"), "GRAY8");
    EXPECT_EQ(gst_value_get_int_range_max(gst_structure_get_value(first, "width")), 640);
    EXPECT_EQ(gst_value_get_int_range_max(gst_structure_get_value(first, "height")), 480);
}

// ---- window --------------------------------------------------------------------

struct WindowCase {
    const char *caps;
    int offsetX, offsetY;
    std::uint32_t subsample, x, y, width, height;  // what the camera is told
};

class WindowFromCaps : public VocamSrc, public testing::WithParamInterface<WindowCase> {};

TEST_P(WindowFromCaps, TakesTheLargestSubsamplingThatFitsCentredOrPlaced) {
    const WindowCase &c = GetParam();
    use("model_02:state=ready");
    Pipeline p("vocamsrc name=src offset-x=" + std::to_string(c.offsetX) +
               " offset-y=" + std::to_string(c.offsetY) + " ! " + c.caps + " ! appsink name=sink");
    p.play();
    ASSERT_FALSE(take(p.pull()).bytes.empty()) << p.error(0);
    EXPECT_EQ(reg(0, 0x1018), c.subsample | c.subsample << 16);
    EXPECT_EQ(reg(0, 0x1008), c.x | c.y << 16);
    EXPECT_EQ(reg(0, 0x100C), c.width | c.height << 16);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, WindowFromCaps,
    testing::Values(
        WindowCase{"video/x-bayer,width=1280,height=1024", -1, -1, 1, 0, 0, 1280, 1024},
        WindowCase{"video/x-raw,format=RGB,width=320,height=240", -1, -1, 4, 0, 32, 1280, 960},
        WindowCase{"video/x-bayer,width=1000,height=480", -1, -1, 1, 140, 272, 1000, 480},
        WindowCase{"video/x-bayer,width=400,height=300", 10, 21, 3, 10, 20, 1200, 900}));

TEST_F(VocamSrc, MovingTheWindowWhilePlayingRestartsTheStreamWithADiscont) {
    use("model_02:state=ready");
    Pipeline p("vocamsrc name=src ! video/x-bayer,width=400,height=300 ! appsink name=sink");
    p.play();
    ASSERT_FALSE(take(p.pull()).bytes.empty());
    g_object_set(p["src"], "offset-x", 8, nullptr);
    // A frame pulled while the camera still had the old window came before
    // the restart; the first frame of the new window comes after it.
    std::vector<bool> discont;
    int lastOld = -1, after = 0;
    for (int i = 0; i < 300 && after < 5; ++i) {
        discont.push_back(take(p.pull()).discont);
        if (reg(0, 0x1008) != (8u | 62u << 16))
            lastOld = i;
        else
            ++after;
    }
    EXPECT_TRUE(std::find(discont.begin() + lastOld + 1, discont.end(), true) != discont.end());
    // Centred at subsampling 3 as before; a lost subsampling would move it.
    EXPECT_EQ(reg(0, 0x1008), 8u | 62u << 16);
}

// ---- buffers -------------------------------------------------------------------

TEST_F(VocamSrc, BuffersAreWholeFramesInOrderWithADiscontExactlyAfterAGap) {
    use("model_02:state=ready:stamp=1");
    Pipeline p(
        "vocamsrc name=src num-buffers=100 ! video/x-bayer,width=320,height=256 ! "
        "appsink name=sink");
    // One slow buffer downstream makes the camera's ring run over.
    g_autoptr(GstPad) pad = gst_element_get_static_pad(p["src"], "src");
    int seen = 0;
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad *, GstPadProbeInfo *, gpointer n) {
            if (++*static_cast<int *>(n) == 10) std::this_thread::sleep_for(100ms);
            return GST_PAD_PROBE_OK;
        },
        &seen, nullptr);
    p.play();
    std::vector<Frame> frames;
    for (int i = 0; i < 100; ++i) frames.push_back(take(p.pull()));
    std::uint64_t gaps = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Frame &f = frames[i];
        ASSERT_EQ(f.bytes.size(), 320u * 256u) << "buffer " << i;
        EXPECT_EQ(vocam::sim::frameHash(f.bytes.data(), f.bytes.size()), sentHash(0, f.offset))
            << "frame " << f.offset << " is not the frame the camera sent";
        if (i == 0) continue;
        ASSERT_GT(f.offset, frames[i - 1].offset);
        EXPECT_GT(f.pts, frames[i - 1].pts);
        const bool gap = f.offset != frames[i - 1].offset + 1;
        EXPECT_EQ(f.discont, gap) << "buffer " << i;
        gaps += f.offset - frames[i - 1].offset - 1;
    }
    EXPECT_GT(gaps, 0u);
    g_autoptr(GstStructure) stats = nullptr;
    g_object_get(p["src"], "stats", &stats, nullptr);
    guint64 delivered = 0, dropped = 0;
    gst_structure_get_uint64(stats, "delivered", &delivered);
    gst_structure_get_uint64(stats, "dropped", &dropped);
    EXPECT_EQ(delivered, 100u);
    EXPECT_EQ(dropped, gaps);
}

// The library's conversion of a raw frame, against the element's converted
// buffer of the same picture: a camera without frame stamps sends the same
// picture in every frame.
struct ConvertCase {
    const char *model;
    const char *format;
    int width, height;
    std::uint32_t method;
    std::size_t stride, pixel;  // of the element's buffer
};

class Converted : public VocamSrc, public testing::WithParamInterface<ConvertCase> {};

TEST_P(Converted, EqualsTheLibrarysConversionOfTheSameRawFrame) {
    const ConvertCase &c = GetParam();
    use(std::string(c.model) + ":state=ready");
    const std::string size =
        ",width=" + std::to_string(c.width) + ",height=" + std::to_string(c.height);
    const bool mono = std::string(c.model) == "model_04";
    const auto first = [](const std::string &pipeline) {
        Pipeline p(pipeline + " ! appsink name=sink");
        p.play();
        return take(p.pull());
    };
    Frame raw = first("vocamsrc ! " +
                      std::string(mono ? "video/x-raw,format=GRAY8" : "video/x-bayer") + size);
    Frame rgb = first("vocamsrc demosaic=" + std::to_string(c.method) +
                      " ! video/x-raw,format=" + c.format + size);
    // Raw rows are 4-byte aligned as GStreamer lays them out: take the pad off.
    const std::size_t rawStride = (c.width + 3) & ~3;
    ASSERT_EQ(raw.bytes.size(), rawStride * c.height);
    for (int y = 0; y < c.height; ++y)
        std::copy_n(raw.bytes.begin() + y * rawStride, c.width, raw.bytes.begin() + y * c.width);
    raw.bytes.resize(std::size_t(c.width) * c.height);
    const std::uint32_t w = c.width, h = c.height;
    ASSERT_EQ(rgb.bytes.size(), c.stride * h);
    _VOCAM_IMAGE_FORMAT format{sizeof format, w, h, 0, w * h, {mono ? VOCAM_LAYOUT_MONO : 0}};
    conversion_params params{};
    params.size = 12;
    params.demosaicMethod = mono ? 0 : c.method;
    params.correctionMatrix = mono ? 0 : 14;
    const std::size_t from = mono ? (3 * w + 3) & ~3u : 3 * w;
    std::vector<std::uint8_t> picture(from * h);
    ASSERT_EQ(vocam_convert_raw_to_rgb(picture.data(), picture.size(), raw.bytes.data(),
                                       raw.bytes.size(), &format, &params, 24, 1),
              0);
    // The library's pixels where GStreamer's layout puts them; pads and the
    // fourth bytes 0.
    const bool bgr = c.format[0] == 'B';
    std::vector<std::uint8_t> want(rgb.bytes.size(), 0);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                want[y * c.stride + x * c.pixel + (bgr ? 2 - k : k)] =
                    picture[y * from + x * 3 + k];
    const auto at = std::mismatch(rgb.bytes.begin(), rgb.bytes.end(), want.begin()).first;
    EXPECT_EQ(at, rgb.bytes.end())
        << "first difference in row " << (at - rgb.bytes.begin()) / c.stride << ", byte "
        << (at - rgb.bytes.begin()) % c.stride;
}

// RGBx of the edge-detecting method (the element's default) is the library's
// 32-bit picture; the others are laid out from its 24-bit one.
INSTANTIATE_TEST_SUITE_P(Formats, Converted,
                         testing::Values(ConvertCase{"model_02", "RGBx", 640, 512, 2, 2560, 4},
                                         // rows of 954 bytes padded to 956
                                         ConvertCase{"model_02", "RGB", 318, 256, 3, 956, 3},
                                         ConvertCase{"model_02", "BGRx", 320, 256, 8, 1280, 4},
                                         ConvertCase{"model_04", "BGR", 640, 480, 2, 1920, 3}));

// ---- controls ------------------------------------------------------------------

template <class T>
T property(GstElement *e, const char *name) {
    T value{};
    g_object_get(e, name, &value, nullptr);
    return value;
}

TEST_F(VocamSrc, ControlsApplyInEveryStateAndReadBackTheCamerasValue) {
    use("model_04:state=ready");
    Pipeline p(
        "vocamsrc name=src gain=2 exposure=10 ! video/x-raw,format=GRAY8,width=320,height=240 ! "
        "appsink name=sink");
    GstElement *src = p["src"];
    p.play();
    ASSERT_FALSE(take(p.pull()).bytes.empty());
    EXPECT_EQ(reg(0, vocam::sim::kRegGain + 4), 8192u) << "gain set before start";
    EXPECT_EQ(reg(0, vocam::sim::kRegExposure + 4), 10000u) << "exposure set before start";
    g_object_set(src, "exposure", 5.0004, nullptr);
    EXPECT_DOUBLE_EQ(property<double>(src, "exposure"), 5.0);  // the camera counts microseconds
    EXPECT_EQ(reg(0, vocam::sim::kRegExposure + 4), 5000u) << "exposure set while playing";
    // Beyond the camera's range: held to it, and the camera's value reads back.
    g_object_set(src, "exposure", 1e6, "auto-exposure-target", 250u, nullptr);
    EXPECT_DOUBLE_EQ(property<double>(src, "exposure"), 10000.0);
    EXPECT_EQ(property<guint>(src, "auto-exposure-target"), 240u);
    g_object_set(src, "auto-exposure", TRUE, "data-rate", 24000u, nullptr);
    EXPECT_TRUE(property<gboolean>(src, "auto-exposure"));
    EXPECT_EQ(reg(0, vocam::sim::kRegExposure) & VOCAM_PROP_FLAG_AUTO, VOCAM_PROP_FLAG_AUTO)
        << "exposure flags";
    EXPECT_EQ(property<guint>(src, "data-rate"), 24000u);
}

// ---- failures and state changes ------------------------------------------------

// Which fault ended the stream (gone, silent, failing reads) is the library's
// to tell; the element ends every one in the same error, posted from its
// streaming thread. (A camera it cannot open, and caps it cannot deliver,
// are the pipelines' cases.)
TEST_F(VocamSrc, ACameraLeavingWhilePlayingEndsInAnErrorOnTheBusNeverAHang) {
    use("model_04:state=ready:unplug=1");  // 1 s after its first frame
    Pipeline p("vocamsrc ! video/x-raw,format=GRAY8,width=320,height=240 ! appsink name=sink");
    ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_FALSE(take(p.pull()).bytes.empty());
    const std::string e = p.error(6 * GST_SECOND);
    EXPECT_NE(e.find("stopped streaming"), std::string::npos) << "error: '" << e << "'";
    EXPECT_NE(setState(p.get(), GST_STATE_NULL, 3s), GST_STATE_CHANGE_FAILURE);
}

TEST_F(VocamSrc, FiftyStartsAndStopsEachBoundedAndASilentCameraStopsAsQuickly) {
    use("model_04:state=ready");
    for (int i = 0; i < 50; ++i) {
        Pipeline p("vocamsrc ! video/x-raw,format=GRAY8,width=160,height=120 ! appsink name=sink");
        ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE) << "cycle " << i;
        ASSERT_FALSE(take(p.pull()).bytes.empty()) << "cycle " << i;
        if (i == 49) Bus::instance().devices()[0]->video().setSilent(true);
        ASSERT_EQ(setState(p.get(), GST_STATE_NULL, 2s), GST_STATE_CHANGE_SUCCESS);
    }
}

}  // namespace

int main(int argc, char **argv) {
    // The simulated bus is chosen before the library's first call.
    setenv("VOCAM_SIM", "model_02:state=ready", 1);
    setenv("GST_REGISTRY", VOCAM_GST_REGISTRY, 0);
    gst_init(&argc, &argv);
    gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "vocam", "camera sources",
                               gst_vocam_register, "1.0", "unknown", "vocam", "VoCamSDK",
                               "VoCamSDK");
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    gst_deinit();
    return result;
}
