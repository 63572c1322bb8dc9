// The grey, monochrome, nearest-neighbour, placement, 2x2-block and four-colour
// kernels against the per-pixel reference, bit for bit, on random frames and
// random initial pictures, for every phase, mirror, storage order, weaving,
// table and byte order, on every vector path this machine offers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "color/kernel_common.h"
#include "reference/reference.h"
#include "vocamkernels.h"

namespace {

using vocam::kernels::Isa;
using vocam::ref::Depth;
using vocam::ref::Grid;
using vocam::ref::Orientation;
using vocam::ref::Picture;
using vocam::ref::RawFrame;

struct Size {
    uint32_t w, h;
};
void PrintTo(const Size &s, std::ostream *os) {
    *os << s.w << "x" << s.h;
}

// Frame sizes: the smallest mosaics, widths that are not multiples of 4 or 16, widths
// that give the vector paths one or more 16-pixel blocks plus a scalar tail.
const Size kSizes[] = {{2, 2},  {8, 2},  {4, 4},  {6, 4},  {10, 6},
                       {18, 8}, {22, 4}, {38, 6}, {66, 10}};

class IsaScope {
  public:
    explicit IsaScope(Isa isa) : saved_(vocam::kernels::isaLimit) {
        vocam::kernels::isaLimit = isa;
    }
    ~IsaScope() { vocam::kernels::isaLimit = saved_; }

  private:
    Isa saved_;
};

const std::vector<uint8_t> &lut8() {
    static const std::vector<uint8_t> t = [] {
        std::mt19937 rng(11);
        std::vector<uint8_t> v(256);
        for (auto &e : v) e = uint8_t(rng());
        return v;
    }();
    return t;
}
const std::vector<uint16_t> &lut16() {
    static const std::vector<uint16_t> t = [] {
        std::mt19937 rng(12);
        std::vector<uint16_t> v(65536);
        for (auto &e : v) e = uint16_t(rng());
        return v;
    }();
    return t;
}

// Flags of one run.
struct Flags {
    bool blueRow, greenFirst, flipX, topDown, deinterlace, msbFirst, lut;

    std::string str() const {
        std::ostringstream s;
        s << "blueRow=" << blueRow << " greenFirst=" << greenFirst << " flipX=" << flipX
          << " topDown=" << topDown << " deinterlace=" << deinterlace << " msbFirst=" << msbFirst
          << " lut=" << lut;
        return s.str();
    }
    Orientation orientation() const { return {blueRow, greenFirst, flipX, topDown, deinterlace}; }
    const uint8_t *t8() const { return lut ? lut8().data() : nullptr; }
    const uint16_t *t16() const { return lut ? lut16().data() : nullptr; }
    vocam::ref::Fetch fetch(Depth d) const { return {d, msbFirst, t8(), t16()}; }
};

// All 128 flag combinations.
std::vector<Flags> allFlags() {
    std::vector<Flags> out;
    for (int i = 0; i < 128; ++i)
        out.push_back({bool(i & 1), bool(i & 2), bool(i & 4), bool(i & 8), bool(i & 16),
                       bool(i & 32), bool(i & 64)});
    return out;
}

::testing::AssertionResult samePicture(const Picture &got, const Picture &want,
                                       const std::string &what) {
    if (got.bytes == want.bytes) return ::testing::AssertionSuccess();
    for (size_t i = 0; i < got.bytes.size(); ++i) {
        if (got.bytes[i] != want.bytes[i]) {
            const size_t row = i / want.strideBytes, inRow = i % want.strideBytes;
            return ::testing::AssertionFailure()
                   << what << ": first difference at memory row " << row << ", byte " << inRow
                   << " of the row: got " << int(got.bytes[i]) << ", want " << int(want.bytes[i]);
        }
    }
    return ::testing::AssertionFailure() << what << ": sizes differ";
}

class Kernels : public ::testing::TestWithParam<std::tuple<Size, Isa>> {
  protected:
    void SetUp() override {
        size_ = std::get<0>(GetParam());
        isa_ = std::get<1>(GetParam());
        if (isa_ > vocam::kernels::bestIsa()) GTEST_SKIP() << "processor lacks this vector unit";
    }
    uint32_t W() const { return size_.w; }
    uint32_t H() const { return size_.h; }
    RawFrame frame(bool wide) { return vocam::ref::randomFrame(W(), H(), wide, rng_); }
    // A picture with random content, as dst holds garbage before a kernel runs.
    Picture picture(uint32_t elems, bool wide, size_t stride) {
        return Picture::make(W(), H(), elems, wide, stride, rng_);
    }
    Picture picture24() { return picture(3, false, size_t(W()) * 3); }
    Picture picture32() { return picture(4, false, size_t(W()) * 4); }
    Picture picture48() { return picture(3, true, size_t(W()) * 6); }

