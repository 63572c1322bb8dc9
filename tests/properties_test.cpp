// The property model end to end on simulated cameras: routing of every
// identifier, the tone curve and its message, the colour engine's settings,
// cooling and the fan, and the camera side of each.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "device/vo_cameras.h"
#include "device/wire.h"
#include "support/OpenCamera.h"
#include "support/Stderr.h"
#include "vo_cam/properties.h"
#include "vocamusb.h"

using namespace vocam;
using test::OpenCamera;
using test::registerTraffic;
using test::Traffic;
using test::wireWords;
using ::testing::HasSubstr;

namespace {

constexpr auto kNotResponding = usbhost::kIOReturnNotResponding;

struct Range {
    int status, min, max, value;
    std::uint32_t flags;
    bool operator==(const Range &) const = default;
};
void PrintTo(const Range &r, std::ostream *os) {
    *os << "{status " << r.status << ", " << r.min << ".." << r.max << ", value " << r.value
        << ", flags 0x" << std::hex << r.flags << std::dec << "}";
}
Range range(_vocam *h, std::uint32_t id) {
    Range r{0, -7, -7, -7, 7};
    r.status = vocam_property_get_range(h, id, &r.min, &r.max, &r.value, &r.flags);
    return r;
}

// A get answers as a range call without bounds.
Range get(_vocam *h, std::uint32_t id) {
    Range g{0, 0, 0, 5, 5};
    g.status = vocam_property_get(h, id, &g.value, &g.flags);
    return g;
}

class Model02 : public ::testing::Test {
  protected:
    OpenCamera cam{"model_02:state=ready"};
    _vocam *h = cam.handle();
};

TEST(ToneCurve, ShapesOfTheCurve) {
    std::uint8_t lut[256];
    const auto expect = [&](std::int64_t g, std::int64_t c, std::int64_t b, auto entry) {
        cam_make_tone_curve(g, c, b, lut);
        for (int i = 0; i < 256; ++i) ASSERT_EQ(lut[i], entry(i)) << g << '/' << c << '/' << b;
    };
    expect(100, 100, 0, [](int i) { return i; });
    expect(100, 0, 0, [](int) { return 128; });
    expect(100, 100, -10000, [](int i) { return i <= 100 ? 0 : i - 100; });
    // Gamma 0 has no curve; every entry must still be defined (the sanitizer
    // build catches a NaN reaching the byte conversion).
    expect(0, 100, 0, [](int) { return 0; });
    // Gamma 2: k = sqrt(255), so 64 maps to sqrt(64 * 255).
    cam_make_tone_curve(200, 100, 0, lut);
    EXPECT_EQ(lut[64], static_cast<int>(std::sqrt(64.0 * 255.0)));
}

TEST_F(Model02, ToneCurveGoesToTheCameraAsMessageZeroInFourChunks) {
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_GAMMA, 200, 0), 0);
    Traffic expected = {{false, 0x4FF8, wireWords({1})}, {true, 0x4FFC, wireWords({0})}};
    for (int c = 0; c < 4; ++c)
        expected.push_back({true,
                            static_cast<std::uint16_t>(0x5000 + 64 * c),
                            {h->colour.tone_lut + 64 * c, h->colour.tone_lut + 64 * (c + 1)}});
    EXPECT_EQ(registerTraffic(cam.device()), expected);
    const auto curve = cam.device().toneCurve();
    EXPECT_TRUE(std::equal(curve.begin(), curve.end(), h->colour.tone_lut));
    // The camera applies it, so the conversion leaves tone alone.
    EXPECT_EQ(h->colour.converter->settings.toneTableSize, 0u);
}

