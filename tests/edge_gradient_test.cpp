// The edge-detecting and gradient-corrected kernels against the per-pixel
// model, bit for bit, on random frames and random destination contents, for
// every phase, mirror, storage order, weaving, table and byte order, and for
// every vector unit the processor has, with widths that leave scalar tails.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "reference/edge_gradient.h"
#include "reference/harness.h"
#include "vocamkernels.h"

namespace {

using namespace vocam::ref;

// Runs f on the vector unit VOCAM_SIMD allows (ctest runs this suite once
// for every unit), naming the unit in any failure.
void onSelectedIsa(const std::function<void()> &f) {
    SCOPED_TRACE(std::string("isa ") + vocam::kernels::isaName(vocam::kernels::bestIsa()));
    f();
}

// A selector takes the two-pass route exactly when a table is given; only the
// 8-bit one-pass kernels halve each green of a blue-row corner.
Model edgeSelector(bool halved) {
    return [=](Picture &p, const Grid &g, const Flags &f) {
        if (f.lut)
            placed(secondEdge)(p, g, f);
        else
            edgeOnePass(p, g, f.b, f.g, f.x, f.t, halved);
    };
}

// A gradient-corrected entry in the order the rules give: top-down unmirrored
// placement, interpolation, then the mirror.
void refQarex(Picture &pic, const Grid &g, const Orientation &o, uint32_t maxValue) {
    Orientation plain = o;
    plain.flipX = false;
    plain.topDown = true;
    place(pic, g, plain, false);
    qarexJob(pic, o.blueRow, o.greenFirst, maxValue);
    flipBgr(pic, o.flipX, !o.topDown);
}
Model qarex(uint32_t maxValue) {
    return [=](Picture &p, const Grid &g, const Flags &f) { refQarex(p, g, f.o(), maxValue); };
}

const Entry kEntries[] = {
    {SEL(EdgeDetectMoveSelect), k8, 3, edgeSelector(true), kD, 0, false},
    {SEL(EdgeDetectMove32Select), k8, 4, edgeSelector(true), kD, 0, false},
    // The C++ overloads are the same selectors.
    {SEL(EdgeDetectMove16to8), k16to8, 3, edgeSelector(false), kD, 0, false},
    {SEL(EdgeDetectMove16to832), k16to8, 4, edgeSelector(false), kD, 0, false},
    {FULL(EdgeDetectMoveInPlace), k8, 3, placed(secondEdge), 0, 0, false},
    {FULL(EdgeDetectMove32InPlace), k8, 4, placed(secondEdge), 0, 0, false},
    {FULL(EdgeDetectMove16to8InPlace), k16to8, 3, placed(secondEdge), 0, 0, false},
    {FULL(EdgeDetectMove16to832InPlace), k16to8, 4, placed(secondEdge), 0, 0, false},
    {FULL(EdgeDetectMove16InPlace), k16, 3, placed(secondEdge), 0, 0, false},
    {FULL(QarexMove), k8, 3, qarex(255), 0, 0, false},
    {FULL(QarexMove32), k8, 4, qarex(255), 0, 0, false},
    {FULL(QarexMove16to8), k16to8, 3, qarex(255), 0, 0, false},
    {FULL(QarexMove16to832), k16to8, 4, qarex(255), 0, 0, false},
    {FULL(QarexMove16), k16, 3, qarex(65535), 0, 0, false},
};

class EdgeGradient : public KernelTest {};
// 4x4, non-square, a width whose interior the 8-, 16- and 32-pixel blocks
// tile exactly (36), and widths that leave a tail after them.
VOCAM_KERNEL_SIZES(EdgeGradient, {4, 4}, {6, 4}, {4, 6}, {18, 6}, {36, 8}, {38, 10}, {70, 12});

TEST_P(EdgeGradient, EntriesMatchTheModel) {
    checkEntries(kEntries);
}

TEST_P(EdgeGradient, OnePassEdgeKernelsMatchTheModel) {
    using Fn = void (*)(uint8_t *, const uint8_t *, uint32_t, uint32_t, int, int, int);
    const struct {
        Fn fn;
        bool wide, out32, flip;
    } runs[] = {
        {EdgeDetectMove, false, false, false},      {EdgeDetectMoveFlipX, false, false, true},
        {EdgeDetectMove32, false, true, false},     {EdgeDetectMove32FlipX, false, true, true},
        {EdgeDetectMove16to8, true, false, false},  {EdgeDetectMove16to8FlipX, true, false, true},
        {EdgeDetectMove16to832, true, true, false}, {EdgeDetectMove16to832FlipX, true, true, true},
    };
    for (int bits = 0; bits < 64; ++bits) {
        const Flags f(bits);
        if (f.x || f.d) continue;  // the mirror is the kernel's own
        for (size_t i = 0; i < std::size(runs); ++i) {
            const auto &run = runs[i];
            if (!run.wide && f.m) continue;
            const RawFrame raw = randomFrame(W, H, run.wide, rng_);
            Picture got = picture(run.out32 ? 4 : 3, false), want = got;
            // The 16-bit kernels read the byte they are pointed at in every sample.
            run.fn(got.data(), raw.data8() + (run.wide && !f.m), W, H, f.b, f.g, f.t);
            edgeOnePass(want, fetchGrid(raw, f.fetch(run.wide ? k16to8 : k8)), f.b, f.g, run.flip,
                        f.t, !run.wide);
            ASSERT_TRUE(samePicture(got, want, "one-pass " + std::to_string(i) + " " + f.str()));
        }
    }
}

// Full-range random samples hardly ever tie between the two directions or
// reach both clamps; samples of a few levels, the extremes among them, do.
TEST_P(EdgeGradient, SixteenBitTiesAndExtremes) {
    static const uint16_t kLevels[] = {0, 1, 2, 3, 32767, 32768, 65533, 65534, 65535};
    const Entry entries[] = {
        {FULL(QarexMove16), k16, 3, qarex(65535), 0, 0, false},
        {FULL(EdgeDetectMove16InPlace), k16, 3, placed(secondEdge), 0, 0, false},
    };
    for (const Entry &e : entries)
        for (int bits = 0; bits < 128; ++bits) {
            if (bits & kL) continue;  // a table would scatter the levels
            const Flags f(bits);
            RawFrame raw = randomFrame(W, H, true, rng_);
            for (size_t i = 0; i < raw.bytes.size(); i += 2) {
                const uint16_t v = kLevels[rng_() % std::size(kLevels)];
                raw.bytes[i] = uint8_t(v), raw.bytes[i + 1] = uint8_t(v >> 8);
            }
            Picture got = picture(3, true), want = got;
            e.run(got, raw, f);
            e.model(want, fetchGrid(raw, f.fetch(k16)), f);
            ASSERT_TRUE(samePicture(got, want, std::string(e.name) + " " + f.str()));
        }
}

// Second passes and interpolation jobs over a placed mosaic of any phase, and
// the mirrors, which exchange only the colour channels.
TEST_P(EdgeGradient, InPlacePasses) {
    auto job = [](uint32_t max) {
        return [=](Picture &p, bool b, bool g) { qarexJob(p, b, g, max); };
    };
    const Pass passes[] = {
        {"SecondEdgeDetectMove", SecondEdgeDetectMove, nullptr, secondEdge, 3},
        {"SecondEdgeDetectMove32", SecondEdgeDetectMove32, nullptr, secondEdge, 4},
        {"SecondEdgeDetectMove16", nullptr, SecondEdgeDetectMove16, secondEdge, 3},
        {"QarexMoveJob", QarexMoveJob, nullptr, job(255), 3},
        {"QarexMoveJob32", QarexMoveJob32, nullptr, job(255), 4},
        {"QarexMoveJob 16", nullptr, QarexMoveJob, job(65535), 3},
        {"FlipBgrAround", FlipBgrAround, nullptr, flipBgr, 3},
        {"FlipBgrAround32", FlipBgrAround32, nullptr, flipBgr, 4},
        {"FlipBgrAround 16", nullptr, FlipBgrAround, flipBgr, 3},
    };
    checkPasses(passes);
}

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
    onSelectedIsa([&] {
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
    onSelectedIsa([&] {
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
    onSelectedIsa([&] {
        std::vector<uint8_t> pic(w * h * 3, 99);
        QarexMove(pic.data(), f.data(), w, h, 0, 0, 0, 1, 0, nullptr);
        EXPECT_EQ(channel(pic, w, 20, 4, 1), 0);
    });
}

TEST(GradientCases, BottomUpMirroredIsTheTurnedPicture) {
    const uint32_t w = 38, h = 8;
    std::mt19937 rng(5);
    auto f = frameOf(w, h, [&](uint32_t, uint32_t) { return int(rng() & 0xFF); });
    onSelectedIsa([&] {
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
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
        std::vector<uint8_t> src(size_t(s.w) * s.h, 9);
        std::vector<uint16_t> wide(size_t(s.w) * s.h, 9);
        std::vector<uint8_t> pic(size_t(s.w) * s.h * 4 + 1, 200);
        std::vector<uint16_t> pic16(size_t(s.w) * s.h * 3 + 1, 200);
        onSelectedIsa([&] {
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
    const RawFrame f = randomFrame(w, h, false, rng);
    const Flags flags(kB | kX | kD | kL);  // bottom-up, mirrored, woven, with a table
    const Grid g = fetchGrid(f, flags.fetch(k8));
    const Picture start = Picture::make(w, h, 3, false, size_t(w) * 3, rng);
    for (bool gradient : {false, true}) {
        Picture want = start, got = start;
        (gradient ? qarex(255) : placed(secondEdge))(want, g, flags);
        if (gradient)
            QarexMove(got.data(), f.data8(), w, h, 1, 0, 1, 0, 1, flags.t8());
        else
            EdgeDetectMoveInPlace(got.data(), f.data8(), w, h, 1, 0, 1, 0, 1, flags.t8());
        EXPECT_TRUE(samePicture(got, want, gradient ? "QarexMove" : "EdgeDetectMoveInPlace"));
    }
    // 16-bit samples into 48-bit pixels, byte exchanged.
    const RawFrame f16 = randomFrame(w, h, true, rng);
    const Flags wide(kB | kX | kD | kM);
    Picture want = Picture::make(w, h, 3, true, size_t(w) * 6, rng), got = want;
    qarex(65535)(want, fetchGrid(f16, wide.fetch(k16)), wide);
    QarexMove16(got.data16(), f16.data16(), w, h, 1, 0, 1, 0, 1, 1, nullptr);
    EXPECT_TRUE(samePicture(got, want, "QarexMove16"));
}

}  // namespace cases

}  // namespace
