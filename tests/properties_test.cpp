// The property model end to end on simulated cameras: routing of every
// identifier, the tone curve and its message, the colour engine's settings,
// cooling and the fan, and the camera side of each.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "support/OpenedCamera.h"
#include "support/Stderr.h"
#include "vo_cam/properties.h"
#include "vo_cameras.h"
#include "vocamusb.h"

using namespace vocam;
using test::OpenedCamera;
using test::registerTraffic;
using test::Traffic;
using test::wireWords;

VOCAM_USE_SIMULATED_HOST;

namespace {

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

// ---- tone curve

TEST(ToneCurve, ShapesOfTheCurve) {
    std::uint8_t lut[256];
    cam_make_tone_curve(100, 100, 0, lut);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(lut[i], i);
    cam_make_tone_curve(100, 0, 0, lut);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(lut[i], 128);
    cam_make_tone_curve(100, 100, -10000, lut);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(lut[i], i <= 100 ? 0 : i - 100) << i;
    // Gamma 2: k = sqrt(255), so 64 maps to sqrt(64 * 255).
    cam_make_tone_curve(200, 100, 0, lut);
    EXPECT_EQ(lut[64], static_cast<int>(std::sqrt(64.0 * 255.0)));
    // Gamma 0 has no curve; every entry must still be defined (the sanitizer
    // build catches a NaN reaching the byte conversion).
    cam_make_tone_curve(0, 100, 0, lut);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(lut[i], 0) << i;
    cam_make_tone_curve(100, INT_MAX, INT_MIN, lut);
    EXPECT_EQ(lut[0], 0);
}

TEST(ToneCurve, GoesToTheCameraAsMessageZeroInFourChunks) {
    OpenedCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_GAMMA, 200, 0), 0);

    Traffic expected = {{false, 0x4FF8, wireWords({1})}, {true, 0x4FFC, wireWords({0})}};
    for (int c = 0; c < 4; ++c)
        expected.push_back({true,
                            static_cast<std::uint16_t>(0x5000 + 64 * c),
                            {h->tone_lut + 64 * c, h->tone_lut + 64 * (c + 1)}});
    EXPECT_EQ(registerTraffic(cam.device()), expected);
    const auto curve = cam.device().toneCurve();
    EXPECT_TRUE(std::equal(curve.begin(), curve.end(), h->tone_lut));
    EXPECT_EQ(curve[64], static_cast<int>(std::sqrt(64.0 * 255.0)));
    // The camera applies it, so the conversion leaves tone alone.
    EXPECT_EQ(h->converter->settings.toneTableSize, 0u);

    EXPECT_EQ(range(h, VOCAM_PROP_GAMMA), (Range{0, 1, 500, 200, 0x80000000u}));
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_BRIGHTNESS, -2500, 0), 0);
    EXPECT_EQ(range(h, VOCAM_PROP_BRIGHTNESS), (Range{0, -10000, 10000, -2500, 0x80000000u}));
    EXPECT_EQ(h->brightness, -2500);  // sign-extended
    EXPECT_EQ(range(h, VOCAM_PROP_CONTRAST), (Range{0, 0, 10000, 100, 0x80000000u}));
}

TEST(ToneCurve, FallsBackToTheEngineWhenTheCameraCannotTakeIt) {
    {
        OpenedCamera cam("model_02:state=ready:msgmask=2");
        test::StderrCapture err;
        EXPECT_EQ(vocam_property_set(cam.handle(), VOCAM_PROP_CONTRAST, 150, 0), 0);
        EXPECT_EQ(err.take(), "vocam message 0 is not supported\n");
        ASSERT_EQ(registerTraffic(cam.device()).size(), 1u);  // the mask, nothing else
        int contrast = 0, gamma = 0;
        cam.handle()->converter->GetContrast(&contrast, 15);
        cam.handle()->converter->GetGamma(&gamma, 15);
        EXPECT_EQ(contrast, 150);
        EXPECT_EQ(gamma, 100);
        EXPECT_EQ(cam.device().toneCurve()[200], 200);
    }
    {
        // A mask that cannot be read moves the curve to the engine as well.
        OpenedCamera cam("model_02:state=ready");
        test::StderrCapture err;
        cam.device().failControl(usbhost::kIOReturnNotResponding);
        EXPECT_EQ(vocam_property_set(cam.handle(), VOCAM_PROP_GAMMA, 150, 0), 0);
        int gamma = 0;
        cam.handle()->converter->GetGamma(&gamma, 15);
        EXPECT_EQ(gamma, 150);
    }
}