TEST(ToneCurve, FallsBackToTheEngineWhenTheCameraCannotTakeIt) {
    OpenCamera masked("model_02:state=ready:msgmask=2");
    test::StderrCapture err;
    EXPECT_EQ(vocam_property_set(masked.handle(), VOCAM_PROP_CONTRAST, 150, 0), 0);
    ASSERT_EQ(registerTraffic(masked.device()).size(), 1u);  // the mask, nothing else
    int contrast = 0, gamma = 0;
    masked.handle()->colour.converter->GetContrast(&contrast, 15);
    masked.handle()->colour.converter->GetGamma(&gamma, 15);
    EXPECT_EQ(std::pair(contrast, gamma), std::pair(150, 100));

    // A mask that cannot be read moves the curve to the engine as well.
    OpenCamera unread("model_02:state=ready");
    unread.device().failControl(kNotResponding);
    EXPECT_EQ(vocam_property_set(unread.handle(), VOCAM_PROP_GAMMA, 150, 0), 0);
    unread.handle()->colour.converter->GetGamma(&gamma, 15);
    EXPECT_EQ(gamma, 150);
}

TEST(ToneCurve, OtherMessagesUseLargerChunksAndStayInsideTheWindow) {
    OpenCamera cam("model_02:state=ready:msgmask=3");
    std::vector<std::uint8_t> message(600);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(cam_write_message(cam.handle(), 1, message.data(), 600), 0);
    auto traffic = registerTraffic(cam.device());
    ASSERT_EQ(traffic.size(), 5u);
    EXPECT_EQ(traffic[1].data, wireWords({1}));
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(traffic[2 + c].address, 0x5000 + 0x100 * c);
        EXPECT_EQ(traffic[2 + c].data.size(), c < 2 ? 256u : 88u);
    }
    EXPECT_EQ(traffic[4].data.back(), message.back());

    // Too long for the window: refused before anything is selected or sent.
    cam.device().clearLog();
    std::vector<std::uint8_t> huge(vocam::wire::kMessageWindowBytes + 1);
    EXPECT_EQ(cam_write_message(cam.handle(), 1, huge.data(), huge.size()), -22);
    EXPECT_EQ(registerTraffic(cam.device()).size(), 1u);
    test::StderrCapture err;
    EXPECT_EQ(cam_write_message(cam.handle(), 4, message.data(), 4), -22);
    EXPECT_EQ(err.take(), "vocam message 4 is not supported\n");
}

TEST_F(Model02, EachRegisterPropertyReadsAndWritesItsBlock) {
    const std::pair<std::uint32_t, std::uint16_t> blocks[] = {
        {VOCAM_PROP_EXPOSURE, 0x04A0},
        {VOCAM_PROP_GAIN, 0x04F0},
        {VOCAM_PROP_GAIN_RED, 0x0500},
        {VOCAM_PROP_GAIN_BLUE, 0x0530},
        {VOCAM_PROP_GAIN_GREEN1, 0x0510},
        {VOCAM_PROP_GAIN_GREEN2, 0x0520},
        {VOCAM_PROP_AUTO_EXPOSURE_TARGET, 0x0640}};
    for (const auto &[id, at] : blocks) {
        SCOPED_TRACE(id);
        const auto word = [at = at](std::uint32_t w) { return 0x80000000u + at * 16 + w; };
        for (std::uint16_t w = 0; w < 4; ++w) cam.device().setReg(at + 4 * w, word(w));
        cam.device().clearLog();
        const Range r = range(h, id);
        EXPECT_EQ(r, (Range{0, int(word(2)), int(word(3)), int(word(1)), word(0)}));
        EXPECT_EQ(vocam_property_set(h, id, -5, 0x1234), 0);
        const auto block = wireWords({word(0), word(1), word(2), word(3)});
        EXPECT_EQ(registerTraffic(cam.device()),
                  (Traffic{{false, at, block}, {true, at, wireWords({0x1234, 0xFFFFFFFB})}}));
    }
}

