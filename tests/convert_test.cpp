// Frame conversion: the matrix stages against a plain per-pixel model on every
// vector path, the driver's kernel choice against an independent selection
// table, the record decoding, the refusals and the 16-bit tone-table cache.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "color/isa.h"
#include "color/matrix48.h"
#include "reference/harness.h"
#include "reference/matrix.h"
#include "vocamapi.h"
#include "vocamkernels.h"
#include "votf/colora.h"
#include "votf/votf.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using vocam::ref::kB, vocam::ref::kD, vocam::ref::kG, vocam::ref::kM, vocam::ref::kT,
    vocam::ref::kX;
using vocam::ref::Matrix;
using vocam::ref::matrix;
using vocam::ref::randomBytes;

Matrix RandomMatrix(std::mt19937 &rng) {
    // Mostly extremes and small values, where clamping and sign handling live.
    static const std::int16_t kPicks[] = {-32768, 32767, -4096, 4096, 8192, 4095, 0, -1, 1};
    Matrix m{};
    for (auto &v : m)
        v = (rng() % 3 == 0) ? kPicks[rng() % std::size(kPicks)] : static_cast<std::int16_t>(rng());
    return m;
}

// The matrix stage runs on the vector unit VOCAM_SIMD allows; ctest runs
// this suite once for every unit.
TEST(MatrixStage, EightBitDepthsMatchThePlainModel) {
    std::mt19937 rng(1234);
    // Counts around every vector width and tail length, at odd addresses.
    for (std::size_t count :
         {0u, 1u, 3u, 4u, 7u, 8u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 97u, 1000u})
        for (int trial = 0; trial < 6; ++trial) {
            const Matrix m = RandomMatrix(rng);
            Bytes a = randomBytes(6 * count + 9, rng), b = a;
            MatrixPostProcess4096(m.data(), a.data() + 1, count);
            matrix(m, b.data() + 1, count, 3);
            ASSERT_EQ(a, b) << "24-bit, count " << count;

            a = randomBytes(4 * count + 9, rng), b = a;
            MatrixPostProcess4096to32(m.data(), a.data() + 3, count);
            matrix(m, b.data() + 3, count, 4);
            ASSERT_EQ(a, b) << "32-bit, count " << count;
        }
}

// Matrices whose sums stay inside 32 bits take a stage of their own; the
// bound decides exactness, so its edges are checked with the samples that
// reach them, in place and from a separate input.
TEST(MatrixStage, SixteenBitMatricesAtTheEdgeOfThirtyTwoBitSums) {
    auto row = [](std::int16_t a, std::int16_t b, std::int16_t c) {
        return Matrix{a, b, c, 0, b, c, a, 0, c, a, b, 0};
    };
    // Positive coefficients up to 32768 in all fit, one more does not; the
    // negative ones may reach -32768, but not a row summing to -32768, whose
    // offset has no 16-bit coefficient.
    const Matrix narrow[] = {row(32767, 1, 0), row(-32768, 0, 32767),  row(-16384, -16383, 0),
                             row(4096, 0, 0),  row(6000, -1500, -400), row(0, 0, 0)};
    const Matrix wide[] = {row(32767, 2, 0), row(-32767, -1, 0), row(-16384, -16384, 0),
                           row(-32768, 0, 0)};
    for (const Matrix &m : narrow) EXPECT_TRUE(vocam::colour::matrix48Narrow(m.data()));
    for (const Matrix &m : wide) EXPECT_FALSE(vocam::colour::matrix48Narrow(m.data()));

    std::mt19937 rng(99);
    std::vector<Matrix> matrices(std::begin(narrow), std::end(narrow));
    matrices.insert(matrices.end(), std::begin(wide), std::end(wide));
    // Random colour corrections (gains and cross terms of either sign), and
    // random matrices among the extremes.
    while (matrices.size() < 40) {
        Matrix m{};
        for (auto &v : m) v = static_cast<std::int16_t>(int(rng() % 24001) - 12000);
        matrices.push_back(m);
        matrices.push_back(RandomMatrix(rng));
    }
    for (const Matrix &m : matrices)
        for (std::size_t count : {0u, 1u, 8u, 15u, 16u, 17u, 33u, 95u, 96u, 97u, 250u}) {
            std::vector<std::uint16_t> in(3 * count + 2);
            for (auto &x : in) {
                const unsigned pick = rng() % 4;
                x = pick == 0 ? 0 : pick == 1 ? 65535 : static_cast<std::uint16_t>(rng());
            }
            std::vector<std::uint16_t> want = in, inPlace = in, apart(in.size(), 7);
            matrix(m, want.data() + 1, count, 3);
            MatrixPostProcess16_4096(m.data(), inPlace.data() + 1, count);
            ASSERT_EQ(inPlace, want) << "in place, count " << count << ", m[0] " << m[0];
            vocam::colour::matrix48(m.data(), in.data() + 1, apart.data() + 1, count);
            want.front() = want.back() = 7;  // nothing outside the count is written
            ASSERT_EQ(apart, want) << "apart, count " << count;
        }
}

