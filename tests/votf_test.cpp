#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "votf/matrix.h"
#include "votf/votf.h"

namespace {

using Fixed = std::array<std::int16_t, 12>;
using Params = std::array<int, 3>;  // gamma, contrast, brightness
const Fixed kIdentity{4096, 0, 0, 0, 0, 4096, 0, 0, 0, 0, 4096, 0};

Fixed Current(CVotf &v) {
    Fixed m{};
    EXPECT_EQ(v.GetCurrentMatrix(m.data()), 0);
    return m;
}

Params Tone(const CVotf &v) {
    Params p{-1, -1, -1};
    EXPECT_EQ(v.GetGamma(&p[0], 0), 0);
    EXPECT_EQ(v.GetContrast(&p[1], 0), 0);
    EXPECT_EQ(v.GetBrightness(&p[2], 0), 0);
    return p;
}

_lut8_struct Curve(int gamma, int contrast, int brightness) {
    _lut8_struct l{{}, gamma, contrast, brightness};
    MakeLut8(&l);
    return l;
}

bool SameCurve(const CVotf &v, const _lut8_struct &l) {
    return std::memcmp(v.settings.toneTable->table, l.table, 256) == 0;
}

std::vector<std::uint16_t> Lut16(const _lut8_struct &l, std::size_t size, int lsbFirst) {
    std::vector<std::uint16_t> out(kLut16Entries);
    MakeLut16(out.data(), &l, size, lsbFirst);
    return out;
}

// Within tol, relative to values beyond 1.
void ExpectNear(const std::array<double, 3> &got, const std::array<double, 3> &want, double tol) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(got[i], want[i], tol * std::max(1.0, std::abs(want[i]))) << i;
}

// White balance U and V, then the gain.
std::array<double, 3> Balance(const CVotf &v) {
    std::array<double, 3> b{};
    v.GetWhiteBalance(&b[0], &b[1]);
    v.GetGain(&b[2]);
    return b;
}

std::array<double, 3> DigitalGains(const CVotf &v) {
    std::array<double, 3> g{};
    EXPECT_EQ(v.GetDigitalColorGains(&g[0], &g[1], &g[2]), 0);
    return g;
}

// Spot values of a curve: entry, expected output.
struct CurveCase {
    int gamma, contrast, brightness;
    std::vector<std::pair<unsigned, int>> points;
};

TEST(VotfRecords, AlignedMatrixAndDemosaicMethod) {
    CVotf v;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.settings.matrix) % 16, 0u);  // vector loads

    unsigned method = 0;
    EXPECT_EQ(v.DemosaicMethodSet(9), 1);
    // Gradient-corrected (3) and 4 are per conversion only.
    for (unsigned m : {3u, 4u}) EXPECT_EQ(v.DemosaicMethodSet(m), 0) << m;
    EXPECT_EQ(v.DemosaicMethodGet(&method), 0);
    EXPECT_EQ(method, 9u);
    for (unsigned m : {0u, 1u, 2u, 8u}) EXPECT_EQ(v.DemosaicMethodSet(m), 1) << m;

    int y = 0;
    EXPECT_EQ(v.GetFlipping(nullptr, &y), -22);
}