    Size size_{};
    Isa isa_{};
    std::mt19937 rng_{2024};
};

std::string paramName(const ::testing::TestParamInfo<std::tuple<Size, Isa>> &info) {
    const Size s = std::get<0>(info.param);
    const char *isa[] = {"portable", "sse41", "avx2"};
    return std::to_string(s.w) + "x" + std::to_string(s.h) + "_" +
           isa[int(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Frames, Kernels,
                         ::testing::Combine(::testing::ValuesIn(kSizes),
                                            ::testing::Values(Isa::kPortable, Isa::kSse41,
                                                              Isa::kAvx2)),
                         paramName);

// ---- Grey and monochrome ----------------------------------------------------------

TEST_P(Kernels, GreyOnePass) {
    IsaScope isa(isa_);
    for (const Flags &f : allFlags()) {
        if (f.blueRow || f.greenFirst || f.deinterlace) continue;  // not taken
        RawFrame r8 = frame(false), r16 = frame(true);
        const size_t padded = (size_t(W()) * 3 + 3) & ~size_t(3);
        struct Run {
            const char *name;
            bool wide, out32;
            size_t stride;
        };
        for (const Run &run : {Run{"NoneMove", false, false, padded},
                               Run{"NoneMove32", false, true, size_t(W()) * 4},
                               Run{"NoneMove16to8", true, false, padded},
                               Run{"NoneMove16to832", true, true, size_t(W()) * 4}}) {
            Picture got = picture(run.out32 ? 4 : 3, false, run.stride);
            Picture want = got;
            const RawFrame &raw = run.wide ? r16 : r8;
            if (!run.wide && !run.out32)
                NoneMove(got.data(), raw.data8(), W(), H(), f.flipX, f.topDown, f.t8());
            else if (!run.wide)
                NoneMove32(got.data(), raw.data8(), W(), H(), f.flipX, f.topDown, f.t8());
            else if (!run.out32)
                NoneMove16to8(got.data(), raw.data16(), W(), H(), f.flipX, f.topDown, f.msbFirst,
                              f.t16());
            else
                NoneMove16to832(got.data(), raw.data16(), W(), H(), f.flipX, f.topDown, f.msbFirst,
                                f.t16());
            Grid g = vocam::ref::fetchGrid(raw, f.fetch(run.wide ? Depth::k16to8 : Depth::k8to8));
            vocam::ref::greyOnePass(want, g, f.flipX, f.topDown,
                                    run.name == std::string("NoneMove32"));
            ASSERT_TRUE(samePicture(got, want, std::string(run.name) + " " + f.str()));
        }
    }
}

TEST_P(Kernels, MonoCopyAndWeave) {
    IsaScope isa(isa_);
    for (const Flags &f : allFlags()) {
        if (f.blueRow || f.greenFirst) continue;
        RawFrame r8 = frame(false), r16 = frame(true);
        for (bool wide : {false, true}) {
            const size_t stride = f.deinterlace ? W() : (W() + 3) & ~3u;
            Picture got = picture(1, false, stride);
            Picture want = got;
            const RawFrame &raw = wide ? r16 : r8;
            if (!wide && !f.deinterlace)
                MonoToMonoMove(got.data(), raw.data8(), W(), H(), f.flipX, f.topDown, f.t8());
            else if (!wide)
                MonoToMonoMoveDeinterl(got.data(), raw.data8(), W(), H(), f.flipX, f.topDown,
                                       f.t8());
            else if (!f.deinterlace)
                MonoToMonoMove16to8(got.data(), raw.data16(), W(), H(), f.flipX, f.topDown,
                                    f.msbFirst, f.t16());
            else
                MonoToMonoMove16to8Deinterl(got.data(), raw.data16(), W(), H(), f.flipX, f.topDown,
                                            f.msbFirst, f.t16());
            Grid g = vocam::ref::fetchGrid(raw, f.fetch(wide ? Depth::k16to8 : Depth::k8to8));
            vocam::ref::monoCopy(want, g, f.flipX, f.topDown, f.deinterlace);
            ASSERT_TRUE(samePicture(got, want, std::string(wide ? "16-bit " : "8-bit ") + f.str()));
        }
    }
}

TEST_P(Kernels, GreyTwoPass) {
    IsaScope isa(isa_);
    for (const Flags &f : allFlags()) {
        if (f.blueRow || f.greenFirst) continue;
        RawFrame r8 = frame(false), r16 = frame(true);
        Orientation o{false, false, f.flipX, f.topDown, f.deinterlace};
        bool b, g;
        vocam::ref::secondPhase(o, b, g);
        auto check = [&](const char *name, Picture got, Picture want, const RawFrame &raw, Depth d,
                         auto run) {
            run(got);
            vocam::ref::place(want, vocam::ref::fetchGrid(raw, f.fetch(d)), o, false);
            vocam::ref::secondNone(want, b, g);
            return samePicture(got, want, std::string(name) + " " + f.str());
        };
        Picture p24 = picture24(), p32 = picture32(), p48 = picture48();
        ASSERT_TRUE(check("NoneMoveInPlace", p24, p24, r8, Depth::k8to8, [&](Picture &p) {
            NoneMoveInPlace(p.data(), r8.data8(), W(), H(), f.flipX, f.topDown, f.deinterlace,
                            f.t8());
        }));
        ASSERT_TRUE(check("NoneMove32InPlace", p32, p32, r8, Depth::k8to8, [&](Picture &p) {
            NoneMove32InPlace(p.data(), r8.data8(), W(), H(), f.flipX, f.topDown, f.deinterlace,
                              f.t8());
        }));
        ASSERT_TRUE(check("NoneMove16to8InPlace", p24, p24, r16, Depth::k16to8, [&](Picture &p) {
            NoneMove16to8InPlace(p.data(), r16.data16(), W(), H(), f.flipX, f.topDown,
                                 f.deinterlace, f.msbFirst, f.t16());
        }));
        ASSERT_TRUE(check("NoneMove16to832InPlace", p32, p32, r16, Depth::k16to8, [&](Picture &p) {
            NoneMove16to832InPlace(p.data(), r16.data16(), W(), H(), f.flipX, f.topDown,
                                   f.deinterlace, f.msbFirst, f.t16());
        }));
        ASSERT_TRUE(check("NoneMove16InPlace", p48, p48, r16, Depth::k16to16, [&](Picture &p) {
            NoneMove16InPlace(p.data16(), r16.data16(), W(), H(), f.flipX, f.topDown, f.deinterlace,
                              f.msbFirst, f.t16());
        }));
    }
}

// ---- Placement ---------------------------------------------------------------------------

TEST_P(Kernels, FirstPasses) {
    IsaScope isa(isa_);
    for (const Flags &f : allFlags()) {
        RawFrame r8 = frame(false), r16 = frame(true);
        const Orientation o = f.orientation();
        auto check = [&](const char *name, Picture got, const RawFrame &raw, Depth d, bool four,
                         auto run) {
            Picture want = got;
            run(got);
            vocam::ref::place(want, vocam::ref::fetchGrid(raw, f.fetch(d)), o, four);
            return samePicture(got, want, std::string(name) + " " + f.str());
        };
        const int b = f.blueRow, g = f.greenFirst, x = f.flipX, t = f.topDown, d = f.deinterlace,
                  m = f.msbFirst;
        ASSERT_TRUE(check("FirstCopy", picture24(), r8, Depth::k8to8, false, [&](Picture &p) {
            FirstCopy(p.data(), r8.data8(), W(), H(), b, g, x, t, d, f.t8());
        }));
        ASSERT_TRUE(check("FirstCopy32", picture32(), r8, Depth::k8to8, false, [&](Picture &p) {
            FirstCopy32(p.data(), r8.data8(), W(), H(), b, g, x, t, d, f.t8());
        }));
        ASSERT_TRUE(
            check("FirstCopy16to8", picture24(), r16, Depth::k16to8, false, [&](Picture &p) {
                FirstCopy16to8(p.data(), r16.data16(), W(), H(), b, g, x, t, d, m, f.t16());
            }));
        ASSERT_TRUE(
            check("FirstCopy16to832", picture32(), r16, Depth::k16to8, false, [&](Picture &p) {
                FirstCopy16to832(p.data(), r16.data16(), W(), H(), b, g, x, t, d, m, f.t16());
            }));
        ASSERT_TRUE(check("FirstCopy16", picture48(), r16, Depth::k16to16, false, [&](Picture &p) {
            FirstCopy16(p.data16(), r16.data16(), W(), H(), b, g, x, t, d, m, f.t16());
        }));
        ASSERT_TRUE(
            check("FirstCopyFourColors32", picture32(), r8, Depth::k8to8, true, [&](Picture &p) {
                FirstCopyFourColors32(p.data(), r8.data8(), W(), H(), b, g, x, t, d, f.t8());
            }));
    }
}

// ---- Nearest neighbour ----------------------------------------------------------------------

TEST_P(Kernels, NearestOnePass) {
    IsaScope isa(isa_);
    using Fn = void (*)(uint8_t *, const uint8_t *, uint32_t, uint32_t, int, int, int);
    struct Run {
        const char *name;
        Fn fn;
        bool wide, out32, flip;
    };
    const Run runs[] = {
        {"NearestNeighbor", NearestNeighbor, false, false, false},
        {"NearestNeighborFlipX", NearestNeighborFlipX, false, false, true},
        {"NearestNeighbor32", NearestNeighbor32, false, true, false},
        {"NearestNeighbor32FlipX", NearestNeighbor32FlipX, false, true, true},
        {"NearestNeighbor16to8", NearestNeighbor16to8, true, false, false},
        {"NearestNeighbor16to8FlipX", NearestNeighbor16to8FlipX, true, false, true},
        {"NearestNeighbor16to832", NearestNeighbor16to832, true, true, false},
        {"NearestNeighbor16to832FlipX", NearestNeighbor16to832FlipX, true, true, true},
    };
    for (const Flags &f : allFlags()) {
        if (f.flipX || f.deinterlace || f.lut) continue;
        for (const Run &run : runs) {
            if (!run.wide && f.msbFirst) continue;
            RawFrame raw = frame(run.wide);
            Picture got = run.out32 ? picture32() : picture24();
            Picture want = got;
            // The 16-bit kernels read the byte they are pointed at in every sample.
            const uint8_t *src = raw.data8() + (run.wide && !f.msbFirst ? 1 : 0);
            run.fn(got.data(), src, W(), H(), f.blueRow, f.greenFirst, f.topDown);
            Grid g = vocam::ref::fetchGrid(raw, f.fetch(run.wide ? Depth::k16to8 : Depth::k8to8));
            vocam::ref::nearestOnePass(want, g, f.blueRow, f.greenFirst, run.flip, f.topDown);
            ASSERT_TRUE(samePicture(got, want, std::string(run.name) + " " + f.str()));
        }
    }
}

// A selector takes the two-pass route exactly when a table is given.
TEST_P(Kernels, NearestSelectors) {
    IsaScope isa(isa_);
    for (const Flags &f : allFlags()) {
        if (f.deinterlace) continue;
        RawFrame r8 = frame(false), r16 = frame(true);
        for (int kind = 0; kind < 4; ++kind) {
            const bool wide = kind >= 2, out32 = kind & 1;
            if (!wide && f.msbFirst) continue;
            Picture got = out32 ? picture32() : picture24();
            Picture want = got;
            const int b = f.blueRow, g = f.greenFirst, x = f.flipX, t = f.topDown, m = f.msbFirst;
            switch (kind) {
                case 0:
                    NearestNeighbor(got.data(), r8.data8(), W(), H(), b, g, x, t, f.t8());
                    break;
                case 1:
                    NearestNeighbor32(got.data(), r8.data8(), W(), H(), b, g, x, t, f.t8());
                    break;
                case 2:
                    NearestNeighbor16to8(got.data(), r16.data16(), W(), H(), b, g, x, t, m,
                                         f.t16());
                    break;
                default:
                    NearestNeighbor16to832(got.data(), r16.data16(), W(), H(), b, g, x, t, m,
                                           f.t16());
            }
            Grid grid = vocam::ref::fetchGrid(wide ? r16 : r8,
                                              f.fetch(wide ? Depth::k16to8 : Depth::k8to8));
            if (f.lut) {
                const Orientation o = f.orientation();
                bool pb, pg;
                vocam::ref::secondPhase(o, pb, pg);
                vocam::ref::place(want, grid, o, false);
                vocam::ref::secondNearest(want, pb, pg);
            } else {
                vocam::ref::nearestOnePass(want, grid, f.blueRow, f.greenFirst, f.flipX, f.topDown);
            }
            ASSERT_TRUE(samePicture(got, want, "selector " + std::to_string(kind) + " " + f.str()));
        }
    }
}

// Two-pass entries: each against the reference placement and second pass.
template <class Run>
::testing::AssertionResult twoPass(Picture got, const RawFrame &raw, Depth depth, const Flags &f,
                                   void (*second)(Picture &, bool, bool), bool four,
                                   const std::string &name, Run run) {
    Picture want = got;
    run(got);
    const Orientation o = f.orientation();
    bool b, g;
    vocam::ref::secondPhase(o, b, g);
    vocam::ref::place(want, vocam::ref::fetchGrid(raw, f.fetch(depth)), o, four);
    second(want, b, g);
    return samePicture(got, want, name + " " + f.str());
}

TEST_P(Kernels, NearestTwoPass) {
    IsaScope isa(isa_);
    auto second = vocam::ref::secondNearest;
    for (const Flags &f : allFlags()) {
        RawFrame r8 = frame(false), r16 = frame(true);
        const int b = f.blueRow, g = f.greenFirst, x = f.flipX, t = f.topDown, d = f.deinterlace,
                  m = f.msbFirst;
        ASSERT_TRUE(twoPass(picture24(), r8, Depth::k8to8, f, second, false, "NN", [&](Picture &p) {
            NearestNeighborInPlace(p.data(), r8.data8(), W(), H(), b, g, x, t, d, f.t8());
        }));
        ASSERT_TRUE(
            twoPass(picture32(), r8, Depth::k8to8, f, second, false, "NN32", [&](Picture &p) {
                NearestNeighbor32InPlace(p.data(), r8.data8(), W(), H(), b, g, x, t, d, f.t8());
            }));
        ASSERT_TRUE(
            twoPass(picture24(), r16, Depth::k16to8, f, second, false, "NN16to8", [&](Picture &p) {
                NearestNeighbor16to8InPlace(p.data(), r16.data16(), W(), H(), b, g, x, t, d, m,
                                            f.t16());
            }));
        ASSERT_TRUE(twoPass(picture32(), r16, Depth::k16to8, f, second, false, "NN16to832",
                            [&](Picture &p) {
                                NearestNeighbor16to832InPlace(p.data(), r16.data16(), W(), H(), b,
                                                              g, x, t, d, m, f.t16());
                            }));
        ASSERT_TRUE(
            twoPass(picture48(), r16, Depth::k16to16, f, second, false, "NN16", [&](Picture &p) {
                NearestNeighbor16InPlace(p.data16(), r16.data16(), W(), H(), b, g, x, t, d, m,
                                         f.t16());
            }));
    }
}

// ---- 2x2 block and four colours ----------------------------------------------------------

TEST_P(Kernels, UlmetTwoPass) {
    IsaScope isa(isa_);
    auto second = vocam::ref::secondUlmet;
    for (const Flags &f : allFlags()) {
        RawFrame r8 = frame(false), r16 = frame(true);
        const int b = f.blueRow, g = f.greenFirst, x = f.flipX, t = f.topDown, d = f.deinterlace,
                  m = f.msbFirst;
        ASSERT_TRUE(
            twoPass(picture24(), r8, Depth::k8to8, f, second, false, "Ulmet", [&](Picture &p) {
                UlmetMoveInPlace(p.data(), r8.data8(), W(), H(), b, g, x, t, d, f.t8());
            }));
        ASSERT_TRUE(
            twoPass(picture32(), r8, Depth::k8to8, f, second, false, "Ulmet32", [&](Picture &p) {
                UlmetMove32InPlace(p.data(), r8.data8(), W(), H(), b, g, x, t, d, f.t8());
            }));
        ASSERT_TRUE(twoPass(
            picture24(), r16, Depth::k16to8, f, second, false, "Ulmet16to8", [&](Picture &p) {
                UlmetMove16to8InPlace(p.data(), r16.data16(), W(), H(), b, g, x, t, d, m, f.t16());
            }));
        ASSERT_TRUE(twoPass(picture32(), r16, Depth::k16to8, f, second, false, "Ulmet16to832",
                            [&](Picture &p) {
                                UlmetMove16to832InPlace(p.data(), r16.data16(), W(), H(), b, g, x,
                                                        t, d, m, f.t16());
                            }));
        ASSERT_TRUE(
            twoPass(picture48(), r16, Depth::k16to16, f, second, false, "Ulmet16", [&](Picture &p) {
                UlmetMove16InPlace(p.data16(), r16.data16(), W(), H(), b, g, x, t, d, m, f.t16());
            }));
        ASSERT_TRUE(twoPass(picture32(), r8, Depth::k8to8, f, vocam::ref::secondFourColors, true,
                            "FourColors", [&](Picture &p) {
                                FourColorsInterMove32InPlace(p.data(), r8.data8(), W(), H(), b, g,
                                                             x, t, d, f.t8());
                            }));
    }
}

// The in-place second passes on their own, over a placed mosaic of any phase.
TEST_P(Kernels, SecondPassesInPlace) {
    IsaScope isa(isa_);
    for (int phase = 0; phase < 4; ++phase) {
        const bool b = phase & 1, g = phase & 2;
        struct Pass {
            void (*kernel8)(uint8_t *, uint32_t, uint32_t, int, int);
            void (*kernel16)(uint16_t *, uint32_t, uint32_t, int, int);
            void (*model)(Picture &, bool, bool);
            uint32_t elems;
            bool wide;
        };
        const Pass passes[] = {
            {SecondNoneMove, nullptr, vocam::ref::secondNone, 3, false},
            {SecondNoneMove32, nullptr, vocam::ref::secondNone, 4, false},
            {nullptr, SecondNoneMove16, vocam::ref::secondNone, 3, true},
            {SecondNearestNeighbor, nullptr, vocam::ref::secondNearest, 3, false},
            {SecondNearestNeighbor32, nullptr, vocam::ref::secondNearest, 4, false},
            {nullptr, SecondNearestNeighbor16, vocam::ref::secondNearest, 3, true},
            {SecondUlmetMove, nullptr, vocam::ref::secondUlmet, 3, false},
            {SecondUlmetMove32, nullptr, vocam::ref::secondUlmet, 4, false},
            {nullptr, SecondUlmetMove16, vocam::ref::secondUlmet, 3, true},
            {SecondFourColorsInterMove32, nullptr, vocam::ref::secondFourColors, 4, false},
        };
        for (size_t i = 0; i < std::size(passes); ++i) {
            const Pass &p = passes[i];
            // A random picture serves as a placed mosaic: every channel holds
            // something, and the passes must read only the placed ones.
            Picture got = picture(p.elems, p.wide, size_t(W()) * p.elems * (p.wide ? 2 : 1));
            Picture want = got;
            if (p.wide)
                p.kernel16(got.data16(), W(), H(), b, g);
            else
                p.kernel8(got.data(), W(), H(), b, g);
            p.model(want, b, g);
            ASSERT_TRUE(samePicture(
                got, want, "pass " + std::to_string(i) + " phase " + std::to_string(phase)));
        }
    }
}

// ---- Documented cases ---------------------------------------------------------------------------

TEST(KernelCases, SixPixelRowsArePaddedOnlyForThePaddedKernels) {
    std::vector<uint8_t> src(6 * 4, 7);
    std::vector<uint8_t> grey(20 * 4, 0xEE), mono(8 * 4, 0xEE), weave(6 * 4, 0xEE);
    NoneMove(grey.data(), src.data(), 6, 4, 0, 1, nullptr);
    MonoToMonoMove(mono.data(), src.data(), 6, 4, 0, 1, nullptr);
    MonoToMonoMoveDeinterl(weave.data(), src.data(), 6, 4, 0, 1, nullptr);
    for (int r = 0; r < 4; ++r) {
        for (int i = 0; i < 18; ++i) EXPECT_EQ(grey[r * 20 + i], 7);
        EXPECT_EQ(grey[r * 20 + 18], 0xEE);
        EXPECT_EQ(grey[r * 20 + 19], 0xEE);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(mono[r * 8 + i], 7);
        EXPECT_EQ(mono[r * 8 + 6], 0xEE);
    }
    EXPECT_EQ(std::count(weave.begin(), weave.end(), 7), 24);
}

TEST(KernelCases, SixteenBitFetch) {
    // Every sample stored as 0x34 then 0x12.
    std::vector<uint16_t> src(4 * 4);
    for (auto &s : src) std::memcpy(&s, "\x34\x12", 2);
    std::vector<uint8_t> out(4 * 4);
    MonoToMonoMove16to8(out.data(), src.data(), 4, 4, 0, 1, 0, nullptr);
    EXPECT_EQ(out[0], 0x12);
    MonoToMonoMove16to8(out.data(), src.data(), 4, 4, 0, 1, 1, nullptr);
    EXPECT_EQ(out[0], 0x34);
    std::vector<uint16_t> lut(65536, 0);
    lut[0x1234] = 0xAB01;
    for (int msb : {0, 1}) {
        MonoToMonoMove16to8(out.data(), src.data(), 4, 4, 0, 1, msb, lut.data());
        EXPECT_EQ(out[0], 0xAB) << "msbFirst " << msb;
    }
    // 48-bit output with the most significant byte first: stored 0x12, 0x34.
    for (auto &s : src) std::memcpy(&s, "\x12\x34", 2);
    std::vector<uint16_t> px(4 * 4 * 3, 0);
    NoneMove16InPlace(px.data(), src.data(), 4, 4, 0, 1, 0, 1, nullptr);
    EXPECT_EQ(px[0], 0x1234);
    EXPECT_EQ(px[47], 0x1234);
}

TEST(KernelCases, NoneMove32ZeroesTheFourthByteAndOthersKeepIt) {
    std::vector<uint8_t> src(4 * 4, 9);
    std::vector<uint8_t> a(4 * 4 * 4, 0x55), b(4 * 4 * 4, 0x55);
    NoneMove32(a.data(), src.data(), 4, 4, 0, 1, nullptr);
    NearestNeighbor32(b.data(), src.data(), 4, 4, 0, 0, 1);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(a[4 * i + 3], 0);
        EXPECT_EQ(b[4 * i + 3], 0x55);
        EXPECT_EQ(b[4 * i], 9);
    }
}

// RGGB 4x4: pixel (0,0) and (1,0) are (blue s(1,1), green s(1,0), red s(0,0));
// pixel (0,2) takes green from s(0,1) and blue from s(1,1).
TEST(KernelCases, NearestNeighbourTopLeftCells) {
    std::vector<uint8_t> src(16);
    for (int i = 0; i < 16; ++i) src[i] = uint8_t(10 + i);
    std::vector<uint8_t> out(16 * 3);
    NearestNeighbor(out.data(), src.data(), 4, 4, 0, 0, 1);
    const uint8_t s00 = 10, s10 = 11, s01 = 14, s11 = 15, s02 = 18;
    for (int px : {0, 1}) {
        EXPECT_EQ(out[3 * px + 0], s11);
        EXPECT_EQ(out[3 * px + 1], s10);
        EXPECT_EQ(out[3 * px + 2], s00);
    }
    const int p02 = 3 * (2 * 4);
    EXPECT_EQ(out[p02 + 2], s02);
    EXPECT_EQ(out[p02 + 1], s01);
    EXPECT_EQ(out[p02 + 0], s11);
}

TEST(KernelCases, NearestNeighbourLastRowOnlyFeedsItself) {
    std::mt19937 rng(5);
    const uint32_t W = 38, H = 6;
    std::vector<uint8_t> src(W * H);
    for (auto &s : src) s = uint8_t(rng());
    std::vector<uint8_t> a(W * H * 3), b(W * H * 3);
    NearestNeighbor(a.data(), src.data(), W, H, 1, 1, 1);
    for (uint32_t x = 0; x < W; ++x) src[(H - 1) * W + x] ^= 0xFF;
    NearestNeighbor(b.data(), src.data(), W, H, 1, 1, 1);
    const size_t lastRow = size_t(H - 1) * W * 3;
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + lastRow, b.begin()));
    EXPECT_FALSE(std::equal(a.begin() + lastRow, a.end(), b.begin() + lastRow));
}