TEST(ToneCurve, OtherMessagesUseLargerChunksAndStayInsideTheRegisterSpace) {
    OpenedCamera cam("model_02:state=ready:msgmask=3");
    std::vector<std::uint8_t> message(600);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(cam_write_message(cam.handle(), 1, message.data(), 600), 0);
    auto traffic = registerTraffic(cam.device());
    ASSERT_EQ(traffic.size(), 5u);
    EXPECT_EQ(traffic[1].data, wireWords({1}));
    const std::uint16_t at[] = {0x5000, 0x5100, 0x5200};
    const std::size_t size[] = {256, 256, 88};
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(traffic[2 + c].address, at[c]);
        EXPECT_EQ(traffic[2 + c].data.size(), size[c]);
    }
    EXPECT_EQ(traffic[4].data.back(), message.back());

    // Too long for the window: refused before anything is selected or sent.
    cam.device().clearLog();
    std::vector<std::uint8_t> huge(0xB001);
    EXPECT_EQ(cam_write_message(cam.handle(), 1, huge.data(), 0xB001), -22);
    EXPECT_EQ(registerTraffic(cam.device()).size(), 1u);
    test::StderrCapture err;
    EXPECT_EQ(cam_write_message(cam.handle(), 4, message.data(), 4), -22);
    EXPECT_EQ(err.take(), "vocam message 4 is not supported\n");
}

// ---- register properties

TEST(RegisterProperties, EachIdentifierReadsAndWritesItsBlock) {
    OpenedCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    const struct {
        std::uint32_t id;
        std::uint16_t block;
    } blocks[] = {{VOCAM_PROP_EXPOSURE, 0x04A0},
                  {VOCAM_PROP_GAIN, 0x04F0},
                  {VOCAM_PROP_GAIN_RED, 0x0500},
                  {VOCAM_PROP_GAIN_BLUE, 0x0530},
                  {VOCAM_PROP_GAIN_GREEN1, 0x0510},
                  {VOCAM_PROP_GAIN_GREEN2, 0x0520},
                  {VOCAM_PROP_AUTO_EXPOSURE_TARGET, 0x0640}};
    for (const auto &b : blocks) {
        SCOPED_TRACE(b.id);
        for (std::uint16_t w = 0; w < 4; ++w)
            cam.device().setReg(b.block + 4 * w, 0x80000000u + b.block * 16 + w);
        cam.device().clearLog();
        const auto word = [&](std::uint32_t w) {
            return static_cast<int>(0x80000000u + b.block * 16 + w);
        };
        const Range r = range(h, b.id);
        EXPECT_EQ(r, (Range{0, word(2), word(3), word(1), 0x80000000u + b.block * 16}));
        int value = 0;
        std::uint32_t flags = 0;
        EXPECT_EQ(vocam_property_get(h, b.id, &value, &flags), 0);
        EXPECT_EQ(value, r.value);
        EXPECT_EQ(flags, r.flags);

        EXPECT_EQ(vocam_property_set(h, b.id, -5, 0x1234), 0);
        const auto block =
            wireWords({r.flags, static_cast<std::uint32_t>(r.value),
                       static_cast<std::uint32_t>(r.min), static_cast<std::uint32_t>(r.max)});
        EXPECT_EQ(registerTraffic(cam.device()),
                  (Traffic{{false, b.block, block},
                           {false, b.block, block},
                           {true, b.block, wireWords({0x1234, 0xFFFFFFFB})}}));
    }
}

