// The edge-detecting and gradient-corrected kernels against the per-pixel
// model, bit for bit, on random frames and random destination contents (so
// bytes a kernel must leave alone are checked too), for every phase, mirror,
// storage order, weaving, table and byte order, and for every vector unit the
// processor has (portable, SSE4.1, AVX2), with widths that leave scalar tails.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "color/kernel_common.h"
#include "reference/edge_gradient.h"
#include "reference/reference.h"
#include "vocamkernels.h"

namespace {

using namespace vocam::ref;
using vocam::kernels::Isa;

struct Size {
    uint32_t w, h;
};
std::string sizeName(const testing::TestParamInfo<Size> &info) {
    return std::to_string(info.param.w) + "x" + std::to_string(info.param.h);
}
const Size kSizes[] = {{4, 4},  {6, 4},  {4, 6},   {8, 8},  {18, 6},
                       {20, 8}, {34, 6}, {38, 10}, {50, 4}, {70, 12}};

// Runs f once for every vector unit this processor offers, the portable
// path included, and leaves the kernels free to use the best one after.
void forEachIsa(const std::function<void()> &f) {
    for (Isa isa : {Isa::kPortable, Isa::kSse41, Isa::kAvx2}) {
        vocam::kernels::isaLimit = isa;
        if (vocam::kernels::bestIsa() != isa) continue;
        SCOPED_TRACE("isa " + std::to_string(int(isa)));
        f();
    }
    vocam::kernels::isaLimit = Isa::kAvx2;
}

// Every combination of the four orientation and phase flags.
void forEachOrientation(bool withDeinterlace, const std::function<void(const Orientation &)> &f) {
    for (int bits = 0; bits < (withDeinterlace ? 32 : 16); ++bits) {
        Orientation o;
        o.blueRow = bits & 1;
        o.greenFirst = bits & 2;
        o.flipX = bits & 4;
        o.topDown = bits & 8;
        o.deinterlace = bits & 16;
        SCOPED_TRACE(testing::Message()
                     << "blueRow " << o.blueRow << " greenFirst " << o.greenFirst << " flipX "
                     << o.flipX << " topDown " << o.topDown << " deinterlace " << o.deinterlace);
        f(o);
    }
}

struct Tables {
    std::vector<uint8_t> lut8;
    std::vector<uint16_t> lut16;
    explicit Tables(std::mt19937 &rng) : lut8(256), lut16(65536) {
        for (auto &v : lut8) v = uint8_t(rng());
        for (auto &v : lut16) v = uint16_t(rng());
    }
};

void expectSame(const Picture &want, const Picture &got) {
    ASSERT_EQ(want.bytes.size(), got.bytes.size());
    for (size_t i = 0; i < want.bytes.size(); ++i)
        ASSERT_EQ(int(want.bytes[i]), int(got.bytes[i]))
            << "byte " << i << " (memory row " << i / want.strideBytes << ", byte "
            << i % want.strideBytes << " of the row)";
}

// Output layouts: 24, 32 and 48 bits.
enum class Out { k24, k32, k48 };
Picture makePicture(const Size &s, Out out, std::mt19937 &rng) {
    const uint32_t elems = out == Out::k32 ? 4 : 3;
    const bool wide = out == Out::k48;
    return Picture::make(s.w, s.h, elems, wide, size_t(s.w) * elems * (wide ? 2 : 1), rng);
}

// Reference of a two-pass edge-detecting entry.
void refEdgeTwoPass(Picture &pic, const Grid &g, const Orientation &o) {
    place(pic, g, o, false);
    bool b, gf;
    secondPhase(o, b, gf);
    secondEdge(pic, b, gf);
}

// Reference of a gradient-corrected entry, in the order the rules give:
// top-down unmirrored placement, interpolation, then the mirror.
void refQarex(Picture &pic, const Grid &g, const Orientation &o, uint32_t maxValue) {
    Orientation plain = o;
    plain.flipX = false;
    plain.topDown = true;
    place(pic, g, plain, false);
    qarexJob(pic, o.blueRow, o.greenFirst, maxValue);
    flipBgr(pic, o.flipX, !o.topDown);
}

// ---- Edge-detecting one-pass kernels ------------------------------------------------

using OnePass = void (*)(uint8_t *, const uint8_t *, uint32_t, uint32_t, int, int, int);
struct OnePassCase {
    const char *name;
    OnePass fn;
    Out out;
    bool wide, flip;
};
const OnePassCase kOnePass[] = {
    {"EdgeDetectMove", EdgeDetectMove, Out::k24, false, false},
    {"EdgeDetectMoveFlipX", EdgeDetectMoveFlipX, Out::k24, false, true},
    {"EdgeDetectMove32", EdgeDetectMove32, Out::k32, false, false},
    {"EdgeDetectMove32FlipX", EdgeDetectMove32FlipX, Out::k32, false, true},
    {"EdgeDetectMove16to8", EdgeDetectMove16to8, Out::k24, true, false},
    {"EdgeDetectMove16to8FlipX", EdgeDetectMove16to8FlipX, Out::k24, true, true},
    {"EdgeDetectMove16to832", EdgeDetectMove16to832, Out::k32, true, false},
    {"EdgeDetectMove16to832FlipX", EdgeDetectMove16to832FlipX, Out::k32, true, true},
};

class EdgeDetect : public testing::TestWithParam<Size> {};

TEST_P(EdgeDetect, OnePassKernelsMatchModel) {
    const Size s = GetParam();
    std::mt19937 rng(s.w * 131 + s.h);
    for (const auto &k : kOnePass) {
        SCOPED_TRACE(k.name);
        const RawFrame frame = randomFrame(s.w, s.h, k.wide, rng);
        // The 16-bit kernels read the byte they are pointed at of each sample.
        for (uint32_t byte = 0; byte < (k.wide ? 2u : 1u); ++byte) {
            Fetch how;
            how.depth = k.wide ? Depth::k16to8 : Depth::k8to8;
            how.msbFirst = byte == 0;
            const Grid g = fetchGrid(frame, how);
            forEachOrientation(false, [&](const Orientation &o) {
                if (o.flipX) return;  // the mirror is the kernel's own
                const Picture start = makePicture(s, k.out, rng);
                Picture want = start;
                edgeOnePass(want, g, o.blueRow, o.greenFirst, k.flip, o.topDown, !k.wide);
                forEachIsa([&] {
                    Picture got = start;
                    k.fn(got.data(), frame.data8() + byte, s.w, s.h, o.blueRow, o.greenFirst,
                         o.topDown);
                    expectSame(want, got);
                });
            });
        }
    }
}

TEST_P(EdgeDetect, SelectorsTakeTheRouteOfTheTable) {
    const Size s = GetParam();
    std::mt19937 rng(s.w * 7 + s.h);
    const Tables t(rng);
    const RawFrame f8 = randomFrame(s.w, s.h, false, rng);
    const RawFrame f16 = randomFrame(s.w, s.h, true, rng);
    for (bool lut : {false, true}) {
        for (bool msb : {false, true}) {
            SCOPED_TRACE(testing::Message() << "lut " << lut << " msbFirst " << msb);
            forEachOrientation(false, [&](const Orientation &o) {
                for (Out out : {Out::k24, Out::k32}) {
                    const Picture start = makePicture(s, out, rng);
                    // 8-bit selectors (byte order does not apply).
                    if (!msb) {
                        Fetch how;
                        how.lut8 = lut ? t.lut8.data() : nullptr;
                        const Grid g = fetchGrid(f8, how);
                        Picture want = start;
                        if (lut)
                            refEdgeTwoPass(want, g, o);
                        else
                            edgeOnePass(want, g, o.blueRow, o.greenFirst, o.flipX, o.topDown, true);
                        forEachIsa([&] {
                            Picture got = start;
                            (out == Out::k24 ? EdgeDetectMoveSelect : EdgeDetectMove32Select)(
                                got.data(), f8.data8(), s.w, s.h, o.blueRow, o.greenFirst, o.flipX,
                                o.topDown, how.lut8);
                            expectSame(want, got);
                        });
                    }
                    Fetch how;
                    how.depth = Depth::k16to8;
                    how.msbFirst = msb;
                    how.lut16 = lut ? t.lut16.data() : nullptr;
                    const Grid g = fetchGrid(f16, how);
                    Picture want = start;
                    if (lut)
                        refEdgeTwoPass(want, g, o);
                    else
                        edgeOnePass(want, g, o.blueRow, o.greenFirst, o.flipX, o.topDown, false);
                    forEachIsa([&] {
                        Picture got = start;
                        // The C++ overloads are the same selectors.
                        if (out == Out::k24)
                            EdgeDetectMove16to8(got.data(), f16.data16(), s.w, s.h, o.blueRow,
                                                o.greenFirst, o.flipX, o.topDown, msb, how.lut16);
                        else
                            EdgeDetectMove16to832(got.data(), f16.data16(), s.w, s.h, o.blueRow,
                                                  o.greenFirst, o.flipX, o.topDown, msb, how.lut16);
                        expectSame(want, got);
                    });
                }
            });
        }
    }
}

TEST_P(EdgeDetect, TwoPassEntriesMatchModel) {
    const Size s = GetParam();
    std::mt19937 rng(s.w * 31 + s.h);
    const Tables t(rng);
    const RawFrame f8 = randomFrame(s.w, s.h, false, rng);
    const RawFrame f16 = randomFrame(s.w, s.h, true, rng);
    for (bool lut : {false, true}) {
        for (bool msb : {false, true}) {
            SCOPED_TRACE(testing::Message() << "lut " << lut << " msbFirst " << msb);
            forEachOrientation(true, [&](const Orientation &o) {
                const int fx = o.flipX, td = o.topDown, di = o.deinterlace;
                const int b = o.blueRow, gf = o.greenFirst;
                for (Out out : {Out::k24, Out::k32, Out::k48}) {
                    const Picture start = makePicture(s, out, rng);
                    if (out != Out::k48 && !msb) {
                        Fetch how;
                        how.lut8 = lut ? t.lut8.data() : nullptr;
                        Picture want = start;
                        refEdgeTwoPass(want, fetchGrid(f8, how), o);
                        forEachIsa([&] {
                            Picture got = start;
                            (out == Out::k24 ? EdgeDetectMoveInPlace : EdgeDetectMove32InPlace)(
                                got.data(), f8.data8(), s.w, s.h, b, gf, fx, td, di, how.lut8);
                            expectSame(want, got);
                        });
                    }
                    Fetch how;
                    how.depth = out == Out::k48 ? Depth::k16to16 : Depth::k16to8;
                    how.msbFirst = msb;
                    how.lut16 = lut ? t.lut16.data() : nullptr;
                    Picture want = start;
                    refEdgeTwoPass(want, fetchGrid(f16, how), o);
                    forEachIsa([&] {
                        Picture got = start;
                        if (out == Out::k24)
                            EdgeDetectMove16to8InPlace(got.data(), f16.data16(), s.w, s.h, b, gf,
                                                       fx, td, di, msb, how.lut16);
                        else if (out == Out::k32)
                            EdgeDetectMove16to832InPlace(got.data(), f16.data16(), s.w, s.h, b, gf,
                                                         fx, td, di, msb, how.lut16);
                        else
                            EdgeDetectMove16InPlace(got.data16(), f16.data16(), s.w, s.h, b, gf, fx,
                                                    td, di, msb, how.lut16);
                        expectSame(want, got);
                    });
                }
            });
        }
    }
}

TEST_P(EdgeDetect, SecondPassesFillOnlyMissingChannels) {
    const Size s = GetParam();
    std::mt19937 rng(s.w * 17 + s.h);
    for (int phase = 0; phase < 4; ++phase) {
        const bool b = phase & 1, gf = phase & 2;
        for (Out out : {Out::k24, Out::k32, Out::k48}) {
            const Picture start = makePicture(s, out, rng);  // any content is a placed mosaic
            Picture want = start, got = start;
            secondEdge(want, b, gf);
            if (out == Out::k24) SecondEdgeDetectMove(got.data(), s.w, s.h, b, gf);
            if (out == Out::k32) SecondEdgeDetectMove32(got.data(), s.w, s.h, b, gf);
            if (out == Out::k48) SecondEdgeDetectMove16(got.data16(), s.w, s.h, b, gf);
            expectSame(want, got);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, EdgeDetect, testing::ValuesIn(kSizes), sizeName);

// ---- Gradient-corrected kernels --------------------------------------------------------

class Gradient : public testing::TestWithParam<Size> {};

TEST_P(Gradient, EntriesMatchPlaceInterpolateMirror) {
    const Size s = GetParam();
    std::mt19937 rng(s.w * 97 + s.h);
    const Tables t(rng);
    const RawFrame f8 = randomFrame(s.w, s.h, false, rng);
    const RawFrame f16 = randomFrame(s.w, s.h, true, rng);
    for (bool lut : {false, true}) {
        for (bool msb : {false, true}) {
            SCOPED_TRACE(testing::Message() << "lut " << lut << " msbFirst " << msb);
            forEachOrientation(true, [&](const Orientation &o) {
                const int fx = o.flipX, td = o.topDown, di = o.deinterlace;
                const int b = o.blueRow, gf = o.greenFirst;
                for (Out out : {Out::k24, Out::k32, Out::k48}) {
                    const Picture start = makePicture(s, out, rng);
                    if (out != Out::k48 && !msb) {
                        Fetch how;
                        how.lut8 = lut ? t.lut8.data() : nullptr;
                        Picture want = start;
                        refQarex(want, fetchGrid(f8, how), o, 255);
                        forEachIsa([&] {
                            Picture got = start;
                            (out == Out::k24 ? QarexMove : QarexMove32)(
                                got.data(), f8.data8(), s.w, s.h, b, gf, fx, td, di, how.lut8);
                            expectSame(want, got);
                        });
                    }
                    Fetch how;
                    how.depth = out == Out::k48 ? Depth::k16to16 : Depth::k16to8;
                    how.msbFirst = msb;
                    how.lut16 = lut ? t.lut16.data() : nullptr;
                    Picture want = start;
                    refQarex(want, fetchGrid(f16, how), o, out == Out::k48 ? 65535 : 255);
                    forEachIsa([&] {
                        Picture got = start;
                        if (out == Out::k24)
                            QarexMove16to8(got.data(), f16.data16(), s.w, s.h, b, gf, fx, td, di,
                                           msb, how.lut16);
                        else if (out == Out::k32)
                            QarexMove16to832(got.data(), f16.data16(), s.w, s.h, b, gf, fx, td, di,
                                             msb, how.lut16);
                        else
                            QarexMove16(got.data16(), f16.data16(), s.w, s.h, b, gf, fx, td, di,
                                        msb, how.lut16);
                        expectSame(want, got);
                    });
                }
            });
        }
    }
}

TEST_P(Gradient, JobsInterpolateAPlacedMosaic) {
    const Size s = GetParam();
    std::mt19937 rng(s.w * 3 + s.h);
    for (int phase = 0; phase < 4; ++phase) {
        const bool b = phase & 1, gf = phase & 2;
        SCOPED_TRACE(testing::Message() << "blueRow " << b << " greenFirst " << gf);
        for (Out out : {Out::k24, Out::k32, Out::k48}) {
            const Picture start = makePicture(s, out, rng);
            Picture want = start;
            qarexJob(want, b, gf, out == Out::k48 ? 65535 : 255);
            forEachIsa([&] {
                Picture got = start;
                if (out == Out::k24) QarexMoveJob(got.data(), s.w, s.h, b, gf);
                if (out == Out::k32) QarexMoveJob32(got.data(), s.w, s.h, b, gf);
                if (out == Out::k48) QarexMoveJob(got.data16(), s.w, s.h, b, gf);
                expectSame(want, got);
            });
        }
    }
}

TEST_P(Gradient, FlipsExchangeOnlyColourChannels) {
    const Size s = GetParam();
    std::mt19937 rng(s.w * 5 + s.h);
    for (int flags = 0; flags < 4; ++flags) {
        const bool fx = flags & 1, fy = flags & 2;
        for (Out out : {Out::k24, Out::k32, Out::k48}) {
            const Picture start = makePicture(s, out, rng);
            Picture want = start, got = start;
            flipBgr(want, fx, fy);
            if (out == Out::k24) FlipBgrAround(got.data(), s.w, s.h, fx, fy);
            if (out == Out::k32) FlipBgrAround32(got.data(), s.w, s.h, fx, fy);
            if (out == Out::k48) FlipBgrAround(got.data16(), s.w, s.h, fx, fy);
            expectSame(want, got);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Gradient, testing::ValuesIn(kSizes), sizeName);

// ---- Worked cases -----------------------------------------------------------------------

namespace cases {

// A frame of given samples (row after row) and its 24-bit picture.
std::vector<uint8_t> frameOf(uint32_t w, uint32_t h,
                             const std::function<int(uint32_t, uint32_t)> &f) {
    std::vector<uint8_t> v(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) v[size_t(y) * w + x] = uint8_t(f(x, y));
    return v;
}
int channel(const std::vector<uint8_t> &pic, uint32_t w, uint32_t x, uint32_t y, uint32_t c,
            uint32_t pixelBytes = 3) {
    return pic[(size_t(y) * w + x) * pixelBytes + c];
}

TEST(EdgeDetectCases, GreenFollowsTheSmallerChange) {
    // blueRow 0, greenFirst 0: (3, 3) is a blue site of a blue row.
    const uint32_t w = 8, h = 8;
    std::vector<uint8_t> pic(w * h * 3);
    // A horizontal edge: rows differ, each row flat. dV > dH, so the left
    // and right neighbours (90) and not the vertical pair (mean 100).
    auto rows = frameOf(w, h, [](uint32_t, uint32_t y) { return int(10 * y * y); });
    EdgeDetectMove(pic.data(), rows.data(), w, h, 0, 0, 1);
    EXPECT_EQ(channel(pic, w, 3, 3, 1), 90);
    // A vertical edge: the pair above and below.
    auto cols = frameOf(w, h, [](uint32_t x, uint32_t) { return int(10 * x * x); });
    EdgeDetectMove(pic.data(), cols.data(), w, h, 0, 0, 1);
    EXPECT_EQ(channel(pic, w, 3, 3, 1), 90);
    // Equal change both ways: the mean of all four.
    auto flat = frameOf(w, h, [](uint32_t, uint32_t) { return 77; });
    flat[2 * w + 3] = 10, flat[4 * w + 3] = 20, flat[3 * w + 2] = 30, flat[3 * w + 4] = 40;
    EdgeDetectMove(pic.data(), flat.data(), w, h, 0, 0, 1);
    EXPECT_EQ(channel(pic, w, 3, 3, 1), 25);
    EXPECT_EQ(channel(pic, w, 3, 3, 0), 77);  // own blue
    EXPECT_EQ(channel(pic, w, 3, 3, 2), 77);  // red from the diagonals
}

TEST(EdgeDetectCases, BlueRowCornersOfEightBitKernelsHalveEachSample) {
    // blueRow 1, greenFirst 0: (0, 0) is a blue site; its green neighbours 3 and 5.
    const uint32_t w = 4, h = 4;
    auto f = frameOf(w, h, [](uint32_t, uint32_t) { return 0; });
    f[1] = 3, f[w] = 5;
    std::vector<uint8_t> pic(w * h * 4);
    EdgeDetectMove(pic.data(), f.data(), w, h, 1, 0, 1);
    EXPECT_EQ(channel(pic, w, 0, 0, 1), 3);
    EdgeDetectMove32FlipX(pic.data(), f.data(), w, h, 1, 0, 1);
    EXPECT_EQ(channel(pic, w, 3, 0, 1, 4), 3);
    // The same corner in a red row takes the ordinary mean.
    EdgeDetectMove(pic.data(), f.data(), w, h, 0, 0, 1);
    EXPECT_EQ(channel(pic, w, 0, 0, 1), 4);
    // 16-bit samples (high byte read) and second passes always do.
    std::vector<uint16_t> wide(f.begin(), f.end());
    for (auto &s : wide) s = uint16_t(s << 8);
    EdgeDetectMove16to8(pic.data(), wide.data(), w, h, 1, 0, 0, 1, 0, nullptr);
    EXPECT_EQ(channel(pic, w, 0, 0, 1), 4);
    std::vector<uint8_t> placed(w * h * 3, 0);
    placed[3 + 1] = 3, placed[w * 3 + 1] = 5;  // greens of (1, 0) and (0, 1)
    SecondEdgeDetectMove(placed.data(), w, h, 1, 0);
    EXPECT_EQ(channel(placed, w, 0, 0, 1), 4);
}

TEST(GradientCases, UniformFrameStaysUniform) {
    const uint32_t w = 40, h = 10;
    forEachIsa([&] {
        for (int flags = 0; flags < 16; ++flags) {
            auto f = frameOf(w, h, [](uint32_t, uint32_t) { return 137; });
            std::vector<uint8_t> pic(w * h * 3, 1);
            QarexMove(pic.data(), f.data(), w, h, flags & 1, flags & 2, flags & 4, flags & 8, 0,
                      nullptr);
            for (uint8_t b : pic) ASSERT_EQ(b, 137);
            std::vector<uint16_t> wide(w * h, 0x3456), out(w * h * 3, 1);
            QarexMove16(out.data(), wide.data(), w, h, flags & 1, flags & 2, flags & 4, flags & 8,
                        0, 0, nullptr);
            for (uint16_t v : out) ASSERT_EQ(v, 0x3456);
        }
    });
}

TEST(GradientCases, RampAlongRowsTakesTheVerticalGreens) {
    // Rising by 2 per column: LH = 0, DH = 4, DV = 0, so green is the mean of
    // the greens above and below, i.e. the ramp's own value.
    const uint32_t w = 44, h = 10;
    auto f = frameOf(w, h, [](uint32_t x, uint32_t) { return int(2 * x + 10); });
    forEachIsa([&] {
        std::vector<uint8_t> pic(w * h * 3);
        QarexMove(pic.data(), f.data(), w, h, 0, 0, 0, 1, 0, nullptr);
        for (uint32_t y = 2; y + 2 < h; ++y)
            for (uint32_t x = 2; x + 2 < w; ++x)
                if ((x + y) % 2 == 0) {
                    ASSERT_EQ(channel(pic, w, x, y, 1), int(2 * x + 10)) << x;
                }
    });
}

TEST(GradientCases, CorrectedGreenIsClampedNotWrapped) {
    // Greens and blues 0, reds 255 except a dark red at (20, 4): both second
    // derivatives are -510, the tie gives (-127 + -127) / 2 = -127, stored as 0.
    const uint32_t w = 40, h = 10;
    auto f = frameOf(w, h, [](uint32_t x, uint32_t y) {
        const bool green = (x + y) % 2 == 1, redRow = y % 2 == 0;
        return green || !redRow ? 0 : 255;
    });
    f[4 * w + 20] = 0;
    forEachIsa([&] {
        std::vector<uint8_t> pic(w * h * 3, 99);
        QarexMove(pic.data(), f.data(), w, h, 0, 0, 0, 1, 0, nullptr);
        EXPECT_EQ(channel(pic, w, 20, 4, 1), 0);
    });
}

TEST(GradientCases, BottomUpMirroredIsTheTurnedPicture) {
    const uint32_t w = 38, h = 8;
    std::mt19937 rng(5);
    auto f = frameOf(w, h, [&](uint32_t, uint32_t) { return int(rng() & 0xFF); });
    forEachIsa([&] {
        std::vector<uint8_t> plain(w * h * 3), turned(w * h * 3);
        QarexMove(plain.data(), f.data(), w, h, 1, 0, 0, 1, 0, nullptr);
        QarexMove(turned.data(), f.data(), w, h, 1, 0, 1, 0, 0, nullptr);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                for (uint32_t c = 0; c < 3; ++c)
                    ASSERT_EQ(channel(plain, w, x, y, c),
                              channel(turned, w, w - 1 - x, h - 1 - y, c));
    });
}

TEST(GradientCases, FlipKeepsTheFourthByte) {
    // 2 x 2 pixels turned by 180 degrees: pixel 0 and pixel 3 exchange colours.
    std::vector<uint8_t> pic = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    FlipBgrAround32(pic.data(), 2, 2, 1, 1);
    const std::vector<uint8_t> want = {13, 14, 15, 4, 9, 10, 11, 8, 5, 6, 7, 12, 1, 2, 3, 16};
    EXPECT_EQ(pic, want);
}

TEST(EdgeGradientCases, FramesTooSmallOrOddAreLeftAlone) {
    // The rules need even dimensions of at least 4; anything else must not
    // read or write outside the buffers (which are sized exactly here).
    for (Size s : {Size{2, 2}, Size{5, 4}, Size{4, 5}, Size{2, 6}, Size{6, 2}, Size{0, 4}}) {
        SCOPED_TRACE(sizeName({s, 0}));
        std::vector<uint8_t> src(size_t(s.w) * s.h, 9);
        std::vector<uint16_t> wide(size_t(s.w) * s.h, 9);
        std::vector<uint8_t> pic(size_t(s.w) * s.h * 4 + 1, 200);
        std::vector<uint16_t> pic16(size_t(s.w) * s.h * 3 + 1, 200);
        forEachIsa([&] {
            EdgeDetectMove(pic.data(), src.data(), s.w, s.h, 0, 0, 1);
            EdgeDetectMove32FlipX(pic.data(), src.data(), s.w, s.h, 0, 0, 1);
            EdgeDetectMove16to8InPlace(pic.data(), wide.data(), s.w, s.h, 0, 0, 1, 0, 1, 0,
                                       nullptr);
            SecondEdgeDetectMove16(pic16.data(), s.w, s.h, 0, 0);
            QarexMove(pic.data(), src.data(), s.w, s.h, 0, 0, 1, 0, 0, nullptr);
            QarexMove16to832(pic.data(), wide.data(), s.w, s.h, 0, 0, 0, 1, 1, 1, nullptr);
            QarexMoveJob32(pic.data(), s.w, s.h, 1, 1);
            QarexMove16(pic16.data(), wide.data(), s.w, s.h, 0, 0, 0, 1, 0, 0, nullptr);
        });
        for (uint8_t b : pic) ASSERT_EQ(b, 200);
        for (uint16_t v : pic16) ASSERT_EQ(v, 200);
    }
}

TEST(EdgeGradientCases, FramesWiderThanTheRowRingsTakeTheInPlaceRoute) {
    const uint32_t w = 8200, h = 6;
    std::mt19937 rng(11);
    const Tables t(rng);
    const RawFrame f = randomFrame(w, h, false, rng);
    Fetch how;
    how.lut8 = t.lut8.data();
    const Grid g = fetchGrid(f, how);
    Orientation o;
    o.blueRow = true;
    o.flipX = true;
    o.topDown = false;
    o.deinterlace = true;
    const Picture start = makePicture({w, h}, Out::k24, rng);
    Picture want = start;
    refEdgeTwoPass(want, g, o);
    Picture got = start;
    EdgeDetectMoveInPlace(got.data(), f.data8(), w, h, 1, 0, 1, 0, 1, how.lut8);
    expectSame(want, got);
    want = start;
    refQarex(want, g, o, 255);
    got = start;
    QarexMove(got.data(), f.data8(), w, h, 1, 0, 1, 0, 1, how.lut8);
    expectSame(want, got);
}

}  // namespace cases

}  // namespace
