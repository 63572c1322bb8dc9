#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "matrix.h"
#include "votf.h"

namespace {

using Fixed = std::array<std::int16_t, 12>;

Fixed Current(CVotf &v) {
    Fixed m{};
    EXPECT_EQ(v.GetCurrentMatrix(m.data()), 0);
    return m;
}

_lut8_struct Curve(int gamma, int contrast, int brightness) {
    _lut8_struct l{};
    l.gamma = gamma;
    l.contrast = contrast;
    l.brightness = brightness;
    MakeLut8(&l);
    return l;
}

std::vector<std::uint16_t> Lut16(const _lut8_struct &l, std::size_t size, int lsbFirst) {
    std::vector<std::uint16_t> out(kLut16Entries);
    MakeLut16(out.data(), &l, size, lsbFirst);
    return out;
}

// ---- records and accessors

TEST(VotfRecords, FreshConverterHasNoToneStageAndADirtyMatrix) {
    const CVotf v;
    EXPECT_EQ(v.settings.toneTable, nullptr);
    EXPECT_EQ(v.settings.toneTableSize, 0u);
    EXPECT_EQ(v.settings.toneTable16, nullptr);
    EXPECT_EQ(v.settings.matrixDirty, 1u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.settings.matrix) % 16, 0u);
    int g = 0, b = 1;
    EXPECT_EQ(v.GetGamma(&g, 0), 0);
    EXPECT_EQ(v.GetBrightness(&b, 0), 0);
    EXPECT_EQ(g, 100);
    EXPECT_EQ(b, 0);
}

TEST(VotfRecords, DemosaicMethodAndFlips) {
    CVotf v;
    unsigned method = 0;
    EXPECT_EQ(v.DemosaicMethodSet(9), 1);
    EXPECT_EQ(v.DemosaicMethodSet(3), 0);  // gradient-corrected: per conversion only
    EXPECT_EQ(v.DemosaicMethodSet(4), 0);
    EXPECT_EQ(v.DemosaicMethodGet(&method), 0);
    EXPECT_EQ(method, 9u);
    for (unsigned m : {0u, 1u, 2u, 8u}) EXPECT_EQ(v.DemosaicMethodSet(m), 1) << m;

    int x = 0, y = 0;
    EXPECT_EQ(v.SetFlipping(5, 0), 0);
    EXPECT_EQ(v.GetFlipping(&x, &y), 0);
    EXPECT_EQ(x, 5);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(v.GetFlipping(nullptr, &y), -22);
}

TEST(VotfRecords, AConversionCopyComposesItsOwnMatrix) {
    CVotf v;
    ASSERT_EQ(v.CorrectionMatrixSet(14), 1);
    const Fixed before = Current(v);
    _votf_settings copy = v.settings;
    copy.gain = 2.0;
    ASSERT_EQ(v.BuildMatrix(&copy), 1);
    EXPECT_EQ(copy.matrix[0], 5320);
    EXPECT_EQ(Current(v), before);
    EXPECT_EQ(v.settings.gain, 1.0);
}

// ---- 8-bit tone tables