TEST(RegisterProperties, CameraFlagsRangesAndFailures) {
    {
        OpenedCamera cam("model_02:state=ready");
        // Fitted, with automatic mode offered; 20 ms in microseconds.
        EXPECT_EQ(range(cam.handle(), VOCAM_PROP_EXPOSURE),
                  (Range{0, 10, 10000000, 20000, 0xC0000000u}));
        // 1.0 in 1/4096.
        EXPECT_EQ(range(cam.handle(), VOCAM_PROP_GAIN_RED),
                  (Range{0, 1024, 32768, 4096, 0x80000000u}));

        test::StderrCapture err;
        cam.device().failControl(usbhost::kIOReturnNotResponding);
        EXPECT_EQ(range(cam.handle(), VOCAM_PROP_GAIN), (Range{-1, 0, 0, 0, 0}));
        cam.device().failControl(usbhost::kIOReturnNotResponding);
        EXPECT_EQ(vocam_property_set(cam.handle(), VOCAM_PROP_GAIN, 8192, 0), -1);
        EXPECT_NE(err.take().find("error: unable to write register to camera\n"),
                  std::string::npos);
    }
    {
        // A cooled astronomy camera: long exposures, no automatic mode, no
        // auto-exposure target.
        OpenedCamera cam("model_05:state=ready");
        EXPECT_EQ(range(cam.handle(), VOCAM_PROP_EXPOSURE),
                  (Range{0, 1000, static_cast<int>(3600000000u), 20000, 0x80000000u}));
        EXPECT_EQ(range(cam.handle(), VOCAM_PROP_AUTO_EXPOSURE_TARGET), (Range{0, 0, 0, 0, 0}));
    }
}

// ---- engine properties

TEST(EngineProperties, RangesValuesAndVerdicts) {
    OpenedCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    EXPECT_EQ(range(h, VOCAM_PROP_DEMOSAIC_METHOD), (Range{0, 0, 2, 1, 0}));
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_DEMOSAIC_METHOD, 3, 0), 0);  // refused
    EXPECT_EQ(range(h, VOCAM_PROP_DEMOSAIC_METHOD).value, 1);
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_DEMOSAIC_METHOD, 2, 0), 1);
    EXPECT_EQ(range(h, VOCAM_PROP_DEMOSAIC_METHOD).value, 2);

    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_CORRECTION_MATRIX, 17, 0), 0);
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_CORRECTION_MATRIX, 14, 0), 1);
    EXPECT_EQ(range(h, VOCAM_PROP_CORRECTION_MATRIX), (Range{0, 0, 5, 14, 0}));

    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_FLIPPING, 2, 0), 0);
    int x = -1, y = -1;
    h->converter->GetFlipping(&x, &y);
    EXPECT_EQ(x * 10 + y, 1);
    EXPECT_EQ(range(h, VOCAM_PROP_FLIPPING), (Range{0, 0, 3, 2, 0}));

    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_SATURATION, 150, 0), 0);
    double u = 0, v = 0;
    h->converter->GetSaturation(&u, &v);
    EXPECT_DOUBLE_EQ(u, 1.5);
    EXPECT_DOUBLE_EQ(v, 1.5);
    EXPECT_EQ(range(h, VOCAM_PROP_SATURATION), (Range{0, 5, 200, 150, 0}));

    // 0.5 is added before truncation toward zero, so a negative hue moves up.
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_HUE, -1234, 0), 0);
    EXPECT_EQ(range(h, VOCAM_PROP_HUE), (Range{0, -18000, 18000, -1233, 0}));

    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_WHITE_BALANCE_V, -40, 0), 0);
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_WHITE_BALANCE_U, 30, 0), 0);
    h->converter->GetWhiteBalance(&u, &v);
    EXPECT_DOUBLE_EQ(u, 0.3);
    EXPECT_DOUBLE_EQ(v, -0.4);
    EXPECT_EQ(range(h, VOCAM_PROP_WHITE_BALANCE_V), (Range{0, -100, 100, -39, 0}));
}

TEST(EngineProperties, DigitalGains) {
    OpenedCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    ASSERT_EQ(vo_usb_create_votf(h), 0);
    CVotf &engine = *h->converter;
    engine.SetGain(1.237);
    EXPECT_EQ(range(h, VOCAM_PROP_DIGITAL_GAIN), (Range{0, 100, 200, 124, 0}));
    engine.SetGain(1.0);
    ASSERT_EQ(engine.SetDigitalColorGains(1.237, 1.1, 0.9), 0);
    EXPECT_EQ(range(h, VOCAM_PROP_DIGITAL_GAIN_RED), (Range{0, 100, 250, 123, 0}));  // no rounding

    // One gain changes; the other two keep their values.
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_DIGITAL_GAIN_BLUE, 140, 0), 0);
    double g0 = 0, g1 = 0, g2 = 0;
    engine.GetDigitalColorGains(&g0, &g1, &g2);
    EXPECT_NEAR(g0, 1.237, 1e-9);
    EXPECT_NEAR(g1, 1.1, 1e-9);
    EXPECT_NEAR(g2, 1.4, 1e-9);
    // A saturation the gains cannot be expressed with is the engine's -14.
    engine.SetSaturation(0.05, 0.05);
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_DIGITAL_GAIN_GREEN, 120, 0), -14);
}

