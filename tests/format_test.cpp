// The sensor window, the layout of delivered frames, data rates and
// notification slots, on simulated cameras; and what the simulated camera
// sends for a window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <tuple>
#include <vector>

#include "Simulator/SimVideo.h"
#include "support/OpenCamera.h"
#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "transport/vo_usb.h"

using ::testing::HasSubstr;
using vocam::test::countOf;
using vocam::test::nextFrame;
using vocam::test::OpenCamera;
using vocam::test::registerTraffic;
using vocam::test::StderrCapture;
using vocam::test::Traffic;
using vocam::test::window;
using vocam::test::wireWords;

namespace {

// What the simulated camera renders for a window, under the identity tone curve.
std::vector<std::uint8_t> rendered(vocam::sim::VideoSettings s) {
    std::iota(s.tone.begin(), s.tone.end(), 0);
    return vocam::sim::SimVideo::render(s);
}

class Format : public ::testing::Test {
  protected:
    StderrCapture err;
};

// Streams one frame and hands it to `use` with the stream running.
template <typename Use>
void withOneFrame(_vocam *h, Use use) {
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    ASSERT_EQ(vocam_start_streaming(h), 0);
    const int index = nextFrame(h);
    ASSERT_GE(index, 0);
    use(vocam_get_buffer_address(h, index));
    vocam_release_buffer(h, index);
    EXPECT_EQ(vocam_stop_streaming(h), 0);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
}

TEST_F(Format, SubsampledWindowGivesTheDeliveredSize) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    cam.device().clearLog();
    _vocam_frame_format f = window(16, 8, 1264, 1016, 2, 2);
    ASSERT_EQ(vocam_set_video_format(h, &f), 0);
    Traffic writes = registerTraffic(cam.device());
    std::erase_if(writes, [](const auto &access) { return !access.write; });
    ASSERT_GE(writes.size(), 4u);
    // Size, position and subsampling, in that order, then the data rate reload.
    EXPECT_EQ(Traffic(writes.begin(), writes.begin() + 3),
              (Traffic{{true, 0x100C, wireWords({1016u << 16 | 1264})},
                       {true, 0x1008, wireWords({8u << 16 | 16})},
                       {true, 0x1018, wireWords({2u << 16 | 2})}}));
    EXPECT_EQ(writes[3].address, 0x1048);

    _VOCAM_IMAGE_FORMAT image;
    std::memset(&image, 0xAB, sizeof image);
    ASSERT_EQ(vocam_get_image_format(h, &image), 0);
    // RGGB layout flags; the other reserved words are left as passed.
    EXPECT_EQ(std::tie(image.Size, image.Width, image.Height, image.PixelFormat, image.ImageSize,
                       image.VocamReserved[0], image.VocamReserved[4], image.VocamReserved[1]),
              std::make_tuple(52u, 632u, 508u, 0u, 321056u, 0u, 0u, 0xABABABABu));

    _vocam_frame_format back;
    std::memset(&back, 0xCD, sizeof back);
    ASSERT_EQ(vocam_get_video_format(h, &back), 0);
    EXPECT_EQ(std::memcmp(&back, &f, sizeof f), 0);
}

TEST_F(Format, RefusedWindowsDoNotTouchTheCamera) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    cam.device().clearLog();
    _vocam_frame_format bad[] = {
        window(0, 0, 640, 480, 256, 1),  // low 8 bits of the factor are 0
        window(0, 0, 640, 480, 1, 0),
        window(0, 0, 0, 480, 1, 1),
        window(0, 0, 640, 0, 1, 1),
    };
    for (auto &f : bad) EXPECT_EQ(vocam_set_video_format(h, &f), -22);
    err.take();

    // Windows the 1280 x 1024 sensor, with subsampling up to 4, cannot give:
    // each is refused with one line naming why.
    const struct {
        _vocam_frame_format f;
        const char *why;
    } beyond[] = {
        {window(8, 0, 1280, 1024, 1, 1), "lies outside the 1280x1024 sensor"},
        {window(0, 0, 1280, 1026, 1, 1), "lies outside the 1280x1024 sensor"},
        {window(0xFFFFFFFFu, 0, 2, 2, 1, 1), "lies outside the 1280x1024 sensor"},
        {window(0, 0, 640, 480, 1, 5), "above the camera's maximum 4"},
        {window(0, 0, 640, 480, 257, 1), "above the camera's maximum 4"},
        {window(0, 0, 1, 4, 2, 1), "leaves no pixels"},
        {window(0, 0, 4, 3, 1, 4), "leaves no pixels"},
    };
    for (const auto &b : beyond) {
        SCOPED_TRACE(b.why);
        EXPECT_EQ(vocam_set_video_format(h, &b.f), -22);
        const std::string text = err.take();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_THAT(text, HasSubstr(b.why));
    }
    EXPECT_TRUE(cam.device().log().empty());  // nor did any of the windows above
    EXPECT_EQ(h->camera.width, 1280);
    auto whole = window(0, 0, 1280, 1024, 4, 4);  // the edges themselves are on the sensor
    EXPECT_EQ(vocam_set_video_format(h, &whole), 0);
    EXPECT_EQ(h->camera.width, 320);

    // A model whose table entry forbids subsampling, whatever the camera says.
    OpenCamera mono("model_01:state=ready:subsample=4");
    auto f = window(0, 0, 640, 480, 2, 1);
    EXPECT_EQ(vocam_set_video_format(mono.handle(), &f), -22);
    f = window(0, 0, 320, 240, 1, 1);
    EXPECT_EQ(vocam_set_video_format(mono.handle(), &f), 0);
}