// The ctest runs that narrow the vector unit would silently repeat the
// widest path if the variable were not understood.
TEST(VectorUnit, TheEnvironmentNarrowsTheChoice) {
    using vocam::kernels::Isa;
    const char *limit = std::getenv("VOCAM_SIMD");
    if (limit == nullptr) GTEST_SKIP() << "VOCAM_SIMD not set";
    const Isa best = vocam::kernels::bestIsa();
    if (std::string(limit) == "portable") {
        EXPECT_EQ(best, Isa::kPortable);
        EXPECT_EQ(vocam::kernels::capabilities(), 1u);
    } else if (std::string(limit) == "sse4.1") {
        EXPECT_LE(static_cast<int>(best), static_cast<int>(Isa::kSse41));
    }
    if (static_cast<int>(best) > 0) {
        EXPECT_STREQ(vocam::kernels::isaName(best), limit);
    }
}

// ---- records the driver reads

using ImageFormat = _VOCAM_IMAGE_FORMAT;

// Little-endian bytes of a parameters record, built field by field.
struct Params {
    Bytes b = Bytes(44, 0);
    // Saturation and Y gain 1.
    Params(std::uint32_t size, std::uint32_t method, std::uint32_t correction) {
        Put(0, size).Put(4, method).Put(8, correction).PutF(24, 1.0f).PutF(32, 1.0f);
    }
    Params &Put(int at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        return *this;
    }
    Params &PutF(int at, float f) { return Put(at, std::bit_cast<std::uint32_t>(f)); }
    const void *data() const { return b.data(); }
};

// Frame flags of VocamReserved[0].
constexpr std::uint32_t kMono = 1, kLsbFirst = 2, kRowBlue = 4, kGreenFirst = 8, kBottomUp = 16;

// ---- independent selection table

struct Case {
    unsigned method, bits, sampleFormat;  // sampleFormat 0, 1 (MSB first), 2 (LSB first)
    bool mono, deinterlace;
};

// The kernel a conversion must run, as a name; "" for a refused combination.
std::string ExpectedKernel(const Case &c) {
    const bool wide = c.sampleFormat != 0, deep = c.bits == 48;
    if (deep && !wide) return "";
    const std::string depth = deep   ? "16"
                              : wide ? (c.bits == 32 ? "16to832" : "16to8")
                                     : (c.bits == 32 ? "32" : "");
    if (c.mono && c.bits == 8)
        return std::string("MonoToMonoMove") + (wide ? "16to8" : "") +
               (c.deinterlace ? "Deinterl" : "");
    // 48-bit pictures are always made in place.
    const std::string rows = c.deinterlace || deep ? "InPlace" : "";
    if (c.mono || c.method == 0) return "NoneMove" + depth + rows;
    if (c.method == 1) return "NearestNeighbor" + depth + rows;
    if (c.method == 2) return "EdgeDetectMove" + depth + rows;
    if (c.method == 3) return "QarexMove" + depth;
    if (c.method == 8 || (c.method == 9 && wide && !deep)) return "UlmetMove" + depth + "InPlace";
    if (c.method != 9 || deep) return "";
    if (c.bits == 32) return "FourColorsInterMove32InPlace";
    return c.deinterlace ? "" : "UlmetMoveInPlace";
}

