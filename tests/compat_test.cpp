// The compatibility property calls: the unit conversions, the flags shift,
// and true/false results that leave outputs alone on failure.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/OpenedCamera.h"
#include "support/Stderr.h"
#include "vocamapi.h"

using namespace vocam;
using test::OpenedCamera;
using test::registerTraffic;
using test::wireWords;

VOCAM_USE_SIMULATED_HOST;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Conversions, EachRowOfTheTable) {
    // Hundredths: tone, saturation, hue and the digital gains.
    for (std::uint32_t id : {0u, 1u, 5u, 67u, 68u, 71u, 72u, 73u, 74u}) {
        EXPECT_FLOAT_EQ(ConvertPropToFloat(id, 125), 1.25f) << id;
        EXPECT_EQ(ConvertPropToLong(id, 1.25f), 125u) << id;
    }
    EXPECT_EQ(static_cast<int>(ConvertPropToLong(68, -12.34f)), -1233);  // +0.5, toward zero
    // Thousandths, with the integer taken as unsigned: exposure and friends.
    for (std::uint32_t id : {20u, 50u, 56u, 96u, 97u, 98u, 100u, 116u}) {
        EXPECT_FLOAT_EQ(ConvertPropToFloat(id, 12346), 12.346f) << id;
        EXPECT_EQ(ConvertPropToLong(id, 12.3456f), 12346u) << id;
    }
    EXPECT_FLOAT_EQ(ConvertPropToFloat(20, static_cast<int>(3600000000u)), 3600000.0f);
    // Gains in 1/4096.
    for (std::uint32_t id : {40u, 41u, 42u, 43u, 44u, 51u, 55u}) {
        EXPECT_EQ(ConvertPropToLong(id, 1.5f), 6144u) << id;
        EXPECT_FLOAT_EQ(ConvertPropToFloat(id, 6144), 1.5f) << id;
    }
    EXPECT_FLOAT_EQ(ConvertPropToFloat(45, 6144), 6144.0f);  // 45 is not a gain
    // Temperature.
    EXPECT_EQ(ConvertPropToLong(108, -10.0f), 263000u);
    EXPECT_FLOAT_EQ(ConvertPropToFloat(108, 263000), -10.0f);
    EXPECT_EQ(ConvertPropToLong(108, 20.15f), 293150u);
    // 21: the float falls as the integer rises.
    EXPECT_FLOAT_EQ(ConvertPropToFloat(21, 0), 10000.0f);
    EXPECT_FLOAT_EQ(ConvertPropToFloat(21, -5), 10000.0f);
    EXPECT_FLOAT_EQ(ConvertPropToFloat(21, 50), 4.0f);
    EXPECT_EQ(ConvertPropToLong(21, 4.0f), 50u);
    EXPECT_EQ(ConvertPropToLong(21, 0.0f), 1000u);  // taken as 0.01
    EXPECT_EQ(ConvertPropToLong(21, -3.0f), 1000u);
    // 256: two branches on each side.
    EXPECT_FLOAT_EQ(ConvertPropToFloat(256, 256), 50.0f);
    EXPECT_FLOAT_EQ(ConvertPropToFloat(256, 0), 100.0f);
    EXPECT_FLOAT_EQ(ConvertPropToFloat(256, 512), 25.0f);
    EXPECT_EQ(ConvertPropToLong(256, 25.0f), 512u);
    EXPECT_EQ(ConvertPropToLong(256, 75.0f), 128u);
    EXPECT_EQ(ConvertPropToLong(256, 100.0f), 1u);  // 0 raised to 1
    EXPECT_EQ(ConvertPropToLong(256, 0.1f), 65535u);
    // Everything else passes through, rounded.
    EXPECT_FLOAT_EQ(ConvertPropToFloat(64, 2), 2.0f);
    EXPECT_EQ(ConvertPropToLong(64, 1.6f), 2u);
}

TEST(Conversions, ValuesWithoutAnIntegerStayDefined) {
    // Each of these would reach an undefined float-to-integer conversion.
    for (std::uint32_t id : {0u, 20u, 40u, 108u, 21u, 256u, 64u})
        EXPECT_EQ(ConvertPropToLong(id, kNaN), 0u) << id;
    for (std::uint32_t id : {0u, 20u, 40u, 108u, 64u})
        EXPECT_EQ(ConvertPropToLong(id, 1e30f), UINT32_MAX) << id;
    EXPECT_EQ(ConvertPropToLong(21, 1e30f), 0u);
    EXPECT_EQ(ConvertPropToLong(256, 1e30f), 1u);
    EXPECT_EQ(ConvertPropToLong(20, -1e30f), 0x80000000u);
    EXPECT_EQ(ConvertPropToLong(256, 0.0f), 65535u);
    EXPECT_EQ(ConvertPropToLong(256, -4.0f), 65535u);
}