TEST_F(Format, WindowCannotChangeWhileStreamingAndAFailureNamesTheRegister) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    ASSERT_EQ(vocam_start_streaming(h), 0);
    err.take();
    auto f = window(0, 0, 640, 480, 1, 1);
    EXPECT_EQ(vocam_set_video_format(h, &f), -1);
    EXPECT_EQ(err.take(), "error: unable to change the video format while the stream is running\n");
    EXPECT_EQ(vocam_stop_streaming(h), 0);
    EXPECT_EQ(vocam_set_video_format(h, &f), 0);
    EXPECT_EQ(vocam_disable_streaming(h), 0);

    err.take();
    cam.device().failControl(vocam::usbhost::kIOReturnIOError, 1);
    f = window(0, 0, 320, 240, 1, 1);
    EXPECT_LT(vocam_set_video_format(h, &f), 0);
    EXPECT_THAT(err.take(), HasSubstr("error: unable to write param 'VOCAM_FO_SIZE'\n"));
    EXPECT_EQ(h->camera.width, 320);  // the handle keeps the new values
}

// The flags of a colour id are the conversion's business (the frames below
// convert through them); here only what the query does around them.
TEST_F(Format, ImageFormatOfRefusedAndDeepColourIds) {
    _vocam h;
    h.camera.width = 100;
    h.camera.height = 10;
    for (std::uint32_t id : {1u, 7u, 32u, 39u}) {
        h.camera.color_id = id;
        _VOCAM_IMAGE_FORMAT image;
        std::memset(&image, 0xEE, sizeof image);
        EXPECT_EQ(vocam_get_image_format(&h, &image), -1) << id;
        EXPECT_EQ(image.ImageSize, 1000u) << id;  // filled even when the id is refused
        EXPECT_EQ(image.VocamReserved[0], 0xEEEEEEEEu) << id;
    }
    h.camera.color_id = 9;
    _VOCAM_IMAGE_FORMAT image{};
    for (std::uint32_t pf : {1u, 2u}) {
        h.camera.pixel_format = pf;
        ASSERT_EQ(vocam_get_image_format(&h, &image), 0);
        EXPECT_EQ(image.ImageSize, 1000u * (pf + 1));
        EXPECT_EQ(image.VocamReserved[0], 8u);
    }
}

TEST_F(Format, DataRatesAreListedAndSet) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    EXPECT_EQ(vocam_count_available_data_rates(h), 3);
    using Rates = std::vector<std::uint32_t>;
    Rates rates(4, 7);
    EXPECT_EQ(vocam_enum_available_data_rates(h, rates.data(), 2), 2);
    EXPECT_EQ(rates, (Rates{12000, 24000, 7, 7}));  // nothing beyond the capacity

    EXPECT_EQ(vocam_set_data_rate(h, 24000), 0);
    EXPECT_EQ(cam.device().reg(0x1048), 24000u);
    std::uint32_t rate = 0;
    EXPECT_EQ(vocam_get_data_rate(h, &rate), 0);
    EXPECT_EQ(rate, 24000u);
    err.take();
    cam.device().failControl(vocam::usbhost::kIOReturnIOError, 1);
    EXPECT_LT(vocam_set_data_rate(h, 12000), 0);
    EXPECT_THAT(err.take(), HasSubstr("error: unable to write param 'VOCAM_FO_KPS'\n"));
    cam.device().failControl(vocam::usbhost::kIOReturnIOError, 1);
    EXPECT_LT(vocam_get_data_rate(h, &rate), 0);
    EXPECT_THAT(err.take(), HasSubstr("error: unable to read param 'VOCAM_FO_KPS'\n"));
}