TEST(EngineProperties, SettingsBeyondTheIntegerScaleStayDefined) {
    OpenedCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    ASSERT_EQ(vo_usb_create_votf(h), 0);
    h->converter->SetHue(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(range(h, VOCAM_PROP_HUE).value, 0);
    h->converter->SetSaturation(1e12, 1e12);
    EXPECT_EQ(range(h, VOCAM_PROP_SATURATION).value, INT_MAX);
    h->converter->SetGain(-1e12);
    EXPECT_EQ(range(h, VOCAM_PROP_DIGITAL_GAIN).value, INT_MIN);
}

TEST(EngineProperties, MonochromeCamerasHaveNoColourToBalance) {
    OpenedCamera cam("model_04:state=ready");
    _vocam *h = cam.handle();
    ASSERT_EQ(h->is_color, 0);
    ASSERT_EQ(vo_usb_create_votf(h), 0);
    h->converter->SetWhiteBalance(0.5, 0.5);
    h->converter->SetGain(1.7);
    for (std::uint32_t id = VOCAM_PROP_WHITE_BALANCE_U; id <= VOCAM_PROP_DIGITAL_GAIN_BLUE; ++id) {
        SCOPED_TRACE(id);
        const int expected = id <= VOCAM_PROP_WHITE_BALANCE_V ? 0 : 100;
        EXPECT_EQ(range(h, id), (Range{0, expected, expected, expected, 0}));
        int value = -1;
        std::uint32_t flags = 9;
        EXPECT_EQ(vocam_property_get_range(h, id, nullptr, nullptr, &value, &flags), 0);
        EXPECT_EQ(value, expected);
        EXPECT_EQ(flags, 0u);
    }
    // The camera has no colour gain blocks either.
    EXPECT_EQ(range(h, VOCAM_PROP_GAIN_RED).flags, 0u);
    EXPECT_EQ(range(h, VOCAM_PROP_GAIN).flags, 0x80000000u);
}

// ---- geometry, unknown identifiers, arguments

TEST(Routing, GeometryUnknownIdentifiersAndArguments) {
    OpenedCamera cam("model_02:state=ready");
    _vocam *h = cam.handle();
    const struct {
        std::uint32_t id;
        int value;
    } geometry[] = {{VOCAM_PROP_MAX_WIDTH, 1280},
                    {VOCAM_PROP_MAX_HEIGHT, 1024},
                    {VOCAM_PROP_UNIT_WIDTH, 8},
                    {VOCAM_PROP_UNIT_HEIGHT, 2},
                    {VOCAM_PROP_MAX_SUBSAMPLING, 4}};
    for (const auto &g : geometry) {
        SCOPED_TRACE(g.id);
        int value = -1;
        std::uint32_t flags = 9;
        EXPECT_EQ(vocam_property_get(h, g.id, &value, &flags), 0);
        EXPECT_EQ(value, g.value);
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(range(h, g.id).status, -22);
        EXPECT_EQ(vocam_property_set(h, g.id, 1, 0), -22);
    }
    int value = 0;
    std::uint32_t flags = 0;
    cam.device().setReg(0x101C, 0x0302);
    EXPECT_EQ(vocam_property_get(h, VOCAM_PROP_MAX_SUBSAMPLING, &value, &flags), 0);
    EXPECT_EQ(value, 2);
    {
        test::StderrCapture err;
        cam.device().failControl(usbhost::kIOReturnNotResponding);
        EXPECT_EQ(vocam_property_get(h, VOCAM_PROP_MAX_SUBSAMPLING, &value, &flags), -1);
        EXPECT_NE(err.take().find("error: unable to read param 'VOCAM_FO_SUBSAMPLING_INQ'\n"),
                  std::string::npos);
    }

    for (std::uint32_t id : {2u, 21u, 45u, 63u, 75u, 80u, 86u, 107u, 257u, 259u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
        value = 5;
        flags = 5;
        EXPECT_EQ(vocam_property_get(h, id, &value, &flags), -22);
        EXPECT_EQ(value, 0);
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(range(h, id).status, -22);
        EXPECT_EQ(vocam_property_set(h, id, 0, 0), -22);
    }

    cam.device().clearLog();
    EXPECT_EQ(vocam_property_get(nullptr, VOCAM_PROP_GAIN, &value, &flags), -22);
    EXPECT_EQ(vocam_property_get(h, VOCAM_PROP_GAIN, nullptr, &flags), -22);
    EXPECT_EQ(vocam_property_get(h, VOCAM_PROP_GAIN, &value, nullptr), -22);
    EXPECT_EQ(vocam_property_set(nullptr, VOCAM_PROP_GAIN, 1, 0), -22);
    int lo = 0, hi = 0;
    EXPECT_EQ(vocam_property_get_range(nullptr, VOCAM_PROP_GAIN, &lo, &hi, &value, &flags), -22);
    EXPECT_EQ(vocam_property_get_range(h, VOCAM_PROP_GAIN, &lo, &hi, nullptr, &flags), -22);
    EXPECT_EQ(vocam_property_get_range(h, VOCAM_PROP_GAIN, &lo, &hi, &value, nullptr), -22);
    EXPECT_TRUE(cam.device().log().empty());
    EXPECT_EQ(vo_usb_create_votf(nullptr), -22);
}

// ---- the colour engine

TEST(ColourEngine, CreatedOnFirstNeedWithTheModelsMatrices) {
    OpenedCamera cam("model_06:state=ready");  // matrices 1, 2 and 5
    _vocam *h = cam.handle();
    EXPECT_FALSE(h->converter);
    int value = 0;
    std::uint32_t flags = 0;
    EXPECT_EQ(vocam_property_get(h, VOCAM_PROP_MAX_WIDTH, &value, &flags), 0);
    EXPECT_FALSE(h->converter);  // geometry needs no engine
    EXPECT_EQ(vocam_property_get(h, VOCAM_PROP_GAIN, &value, &flags), 0);
    ASSERT_TRUE(h->converter);
    const auto &m = h->converter->specifiedMatrices;
    for (unsigned id = 0; id < m.size(); ++id)
        EXPECT_EQ(static_cast<bool>(m[id]), id == 1 || id == 2 || id == 5) << id;
    // Stored in the engine's channel order: the blob's last coefficient first.
    EXPECT_EQ(m[1][0], 5832);
    EXPECT_EQ(m[1][3], 0);
    EXPECT_EQ(m[1][10], 5568);
    CVotf *engine = h->converter.get();
    EXPECT_EQ(vo_usb_create_votf(h), 0);
    EXPECT_EQ(h->converter.get(), engine);
}

TEST(ColourEngine, AModelWithoutMatricesFailsOnceThenWorks) {
    OpenedCamera cam("model_20:state=ready");
    _vocam *h = cam.handle();
    test::StderrCapture err;
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_SATURATION, 120, 0), -14);
    EXPECT_EQ(err.take(), "error: unable to get model data matrices\n");
    ASSERT_TRUE(h->converter);
    double u = 0, v = 0;
    h->converter->GetSaturation(&u, &v);
    EXPECT_DOUBLE_EQ(u, 1.0);  // the failed call changed nothing
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_SATURATION, 120, 0), 0);
    EXPECT_EQ(range(h, VOCAM_PROP_SATURATION).value, 120);
    for (const auto &slot : h->converter->specifiedMatrices) EXPECT_FALSE(slot);

    // A get that needs the engine reports the failure the same way, once.
    OpenedCamera other("model_20:state=ready");
    int value = 3;
    std::uint32_t flags = 3;
    EXPECT_EQ(vocam_property_get(other.handle(), VOCAM_PROP_GAIN, &value, &flags), -14);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(vocam_property_get(other.handle(), VOCAM_PROP_GAIN, &value, &flags), 0);
    EXPECT_EQ(value, 4096);
}

