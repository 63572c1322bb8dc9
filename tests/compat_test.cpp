// The compatibility property calls: the unit conversions, the flags shift,
// and true/false results that leave outputs alone on failure.
#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <utility>

#include "support/OpenCamera.h"
#include "support/Stderr.h"
#include "vocamapi.h"

using namespace vocam;
using test::OpenCamera;
using test::registerTraffic;
using test::wireWords;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Conversion {
    std::uint32_t id;
    std::uint32_t integer;
    float value;
};

TEST(Conversions, EachScaleBothWaysAndItsEdges) {
    // One identifier of each scale: hundredths (tone, saturation, hue,
    // digital gains), thousandths (exposure and friends), gains in 1/4096,
    // temperature, and the two inverse scales of 21 and 256.
    const Conversion both[] = {{0, 125, 1.25f},       {20, 12346, 12.346f}, {40, 6144, 1.5f},
                               {108, 263000, -10.0f}, {21, 50, 4.0f},       {256, 512, 25.0f}};
    for (const Conversion &c : both) {
        EXPECT_FLOAT_EQ(ConvertPropToFloat(c.id, static_cast<int>(c.integer)), c.value) << c.id;
        EXPECT_EQ(ConvertPropToLong(c.id, c.value), c.integer) << c.id;
    }
    // One way only, including the edges of 21 and 256 and the pass-through.
    const Conversion toFloat[] = {{20, 3600000000u, 3600000.0f},
                                  {45, 6144, 6144.0f},
                                  {21, 0, 10000.0f},
                                  {256, 256, 50.0f},
                                  {64, 2, 2.0f}};
    for (const Conversion &c : toFloat)
        EXPECT_FLOAT_EQ(ConvertPropToFloat(c.id, static_cast<int>(c.integer)), c.value) << c.id;
    const Conversion toLong[] = {
        {68, static_cast<std::uint32_t>(-1233), -12.34f},  // +0.5, toward zero
        {108, 293150, 20.15f},
        {21, 1000, 0.0f},  // 0 taken as 0.01
        {256, 128, 75.0f},
        {256, 1, 100.0f},  // 0 raised to 1
        {256, 65535, 0.1f},
        {64, 2, 1.6f},
        // Each of these would reach an undefined float-to-integer conversion.
        {20, 0x80000000u, -1e30f},
        {256, 65535, 0.0f},  // the formula divides by zero only here
        {256, 0xFFFFCE00u, -1.0f}};
    for (const Conversion &c : toLong)
        EXPECT_EQ(ConvertPropToLong(c.id, c.value), c.integer) << c.id << ' ' << c.value;
    for (std::uint32_t id : {0u, 20u, 40u, 108u, 21u, 256u, 64u})
        EXPECT_EQ(ConvertPropToLong(id, kNaN), 0u) << id;
    for (std::uint32_t id : {0u, 20u, 40u, 108u, 64u})
        EXPECT_EQ(ConvertPropToLong(id, 1e30f), UINT32_MAX) << id;
}

TEST(CompatCalls, FlagsShiftAndValuesConvert) {
    OpenCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    cam.device().setReg(0x04A0, 0x80000003u);
    float value = 0, lo = 0, hi = 0;
    std::uint32_t flags = 0;
    ASSERT_EQ(VocamGetProperty(h, VOCAM_PROP_EXPOSURE, &value, &flags), 1);
    EXPECT_FLOAT_EQ(value, 20.0f);  // 20000 us as milliseconds
    EXPECT_EQ(flags, 0x00030000u);

    cam.device().clearLog();
    ASSERT_EQ(VocamSetProperty(h, VOCAM_PROP_EXPOSURE, 12.3456f, static_cast<int>(flags)), 1);
    EXPECT_EQ(registerTraffic(cam.device()),
              (test::Traffic{{true, 0x04A0, wireWords({0x0003, 12346})}}));
    // The high half shifts back arithmetically.
    cam.device().clearLog();
    ASSERT_EQ(VocamSetProperty(h, VOCAM_PROP_GAIN, 2.0f, static_cast<int>(0x80000000u)), 1);
    EXPECT_EQ(registerTraffic(cam.device())[0].data, wireWords({0xFFFF8000u, 8192}));

    ASSERT_EQ(VocamPropertyRange(h, VOCAM_PROP_GAIN, &lo, &hi, &value, &flags), 1);
    EXPECT_EQ((std::array{lo, hi, value}), (std::array{1.0f, 16.0f, 2.0f}));
    EXPECT_EQ(flags, 0x80000000u);  // the range call does not shift
    ASSERT_EQ(VocamPropertyRange(h, VOCAM_PROP_HUE, nullptr, nullptr, &value, &flags), 1);
    EXPECT_FLOAT_EQ(value, 0.0f);

    // Integer calls: 1 for any non-negative status, the refused demosaic
    // method included.
    int v = 0, min = 0, max = 0;
    EXPECT_EQ(VocamPropertySet(h, VOCAM_PROP_DEMOSAIC_METHOD, 3, 0), 1);
    EXPECT_EQ(VocamPropertySet(h, VOCAM_PROP_DEMOSAIC_METHOD, 2, 0), 1);
    EXPECT_EQ(VocamPropertyGetRange(h, VOCAM_PROP_DEMOSAIC_METHOD, &min, &max, &v, &flags), 1);
    EXPECT_EQ(std::pair(v, max), std::pair(2, 2));
    EXPECT_EQ(VocamPropertyGet(h, VOCAM_PROP_MAX_WIDTH, &v, &flags), 1);
    EXPECT_EQ(v, 1280);
}

TEST(CompatCalls, FailuresAnswerFalseAndLeaveOutputsAlone) {
    OpenCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    test::StderrCapture err;
    float value = 7.5f, lo = 1.5f, hi = 2.5f;
    std::uint32_t flags = 0x1234;
    cam.device().failControl(usbhost::kIOReturnNotResponding);
    EXPECT_EQ(VocamGetProperty(h, VOCAM_PROP_EXPOSURE, &value, &flags), 0);
    cam.device().failControl(usbhost::kIOReturnNotResponding);
    EXPECT_EQ(VocamPropertyRange(h, VOCAM_PROP_GAIN, &lo, &hi, &value, &flags), 0);
    EXPECT_EQ(VocamGetProperty(nullptr, VOCAM_PROP_GAIN, &value, &flags), 0);
    EXPECT_EQ(VocamGetProperty(h, VOCAM_PROP_GAIN, nullptr, &flags), 0);
    EXPECT_EQ(VocamPropertyRange(h, VOCAM_PROP_GAIN, &lo, &hi, &value, nullptr), 0);
    EXPECT_EQ((std::array{value, lo, hi}), (std::array{7.5f, 1.5f, 2.5f}));
    EXPECT_EQ(flags, 0x1234u);

    int v = 0;
    EXPECT_EQ(VocamSetProperty(h, VOCAM_PROP_MAX_WIDTH, 1.0f, 0), 0);
    EXPECT_EQ(VocamPropertyGet(h, 86, &v, &flags), 0);
    EXPECT_EQ(VocamPropertyGetRange(h, 86, nullptr, nullptr, &v, &flags), 0);
    EXPECT_EQ(VocamLastError, 0);
}

}  // namespace