TEST_F(Format, CallbackSlots) {
    _vocam h;
    int context = 0;
    auto callback = [](_vocam *, std::uint32_t, void *) {};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(vocam_enable_callback_notification(&h, 1 + i, callback, &context), i);
    EXPECT_EQ(vocam_enable_callback_notification(&h, 9, callback, &context), -28);
    EXPECT_EQ(h.callbacks[2].type, 3u);
    EXPECT_EQ(h.callbacks[2].context, &context);
    EXPECT_EQ(vocam_disable_callback_notification(&h, 2), 0);
    EXPECT_EQ(vocam_disable_callback_notification(&h, 2), -22);  // already free
    EXPECT_EQ(err.take(), "error: invalid callback ID '2' when disabling callback\n");
    EXPECT_EQ(vocam_disable_callback_notification(&h, 4), -22);
    EXPECT_EQ(vocam_disable_callback_notification(&h, -1), -22);
    EXPECT_EQ(vocam_enable_callback_notification(&h, 0, callback, &context),
              -22);  // 0 marks a free slot
    EXPECT_EQ(vocam_enable_callback_notification(&h, 5, callback, nullptr), 2);  // the freed slot
}

// ---- What the simulated camera sends ----

// A frame equals the window rendered on its own; frames convert only while
// the stream runs.
TEST_F(Format, FramesShowTheWindowInTheModelsPhaseAndConvertWhileStreaming) {
    OpenCamera cam("model_03:state=ready:fps=0");  // GRBG
    _vocam *h = cam.handle();
    auto f = window(200, 100, 640, 480, 2, 2);
    ASSERT_EQ(vocam_set_video_format(h, &f), 0);
    std::vector<std::uint8_t> raw(320 * 240, 128), rgb(320 * 240 * 3, 0);
    _VOCAM_IMAGE_FORMAT image{};
    ASSERT_EQ(vocam_get_image_format(h, &image), 0);
    const std::uint32_t params[3] = {12, 1, 0};  // nearest neighbour, no correction
    EXPECT_EQ(vocam_convert_frame_to_rgb(h, rgb.data(), raw.data(), &image, params), -22);
    EXPECT_EQ(rgb[0], 0);
    withOneFrame(h, [&](const std::uint8_t *frame) {
        const auto expected = rendered({1600, 1200, 200, 100, 640, 480, 2, 2, 9});
        ASSERT_EQ(expected.size(), 320u * 240u);
        EXPECT_EQ(std::memcmp(frame, expected.data(), expected.size()), 0);
        EXPECT_EQ(vocam_convert_frame_to_rgb(h, rgb.data(), frame, &image, params), 0);
    });
    // Once the stream has ended, the conversion is refused again.
    EXPECT_EQ(vocam_convert_frame_to_rgb(h, rgb.data(), raw.data(), &image, params), -22);
    // The thread count reaches the engine (whose bands are convert_bands_test's).
    EXPECT_EQ(vocam_set_conversion_threads(nullptr, 2), -22);
    EXPECT_EQ(vocam_set_conversion_threads(h, 9), -22);
    ASSERT_EQ(vocam_set_conversion_threads(h, 2), 0);
    EXPECT_EQ(h->colour.converter->GetConversionThreads(), 2u);
    // The grey ramp along the top: brighter to the right, and reddish under
    // the scene's warm light until white balance corrects it.
    auto at = [&](int x, int c) { return rgb[(10 * 320 + x) * 3 + c]; };
    EXPECT_LT(at(20, 1) + 40, at(300, 1));
    EXPECT_GT(at(300, 0), at(300, 2));
}

// A ring buffer holds the frame of the window it was enabled for: an image
// format that describes any other frame (one kept from before a window
// change, or 16-bit samples over an 8-bit frame) is refused before a pixel
// is read, by both conversions.
TEST_F(Format, RingFramesConvertOnlyWithTheirOwnFrameSize) {
    OpenCamera cam("model_02:state=ready:fps=0");
    _vocam *h = cam.handle();
    _VOCAM_IMAGE_FORMAT full{}, own{};
    ASSERT_EQ(vocam_get_image_format(h, &full), 0);  // 1280 x 1024
    auto f = window(0, 0, 640, 480, 2, 2);
    ASSERT_EQ(vocam_set_video_format(h, &f), 0);
    ASSERT_EQ(vocam_get_image_format(h, &own), 0);
    _VOCAM_IMAGE_FORMAT wide = own;
    wide.PixelFormat = 1;
    std::vector<std::uint8_t> rgb(1280 * 1024 * 3);
    err.take();
    withOneFrame(h, [&](const std::uint8_t *frame) {
        for (const _VOCAM_IMAGE_FORMAT *image : {&own, &full, &wide}) {
            const int expected = image == &own ? 0 : -22;
            EXPECT_EQ(vocam_convert_frame_to_rgb(h, rgb.data(), frame, image, nullptr), expected);
            EXPECT_EQ(vocam_convert_frame_to_rgb_bits(h, rgb.data(), frame, image, nullptr, 24),
                      expected);
        }
    });
    EXPECT_EQ(countOf(err.take(), "is not the ring buffer's"), 4);
}