TEST(CompatCalls, FlagsShiftAndValuesConvert) {
    OpenedCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    cam.device().setReg(0x04A0, 0x80000003u);

    float value = 0;
    std::uint32_t flags = 0;
    ASSERT_EQ(VocamGetProperty(h, VOCAM_PROP_EXPOSURE, &value, &flags), 1);
    EXPECT_FLOAT_EQ(value, 20.0f);  // 20000 us as milliseconds
    EXPECT_EQ(flags, 0x00030000u);

    cam.device().clearLog();
    ASSERT_EQ(VocamSetProperty(h, VOCAM_PROP_EXPOSURE, 12.3456f, static_cast<int>(flags)), 1);
    const auto traffic = registerTraffic(cam.device());
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].address, 0x04A0);
    EXPECT_EQ(traffic[0].data, wireWords({0x0003, 12346}));

    // The high half shifts back arithmetically.
    cam.device().clearLog();
    ASSERT_EQ(VocamSetProperty(h, VOCAM_PROP_GAIN, 2.0f, static_cast<int>(0x80000000u)), 1);
    EXPECT_EQ(registerTraffic(cam.device())[0].data, wireWords({0xFFFF8000u, 8192}));

    float lo = 0, hi = 0;
    ASSERT_EQ(VocamPropertyRange(h, VOCAM_PROP_GAIN, &lo, &hi, &value, &flags), 1);
    EXPECT_FLOAT_EQ(lo, 1.0f);
    EXPECT_FLOAT_EQ(hi, 16.0f);
    EXPECT_FLOAT_EQ(value, 2.0f);
    EXPECT_EQ(flags, 0x80000000u);  // the range call does not shift
    ASSERT_EQ(VocamPropertyRange(h, VOCAM_PROP_HUE, nullptr, nullptr, &value, &flags), 1);
    EXPECT_FLOAT_EQ(value, 0.0f);

    // Integer calls: 1 for any non-negative status, the refused demosaic
    // method included.
    int v = 0, min = 0, max = 0;
    EXPECT_EQ(VocamPropertySet(h, VOCAM_PROP_DEMOSAIC_METHOD, 3, 0), 1);
    EXPECT_EQ(VocamPropertySet(h, VOCAM_PROP_DEMOSAIC_METHOD, 2, 0), 1);
    EXPECT_EQ(VocamPropertyGetRange(h, VOCAM_PROP_DEMOSAIC_METHOD, &min, &max, &v, &flags), 1);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(max, 2);
    EXPECT_EQ(VocamPropertyGet(h, VOCAM_PROP_MAX_WIDTH, &v, &flags), 1);
    EXPECT_EQ(v, 1280);
}

TEST(CompatCalls, TemperatureInDegrees) {
    OpenedCamera cam("model_05:state=ready");
    _vocam *h = cam.handle();
    float lo = 0, hi = 0, value = 0;
    std::uint32_t flags = 0;
    ASSERT_EQ(VocamPropertyRange(h, VOCAM_PROP_TEMPERATURE, &lo, &hi, &value, &flags), 1);
    EXPECT_FLOAT_EQ(lo, -40.0f);
    EXPECT_FLOAT_EQ(hi, 40.0f);
    EXPECT_NEAR(value, 20.0f, 0.01f);
    cam.device().clearLog();
    ASSERT_EQ(VocamSetProperty(h, VOCAM_PROP_TEMPERATURE, -10.0f, static_cast<int>(0x80000000u)),
              1);
    EXPECT_EQ(registerTraffic(cam.device())[1].data, wireWords({263000}));
    EXPECT_EQ(h->temperature_target, 263000);
}

TEST(CompatCalls, FailuresAnswerFalseAndLeaveOutputsAlone) {
    OpenedCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    test::StderrCapture err;
    float value = 7.5f, lo = 1.5f, hi = 2.5f;
    std::uint32_t flags = 0x1234;

    cam.device().failControl(usbhost::kIOReturnNotResponding);
    EXPECT_EQ(VocamGetProperty(h, VOCAM_PROP_EXPOSURE, &value, &flags), 0);
    cam.device().failControl(usbhost::kIOReturnNotResponding);
    EXPECT_EQ(VocamPropertyRange(h, VOCAM_PROP_GAIN, &lo, &hi, &value, &flags), 0);
    EXPECT_EQ(VocamGetProperty(h, 86, &value, &flags), 0);
    EXPECT_EQ(VocamPropertyRange(h, VOCAM_PROP_MAX_WIDTH, &lo, &hi, &value, &flags), 0);
    EXPECT_EQ(VocamGetProperty(nullptr, VOCAM_PROP_GAIN, &value, &flags), 0);
    EXPECT_EQ(VocamGetProperty(h, VOCAM_PROP_GAIN, nullptr, &flags), 0);
    EXPECT_EQ(VocamPropertyRange(h, VOCAM_PROP_GAIN, &lo, &hi, &value, nullptr), 0);
    EXPECT_EQ(value, 7.5f);
    EXPECT_EQ(lo, 1.5f);
    EXPECT_EQ(hi, 2.5f);
    EXPECT_EQ(flags, 0x1234u);

    EXPECT_EQ(VocamSetProperty(h, VOCAM_PROP_MAX_WIDTH, 1.0f, 0), 0);
    EXPECT_EQ(VocamPropertySet(nullptr, VOCAM_PROP_GAIN, 1, 0), 0);
    int v = 0;
    EXPECT_EQ(VocamPropertyGet(h, 86, &v, &flags), 0);
    EXPECT_EQ(VocamPropertyGetRange(h, 86, nullptr, nullptr, &v, &flags), 0);
    EXPECT_EQ(VocamLastError, 0);
}

}  // namespace