TEST(ToneTable8, ContrastBrightnessAndGammaCurves) {
    const _lut8_struct identity = Curve(100, 100, 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(identity.table[i], i);

    const _lut8_struct contrast = Curve(100, 200, 0);
    EXPECT_EQ(contrast.table[1], 0);
    EXPECT_EQ(contrast.table[127], 126);
    EXPECT_EQ(contrast.table[129], 130);
    EXPECT_EQ(contrast.table[160], 192);
    EXPECT_EQ(contrast.table[192], 255);
    const _lut8_struct flat = Curve(100, 50, 0);
    EXPECT_EQ(flat.table[0], 64);
    EXPECT_EQ(flat.table[255], 191);

    const _lut8_struct brighter = Curve(100, 100, 100);
    EXPECT_EQ(brighter.table[0], 3);
    EXPECT_EQ(brighter.table[128], 130);
    const _lut8_struct darker = Curve(100, 100, -100);
    EXPECT_EQ(darker.table[128], 126);
    EXPECT_EQ(darker.table[255], 252);

    const _lut8_struct g50 = Curve(50, 100, 0);
    EXPECT_EQ(g50.table[64], 16);
    EXPECT_EQ(g50.table[128], 64);
    const _lut8_struct g200 = Curve(200, 100, 0);
    EXPECT_EQ(g200.table[255], 254);
    EXPECT_EQ(g200.table[64], 127);
    EXPECT_EQ(g200.table[0], 0);
}

TEST(ToneTable8, ExtremeParametersSaturate) {
    // Products beyond 32 bits clamp the curve instead of wrapping around.
    const _lut8_struct steep = Curve(100, 2000000000, 0);
    EXPECT_EQ(steep.table[0], 0);
    EXPECT_EQ(steep.table[255], 255);
    const _lut8_struct bright = Curve(100, 100, 2000000000);
    EXPECT_EQ(bright.table[0], 255);
    // Only the low 32 bits of a parameter word count.
    _lut8_struct wide{};
    wide.gamma = 0x100000064;  // low half 100
    wide.contrast = 100;
    MakeLut8(&wide);
    EXPECT_EQ(wide.table[200], 200);
}

// ---- tone setters

TEST(ToneSetters, ASetterStartsFromNeutralParameters) {
    CVotf v;
    EXPECT_EQ(v.SetContrast(150, 15), 0);
    ASSERT_NE(v.settings.toneTable, nullptr);
    EXPECT_EQ(v.settings.toneTableSize, 280u);
    int g = 0, c = 0, b = 1;
    EXPECT_EQ(v.GetGamma(&g, 0), 0);
    EXPECT_EQ(v.GetContrast(&c, 0), 0);
    EXPECT_EQ(v.GetBrightness(&b, 0), 0);
    EXPECT_EQ(g, 100);
    EXPECT_EQ(c, 150);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(std::memcmp(v.settings.toneTable->table, Curve(100, 150, 0).table, 256), 0);

    // The next setter keeps the parameters already set.
    EXPECT_EQ(v.SetBrightness(-40, 15), 0);
    EXPECT_EQ(std::memcmp(v.settings.toneTable->table, Curve(100, 150, -40).table, 256), 0);
    EXPECT_EQ(v.settings.toneTable->brightness, -40);  // sign-extended
    EXPECT_EQ(v.GetGamma(nullptr, 0), -22);
}

TEST(ToneSetters, ABareTableIsReplacedByTheComputedCurve) {
    CVotf v;
    unsigned char inverted[256];
    for (int i = 0; i < 256; ++i) inverted[i] = static_cast<unsigned char>(255 - i);
    ASSERT_EQ(v.SetupLUT(inverted, 256, 15), 0);
    EXPECT_EQ(v.settings.toneTableSize, 256u);
    int g = 0;
    v.GetGamma(&g, 15);
    EXPECT_EQ(g, 100);  // parameter words of a bare table are stale
    ASSERT_EQ(v.SetGamma(120, 15), 0);
    EXPECT_EQ(v.settings.toneTableSize, 280u);
    EXPECT_EQ(v.settings.toneTable->contrast, 100);
    EXPECT_EQ(v.settings.toneTable->brightness, 0);
    EXPECT_EQ(std::memcmp(v.settings.toneTable->table, Curve(120, 100, 0).table, 256), 0);
}

TEST(ToneSetters, RefusalsChangeNothing) {
    CVotf v;
    EXPECT_EQ(v.SetGamma(120, 7), -78);
    EXPECT_EQ(v.SetContrast(120, 7), -78);
    EXPECT_EQ(v.SetBrightness(10, 0), -78);
    EXPECT_EQ(v.settings.toneTable, nullptr);

    ASSERT_EQ(v.SetContrast(130, 15), 0);
    const _lut8_struct before = *v.settings.toneTable;
    EXPECT_EQ(v.SetGamma(0, 15), -22);
    EXPECT_EQ(v.SetGamma(-5, 15), -22);
    EXPECT_EQ(v.SetBrightness(99, 14), -78);
    EXPECT_EQ(std::memcmp(v.settings.toneTable, &before, sizeof before), 0);
    EXPECT_EQ(v.settings.toneTableSize, 280u);

    // A caller's full table may carry gamma 0; its bytes are then what
    // counts, and a setter cannot build a curve from it.
    _lut8_struct custom = Curve(100, 100, 0);
    custom.gamma = 0;
    custom.table[10] = 99;
    ASSERT_EQ(v.SetupLUT(reinterpret_cast<unsigned char *>(&custom), 280, 15), 0);
    EXPECT_EQ(v.SetContrast(120, 15), -22);
    EXPECT_EQ(v.settings.toneTable->table[10], 99);
    EXPECT_EQ(v.SetGamma(100, 15), 0);
    EXPECT_EQ(v.settings.toneTable->table[10], 10);
}

TEST(ToneSetters, SetupLutSizes) {
    CVotf v;
    std::vector<unsigned char> bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(v.SetupLUT(bytes.data(), 300, 15), 0);
    EXPECT_EQ(v.settings.toneTableSize, 280u);
    EXPECT_EQ(std::memcmp(v.settings.toneTable, bytes.data(), 280), 0);

    std::vector<unsigned char> other(280, 1);
    EXPECT_EQ(v.SetupLUT(other.data(), 270, 15), -22);
    EXPECT_EQ(v.SetupLUT(other.data(), 1, 15), -22);
    EXPECT_EQ(v.SetupLUT(other.data(), 255, 15), -22);
    EXPECT_EQ(v.SetupLUT(other.data(), 280, 3), -78);
    EXPECT_EQ(v.SetupLUT(nullptr, 256, 15), -22);
    EXPECT_EQ(v.settings.toneTableSize, 280u);
    EXPECT_EQ(std::memcmp(v.settings.toneTable, bytes.data(), 280), 0);

    EXPECT_EQ(v.SetupLUT(nullptr, 0, 15), 0);
    EXPECT_EQ(v.settings.toneTableSize, 0u);
    EXPECT_NE(v.settings.toneTable, nullptr);
    unsigned char out[280] = {0xAA};
    unsigned size = sizeof out;
    EXPECT_EQ(v.GetLUT(out, &size, 0), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(out[0], 0xAA);
}

TEST(ToneSetters, GetLutReportsAndCopies) {
    CVotf v;
    unsigned size = 0;
    EXPECT_EQ(v.GetLUT(nullptr, &size, 0), 84);
    EXPECT_EQ(size, 0u);
    ASSERT_EQ(v.SetBrightness(100, 15), 0);
    size = 0;
    EXPECT_EQ(v.GetLUT(nullptr, &size, 0), 84);
    EXPECT_EQ(size, 280u);

    _lut8_struct whole{};
    size = sizeof whole;
    EXPECT_EQ(v.GetLUT(reinterpret_cast<unsigned char *>(&whole), &size, 0), 0);
    EXPECT_EQ(size, 280u);
    EXPECT_EQ(whole.brightness, 100);
    EXPECT_EQ(whole.table[128], 130);

    unsigned char part[16];
    std::memset(part, 0xEE, sizeof part);
    size = 10;
    EXPECT_EQ(v.GetLUT(part, &size, 0), 0);
    EXPECT_EQ(size, 280u);
    EXPECT_EQ(part[0], 3);
    EXPECT_EQ(part[10], 0xEE);

    size = 10;
    EXPECT_EQ(v.GetLUT(nullptr, &size, 0), -22);
    EXPECT_EQ(v.GetLUT(part, nullptr, 0), -22);
}

// ---- 16-bit tone tables

TEST(ToneTable16, ParametricForm) {
    const auto identity = Lut16(Curve(100, 100, 0), 280, 1);
    for (unsigned s = 0; s < kLut16Entries; ++s) ASSERT_EQ(identity[s], s);

    const auto bright = Lut16(Curve(100, 100, 100), 280, 1);
    EXPECT_EQ(bright[0], 656);
    EXPECT_EQ(bright[32768], 33423);
    EXPECT_EQ(bright[65535], 65535);

    const auto g200 = Lut16(Curve(200, 100, 0), 280, 1);
    EXPECT_EQ(g200[1], 255);
    EXPECT_EQ(g200[4096], 16383);

    // Gamma 0.01: the curve still runs from 0 to full scale.
    const auto g1 = Lut16(Curve(1, 100, 0), 280, 1);
    EXPECT_EQ(g1[0], 0);
    EXPECT_EQ(g1[32768], 0);
    EXPECT_EQ(g1[65535], 65535);
    EXPECT_TRUE(std::is_sorted(g1.begin(), g1.end()));

    // Most significant byte first: sample 0x1234 is stored as 0x3412.
    const auto swapped = Lut16(Curve(200, 100, 0), 280, 0);
    EXPECT_EQ(swapped[0x3412], g200[0x1234]);
    EXPECT_EQ(swapped[0x0010], g200[0x1000]);
}

TEST(ToneTable16, TableFormInterpolatesTheBytes) {
    _lut8_struct l = Curve(100, 100, 0);
    // The parameters are ignored for a bare table.
    l.gamma = 300;
    const auto identity = Lut16(l, 256, 1);
    for (unsigned s = 0; s < kLut16Entries; ++s) ASSERT_EQ(identity[s], s);
    EXPECT_EQ(identity[0xFF80], 65408);

    for (int i = 0; i < 256; ++i) l.table[i] = static_cast<std::uint8_t>(255 - i);
    const auto inverted = Lut16(l, 256, 1);
    EXPECT_EQ(inverted[0], 65280);
    EXPECT_EQ(inverted[0x80], 65280 - 128);
    for (unsigned s = 0xFF00; s < kLut16Entries; ++s) ASSERT_EQ(inverted[s], 0);

    const auto swapped = Lut16(l, 256, 0);
    EXPECT_EQ(swapped[0x3412], inverted[0x1234]);

    // A full table without a usable gamma is taken as its bytes.
    l.gamma = 0;
    EXPECT_EQ(Lut16(l, 280, 1), inverted);
    l.gamma = -100;
    EXPECT_EQ(Lut16(l, 280, 1), inverted);
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
    copy = v.settings;
    // The converter lends no table of its own: the copy must bring one.
    EXPECT_EQ(v.BuildLut16WhenNotRunning(&copy, 1), 0);
    auto temporary = std::make_unique<std::uint16_t[]>(kLut16Entries);
    copy.toneTable16 = temporary.get();
    EXPECT_EQ(v.BuildLut16WhenNotRunning(&copy, 1), 1);
    EXPECT_EQ(temporary[0], 656);
    EXPECT_EQ(v.settings.toneTable16, nullptr);

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

// ---- colour matrices

TEST(ColourMatrix, CorrectionBases) {
    CVotf v;
    ASSERT_EQ(v.CorrectionMatrixSet(14), 1);
    EXPECT_EQ(Current(v), (Fixed{4096, 0, 0, 0, 0, 4096, 0, 0, 0, 0, 4096, 0}));

    ASSERT_EQ(v.CorrectionMatrixSet(5), 1);  // empty model slot
    EXPECT_EQ(Current(v), (Fixed{5025, -413, -516, 0, -712, 5193, -385, 0, 208, -3571, 7458, 0}));

    const std::int16_t custom[12] = {8192, 0, 0, 100, 0, 4096, 0, 0, 0, 0, 4096, 0};
    ASSERT_EQ(v.CustomCorrectionMatrixSetup(custom), 0);
    ASSERT_EQ(v.CorrectionMatrixSet(16), 1);
    v.SetHue(30);
    v.SetSaturation(1.5, 0.5);
    v.SetGain(1.7);
    v.SetWhiteBalance(0.2, -0.3);
    EXPECT_EQ(Current(v), (Fixed{8192, 0, 0, 100, 0, 4096, 0, 0, 0, 0, 4096, 0}));
    std::int16_t back[12] = {};
    EXPECT_EQ(v.GetCustomMatrix(back), 0);
    EXPECT_EQ(std::memcmp(back, custom, sizeof custom), 0);

    // Id 15 takes the custom matrix through the YUV steps: with neutral
    // settings it comes out as it went in, column 3 included.
    CVotf n;
    ASSERT_EQ(n.CustomCorrectionMatrixSetup(custom), 0);
    ASSERT_EQ(n.CorrectionMatrixSet(15), 1);
    const Fixed f = Current(n);
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(f[i], custom[i], 1) << i;

    unsigned id = 0;
    EXPECT_EQ(v.CorrectionMatrixSet(17), 0);
    EXPECT_EQ(v.CorrectionMatrixGet(&id), 0);
    EXPECT_EQ(id, 16u);
}

TEST(ColourMatrix, SaturationGainAndClamping) {
    CVotf v;
    ASSERT_EQ(v.CorrectionMatrixSet(14), 1);
    v.SetSaturation(2, 2);
    EXPECT_EQ(Current(v),
              (Fixed{6967, -2404, -466, 0, -1224, 5787, -466, 0, -1224, -2404, 7725, 0}));
    v.SetSaturation(1, 1);
    v.SetGain(2);
    EXPECT_EQ(Current(v), (Fixed{5320, 2404, 466, 0, 1224, 6500, 466, 0, 1224, 2404, 4562, 0}));

    v.SetGain(1);
    const std::int16_t big[12] = {32767, -32768, 0, 0, 0, 4096, 0, 0, 0, 0, 4096, 0};
    v.CustomCorrectionMatrixSetup(big);
    v.CorrectionMatrixSet(15);
    v.SetGain(3);
    const Fixed m = Current(v);
    EXPECT_EQ(m[0], 32763);
    EXPECT_EQ(m[1], -32768);

    // Hue turns the chroma plane: a half turn negates U and V, which the
    // composite shows as a grey axis kept and colours mirrored.
    CVotf h;
    h.CorrectionMatrixSet(14);
    h.SetHue(180);
    const Fixed r = Current(h);
    EXPECT_NE(r, (Fixed{4096, 0, 0, 0, 0, 4096, 0, 0, 0, 0, 4096, 0}));
    for (int row = 0; row < 3; ++row)
        EXPECT_NEAR(r[4 * row] + r[4 * row + 1] + r[4 * row + 2], 4096, 3);
}

TEST(ColourMatrix, ModelMatricesAreStoredReversed) {
    CVotf v;
    const std::int16_t m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(v.SpecifyMatrix(3, m), 0);
    ASSERT_NE(v.specifiedMatrices[3], nullptr);
    const Fixed stored = [&] {
        Fixed f;
        std::memcpy(f.data(), v.specifiedMatrices[3].get(), sizeof f);
        return f;
    }();
    EXPECT_EQ(stored, (Fixed{9, 8, 7, 0, 6, 5, 4, 0, 3, 2, 1, 0}));
    EXPECT_EQ(v.SpecifyMatrix(16, m), -22);
    EXPECT_EQ(v.SpecifyMatrix(0, m), -22);
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

TEST(ColourMatrix, FixedPointArraysToDoubles) {
    const std::int16_t s[12] = {4096, 2048, -4096, 100, 0, 8192, 1024, 200, 1, 2, 3, 300};
    CMatrix m;
    m.AllocZeros(3, 4);
    ConvertMatrixShortToDouble3x4(&m, s);
    EXPECT_EQ(m[0][3], 100 / 4096.0);
    EXPECT_EQ(m[1][1], 2.0);
    CMatrix3x3 t;
    ConvertMatrixShortToDouble(&t, s);
    const double expected[9] = {1, 0.5, -1, 0, 2, 0.25, 1 / 4096.0, 2 / 4096.0, 3 / 4096.0};
    EXPECT_TRUE(t == CMatrix3x3(expected));
    MakeIdentity3x4(m);
    const double id[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    EXPECT_TRUE(m == CMatrix(3, 4, id));
    CMatrix wrong(3, 3, nullptr);
    EXPECT_THROW(MakeIdentity3x4(wrong), CMatrixError);
}

TEST(ColourMatrix, IdsBeyondTheSlotsAreRefused) {
    CVotf v;
    _votf_settings s = v.settings;
    std::memset(s.matrix, 0x55, sizeof s.matrix);
    s.correctionMatrix = 17;
    EXPECT_EQ(v.BuildMatrix(&s), 0);
    EXPECT_EQ(s.matrix[0], 0x5555);
    s.correctionMatrix = 0xFFFFFFFF;
    EXPECT_EQ(v.BuildMatrix(&s), 0);
    // Id 0: no matrix stage, the matrix keeps what it held.
    s.correctionMatrix = 0;
    EXPECT_EQ(v.BuildMatrix(&s), 1);
    EXPECT_EQ(s.matrix[11], 0x5555);
}

TEST(ColourMatrix, MonochromeDefersTheBuild) {
    CVotf v;
    v.format.mono = 1;
    ASSERT_EQ(v.CorrectionMatrixSet(14), 1);
    v.SetGain(2);
    EXPECT_EQ(v.settings.matrixDirty, 1u);
    EXPECT_EQ(v.settings.matrix[0], 0);
    EXPECT_EQ(Current(v)[0], 5320);
    EXPECT_EQ(v.settings.matrixDirty, 0u);
}

// ---- digital gains and white balance

TEST(DigitalGains, ConversionFigures) {
    double wbU = 0, wbV = 0, gainY = 0;
    ASSERT_EQ(CVotf::ConvertDigitalGainsColorToWBGainY(1, 1, 1.2, 1.0, 0.8, &wbU, &wbV, &gainY), 1);
    EXPECT_NEAR(wbU, -0.2676, 1e-9);
    EXPECT_NEAR(wbV, 0.2324, 1e-9);
    EXPECT_NEAR(gainY, 1.037, 1e-9);

    CVotf v;
    v.CorrectionMatrixSet(14);
    ASSERT_EQ(v.SetDigitalColorGains(1.2, 1.0, 0.8), 0);
    EXPECT_NEAR(v.settings.gain, 1.037, 1e-9);
    double g0 = 0, g1 = 0, g2 = 0;
    EXPECT_EQ(v.GetDigitalColorGains(&g0, &g1, &g2), 0);
    EXPECT_NEAR(g0, 1.2, 1e-9);
    EXPECT_NEAR(g1, 1.0, 1e-9);
    EXPECT_NEAR(g2, 0.8, 1e-9);
    EXPECT_EQ(Current(v), (Fixed{4340, 480, 93, 0, 0, 4096, 0, 0, -244, -480, 4002, 0}));
    EXPECT_EQ(v.GetDigitalColorGains(nullptr, &g1, nullptr), 0);

    // Refused saturations leave everything as it was.
    v.SetSaturation(0.05, 1);
    const _votf_settings before = v.settings;
    EXPECT_EQ(v.SetDigitalColorGains(2, 2, 2), -14);
    EXPECT_EQ(v.settings.gain, before.gain);
    EXPECT_EQ(v.settings.whiteBalanceU, before.whiteBalanceU);
    EXPECT_EQ(v.settings.whiteBalanceV, before.whiteBalanceV);
    EXPECT_EQ(CVotf::ConvertDigitalGainsColorToWBGainY(1, 0.01, 1, 1, 1, &wbU, &wbV, &gainY), 0);
}

TEST(DigitalGains, GetInvertsTheConversionOverAGrid) {
    CVotf v;
    for (double sat : {0.06, 0.5, 1.0, 2.5}) {
        for (double g0 = 0.25; g0 <= 4.0; g0 *= 2.0) {
            for (double g1 = 0.3; g1 <= 4.0; g1 *= 1.9) {
                for (double g2 = 0.2; g2 <= 4.0; g2 *= 2.3) {
                    ASSERT_EQ(v.SetSaturation(sat, sat * 1.5), 0);
                    ASSERT_EQ(v.SetDigitalColorGains(g0, g1, g2), 0);
                    double r0, r1, r2;
                    ASSERT_EQ(v.GetDigitalColorGains(&r0, &r1, &r2), 0);
                    EXPECT_NEAR(r0, g0, 1e-9 * g0);
                    EXPECT_NEAR(r1, g1, 1e-9 * g1);
                    EXPECT_NEAR(r2, g2, 1e-9 * g2);
                }
            }
        }
    }
}

TEST(WhiteBalance, AdjustForAMeasuredColour) {
    CVotf v;
    v.CorrectionMatrixSet(14);
    ASSERT_EQ(v.AdjustWhiteBalanceForRGBvalues(1.2, 1.0, 0.8), 0);
    double u = 0, w = 0, g = 0;
    v.GetWhiteBalance(&u, &w);
    v.GetGain(&g);
    EXPECT_NEAR(u, 0.2581, 5e-5);
    EXPECT_NEAR(w, -0.2241, 5e-5);
    EXPECT_NEAR(g, 1.1865, 5e-5);
    EXPECT_EQ(v.settings.matrixDirty, 0u);

    // The measured colour comes out grey.
    const Fixed m = Current(v);
    double out[3];
    for (int r = 0; r < 3; ++r) out[r] = (m[4 * r] * 1.2 + m[4 * r + 1] * 1.0 + m[4 * r + 2] * 0.8);
    EXPECT_NEAR(out[0], out[1], 4096 * 0.002);
    EXPECT_NEAR(out[1], out[2], 4096 * 0.002);
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
    double u = 0, w = 0, g = 0;
    v.GetWhiteBalance(&u, &w);
    v.GetGain(&g);
    EXPECT_EQ(u, 0.1);
    EXPECT_EQ(w, 0.2);
    EXPECT_EQ(g, 1.0);
}

}  // namespace