TEST(ToneTable8, CurvesForEachParameter) {
    const _lut8_struct identity = Curve(100, 100, 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(identity.table[i], i);
    const CurveCase cases[] = {
        {100, 200, 0, {{1, 0}, {127, 126}, {129, 130}, {160, 192}, {192, 255}}},
        {100, 50, 0, {{0, 64}, {255, 191}}},
        {100, 100, 100, {{0, 3}, {128, 130}}},
        {100, 100, -100, {{128, 126}, {255, 252}}},
        {50, 100, 0, {{64, 16}, {128, 64}}},
        {200, 100, 0, {{0, 0}, {64, 127}, {255, 254}}},
        // Products beyond 32 bits clamp the curve instead of wrapping around.
        {100, 2000000000, 0, {{0, 0}, {255, 255}}},
        {100, 100, 2000000000, {{0, 255}}},
    };
    for (const CurveCase &c : cases) {
        const _lut8_struct l = Curve(c.gamma, c.contrast, c.brightness);
        for (auto [at, value] : c.points)
            EXPECT_EQ(l.table[at], value)
                << c.gamma << '/' << c.contrast << '/' << c.brightness << " at " << at;
    }
    // Only the low 32 bits of a parameter word count.
    _lut8_struct wide{{}, 0x100000064, 100, 0};
    MakeLut8(&wide);
    EXPECT_EQ(wide.table[200], 200);
}

TEST(ToneSetters, EachSetterKeepsTheOtherParametersAndRefusalsChangeNothing) {
    CVotf v;
    EXPECT_EQ((std::array{v.SetGamma(120, 7), v.SetContrast(120, 7), v.SetBrightness(10, 0)}),
              (std::array{-78, -78, -78}));
    EXPECT_EQ(v.settings.toneTable, nullptr);

    EXPECT_EQ(v.SetContrast(150, 15), 0);  // from neutral parameters
    ASSERT_NE(v.settings.toneTable, nullptr);
    EXPECT_EQ(v.settings.toneTableSize, 280u);
    EXPECT_EQ(Tone(v), (Params{100, 150, 0}));
    EXPECT_TRUE(SameCurve(v, Curve(100, 150, 0)));
    EXPECT_EQ(v.SetBrightness(-40, 15), 0);
    EXPECT_TRUE(SameCurve(v, Curve(100, 150, -40)));
    EXPECT_EQ(v.settings.toneTable->brightness, -40);  // sign-extended
    EXPECT_EQ(v.GetGamma(nullptr, 0), -22);

    const _lut8_struct before = *v.settings.toneTable;
    EXPECT_EQ((std::array{v.SetGamma(0, 15), v.SetGamma(-5, 15), v.SetBrightness(99, 14)}),
              (std::array{-22, -22, -78}));
    EXPECT_EQ(std::memcmp(v.settings.toneTable, &before, sizeof before), 0);
    EXPECT_EQ(v.settings.toneTableSize, 280u);
}

TEST(ToneSetters, CallersTablesAndTheCurvesThatReplaceThem) {
    CVotf v;
    unsigned char inverted[256];
    for (int i = 0; i < 256; ++i) inverted[i] = static_cast<unsigned char>(255 - i);
    ASSERT_EQ(v.SetupLUT(inverted, 256, 15), 0);
    EXPECT_EQ(v.settings.toneTableSize, 256u);
    EXPECT_EQ(Tone(v)[0], 100);  // parameter words of a bare table are stale
    ASSERT_EQ(v.SetGamma(120, 15), 0);
    EXPECT_EQ(Tone(v), (Params{120, 100, 0}));
    EXPECT_TRUE(SameCurve(v, Curve(120, 100, 0)));

    // A caller's full table may carry gamma 0; its bytes are then what
    // counts, and a setter cannot build a curve from it.
    _lut8_struct custom = Curve(100, 100, 0);
    custom.gamma = 0;
    custom.table[10] = 99;
    ASSERT_EQ(v.SetupLUT(reinterpret_cast<unsigned char *>(&custom), 280, 15), 0);
    EXPECT_EQ(v.SetContrast(120, 15), -22);
    EXPECT_EQ(v.settings.toneTable->table[10], 99);
    EXPECT_EQ(v.SetGamma(100, 15), 0);  // a gamma makes it a curve again
    EXPECT_EQ(std::tuple(v.settings.toneTableSize, v.settings.toneTable->table[10]),
              std::tuple(280u, 10));
}

TEST(ToneSetters, SetupLutAndGetLut) {
    CVotf v;
    unsigned size = 0;  // a query: no buffer, size 0
    EXPECT_EQ(v.GetLUT(nullptr, &size, 0), 84);
    EXPECT_EQ(size, 0u);
    std::vector<unsigned char> bytes(300), other(280, 1);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(v.SetupLUT(bytes.data(), 300, 15), 0);  // the excess is ignored
    EXPECT_EQ((std::array{v.SetupLUT(other.data(), 270, 15), v.SetupLUT(other.data(), 1, 15),
                          v.SetupLUT(other.data(), 255, 15), v.SetupLUT(nullptr, 256, 15),
                          v.SetupLUT(other.data(), 280, 3)}),
              (std::array{-22, -22, -22, -22, -78}));
    EXPECT_EQ(v.settings.toneTableSize, 280u);
    EXPECT_EQ(std::memcmp(v.settings.toneTable, bytes.data(), 280), 0);

    CVotf g;  // neutral parameters
    ASSERT_EQ(g.SetBrightness(100, 15), 0);
    size = 0;
    EXPECT_EQ(g.GetLUT(nullptr, &size, 0), 84);
    EXPECT_EQ(size, 280u);
    _lut8_struct whole{};
    size = sizeof whole;
    EXPECT_EQ(g.GetLUT(reinterpret_cast<unsigned char *>(&whole), &size, 0), 0);
    EXPECT_EQ(std::tuple(size, whole.brightness, whole.table[128]), std::tuple(280u, 100, 130));
    unsigned char part[16];
    std::memset(part, 0xEE, sizeof part);
    size = 10;  // a short buffer takes what fits
    EXPECT_EQ(g.GetLUT(part, &size, 0), 0);
    EXPECT_EQ(std::tuple(size, part[0], part[10]), std::tuple(280u, 3, 0xEE));
    EXPECT_EQ(g.GetLUT(nullptr, &size, 0), -22);
    EXPECT_EQ(g.GetLUT(part, nullptr, 0), -22);

    std::memset(part, 0xEE, sizeof part);
    EXPECT_EQ(g.SetupLUT(nullptr, 0, 15), 0);  // tone stage off, table kept
    EXPECT_NE(g.settings.toneTable, nullptr);
    EXPECT_EQ(g.GetLUT(part, &size, 0), 0);
    EXPECT_EQ(std::tuple(g.settings.toneTableSize, size, part[0]), std::tuple(0u, 0u, 0xEE));
}

TEST(ToneTable16, ParametricForm) {
    const auto identity = Lut16(Curve(100, 100, 0), 280, 1);
    for (unsigned s = 0; s < kLut16Entries; ++s) ASSERT_EQ(identity[s], s);
    const CurveCase cases[] = {
        {100, 100, 100, {{0, 656}, {32768, 33423}, {65535, 65535}}},
        {200, 100, 0, {{1, 255}, {4096, 16383}}},
        // Gamma 0.01: the curve still runs from 0 to full scale.
        {1, 100, 0, {{0, 0}, {32768, 0}, {65535, 65535}}},
    };
    for (const CurveCase &c : cases) {
        const auto l = Lut16(Curve(c.gamma, c.contrast, c.brightness), 280, 1);
        for (auto [at, value] : c.points) EXPECT_EQ(l[at], value) << c.gamma << " at " << at;
        EXPECT_TRUE(std::is_sorted(l.begin(), l.end())) << c.gamma;
    }
    // Most significant byte first: sample 0x1234 is stored as 0x3412.
    EXPECT_EQ(Lut16(Curve(200, 100, 0), 280, 0)[0x3412], Lut16(Curve(200, 100, 0), 280, 1)[0x1234]);
}

TEST(ToneTable16, TableFormInterpolatesTheBytes) {
    _lut8_struct l = Curve(100, 100, 0);
    l.gamma = 300;  // the parameters are ignored for a bare table
    const auto identity = Lut16(l, 256, 1);
    for (unsigned s = 0; s < kLut16Entries; ++s) ASSERT_EQ(identity[s], s);

    for (int i = 0; i < 256; ++i) l.table[i] = static_cast<std::uint8_t>(255 - i);
    const auto inverted = Lut16(l, 256, 1);
    EXPECT_EQ(inverted[0], 65280);
    EXPECT_EQ(inverted[0x80], 65280 - 128);
    for (unsigned s = 0xFF00; s < kLut16Entries; ++s) ASSERT_EQ(inverted[s], 0);
    EXPECT_EQ(Lut16(l, 256, 0)[0x3412], inverted[0x1234]);

    // A full table without a usable gamma is taken as its bytes.
    for (int gamma : {0, -100}) {
        l.gamma = gamma;
        EXPECT_EQ(Lut16(l, 280, 1), inverted) << gamma;
    }
}

TEST(ToneTable16, SettersKeepTheConvertersTableCurrent) {
    CVotf v;
    ASSERT_EQ(v.SetGamma(200, 15), 0);
    EXPECT_EQ(v.settings.toneTable16, nullptr);  // 8-bit default format

    v.format.sampleFormat = 2;
    ASSERT_EQ(v.SetContrast(120, 15), 0);
    ASSERT_NE(v.settings.toneTable16, nullptr);
    const auto lsb = Lut16(*v.settings.toneTable, 280, 1);
    EXPECT_TRUE(std::equal(lsb.begin(), lsb.end(), v.settings.toneTable16));

    v.format.sampleFormat = 1;
    unsigned char bare[256];
    for (int i = 0; i < 256; ++i) bare[i] = static_cast<unsigned char>(i / 2);
    ASSERT_EQ(v.SetupLUT(bare, 256, 15), 0);
    const auto msb = Lut16(*v.settings.toneTable, 256, 0);
    EXPECT_TRUE(std::equal(msb.begin(), msb.end(), v.settings.toneTable16));
}

TEST(ToneTable16, PerConversionTables) {
    CVotf v;
    _votf_settings copy = v.settings;
    // Tone stage off: nothing to build.
    EXPECT_EQ(v.BuildLut16WhenRunning(&copy, 1), 1);
    EXPECT_EQ(v.BuildLut16WhenNotRunning(&copy, 1), 1);
    EXPECT_EQ(copy.toneTable16, nullptr);

    ASSERT_EQ(v.SetBrightness(100, 15), 0);
    for (auto build : {&CVotf::BuildLut16WhenNotRunning, &CVotf::BuildLut16WhenRunning}) {
        copy = v.settings;
        // The converter lends no table of its own: the copy gets one, its own to free.
        ASSERT_EQ((v.*build)(&copy, 1), 1);
        const std::unique_ptr<std::uint16_t[]> given(copy.toneTable16);
        ASSERT_NE(given, nullptr);
        EXPECT_EQ(given[0], 656);
        EXPECT_EQ(v.settings.toneTable16, nullptr);
    }
    // A table the copy brings is filled in place.
    copy = v.settings;
    auto temporary = std::make_unique<std::uint16_t[]>(kLut16Entries);
    copy.toneTable16 = temporary.get();
    EXPECT_EQ(v.BuildLut16WhenNotRunning(&copy, 1), 1);
    EXPECT_EQ(copy.toneTable16, temporary.get());
    EXPECT_EQ(temporary[0], 656);

    // A converter that owns a table has it refilled through the copy.
    v.format.sampleFormat = 1;
    ASSERT_EQ(v.SetBrightness(100, 15), 0);
    ASSERT_NE(v.settings.toneTable16, nullptr);
    EXPECT_EQ(v.settings.toneTable16[0x0001], 656 + 0x100);  // sample 0x0100, MSB first
    copy = v.settings;
    EXPECT_EQ(v.BuildLut16WhenNotRunning(&copy, 1), 1);
    EXPECT_EQ(v.settings.toneTable16[0x0001], 656 + 1);

    // Tone stage off again: the stale 16-bit table goes.
    ASSERT_EQ(v.SetupLUT(nullptr, 0, 15), 0);
    EXPECT_EQ(v.BuildLut16WhenNotRunning(&v.settings, 1), 1);
    EXPECT_EQ(v.settings.toneTable16, nullptr);
}

TEST(ColourMatrix, CorrectionBases) {
    CVotf v;
    ASSERT_EQ(v.CorrectionMatrixSet(14), 1);
    EXPECT_EQ(Current(v), kIdentity);
    CMatrix wrong(3, 3, nullptr);
    EXPECT_THROW(MakeIdentity3x4(wrong), CMatrixError);  // the identity base is a 3x4
    // The 3x3 reader takes three columns of each row.
    const std::int16_t s[12] = {4096, 2048, -4096, 100, 0, 8192, 1024, 200, 1, 2, 3, 300};
    CMatrix3x3 t;
    ConvertMatrixShortToDouble(&t, s);
    const double expected[9] = {1, 0.5, -1, 0, 2, 0.25, 1 / 4096.0, 2 / 4096.0, 3 / 4096.0};
    EXPECT_TRUE(t == CMatrix3x3(expected));

    // Id 16 is the custom matrix as it stands, whatever the settings.
    const Fixed custom{8192, 0, 0, 100, 0, 4096, 0, 0, 0, 0, 4096, 0};
    ASSERT_EQ(v.CustomCorrectionMatrixSetup(custom.data()), 0);
    ASSERT_EQ(v.CorrectionMatrixSet(16), 1);
    v.SetHue(30);
    v.SetSaturation(1.5, 0.5);
    v.SetGain(1.7);
    v.SetWhiteBalance(0.2, -0.3);
    EXPECT_EQ(Current(v), custom);
    Fixed back{};
    EXPECT_EQ(v.GetCustomMatrix(back.data()), 0);
    EXPECT_EQ(back, custom);
    unsigned id = 0;
    EXPECT_EQ(v.CorrectionMatrixSet(17), 0);
    EXPECT_EQ(v.CorrectionMatrixGet(&id), 0);
    EXPECT_EQ(id, 16u);

    // Id 15 takes the custom matrix through the YUV steps: with neutral
    // settings it comes out as it went in, column 3 included.
    CVotf n;
    ASSERT_EQ(n.CustomCorrectionMatrixSetup(custom.data()), 0);
    ASSERT_EQ(n.CorrectionMatrixSet(15), 1);
    const Fixed f = Current(n);
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(f[i], custom[i], 1) << i;
}

TEST(ColourMatrix, SaturationGainHueAndClamping) {
    CVotf v;
    ASSERT_EQ(v.CorrectionMatrixSet(14), 1);
    v.SetSaturation(2, 2);
    EXPECT_EQ(Current(v),
              (Fixed{6967, -2404, -466, 0, -1224, 5787, -466, 0, -1224, -2404, 7725, 0}));
    v.SetSaturation(1, 1);
    v.SetGain(2);
    EXPECT_EQ(Current(v), (Fixed{5320, 2404, 466, 0, 1224, 6500, 466, 0, 1224, 2404, 4562, 0}));

    const std::int16_t big[12] = {32767, -32768, 0, 0, 0, 4096, 0, 0, 0, 0, 4096, 0};
    v.CustomCorrectionMatrixSetup(big);
    v.CorrectionMatrixSet(15);
    v.SetGain(3);
    EXPECT_EQ(Current(v)[0], 32763);
    EXPECT_EQ(Current(v)[1], -32768);

    // Hue turns the chroma plane: a half turn negates U and V, which the
    // composite shows as a grey axis kept and colours mirrored.
    CVotf h;
    h.CorrectionMatrixSet(14);
    h.SetHue(180);
    const Fixed r = Current(h);
    EXPECT_NE(r, kIdentity);
    for (int row = 0; row < 3; ++row)
        EXPECT_NEAR(r[4 * row] + r[4 * row + 1] + r[4 * row + 2], 4096, 3);
}

TEST(ColourMatrix, ModelMatricesAreStoredReversed) {
    CVotf v;
    const std::int16_t m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(v.SpecifyMatrix(3, m), 0);
    ASSERT_NE(v.specifiedMatrices[3], nullptr);
    const Fixed reversed{9, 8, 7, 0, 6, 5, 4, 0, 3, 2, 1, 0};
    EXPECT_TRUE(std::equal(reversed.begin(), reversed.end(), v.specifiedMatrices[3].get()));
    for (unsigned bad : {16u, 0u}) EXPECT_EQ(v.SpecifyMatrix(bad, m), -22) << bad;
    EXPECT_EQ(v.SpecifyMatrix(4, nullptr), -22);
    EXPECT_EQ(v.specifiedMatrices[0], nullptr);

    // A filled slot replaces the default correction for its id.
    const std::int16_t model[9] = {4096, 0, 0, 0, 8192, 0, 0, 0, 2048};
    ASSERT_EQ(v.SpecifyMatrix(2, model), 0);
    ASSERT_EQ(v.CorrectionMatrixSet(2), 1);
    const Fixed f = Current(v);
    const Fixed expected{2048, 0, 0, 0, 0, 8192, 0, 0, 0, 0, 4096, 0};
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(f[i], expected[i], 1) << i;
}

// Ids beyond the slots are refused at conversion (convert_test).
TEST(ColourMatrix, MonochromeDefersTheMatrixUntilItIsRead) {
    CVotf mono;
    mono.format.mono = 1;
    ASSERT_EQ(mono.CorrectionMatrixSet(14), 1);
    mono.SetGain(2);
    EXPECT_EQ(mono.settings.matrixDirty, 1u);
    EXPECT_EQ(mono.settings.matrix[0], 0);
    EXPECT_EQ(Current(mono)[0], 5320);
    EXPECT_EQ(mono.settings.matrixDirty, 0u);
}

TEST(DigitalGains, ConversionFigures) {
    double wbU = 0, wbV = 0, gainY = 0;
    ASSERT_EQ(CVotf::ConvertDigitalGainsColorToWBGainY(1, 1, 1.2, 1.0, 0.8, &wbU, &wbV, &gainY), 1);
    ExpectNear({wbU, wbV, gainY}, {-0.2676, 0.2324, 1.037}, 1e-9);

    CVotf v;
    v.CorrectionMatrixSet(14);
    ASSERT_EQ(v.SetDigitalColorGains(1.2, 1.0, 0.8), 0);
    EXPECT_NEAR(v.settings.gain, 1.037, 1e-9);
    ExpectNear(DigitalGains(v), {1.2, 1.0, 0.8}, 1e-9);
    EXPECT_EQ(Current(v), (Fixed{4340, 480, 93, 0, 0, 4096, 0, 0, -244, -480, 4002, 0}));
    EXPECT_EQ(v.GetDigitalColorGains(nullptr, &wbU, nullptr), 0);
    // Unequal saturations divide U and V apart, and reading back undoes it.
    ASSERT_EQ(v.SetSaturation(0.5, 0.75), 0);
    ASSERT_EQ(v.SetDigitalColorGains(0.3, 2.5, 1.7), 0);
    ExpectNear(DigitalGains(v), {0.3, 2.5, 1.7}, 1e-9);

    // Refused saturations leave everything as it was.
    v.SetSaturation(0.05, 1);
    const _votf_settings before = v.settings;
    EXPECT_EQ(v.SetDigitalColorGains(2, 2, 2), -14);
    EXPECT_EQ(std::tuple(v.settings.gain, v.settings.whiteBalanceU, v.settings.whiteBalanceV),
              std::tuple(before.gain, before.whiteBalanceU, before.whiteBalanceV));
    EXPECT_EQ(CVotf::ConvertDigitalGainsColorToWBGainY(1, 0.01, 1, 1, 1, &wbU, &wbV, &gainY), 0);
}

TEST(WhiteBalance, AdjustForAMeasuredColour) {
    CVotf v;
    v.CorrectionMatrixSet(14);
    ASSERT_EQ(v.AdjustWhiteBalanceForRGBvalues(1.2, 1.0, 0.8), 0);
    ExpectNear(Balance(v), {0.2581, -0.2241, 1.1865}, 5e-5);
    EXPECT_EQ(v.settings.matrixDirty, 0u);

    // The measured colour comes out grey.
    const Fixed m = Current(v);
    double out[3];
    for (int r = 0; r < 3; ++r) out[r] = m[4 * r] * 1.2 + m[4 * r + 1] * 1.0 + m[4 * r + 2] * 0.8;
    EXPECT_NEAR(out[0], out[1], 4096 * 0.002);
    EXPECT_NEAR(out[1], out[2], 4096 * 0.002);
}

// A white that already reaches full scale (or beyond, with a gain above 1)
// needs no lift: only a weakest channel between 0.4 and 1 raises the gain.
TEST(WhiteBalance, AWhiteAtFullScaleKeepsTheGain) {
    // A gain of 0.5 puts the weakest channel inside the band: lifted to full scale.
    for (auto [gain, after] : {std::pair(1.0, 1.0), std::pair(1.5, 1.5), std::pair(0.5, 1.0)}) {
        CVotf v;
        v.CorrectionMatrixSet(14);
        v.settings.gain = gain;
        ASSERT_EQ(v.AdjustWhiteBalanceForRGBvalues(0.7, 0.7, 0.7), 0);
        EXPECT_NEAR(v.settings.gain, after, 1e-9) << gain;
    }
}

TEST(WhiteBalance, RefusedWithoutAPipelineOrLuminance) {
    CVotf v;
    v.SetWhiteBalance(0.1, 0.2);
    for (unsigned id : {0u, 16u}) {
        ASSERT_EQ(v.CorrectionMatrixSet(id), 1);
        EXPECT_EQ(v.AdjustWhiteBalanceForRGBvalues(1.2, 1.0, 0.8), -22) << id;
    }
    v.CorrectionMatrixSet(14);
    EXPECT_EQ(v.AdjustWhiteBalanceForRGBvalues(0, 0, 0), -22);
    EXPECT_EQ(Balance(v), (std::array{0.1, 0.2, 1.0}));
}

}  // namespace