// The kernels a conversion may run, by name, with the argument list of each
// family; the "Select" forms go by their overloaded family names.
// clang-format off
#define DEPTHS(family, fn) {family(fn)}, {family(fn##32)}, {family(fn##16to8)}, {family(fn##16to832)}
#define IN_PLACE(family, fn) {family(fn##InPlace)}, {family(fn##32InPlace)}, \
    {family(fn##16to8InPlace)}, {family(fn##16to832InPlace)}, {family(fn##16InPlace)}
// clang-format on

using Run = void (*)(vocam::ref::Picture &, const vocam::ref::RawFrame &,
                     const vocam::ref::Flags &);

const std::map<std::string, Run> &Kernels() {
    static const std::map<std::string, Run> k = {DEPTHS(GREY, NoneMove),
                                                 {GREY(MonoToMonoMove)},
                                                 {GREY(MonoToMonoMoveDeinterl)},
                                                 {GREY(MonoToMonoMove16to8)},
                                                 {GREY(MonoToMonoMove16to8Deinterl)},
                                                 IN_PLACE(GREY2, NoneMove),
                                                 DEPTHS(SEL, NearestNeighbor),
                                                 DEPTHS(SEL, EdgeDetectMove),
                                                 IN_PLACE(FULL, NearestNeighbor),
                                                 IN_PLACE(FULL, EdgeDetectMove),
                                                 DEPTHS(FULL, QarexMove),
                                                 {FULL(QarexMove16)},
                                                 IN_PLACE(FULL, UlmetMove),
                                                 {FULL(FourColorsInterMove32InPlace)}};
    return k;
}

// Row stride of a picture the matrix stage runs over (monochrome pictures
// never reach it).
std::size_t Stride(const std::string &kernel, std::uint32_t w, unsigned bits) {
    if (kernel == "NoneMove" || kernel == "NoneMove16to8") return (3 * w + 3) / 4 * 4;
    return bits == 48 ? 6 * w : bits == 32 ? 4 * w : 3 * w;
}

// Orientation and phase flags of one conversion.
struct Orientation {
    bool rowBlue, greenFirst, bottomUp, flipX, flipY;
};

using Frame = vocam::ref::RawFrame;

ImageFormat Format(std::uint32_t w, std::uint32_t h, std::uint32_t flags = 0,
                   std::uint32_t pixelFormat = 0, std::uint32_t deinterlace = 0) {
    return {52, w, h, pixelFormat, 0, {flags, 0, 0, 0, deinterlace}};
}

ImageFormat FormatFor(const Frame &f, const Case &c, const Orientation &o) {
    return Format(f.width, f.height,
                  (c.mono ? kMono : 0) | (c.sampleFormat == 2 ? kLsbFirst : 0) |
                      (o.rowBlue ? kRowBlue : 0) | (o.greenFirst ? kGreenFirst : 0) |
                      (o.bottomUp ? kBottomUp : 0),
                  c.sampleFormat == 0 ? 0 : 1,
                  c.deinterlace ? 0x301 : 0);  // only the low byte of weaving counts
}

// Hue, saturation, Y gain and white balance (x 100) of a full record without
// digital gains.
struct Gains {
    float hue, saturation, gain, wbU, wbV;
};

Params ParamsFor(const Case &c, unsigned correction, const Orientation &o, const Gains &g) {
    return Params(44, c.method, correction)
        .Put(12, o.flipX ? 1 : 0)
        .Put(16, o.flipY ? 1 : 0)
        .PutF(20, g.hue)
        .PutF(24, g.saturation)
        .PutF(32, g.gain)
        .PutF(36, g.wbU)
        .PutF(40, g.wbV);
}

// A custom matrix with a nonzero column 3, so that 32-bit output shows byte 3
// taking part.
const std::int16_t kCustom[12] = {3000, 900, -500, 600, -700, 4500, 300, 0, 200, -1200, 5200, -900};

// The driver's output for one case, recomputed from the named kernel and the
// plain matrix model. Returns false for a combination that must be refused.
bool Expected(const CVotf &v, const Frame &f, const Case &c, unsigned correction,
              const Orientation &o, const Gains &g, Bytes &dst) {
    const std::string name = ExpectedKernel(c);
    if (name.empty()) return false;
    // The record's figures, whatever the converter holds.
    _votf_settings s = v.settings;
    s.correctionMatrix = correction;
    s.hue = g.hue;
    s.saturationU = s.saturationV = g.saturation;
    s.gain = g.gain;
    s.whiteBalanceU = g.wbU / 100.0;
    s.whiteBalanceV = g.wbV / 100.0;
    if (!v.BuildMatrix(&s)) return false;
    const Matrix m = std::to_array(s.matrix);

    vocam::ref::Flags flags((o.rowBlue ? 0 : kB) | (o.greenFirst ? kG : 0) | (o.flipX ? kX : 0) |
                            (o.flipY == o.bottomUp ? kT : 0) | (c.deinterlace ? kD : 0) |
                            (c.sampleFormat == 1 ? kM : 0));
    std::vector<std::uint16_t> lut16;
    if (v.settings.toneTableSize != 0) {
        flags.t8 = v.settings.toneTable->table;
        if (c.sampleFormat != 0) {
            lut16.resize(kLut16Entries);
            MakeLut16(lut16.data(), v.settings.toneTable, v.settings.toneTableSize,
                      c.sampleFormat == 2);
            flags.t16 = lut16.data();
        }
    }
    vocam::ref::Picture picture{f.width, f.height, 3, false, 0, std::move(dst)};
    Kernels().at(name)(picture, f, flags);
    dst = std::move(picture.bytes);
    if (c.mono || correction == 0) return true;
    const std::size_t stride = Stride(name, f.width, c.bits);
    for (std::uint32_t y = 0; y < f.height; ++y) {
        std::uint8_t *row = dst.data() + y * stride;
        if (c.bits == 48)
            matrix(m, reinterpret_cast<std::uint16_t *>(row), f.width, 3);
        else
            matrix(m, row, f.width, c.bits == 32 ? 4 : 3);
    }
    return true;
}

std::string CaseName(const Case &c) {
    return "m" + std::to_string(c.method) + "_b" + std::to_string(c.bits) + "_s" +
           std::to_string(c.sampleFormat) + (c.mono ? "_mono" : "") +
           (c.deinterlace ? "_deint" : "");
}

class DriverSelection : public ::testing::TestWithParam<Case> {};

// Row bands: the whole frame at once (automatic bands exceed these frames),
// then bands that end near every kernel's reach on one and several threads
// (runs of 4 and 6 rows for the kernels that write rows straight into dst).
// Every layout must give the bytes of the model.
struct Layout {
    unsigned rows, threads;
};
constexpr Layout kLayouts[] = {{0, 1}, {4, 1}, {6, 3}, {4, 7}};

TEST_P(DriverSelection, MatchesTheNamedKernelAndThePlainMatrixStage) {
    const Case c = GetParam();
    std::mt19937 rng(99 + c.method * 131 + c.bits * 7 + c.sampleFormat * 3 + c.mono * 2 +
                     c.deinterlace);
    CVotf v;
    ASSERT_EQ(v.CustomCorrectionMatrixSetup(kCustom), 0);
    ASSERT_EQ(v.SetHue(12.0), 0);
    for (const bool tone : {false, true}) {
        if (tone) {
            ASSERT_EQ(v.SetGamma(160, 15), 0);
        }
        // 38 wide: two vector blocks and a tail, each through the matrix when
        // the kernel applies it itself.
        for (const auto &[w, h] : {std::pair{38u, 6u}, std::pair{6u, 8u}, std::pair{18u, 4u},
                                   std::pair{10u, 30u}, std::pair{6u, 22u}})
            for (int trial = 0; trial < 4; ++trial) {
                const Orientation o{bool(rng() & 1), bool(rng() & 1), bool(rng() & 1),
                                    bool(rng() & 1), bool(rng() & 1)};
                const unsigned correction = std::array{0u, 14u, 15u, 16u, 3u}[rng() % 5];
                const Frame f = vocam::ref::randomFrame(w, h, c.sampleFormat != 0, rng);
                const ImageFormat fmt = FormatFor(f, c, o);
                const Gains g{float(int(rng() % 61) - 30), 0.5f + float(rng() % 4) / 4,
                              0.75f + float(rng() % 3) / 4, float(int(rng() % 41) - 20),
                              float(int(rng() % 41) - 20)};
                const Params p = ParamsFor(c, correction, o, g);
                // Slack after the largest picture catches writes past the stride.
                const Bytes fill = randomBytes(6 * w * h + 64, rng);
                Bytes want = fill;
                const bool served = Expected(v, f, c, correction, o, g, want);
                for (const Layout &l : kLayouts) {
                    ASSERT_EQ(v.SetConversionThreads(l.threads), 0);
                    v.bands->bandRows = l.rows;
                    v.bands->parallelMinPixels = 0;
                    Bytes got = fill;
                    const int st =
                        v.ConvertToRgb(got.data(), f.bytes.data(), c.bits, &fmt, p.data());
                    if (!served) {
                        EXPECT_EQ(st, -14) << CaseName(c);
                        EXPECT_EQ(got, fill) << "refused conversion wrote to dst";
                        continue;
                    }
                    ASSERT_EQ(st, 0) << CaseName(c);
                    ASSERT_EQ(got, want)
                        << CaseName(c) << " " << ExpectedKernel(c) << " " << w << "x" << h
                        << " tone " << tone << " correction " << correction << " orientation "
                        << o.rowBlue << o.greenFirst << o.bottomUp << o.flipX << o.flipY
                        << " bands of " << l.rows << " rows on " << l.threads << " threads";
                }
            }
    }
}

std::vector<Case> AllCases() {
    std::vector<Case> out;
    for (unsigned method : {0u, 1u, 2u, 3u, 4u, 8u, 9u})
        for (unsigned bits : {8u, 24u, 32u, 48u})
            for (unsigned sf : {0u, 1u, 2u})
                for (bool mono : {false, true})
                    for (bool deint : {false, true}) {
                        if (mono && method != 1) continue;  // mono ignores the method
                        out.push_back({method, bits, sf, mono, deint});
                    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(AllCombinations, DriverSelection, ::testing::ValuesIn(AllCases()),
                         [](const auto &info) { return CaseName(info.param); });

// ---- the driver's own cases

Bytes Fill(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return b;
}

class Driver : public ::testing::Test {
  protected:
    CVotf v;
    std::mt19937 rng{5};
    // A 24-bit conversion into a filled buffer, which a refusal leaves alone.
    int Status(const Bytes &raw, const ImageFormat *f, const void *params,
               std::size_t n = 6 * 64 * 64) {
        Bytes dst = Fill(n);
        const int st = v.ConvertToRgb(dst.data(), raw.data(), 24, f, params);
        EXPECT_TRUE(st == 0 || dst == Fill(n)) << "refused conversion wrote to dst";
        return st;
    }
};

// Combinations without a kernel are covered by DriverSelection; a sample
// format no kernel reads is reported as not converted.
TEST_F(Driver, UnreadableSampleFormat) {
    const Bytes raw = randomBytes(2 * 8 * 8, rng);
    _votf_format fmt;
    fmt.width = fmt.height = 8;
    fmt.sampleFormat = 3;
    Bytes dst = Fill(6 * 64);
    EXPECT_EQ(v.ConvertBayerToRgb(dst.data(), raw.data(), 24, &fmt, &v.settings), 0);
    EXPECT_EQ(dst, Fill(6 * 64));
}

TEST_F(Driver, RecordChecks) {
    const Bytes raw = randomBytes(2 * 64 * 64, rng);
    // Frames the kernels cannot walk; the converter's own default format is
    // checked as well.
    for (const auto &[w, h] :
         {std::pair{7u, 8u}, std::pair{8u, 7u}, std::pair{2u, 8u}, std::pair{8u, 2u}}) {
        const ImageFormat f = Format(w, h);
        EXPECT_EQ(Status(raw, &f, Params(12, 1, 14).data()), -22) << w << "x" << h;
    }
    EXPECT_EQ(Status(raw, nullptr, nullptr, 64), -22);
    ImageFormat f = Format(4, 4);
    EXPECT_EQ(Status(raw, &f, Params(12, 1, 14).data(), 64), 0);
    // Correction ids beyond the slots.
    f = Format(8, 8);
    for (std::uint32_t id : {17u, 255u, 0xFFFFFFFFu})
        for (std::uint32_t size : {12u, 44u})
            EXPECT_EQ(Status(raw, &f, Params(size, 1, id).data()), -14) << id;
    f.Size = 48;
    EXPECT_EQ(Status(raw, &f, nullptr), -22);
    f = Format(8, 8, 0, 2);
    EXPECT_EQ(Status(raw, &f, nullptr), -14);
    f = Format(8, 8);
    for (std::uint32_t size : {0u, 11u, 13u, 40u, 48u})
        EXPECT_EQ(Status(raw, &f, Params(size, 1, 14).data()), -22) << size;
    // Digital gains are refused for a saturation at or below 0.05.
    Params p = Params(44, 1, 14).PutF(24, 0.04f).Put(28, 1);
    EXPECT_EQ(Status(raw, &f, p.data()), -14);
    EXPECT_EQ(Status(raw, &f, p.PutF(24, 1.0f).data()), 0);
}

TEST_F(Driver, ShortRecordKeepsTheConvertersOtherSettingsAndNothingChanges) {
    ASSERT_EQ(v.SetHue(30.0), 0);
    ASSERT_EQ(v.SetFlipping(1, 0), 0);
    ASSERT_EQ(v.CorrectionMatrixSet(14), 1);
    // What the converter keeps, beyond what a record may change for one frame.
    auto kept = [](const CVotf &c) {
        const _votf_settings &s = c.settings;
        return std::tuple(s.demosaicMethod, s.correctionMatrix, s.flipX, s.flipY, s.hue,
                          s.saturationU, s.saturationV, s.whiteBalanceU, s.whiteBalanceV, s.gain,
                          Matrix(std::to_array(s.matrix)), s.toneTable16, c.format.width,
                          c.format.sampleFormat, c.format.bottomUp, c.format.greenFirst);
    };
    const auto before = kept(v);
    const Frame fr = vocam::ref::randomFrame(8, 6, false, rng);
    const ImageFormat f = Format(8, 6, kBottomUp | kGreenFirst);
    Bytes got(3 * 48), want(3 * 48);
    ASSERT_EQ(v.ConvertToRgb(got.data(), fr.bytes.data(), 24, &f, Params(12, 2, 15).data()), 0);
    // Method 2 and custom id 15 from the record; hue and mirror from the converter.
    _votf_settings s = v.settings;
    s.correctionMatrix = 15;
    ASSERT_EQ(v.BuildMatrix(&s), 1);
    EdgeDetectMove(want.data(), fr.bytes.data(), 8, 6, 1, 1, 1, 0, nullptr);
    const Matrix m = std::to_array(s.matrix);
    matrix(m, want.data(), 48, 3);
    EXPECT_EQ(got, want);

    // A full record with digital gains changes nothing stored either.
    const Params full = Params(44, 8, 14)
                            .PutF(20, 45.0f)
                            .PutF(24, 1.5f)
                            .Put(28, 1)
                            .PutF(32, 1.2f)
                            .PutF(36, 0.9f)
                            .PutF(40, 1.1f);
    ASSERT_EQ(v.ConvertToRgb(got.data(), fr.bytes.data(), 24, &f, full.data()), 0);
    EXPECT_EQ(kept(v), before);
}

// ---- the 16-bit tone table

// A 16-bit colour frame through the grey kernel: each output is the high byte
// the tone table (if on) gives the stored sample. Returns the output.
Bytes CheckTone16(CVotf &v, const Frame &fr, bool lsbFirst) {
    const ImageFormat f = Format(fr.width, fr.height, lsbFirst ? kLsbFirst : 0, 1);
    Bytes got(4 * fr.width * fr.height), want(got.size());
    EXPECT_EQ(v.ConvertToRgb(got.data(), fr.bytes.data(), 32, &f, Params(12, 0, 0).data()), 0);
    std::vector<std::uint16_t> lut(kLut16Entries);
    MakeLut16(lut.data(), v.settings.toneTable, v.settings.toneTableSize, lsbFirst);
    NoneMove16to832(want.data(), fr.data16(), fr.width, fr.height, 0, 1, !lsbFirst,
                    v.settings.toneTableSize != 0 ? lut.data() : nullptr);
    EXPECT_EQ(got, want) << "lsbFirst " << lsbFirst << " table " << v.settings.toneTableSize;
    return got;
}

TEST_F(Driver, ToneTableFollowsToneSettingsAndByteOrder) {
    const Frame fr = vocam::ref::randomFrame(64, 32, true, rng);
    ASSERT_EQ(v.SetGamma(180, 15), 0);
    const Bytes g180 = CheckTone16(v, fr, true);
    CheckTone16(v, fr, true);                    // from the kept table
    EXPECT_NE(CheckTone16(v, fr, false), g180);  // byte order changed

    // A caller's bare table replaces the curve, and an edit of its bytes
    // makes a different table.
    std::array<std::uint8_t, 256> table;
    for (int i = 0; i < 256; ++i) table[i] = static_cast<std::uint8_t>(255 - i);
    ASSERT_EQ(v.SetupLUT(table.data(), 256, 15), 0);
    const Bytes inverted = CheckTone16(v, fr, true);
    for (int i = 100; i < 140; ++i) table[i] = 3;
    ASSERT_EQ(v.SetupLUT(table.data(), 256, 15), 0);
    EXPECT_NE(CheckTone16(v, fr, true), inverted);

    // Tone stage off: the raw high bytes.
    ASSERT_EQ(v.SetupLUT(nullptr, 0, 15), 0);
    CheckTone16(v, fr, true);
}

}  // namespace