TEST_F(Model02, ARegisterPropertyThatCannotBeReachedFails) {
    test::StderrCapture err;
    cam.device().failControl(kNotResponding);
    EXPECT_EQ(range(h, VOCAM_PROP_GAIN), (Range{-1, 0, 0, 0, 0}));
    cam.device().failControl(kNotResponding);
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_GAIN, 8192, 0), -1);
    EXPECT_THAT(err.take(), HasSubstr("error: unable to write register to camera\n"));

    // A cooled astronomy camera: no auto-exposure target.
    OpenCamera cooled("model_05:state=ready");
    EXPECT_EQ(range(cooled.handle(), VOCAM_PROP_AUTO_EXPOSURE_TARGET), (Range{0, 0, 0, 0, 0}));
}

// Each engine or tone property after one set: its status (1: taken, 0:
// refused or unchanged) and its range.
TEST_F(Model02, EnginePropertiesRangesValuesAndVerdicts) {
    const struct {
        std::uint32_t id;
        int set, status;
        Range after;
    } cases[] = {
        {VOCAM_PROP_GAMMA, 200, 0, {0, 1, 500, 200, 0x80000000u}},
        {VOCAM_PROP_BRIGHTNESS, -2500, 0, {0, -10000, 10000, -2500, 0x80000000u}},
        {VOCAM_PROP_CONTRAST, 100, 0, {0, 0, 10000, 100, 0x80000000u}},
        {VOCAM_PROP_DEMOSAIC_METHOD, 3, 0, {0, 0, 2, 1, 0}},
        {VOCAM_PROP_DEMOSAIC_METHOD, 2, 1, {0, 0, 2, 2, 0}},
        {VOCAM_PROP_CORRECTION_MATRIX, 17, 0, {0, 0, 5, 1, 0}},
        {VOCAM_PROP_CORRECTION_MATRIX, 14, 1, {0, 0, 5, 14, 0}},
        {VOCAM_PROP_FLIPPING, 2, 0, {0, 0, 3, 2, 0}},
        {VOCAM_PROP_SATURATION, 150, 0, {0, 5, 200, 150, 0}},
        // 0.5 is added before truncation toward zero, so a negative hue moves up.
        {VOCAM_PROP_HUE, -1234, 0, {0, -18000, 18000, -1233, 0}},
        {VOCAM_PROP_WHITE_BALANCE_V, -40, 0, {0, -100, 100, -39, 0}},
        {VOCAM_PROP_WHITE_BALANCE_U, 30, 0, {0, -100, 100, 30, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(vocam_property_set(h, c.id, c.set, 0), c.status);
        EXPECT_EQ(range(h, c.id), c.after);
    }
    EXPECT_EQ(h->colour.brightness, -2500);  // sign-extended
    int x = -1, y = -1;
    h->colour.converter->GetFlipping(&x, &y);
    EXPECT_EQ(std::pair(x, y), std::pair(0, 1));
    double u = 0, v = 0;
    h->colour.converter->GetSaturation(&u, &v);
    EXPECT_EQ(std::pair(u, v), std::pair(1.5, 1.5));
    // Each balance keeps the other.
    h->colour.converter->GetWhiteBalance(&u, &v);
    EXPECT_DOUBLE_EQ(u, 0.3);
    EXPECT_DOUBLE_EQ(v, -0.4);
}

TEST_F(Model02, EngineDigitalGainsAndSettingsBeyondTheIntegerScale) {
    ASSERT_EQ(vo_usb_create_votf(h), 0);
    CVotf &engine = *h->colour.converter;
    engine.SetGain(1.237);
    EXPECT_EQ(range(h, VOCAM_PROP_DIGITAL_GAIN), (Range{0, 100, 200, 124, 0}));
    engine.SetGain(1.0);
    ASSERT_EQ(engine.SetDigitalColorGains(1.237, 1.1, 0.9), 0);
    EXPECT_EQ(range(h, VOCAM_PROP_DIGITAL_GAIN_RED), (Range{0, 100, 250, 123, 0}));  // no rounding

    // One gain changes; the other two keep their values.
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_DIGITAL_GAIN_BLUE, 140, 0), 0);
    double g[3] = {};
    engine.GetDigitalColorGains(&g[0], &g[1], &g[2]);
    const double want[3] = {1.237, 1.1, 1.4};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(g[i], want[i], 1e-9) << i;
    // A saturation the gains cannot be expressed with is the engine's -14.
    engine.SetSaturation(0.05, 0.05);
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_DIGITAL_GAIN_GREEN, 120, 0), -14);

    engine.SetHue(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(range(h, VOCAM_PROP_HUE).value, 0);
    engine.SetSaturation(1e12, 1e12);
    EXPECT_EQ(range(h, VOCAM_PROP_SATURATION).value, INT_MAX);
    engine.SetGain(-1e12);
    EXPECT_EQ(range(h, VOCAM_PROP_DIGITAL_GAIN).value, INT_MIN);
}