// Model data laid out by hand: a tag-1 record of `entries` (id then nine
// coefficients each) plus `extra` stray bytes, and the terminator.
std::vector<std::uint8_t> matrixBlob(const std::vector<std::int16_t> &ids, std::uint32_t extra) {
    std::vector<std::uint8_t> blob;
    auto put32 = [&](std::uint32_t v) {
        for (int b = 0; b < 4; ++b) blob.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    };
    put32(1);
    put32(static_cast<std::uint32_t>(20 * ids.size() + extra));
    for (std::int16_t id : ids) {
        for (int i = 0; i < 10; ++i) {
            const auto v = static_cast<std::uint16_t>(i == 0 ? id : 4096 * (i % 4 == 1));
            blob.push_back(static_cast<std::uint8_t>(v));
            blob.push_back(static_cast<std::uint8_t>(v >> 8));
        }
    }
    blob.insert(blob.end(), extra, 0x55);
    put32(0);
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
        handle.model = &entry;
        ASSERT_EQ(vo_usb_create_votf(&handle), 0);
        std::vector<unsigned> loaded;
        for (unsigned id = 0; id < 16; ++id)
            if (handle.converter->specifiedMatrices[id]) loaded.push_back(id);
        EXPECT_EQ(loaded, c.loaded);
    }
    _vocam orphan;  // a product the model table does not know
    test::StderrCapture err;
    EXPECT_EQ(vo_usb_create_votf(&orphan), -22);
    EXPECT_EQ(err.take(),
              "error: device info cannot be NULL\nerror: unable to get model data matrices\n");
    EXPECT_EQ(vo_usb_create_votf(&orphan), 0);
}