// The mirrored one-pass kernel mirrors the unmirrored result; the two-pass
// route interpolates the mirrored mosaic instead, which differs.
TEST(KernelCases, MirroredOnePassAndTwoPassDiffer) {
    std::mt19937 rng(9);
    const uint32_t W = 38, H = 6;
    std::vector<uint8_t> src(W * H);
    for (auto &s : src) s = uint8_t(rng());
    std::vector<uint8_t> plain(W * H * 3), mirrored(W * H * 3), twoPass(W * H * 3);
    NearestNeighbor(plain.data(), src.data(), W, H, 0, 1, 1);
    NearestNeighborFlipX(mirrored.data(), src.data(), W, H, 0, 1, 1);
    NearestNeighborInPlace(twoPass.data(), src.data(), W, H, 0, 1, 1, 1, 0, nullptr);
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(mirrored[(y * W + W - 1 - x) * 3 + c], plain[(y * W + x) * 3 + c]);
    EXPECT_NE(twoPass, mirrored);
}

// Away from row 0 a 2x2-block pixel depends on its own row and the row above
// only: changing row k changes rows k and k + 1 and nothing else.
TEST(KernelCases, BlockPixelsLookOnlyUpAndLeft) {
    std::mt19937 rng(10);
    const uint32_t W = 38, H = 8, k = 3;
    std::vector<uint8_t> src(W * H);
    for (auto &s : src) s = uint8_t(rng());
    std::vector<uint8_t> a(W * H * 3), b(W * H * 3);
    UlmetMoveInPlace(a.data(), src.data(), W, H, 1, 0, 0, 1, 0, nullptr);
    for (uint32_t x = 0; x < W; ++x) src[k * W + x] ^= 0x81;
    UlmetMoveInPlace(b.data(), src.data(), W, H, 1, 0, 0, 1, 0, nullptr);
    for (uint32_t y = 0; y < H; ++y) {
        const bool same =
            std::equal(a.begin() + y * W * 3, a.begin() + (y + 1) * W * 3, b.begin() + y * W * 3);
        EXPECT_EQ(same, y != k && y != k + 1) << "row " << y;
    }
}