TEST(EngineProperties, MonochromeCamerasHaveNoColourToBalance) {
    OpenCamera cam("model_04:state=ready");
    _vocam *h = cam.handle();
    ASSERT_EQ(h->camera.is_color, 0);
    ASSERT_EQ(vo_usb_create_votf(h), 0);
    h->colour.converter->SetWhiteBalance(0.5, 0.5);
    h->colour.converter->SetGain(1.7);
    for (std::uint32_t id = VOCAM_PROP_WHITE_BALANCE_U; id <= VOCAM_PROP_DIGITAL_GAIN_BLUE; ++id) {
        const int expected = id <= VOCAM_PROP_WHITE_BALANCE_V ? 0 : 100;
        EXPECT_EQ(range(h, id), (Range{0, expected, expected, expected, 0})) << id;
    }
    // The camera has no colour gain blocks either.
    EXPECT_EQ(range(h, VOCAM_PROP_GAIN_RED).flags, 0u);
    EXPECT_EQ(range(h, VOCAM_PROP_GAIN).flags, 0x80000000u);
}

TEST_F(Model02, GeometryUnknownIdentifiersAndArguments) {
    const std::pair<std::uint32_t, int> geometry[] = {{VOCAM_PROP_MAX_WIDTH, 1280},
                                                      {VOCAM_PROP_MAX_HEIGHT, 1024},
                                                      {VOCAM_PROP_UNIT_WIDTH, 8},
                                                      {VOCAM_PROP_UNIT_HEIGHT, 2},
                                                      {VOCAM_PROP_MAX_SUBSAMPLING, 4}};
    for (const auto &[id, value] : geometry) {
        EXPECT_EQ(get(h, id), (Range{0, 0, 0, value, 0})) << id;
        EXPECT_EQ(range(h, id).status, -22) << id;
        EXPECT_EQ(vocam_property_set(h, id, 1, 0), -22) << id;
    }
    cam.device().setReg(0x101C, 0x0302);
    EXPECT_EQ(get(h, VOCAM_PROP_MAX_SUBSAMPLING).value, 2);
    {
        test::StderrCapture err;
        cam.device().failControl(kNotResponding);
        EXPECT_EQ(get(h, VOCAM_PROP_MAX_SUBSAMPLING).status, -1);
        EXPECT_THAT(err.take(),
                    HasSubstr("error: unable to read param 'VOCAM_FO_SUBSAMPLING_INQ'\n"));
    }
    for (std::uint32_t id : {2u, 21u, 45u, 63u, 75u, 80u, 86u, 107u, 257u, 259u, 0xFFFFFFFFu}) {
        EXPECT_EQ(get(h, id), (Range{-22, 0, 0, 0, 0})) << id;
        EXPECT_EQ(range(h, id).status, -22) << id;
        EXPECT_EQ(vocam_property_set(h, id, 0, 0), -22) << id;
    }

    cam.device().clearLog();
    int value = 0, lo = 0, hi = 0;
    std::uint32_t flags = 0;
    const std::uint32_t id = VOCAM_PROP_GAIN;
    EXPECT_EQ((std::array{vocam_property_get(nullptr, id, &value, &flags),
                          vocam_property_get(h, id, nullptr, &flags),
                          vocam_property_get(h, id, &value, nullptr),
                          vocam_property_set(nullptr, id, 1, 0),
                          vocam_property_get_range(nullptr, id, &lo, &hi, &value, &flags),
                          vocam_property_get_range(h, id, &lo, &hi, nullptr, &flags),
                          vocam_property_get_range(h, id, &lo, &hi, &value, nullptr),
                          vo_usb_create_votf(nullptr)}),
              (std::array{-22, -22, -22, -22, -22, -22, -22, -22}));
    EXPECT_TRUE(cam.device().log().empty());
}