// ---- temperature and fan

TEST(Temperature, RegisterUnits) {
    EXPECT_EQ(vocam_temp_to_register(-10.0f), 263000u);
    EXPECT_FLOAT_EQ(vocam_register_to_temp(263000), -10.0f);
    EXPECT_EQ(vocam_temp_to_register(25.5f), 298500u);
    EXPECT_FLOAT_EQ(vocam_register_to_temp(298500), 25.5f);
    // Outside the word: the nearest end, never an undefined conversion.
    EXPECT_EQ(vocam_temp_to_register(-300.0f), 0u);
    EXPECT_EQ(vocam_temp_to_register(1e10f), UINT32_MAX);
    EXPECT_EQ(vocam_temp_to_register(std::numeric_limits<float>::quiet_NaN()), 0u);
}

TEST(Temperature, TargetIsClampedAndTheFanFollowsTheCooler) {
    OpenedCamera cam("model_05:state=ready");  // cooled, with a fan
    _vocam *h = cam.handle();
    ASSERT_TRUE(h->temperature_supported);
    ASSERT_TRUE(h->fan_present);
    EXPECT_EQ(h->temperature_min, 233000);
    EXPECT_EQ(h->temperature_max, 313000);
    ASSERT_EQ(vo_usb_create_votf(h), 0);

    const std::uint32_t on = 0x80008000u;
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, vocam_temp_to_register(-60), on), 0);
    EXPECT_EQ(registerTraffic(cam.device()), (Traffic{{true, 0x0690, wireWords({on})},
                                                      {true, 0x0694, wireWords({233000})},
                                                      {true, 0x0730, wireWords({on})}}));
    EXPECT_EQ(h->temperature_target, 233000);
    EXPECT_TRUE(h->temperature_on);
    EXPECT_TRUE(h->fan_on);
    EXPECT_EQ(cam.device().reg(0x0730), 0x80008000u);

    cam.device().clearLog();
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 400000, 0x80000000u), 0);
    EXPECT_EQ(registerTraffic(cam.device())[1],
              (test::RegisterAccess{true, 0x0694, wireWords({313000})}));
    EXPECT_FALSE(h->temperature_on);
    EXPECT_FALSE(h->fan_on);
    EXPECT_EQ(cam.device().reg(0x0730), 0x80000000u);  // the fitted bit is the camera's

    // A failed write names the word it could not write.
    test::StderrCapture err;
    cam.device().failControl(usbhost::kIOReturnNotResponding);
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 263000, on), -1);
    EXPECT_NE(err.take().find(
                  "error: unable to write param 'VOCAM_TEMPERATURE + VOCAM_PROPERTY_FLAGVAL'\n"),
              std::string::npos);
    EXPECT_FALSE(h->temperature_on);
}

TEST(Temperature, CamerasWithoutCoolingOrFan) {
    {
        OpenedCamera cam("model_02:state=ready");
        ASSERT_EQ(vo_usb_create_votf(cam.handle()), 0);
        EXPECT_EQ(vocam_property_set(cam.handle(), VOCAM_PROP_TEMPERATURE, 263000, 0x8000), -22);
        EXPECT_TRUE(registerTraffic(cam.device()).empty());
    }
    {
        OpenedCamera cam("model_05:state=ready:fan=0");
        ASSERT_EQ(vo_usb_create_votf(cam.handle()), 0);
        EXPECT_EQ(vocam_property_set(cam.handle(), VOCAM_PROP_TEMPERATURE, 263000, 0x80008000u), 0);
        EXPECT_EQ(registerTraffic(cam.device()).size(), 2u);  // no fan to follow
        EXPECT_FALSE(cam.handle()->fan_on);
    }
}

