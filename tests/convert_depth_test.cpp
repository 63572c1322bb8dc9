// Conversions at a chosen depth, and of frames that belong to no stream: the
// same picture as the stream's own conversion, and refusals before any byte
// beyond a buffer the caller named could be touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "support/OpenCamera.h"

namespace {

using vocam::test::OpenCamera;

_VOCAM_IMAGE_FORMAT imageFormat(std::uint32_t w, std::uint32_t h, std::uint32_t pixelFormat,
                                std::uint32_t flags) {
    _VOCAM_IMAGE_FORMAT f{};
    f.Size = sizeof f;
    f.Width = w;
    f.Height = h;
    f.PixelFormat = pixelFormat;
    f.ImageSize = w * h * (pixelFormat + 1);
    f.VocamReserved[0] = flags;
    return f;
}

conversion_params params(std::uint32_t method) {
    conversion_params p{};
    p.size = sizeof p;
    p.demosaicMethod = method;
    p.correctionMatrix = 14;
    p.saturation = 1.0f;
    p.gainOrGain0 = 1.0f;
    return p;
}

std::vector<std::uint8_t> frame(std::size_t bytes) {
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(i * 37 + i / 97);
    return out;
}

// With no light source and the camera's tone curve untouched, a frame
// converted without a camera is the picture the camera's stream gives, at
// both depths, and the buffer sized by the size query is exactly enough.
TEST(ConvertDepth, AFrameWithoutAStreamConvertsAsTheStreamDoes) {
    OpenCamera cam("model_02:state=ready:fps=20");
    ASSERT_EQ(vocam_enable_streaming(cam.handle()), 0);
    ASSERT_EQ(vocam_start_streaming(cam.handle()), 0);
    struct Case {
        std::uint32_t pixelFormat, flags, method, bits;
    };
    for (const Case c :
         {Case{1, VOCAM_LAYOUT_LSB_FIRST, 3, 48}, Case{1, VOCAM_LAYOUT_BLUE_ROW, 2, 48},
          Case{1, VOCAM_LAYOUT_LSB_FIRST, 1, 24}, Case{0, 0, 2, 24},
          Case{0, VOCAM_LAYOUT_MONO, 0, 24}}) {
        const auto f = imageFormat(70, 20, c.pixelFormat, c.flags);  // 210-byte grey rows pad
        const auto p = params(c.method);
        const auto raw = frame(f.ImageSize);
        std::size_t bytes = std::size_t{f.Width} * f.Height * 6;
        if (c.bits == 24) {
            ASSERT_EQ(vocam_get_rgb_frame_size(cam.handle(), &f, &p, nullptr, &bytes), 0);
        }
        std::vector<std::uint8_t> stream(bytes), own(bytes);
        ASSERT_EQ(vocam_convert_frame_to_rgb_bits(cam.handle(), stream.data(), raw.data(), &f, &p,
                                                  c.bits),
                  0);
        ASSERT_EQ(vocam_convert_raw_to_rgb(own.data(), own.size(), raw.data(), raw.size(), &f, &p,
                                           c.bits, 2),
                  0);
        EXPECT_EQ(own, stream) << c.method << " " << c.bits;
        if (c.bits == 24) {
            std::vector<std::uint8_t> classic(bytes);
            ASSERT_EQ(vocam_convert_frame_to_rgb(cam.handle(), classic.data(), raw.data(), &f, &p),
                      0);
            EXPECT_EQ(classic, stream);
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
    vocam_disable_streaming(cam.handle());
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

}  // namespace