TEST(ColourEngine, CreatedOnFirstNeedWithTheModelsMatrices) {
    OpenCamera cam("model_06:state=ready");  // matrices 1, 2 and 5
    _vocam *h = cam.handle();
    EXPECT_EQ(get(h, VOCAM_PROP_MAX_WIDTH).status, 0);
    EXPECT_FALSE(h->colour.converter);  // geometry needs no engine
    EXPECT_EQ(get(h, VOCAM_PROP_GAIN).status, 0);
    ASSERT_TRUE(h->colour.converter);
    const auto &m = h->colour.converter->specifiedMatrices;
    for (unsigned id = 0; id < m.size(); ++id)
        EXPECT_EQ(static_cast<bool>(m[id]), id == 1 || id == 2 || id == 5) << id;
    // The blob's last coefficient, first in the engine's channel order (which
    // votf_test checks).
    EXPECT_EQ(m[1][0], 5832);
    CVotf *engine = h->colour.converter.get();
    EXPECT_EQ(vo_usb_create_votf(h), 0);
    EXPECT_EQ(h->colour.converter.get(), engine);
}

TEST(ColourEngine, AModelWithoutMatricesFailsOnceThenWorks) {
    OpenCamera cam("model_20:state=ready");
    _vocam *h = cam.handle();
    test::StderrCapture err;
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_SATURATION, 120, 0), -14);
    ASSERT_TRUE(h->colour.converter);
    EXPECT_EQ(range(h, VOCAM_PROP_SATURATION).value, 100);  // the failed call changed nothing
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_SATURATION, 120, 0), 0);
    EXPECT_EQ(range(h, VOCAM_PROP_SATURATION).value, 120);
    for (const auto &slot : h->colour.converter->specifiedMatrices) EXPECT_FALSE(slot);

    // A get that needs the engine reports the failure the same way, once.
    OpenCamera other("model_20:state=ready");
    EXPECT_EQ(get(other.handle(), VOCAM_PROP_GAIN), (Range{-14, 0, 0, 0, 0}));
    EXPECT_EQ(get(other.handle(), VOCAM_PROP_GAIN).value, 4096);
}

// Model data laid out by hand: a tag-1 record of entries (id then nine
// coefficients each) plus `extra` stray bytes, and the terminator.
std::vector<std::uint8_t> matrixBlob(const std::vector<std::int16_t> &ids, std::uint32_t extra) {
    std::vector<std::uint8_t> blob;
    const auto put = [&](std::uint32_t v, int bytes) {
        for (int b = 0; b < bytes; ++b) blob.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    };
    put(1, 4);
    put(static_cast<std::uint32_t>(20 * ids.size() + extra), 4);
    for (std::int16_t id : ids)
        for (int i = 0; i < 10; ++i) put(i == 0 ? std::uint16_t(id) : 4096 * (i % 4 == 1), 2);
    blob.insert(blob.end(), extra, 0x55);
    put(0, 4);
    return blob;
}

