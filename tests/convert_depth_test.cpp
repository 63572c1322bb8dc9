// Conversions through the camera API: at a chosen depth, of frames that
// belong to no stream (the same picture as the stream's own conversion, and
// refusals before any byte beyond a buffer the caller named could be
// touched), and the size query against every conversion: each method, sample
// depth, mosaic kind and weave at widths whose rows do and do not pad,
// converted into a buffer of exactly the size the query gave with guard
// bytes after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "support/OpenCamera.h"

namespace {

using vocam::test::OpenCamera;

_VOCAM_IMAGE_FORMAT imageFormat(std::uint32_t w, std::uint32_t h, std::uint32_t pixelFormat,
                                std::uint32_t flags, std::uint32_t deinterlace = 0) {
    return {sizeof(_VOCAM_IMAGE_FORMAT),  w, h, pixelFormat, w * h * (pixelFormat + 1),
            {flags, 0, 0, 0, deinterlace}};
}

conversion_params params(std::uint32_t method, std::uint32_t correction = 14) {
    conversion_params p{};
    p.size = sizeof p;
    p.demosaicMethod = method;
    p.correctionMatrix = correction;
    p.saturation = p.gainOrGain0 = 1.0f;
    return p;
}

// A streaming camera; a case may stop the stream early.
struct Streaming {
    OpenCamera cam{"model_02:state=ready:fps=20"};
    Streaming() {
        EXPECT_EQ(vocam_enable_streaming(cam.handle()), 0);
        EXPECT_EQ(vocam_start_streaming(cam.handle()), 0);
    }
    ~Streaming() {
        vocam_stop_streaming(cam.handle());
        vocam_disable_streaming(cam.handle());
    }
};

// With the camera's tone curve untouched, a frame converted without a camera
// is the picture the camera's stream gives, at every depth, and the buffer
// sized by the size query is exactly enough. A 32-bit picture is the 24-bit
// one with a fourth byte as the buffer held it (0 from the 8-bit grey kernel).
TEST(ConvertDepth, AFrameWithoutAStreamConvertsAsTheStreamDoes) {
    Streaming s;
    OpenCamera &cam = s.cam;
    struct Case {
        std::uint32_t pixelFormat, flags, method, bits;
    };
    // Each depth, padded and unpadded 24-bit rows, and the grey kernel's zero
    // fourth byte; the layout flags are the engine's own (convert_test).
    for (const Case c : {Case{1, VOCAM_LAYOUT_LSB_FIRST, 3, 48}, Case{0, 0, 2, 24},
                         Case{0, VOCAM_LAYOUT_MONO, 0, 24}, Case{1, VOCAM_LAYOUT_BLUE_ROW, 1, 32},
                         Case{0, VOCAM_LAYOUT_MONO, 0, 32}}) {
        const auto f = imageFormat(70, 20, c.pixelFormat, c.flags);  // 210-byte grey rows pad
        const auto p = params(c.method);
        std::vector<std::uint8_t> raw(f.ImageSize);
        std::iota(raw.begin(), raw.end(), std::uint8_t{0});
        std::uint32_t stride = 0;
        std::size_t size24 = 0;
        ASSERT_EQ(vocam_get_rgb_frame_size(cam.handle(), &f, &p, &stride, &size24), 0);
        std::vector<std::uint8_t> classic(size24, 0x5A);
        ASSERT_EQ(vocam_convert_frame_to_rgb(cam.handle(), classic.data(), raw.data(), &f, &p), 0);
        const std::size_t bytes =
            c.bits == 24 ? size24 : std::size_t{f.Width} * f.Height * c.bits / 8;
        std::vector<std::uint8_t> stream(bytes, 0x5A), own(bytes, 0x5A);
        ASSERT_EQ(vocam_convert_frame_to_rgb_bits(cam.handle(), stream.data(), raw.data(), &f, &p,
                                                  c.bits),
                  0);
        ASSERT_EQ(vocam_convert_raw_to_rgb(own.data(), own.size(), raw.data(), raw.size(), &f, &p,
                                           c.bits, 2),
                  0);
        EXPECT_EQ(own, stream) << c.method << " " << c.bits;
        if (c.bits == 24) {
            EXPECT_EQ(classic, stream);
        }
        const bool grey8 = c.pixelFormat == 0 && (c.method == 0 || c.flags & VOCAM_LAYOUT_MONO);
        for (std::size_t i = 0; c.bits == 32 && i < std::size_t{f.Width} * f.Height; ++i) {
            const std::size_t at = i / f.Width * stride + i % f.Width * 3;
            ASSERT_TRUE(std::equal(classic.begin() + at, classic.begin() + at + 3, &stream[4 * i]))
                << c.method << ": pixel " << i;
            ASSERT_EQ(stream[4 * i + 3], grey8 ? 0 : 0x5A) << c.method << ": pixel " << i;
        }
        EXPECT_EQ(vocam_convert_raw_to_rgb(own.data(), own.size() - 1, raw.data(), raw.size(), &f,
                                           &p, c.bits, 1),
                  VOCAM_EINVAL);
    }
    vocam_stop_streaming(cam.handle());
    // Outside a running stream the handle's conversion refuses, as the 24-bit one does.
    const auto f = imageFormat(8, 8, 1, 0);
    std::vector<std::uint8_t> raw(f.ImageSize), rgb(8 * 8 * 6);
    EXPECT_EQ(
        vocam_convert_frame_to_rgb_bits(cam.handle(), rgb.data(), raw.data(), &f, nullptr, 48),
        VOCAM_EINVAL);
}

TEST(ConvertDepth, RefusalsComeBeforeAnyPixelIsRead) {
    const auto f = imageFormat(64, 32, 1, 0);
    const auto p = params(2);
    // A heap block one byte shorter than the image format says: a read past
    // it would be caught by the address sanitizer.
    auto shortFrame = std::make_unique<std::uint8_t[]>(f.ImageSize - 1);
    std::vector<std::uint8_t> rgb(64 * 32 * 6, 0xAB);
    EXPECT_EQ(vocam_convert_raw_to_rgb(rgb.data(), rgb.size(), shortFrame.get(), f.ImageSize - 1,
                                       &f, &p, 48, 1),
              VOCAM_EINVAL);
    // 8-bit samples have no 48-bit picture.
    const auto eightBit = imageFormat(64, 32, 0, 0);
    EXPECT_EQ(vocam_convert_raw_to_rgb(rgb.data(), rgb.size(), shortFrame.get(), f.ImageSize - 1,
                                       &eightBit, &p, 48, 1),
              VOCAM_EUNSUPPORTED);
    EXPECT_TRUE(std::all_of(rgb.begin(), rgb.end(), [](std::uint8_t b) { return b == 0xAB; }));
}

constexpr std::size_t kGuard = 64;

TEST(RgbFrameSize, EveryConversionFitsTheSizeItWasGiven) {
    Streaming s;
    _vocam *h = s.cam.handle();
    std::mt19937 random(7);
    int converted = 0, padded = 0, refused = 0;
    const auto check = [&](std::uint32_t width, std::uint32_t height, std::uint32_t pixelFormat,
                           std::uint32_t flags, std::uint32_t deinterlace, std::uint32_t method) {
        SCOPED_TRACE(testing::Message()
                     << width << "x" << height << " pixel format " << pixelFormat << " flags "
                     << flags << " deinterlace " << deinterlace << " method " << method);
        const auto format = imageFormat(width, height, pixelFormat, flags, deinterlace);
        const auto p = params(method, 1);  // the matrix stage runs too
        std::uint32_t stride = 0;
        std::size_t bytes = 0;
        const int r = vocam_get_rgb_frame_size(h, &format, &p, &stride, &bytes);
        std::vector<std::uint8_t> src(std::size_t{width} * height * (pixelFormat + 1));
        for (auto &b : src) b = static_cast<std::uint8_t>(random());
        if (r != 0) {
            // Refused only where the conversion refuses as well.
            ASSERT_EQ(r, VOCAM_EUNSUPPORTED);
            std::vector<std::uint8_t> dst(3 * width * height + kGuard);
            EXPECT_EQ(vocam_convert_frame_to_rgb(h, dst.data(), src.data(), &format, &p),
                      VOCAM_EUNSUPPORTED);
            ++refused;
            return;
        }
        ASSERT_GE(stride, 3 * width);
        ASSERT_LT(stride, 3 * width + 4);
        ASSERT_EQ(bytes, std::size_t{stride} * height);
        padded += stride != 3 * width;
        // Which bytes of each row a conversion writes is the engine's own
        // (convert_test); here it must stay inside the size.
        std::vector<std::uint8_t> a(bytes + kGuard, 0xA5);
        ASSERT_EQ(vocam_convert_frame_to_rgb(h, a.data(), src.data(), &format, &p), 0);
        ASSERT_TRUE(std::all_of(a.begin() + bytes, a.end(), [](auto b) { return b == 0xA5; }))
            << "written past the size";
        ++converted;
    };
    for (std::uint32_t width : {4u, 6u, 10u, 1002u})
        for (std::uint32_t height : {4u, 6u})
            for (std::uint32_t pixelFormat : {0u, 1u})
                for (std::uint32_t flags : {0u, 1u, 2u, 3u, 4u, 14u})
                    for (std::uint32_t deinterlace : {0u, 1u})
                        for (std::uint32_t method : {0u, 1u, 2u, 3u, 5u, 8u, 9u}) {
                            check(width, height, pixelFormat, flags, deinterlace, method);
                            if (HasFatalFailure()) return;
                        }
    // Every pixel format and mosaic kind reached the padded grey rows, and
    // 8-bit two-field frames with method 9 have no 24-bit kernel.
    EXPECT_GT(padded, 0);
    EXPECT_GT(refused, 0);
    EXPECT_GT(converted, 500);
}

TEST(RgbFrameSize, DefaultsComeFromTheCameraAndTheEngine) {
    OpenCamera cam("model_02:state=ready:color=0");  // monochrome
    _vocam *h = cam.handle();
    const auto window = vocam::test::window(0, 0, 1002, 20, 1, 1);
    ASSERT_EQ(vocam_set_video_format(h, &window), 0);
    std::uint32_t stride = 0;
    std::size_t bytes = 0;
    // The width of the example that overran a width x height x 3 buffer.
    ASSERT_EQ(vocam_get_rgb_frame_size(h, nullptr, nullptr, &stride, &bytes), 0);
    EXPECT_EQ(std::pair(stride, bytes), std::pair(3008u, std::size_t{3008 * 20}));
    EXPECT_EQ(vocam_get_rgb_frame_size(h, nullptr, nullptr, nullptr, &bytes), 0);

    const auto colour = imageFormat(1002, 20, 0, 0, 0);
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_DEMOSAIC_METHOD, 0, 0), 1);
    ASSERT_EQ(vocam_get_rgb_frame_size(h, &colour, nullptr, &stride, &bytes), 0);
    EXPECT_EQ(stride, 3008u);
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_DEMOSAIC_METHOD, 2, 0), 1);
    ASSERT_EQ(vocam_get_rgb_frame_size(h, &colour, nullptr, &stride, &bytes), 0);
    EXPECT_EQ(stride, 3006u);

    // Refusals leave the outputs alone.
    stride = bytes = 99;
    auto wrong = colour;
    wrong.Size = 48;
    EXPECT_EQ(vocam_get_rgb_frame_size(h, &wrong, nullptr, &stride, &bytes), VOCAM_EINVAL);
    const std::uint32_t shortRecord[3] = {16, 1, 0};
    EXPECT_EQ(vocam_get_rgb_frame_size(h, &colour, shortRecord, &stride, &bytes), VOCAM_EINVAL);
    auto odd = colour;
    odd.Width = 1001;
    EXPECT_EQ(vocam_get_rgb_frame_size(h, &odd, nullptr, &stride, &bytes), VOCAM_EINVAL);
    EXPECT_EQ(vocam_get_rgb_frame_size(h, &colour, nullptr, &stride, nullptr), VOCAM_EINVAL);
    EXPECT_EQ(vocam_get_rgb_frame_size(nullptr, &colour, nullptr, &stride, &bytes), VOCAM_EINVAL);
    EXPECT_EQ(std::pair(stride, bytes), std::pair(99u, std::size_t{99}));
}

}  // namespace