TEST(Temperature, TheSensorMovesTowardTheTargetWhileCooling) {
    OpenedCamera cam("model_05:state=ready:coolrate=500");
    _vocam *h = cam.handle();
    auto reading = [&] {
        int value = 0;
        std::uint32_t flags = 0;
        EXPECT_EQ(vocam_property_get(h, VOCAM_PROP_TEMPERATURE, &value, &flags), 0);
        return value;
    };
    EXPECT_EQ(reading(), 293000);
    // Target set, cooler off: nothing moves.
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 283000, 0x80000000u), 0);
    cam.device().properties().elapse(std::chrono::seconds(10));
    EXPECT_EQ(reading(), 293000);
    // On: 500 mK a second, plus whatever real time the test takes.
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 283000, 0x80008000u), 0);
    cam.device().properties().elapse(std::chrono::seconds(4));
    EXPECT_NEAR(reading(), 291000, 200);
    cam.device().properties().elapse(std::chrono::seconds(60));
    EXPECT_EQ(reading(), 283000);  // it stops at the target
    // A stopped fan halves the cooler's speed.
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_TEMPERATURE, 273000, 0x80008000u), 0);
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x0730, 0x80000000u), 0);
    cam.device().properties().elapse(std::chrono::seconds(4));
    EXPECT_NEAR(reading(), 282000, 200);
}

// ---- the simulated camera's own rules

TEST(SimulatedProperties, ReadOnlyBitsClampingAndMessages) {
    OpenedCamera cam("model_02:state=ready:autoexp=0:msgmask=1");
    _vocam *h = cam.handle();
    // Without automatic exposure the auto bit cannot be set; bit 31 is fixed.
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x04A0, 0x0000C001u), 0);
    EXPECT_EQ(cam.device().reg(0x04A0), 0x80004001u);
    // Values are kept inside the block's range.
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x04A4, 5), 0);
    EXPECT_EQ(cam.device().reg(0x04A4), 10u);
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x04F4, 0xFFFFFFFFu), 0);
    EXPECT_EQ(cam.device().reg(0x04F4), 65536u);
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x04F8, 1), 0);  // minimum is read only
    EXPECT_EQ(cam.device().reg(0x04F8), 4096u);
    EXPECT_EQ(cam.device().reg(0x0644), 0u);  // no auto-exposure target block
    // The mask is the camera's; a message it does not take leaves no trace.
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x4FF8, 0xFFFFFFFFu), 0);
    EXPECT_EQ(cam.device().reg(0x4FF8), 1u);
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x4FFC, 3), 0);
    std::uint8_t bytes[4] = {9, 9, 9, 9};
    ASSERT_EQ(vo_usb_write_vocam_bytes(h, 0x5000, bytes, 4), 0);
    ASSERT_EQ(vo_usb_write_vocam_u32(h, 0x4FFC, 0), 0);
    EXPECT_EQ(cam.device().toneCurve()[0], 0);
    // Message 0 can be read back through the window.
    std::uint8_t curve[256];
    for (int i = 0; i < 256; ++i) curve[i] = static_cast<std::uint8_t>(255 - i);
    ASSERT_EQ(cam_write_message(h, 0, curve, 256), 0);
    std::uint32_t word = 0;
    ASSERT_EQ(vo_usb_read_vocam_u32(h, 0x50FC, &word), 0);
    EXPECT_EQ(word, 0x00010203u);
    EXPECT_EQ(cam.device().properties().snapshot().toneCurve[0], 255);

    std::vector<sim::CameraConfig> configs;
    std::string error;
    EXPECT_FALSE(sim::parseDescription("model_02:autoexp=2", configs, error));
    EXPECT_FALSE(sim::parseDescription("model_02:coolrate=0", configs, error));
    ASSERT_TRUE(sim::parseDescription("model_05:autoexp=1:coolrate=250", configs, error));
    EXPECT_EQ(configs[0].autoExposure, true);
    EXPECT_EQ(configs[0].coolRate, 250u);
}

}  // namespace