TEST(KernelCases, UniformFramesGiveUniformPictures) {
    const uint32_t W = 38, H = 8;
    std::vector<uint8_t> src(W * H, 77);
    for (int flags = 0; flags < 8; ++flags) {
        const int b = flags & 1, g = (flags >> 1) & 1, x = (flags >> 2) & 1;
        std::vector<uint8_t> nn(W * H * 3), ul(W * H * 3), four(W * H * 4);
        NearestNeighbor(nn.data(), src.data(), W, H, b, g, x, 1, nullptr);
        UlmetMoveInPlace(ul.data(), src.data(), W, H, b, g, x, 0, 1, nullptr);
        FourColorsInterMove32InPlace(four.data(), src.data(), W, H, b, g, x, 1, 0, nullptr);
        EXPECT_EQ(std::count(nn.begin(), nn.end(), 77), long(nn.size()));
        EXPECT_EQ(std::count(ul.begin(), ul.end(), 77), long(ul.size()));
        EXPECT_EQ(std::count(four.begin(), four.end(), 77), long(four.size()));
    }
}

// Gr = 100 and Gb = 110 everywhere: green 105 wherever x >= 1 and y >= 1.
TEST(KernelCases, BlockGreenIsTheMeanOfTheTwoGreens) {
    const uint32_t W = 34, H = 6;  // RGGB
    std::vector<uint8_t> src(W * H);
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x)
            src[y * W + x] = (y % 2 == 0) ? (x % 2 == 0 ? 200 : 100) : (x % 2 == 0 ? 110 : 20);
    std::vector<uint8_t> out(W * H * 3);
    UlmetMoveInPlace(out.data(), src.data(), W, H, 0, 0, 0, 1, 0, nullptr);
    auto green = [&](uint32_t x, uint32_t y) { return out[(y * W + x) * 3 + 1]; };
    for (uint32_t y = 1; y < H; ++y)
        for (uint32_t x = 1; x < W; ++x) ASSERT_EQ(green(x, y), 105) << x << "," << y;
    EXPECT_EQ(green(0, 0), 105);  // a red site at (0, 0)
    EXPECT_EQ(green(1, 0), 100);  // green site of row 0 keeps Gr
    EXPECT_EQ(green(2, 0), 100);  // red site of row 0 takes Gr from the left
    EXPECT_EQ(green(0, 1), 110);  // green site of column 0 keeps Gb
    EXPECT_EQ(green(0, 2), 110);  // red site of column 0 takes Gb from above
}