// Unequal factors, both above 1, catch a divisor taken from the wrong axis
// and a multiplication in place of a division on either. The camera keeps
// its window across a close: reopened, it reads back the format it was given.
TEST_F(Format, UnequalSubsamplingInXAndYAndAfterAReopen) {
    OpenCamera cam("model_02:state=ready:fps=0");
    _vocam *h = cam.handle();
    const auto f = window(64, 32, 640, 480, 4, 2);
    ASSERT_EQ(vocam_set_video_format(h, &f), 0);
    _VOCAM_IMAGE_FORMAT image{};
    ASSERT_EQ(vocam_get_image_format(h, &image), 0);
    EXPECT_EQ(std::make_tuple(image.Width, image.Height, image.ImageSize),
              std::make_tuple(160u, 240u, 160u * 240u));
    withOneFrame(h, [&](const std::uint8_t *frame) {
        EXPECT_EQ(vocam_get_video_frame_size(h), 160u * 240u);
        const auto expected = rendered({1280, 1024, 64, 32, 640, 480, 4, 2, 24});
        ASSERT_EQ(expected.size(), 160u * 240u);
        EXPECT_EQ(std::memcmp(frame, expected.data(), expected.size()), 0);
    });
    cam.close();
    ASSERT_EQ(vocam_camera_open_by_pid(&h, cam.device().product()), 0);
    ASSERT_NE(h, nullptr);
    _vocam_frame_format back{};
    EXPECT_EQ(vocam_get_video_format(h, &back), 0);
    EXPECT_EQ(std::memcmp(&back, &f, sizeof f), 0);
    EXPECT_EQ(std::tie(h->camera.width, h->camera.height), std::make_tuple(160, 240));
    vocam_camera_close(&h);
}

TEST(SimulatedScene, MosaicPhaseLightAndShaping) {
    vocam::sim::VideoSettings s{640, 480, 0, 0, 640, 480, 1, 1, 8};  // RGGB
    std::iota(s.tone.begin(), s.tone.end(), 0);
    const auto rggb = vocam::sim::SimVideo::render(s);
    // The ramp's bright end under the warm light: red over green over blue.
    const std::size_t row = 20 * 640, col = 600;
    const int red = rggb[row + col], green = rggb[row + col + 1], blue = rggb[row + 640 + col + 1];
    EXPECT_GT(red, green);
    EXPECT_GT(green, blue);
    EXPECT_LT(red, 255);

    s.colorCode = 11;  // BGGR: blue where RGGB had red
    const auto bggr = vocam::sim::SimVideo::render(s);
    EXPECT_EQ(bggr[row + col], blue);

    s.colorCode = 0;  // monochrome: neighbouring pixels of a flat area agree
    const auto mono = vocam::sim::SimVideo::render(s);
    EXPECT_EQ(mono[row + col], mono[row + col + 1]);

    // Exposure's share of the picture is what automatic exposure converges
    // on (auto_stream_test).
    s.colorCode = 8;
    s.gainRed = 2 * 4096;
    const auto redder = vocam::sim::SimVideo::render(s);
    EXPECT_EQ(redder[row + col], 255);  // clipped
    EXPECT_EQ(redder[row + col + 1], green);
    s.gainRed = 0;
    for (int i = 0; i < 256; ++i) s.tone[i] = static_cast<std::uint8_t>(255 - i);
    const auto inverted = vocam::sim::SimVideo::render(s);
    EXPECT_EQ(inverted[row + col], 255 - red);
}

TEST(SimulatedScene, FrameHashSeesEveryByte) {
    std::vector<std::uint8_t> bytes(10001, 7);
    const auto base = vocam::sim::frameHash(bytes.data(), bytes.size());
    for (std::size_t at : {std::size_t{0}, std::size_t{4095}, std::size_t{10000}}) {
        auto changed = bytes;
        changed[at] ^= 1;
        EXPECT_NE(vocam::sim::frameHash(changed.data(), changed.size()), base) << at;
    }
    EXPECT_NE(vocam::sim::frameHash(bytes.data(), bytes.size() - 1), base);
}

}  // namespace