TEST(ColourEngine, MatrixLoadStopsAtARejectedEntryAndReadsWholeEntriesOnly) {
    struct Case {
        std::vector<std::int16_t> ids;
        std::uint32_t extra;
        std::vector<unsigned> loaded;
    } cases[] = {
        {{1, 16, 2}, 0, {1}},  // 16 is no model slot: the load stops there
        {{3, -1, 4}, 0, {3}},  // nor is a negative identifier
        {{2, 5}, 19, {2, 5}},  // a partial trailing entry is left alone
        {{}, 0, {}},
    };
    for (const Case &c : cases) {
        const std::vector<std::uint8_t> blob = matrixBlob(c.ids, c.extra);
        model_table_entry entry = camera_ids[1];
        entry.model_data = blob.data();
        entry.model_data_size = blob.size();
        _vocam handle;
        handle.camera.model = &entry;
        ASSERT_EQ(vo_usb_create_votf(&handle), 0);
        std::vector<unsigned> loaded;
        for (unsigned id = 0; id < 16; ++id)
            if (handle.colour.converter->specifiedMatrices[id]) loaded.push_back(id);
        EXPECT_EQ(loaded, c.loaded);
    }
    _vocam orphan;  // a product the model table does not know
    test::StderrCapture err;
    EXPECT_EQ(vo_usb_create_votf(&orphan), -22);
    EXPECT_EQ(err.take(),
              "error: device info cannot be NULL\nerror: unable to get model data matrices\n");
    EXPECT_EQ(vo_usb_create_votf(&orphan), 0);
}

TEST(Temperature, RegisterUnits) {
    for (auto [degrees, word] : {std::pair(-10.0f, 263000u), std::pair(25.5f, 298500u)}) {
        EXPECT_EQ(vocam_temp_to_register(degrees), word);
        EXPECT_FLOAT_EQ(vocam_register_to_temp(word), degrees);
    }
    // Outside the word: the nearest end, never an undefined conversion.
    EXPECT_EQ(vocam_temp_to_register(-300.0f), 0u);
    EXPECT_EQ(vocam_temp_to_register(1e10f), UINT32_MAX);
    EXPECT_EQ(vocam_temp_to_register(std::numeric_limits<float>::quiet_NaN()), 0u);
}

TEST(Temperature, TargetIsClampedAndTheFanFollowsTheCooler) {
    OpenCamera cam("model_05:state=ready");  // cooled, with a fan
    _vocam *h = cam.handle();
    ASSERT_TRUE(h->camera.temperature_supported && h->camera.fan_present);
    ASSERT_EQ(vo_usb_create_votf(h), 0);

    const std::uint32_t on = 0x80008000u;
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, vocam_temp_to_register(-60), on), 0);
    EXPECT_EQ(registerTraffic(cam.device()), (Traffic{{true, 0x0690, wireWords({on})},
                                                      {true, 0x0694, wireWords({233000})},
                                                      {true, 0x0730, wireWords({on})}}));
    EXPECT_EQ(h->camera.temperature_target, 233000);
    EXPECT_TRUE(h->camera.temperature_on && h->camera.fan_on);

    cam.device().clearLog();
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 400000, 0x80000000u), 0);
    EXPECT_EQ(registerTraffic(cam.device())[1],
              (test::RegisterAccess{true, 0x0694, wireWords({313000})}));
    EXPECT_FALSE(h->camera.temperature_on || h->camera.fan_on);
    EXPECT_EQ(cam.device().reg(0x0730), 0x80000000u);  // the fitted bit is the camera's

    // A failed write names the word it could not write.
    test::StderrCapture err;
    cam.device().failControl(kNotResponding);
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 263000, on), -1);
    EXPECT_THAT(err.take(), HasSubstr("error: unable to write param "
                                      "'VOCAM_TEMPERATURE + VOCAM_PROPERTY_FLAGVAL'\n"));
    EXPECT_FALSE(h->camera.temperature_on);
}