// Sizes without a defined mosaic phase leave the picture as it was instead of
// reaching past the frame; the grey and mono copies need no phase and take any size.
TEST(KernelCases, UndefinedMosaicSizesLeaveThePictureAlone) {
    for (Size s : {Size{5, 4}, Size{4, 5}, Size{1, 1}, Size{0, 4}, Size{4, 0}, Size{7, 3}}) {
        std::vector<uint8_t> src(size_t(s.w) * s.h + 1, 3);
        std::vector<uint16_t> src16(size_t(s.w) * s.h + 1, 3);
        const std::vector<uint8_t> before(size_t(s.w) * s.h * 4 + 1, 0x5A);
        auto untouched = [&](auto run) {
            std::vector<uint8_t> dst = before;
            run(dst.data());
            return dst == before;
        };
        EXPECT_TRUE(
            untouched([&](uint8_t *d) { NearestNeighbor(d, src.data(), s.w, s.h, 0, 0, 1); }));
        EXPECT_TRUE(untouched([&](uint8_t *d) {
            NearestNeighbor16to8(d, src16.data(), s.w, s.h, 0, 0, 1, 1, 0, nullptr);
        }));
        EXPECT_TRUE(untouched([&](uint8_t *d) {
            UlmetMoveInPlace(d, src.data(), s.w, s.h, 0, 0, 1, 0, 1, nullptr);
        }));
        EXPECT_TRUE(untouched([&](uint8_t *d) {
            NearestNeighbor32InPlace(d, src.data(), s.w, s.h, 0, 0, 1, 0, 1, nullptr);
        }));
        EXPECT_TRUE(untouched([&](uint8_t *d) {
            FourColorsInterMove32InPlace(d, src.data(), s.w, s.h, 0, 0, 0, 1, 0, nullptr);
        }));
        EXPECT_TRUE(untouched(
            [&](uint8_t *d) { NoneMoveInPlace(d, src.data(), s.w, s.h, 1, 0, 1, nullptr); }));
        EXPECT_TRUE(untouched([&](uint8_t *d) { SecondUlmetMove32(d, s.w, s.h, 0, 0); }));
    }
    // An odd-width monochrome frame is copied whole, mirrored.
    std::vector<uint8_t> src = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    std::vector<uint8_t> mono(8 * 3, 0), grey(16 * 3, 0);
    MonoToMonoMove(mono.data(), src.data(), 5, 3, 1, 1, nullptr);
    EXPECT_EQ(mono[0], 5);
    EXPECT_EQ(mono[4], 1);
    EXPECT_EQ(mono[5], 0);
    EXPECT_EQ(mono[16 + 4], 11);
    NoneMove(grey.data(), src.data(), 5, 3, 0, 0, nullptr);
    EXPECT_EQ(grey[32 + 14], 5);
    EXPECT_EQ(grey[15], 0);
}

TEST(KernelCases, WeaveAndMirrorOrder) {
    // 4 rows of 4 samples, sample = 10 * row + column.
    std::vector<uint8_t> src(16);
    for (int i = 0; i < 16; ++i) src[i] = uint8_t(10 * (i / 4) + i % 4);
    std::vector<uint8_t> out(16);
    MonoToMonoMoveDeinterl(out.data(), src.data(), 4, 4, 0, 1, nullptr);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[4], 20);
    EXPECT_EQ(out[8], 10);
    EXPECT_EQ(out[12], 30);
    MonoToMonoMoveDeinterl(out.data(), src.data(), 4, 4, 1, 0, nullptr);
    EXPECT_EQ(out[12 + 3], 0);  // source row 0, first sample: last memory row, last byte
    EXPECT_EQ(out[0 + 3], 30);
}

}  // namespace