TEST(Temperature, CamerasWithoutCoolingOrFan) {
    OpenCamera uncooled("model_02:state=ready");
    ASSERT_EQ(vo_usb_create_votf(uncooled.handle()), 0);
    EXPECT_EQ(vocam_property_set(uncooled.handle(), VOCAM_PROP_TEMPERATURE, 263000, 0x8000), -22);
    EXPECT_TRUE(registerTraffic(uncooled.device()).empty());
    // The reading stays available; its flags say that no target is taken.
    const Range reading = range(uncooled.handle(), VOCAM_PROP_TEMPERATURE);
    EXPECT_EQ(reading.status, 0);
    EXPECT_EQ(reading.flags & VOCAM_PROP_FLAG_PRESENT, 0u);
    EXPECT_GT(reading.value, 0);

    OpenCamera fanless("model_05:state=ready:fan=0");
    ASSERT_EQ(vo_usb_create_votf(fanless.handle()), 0);
    EXPECT_EQ(vocam_property_set(fanless.handle(), VOCAM_PROP_TEMPERATURE, 263000, 0x80008000u), 0);
    EXPECT_EQ(registerTraffic(fanless.device()).size(), 2u);  // no fan to follow
    EXPECT_FALSE(fanless.handle()->camera.fan_on);
}

TEST(Temperature, TheSensorMovesTowardTheTargetWhileCooling) {
    OpenCamera cam("model_05:state=ready:coolrate=500");
    _vocam *h = cam.handle();
    const auto after = [&](int seconds) {
        cam.device().properties().elapse(std::chrono::seconds(seconds));
        return get(h, VOCAM_PROP_TEMPERATURE).value;
    };
    EXPECT_EQ(after(0), 293000);
    // Target set, cooler off: nothing moves.
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 283000, 0x80000000u), 0);
    EXPECT_EQ(after(10), 293000);
    // On: 500 mK a second, plus whatever real time the test takes.
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 283000, 0x80008000u), 0);
    EXPECT_NEAR(after(4), 291000, 200);
    EXPECT_EQ(after(60), 283000);  // it stops at the target
    // A stopped fan halves the cooler's speed.
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 273000, 0x80008000u), 0);
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x0730, 0x80000000u), 0);
    EXPECT_NEAR(after(4), 282000, 200);
}

TEST(SimulatedProperties, ReadOnlyBitsClampingAndMessages) {
    OpenCamera cam("model_02:state=ready:autoexp=0:msgmask=1");
    _vocam *h = cam.handle();
    const auto stored = [&](std::uint16_t at, std::uint32_t value) {
        EXPECT_EQ(vo_usb_write_vocam_u32(h, at, value), 0);
        return cam.device().reg(at);
    };
    // Without automatic exposure the auto bit cannot be set; bit 31 is fixed.
    EXPECT_EQ(stored(0x04A0, 0x0000C001u), 0x80000001u);
    // Values are kept inside the block's range; the minimum is read only.
    EXPECT_EQ(stored(0x04A4, 5), 10u);
    EXPECT_EQ(stored(0x04F4, 0xFFFFFFFFu), 65536u);
    EXPECT_EQ(stored(0x04F8, 1), 4096u);
    EXPECT_EQ(cam.device().reg(0x0644), 0u);  // no auto-exposure target block
    // The mask is the camera's; a message it does not take leaves no trace.
    EXPECT_EQ(stored(0x4FF8, 0xFFFFFFFFu), 1u);
    stored(0x4FFC, 3);
    std::uint8_t bytes[4] = {9, 9, 9, 9};
    ASSERT_EQ(vo_usb_write_vocam_bytes(h, 0x5000, bytes, 4), 0);
    stored(0x4FFC, 0);
    EXPECT_EQ(cam.device().toneCurve()[0], 0);
    // Message 0 can be read back through the window.
    std::uint8_t curve[256];
    for (int i = 0; i < 256; ++i) curve[i] = static_cast<std::uint8_t>(255 - i);
    ASSERT_EQ(cam_write_message(h, 0, curve, 256), 0);
    std::uint32_t word = 0;
    ASSERT_EQ(vo_usb_read_vocam_u32(h, 0x50FC, &word), 0);
    EXPECT_EQ(word, 0x00010203u);
    EXPECT_EQ(cam.device().properties().snapshot().toneCurve[0], 255);
}

}  // namespace
