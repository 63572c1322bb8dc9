// The grey, monochrome, nearest-neighbour, placement, 2x2-block and four-colour
// kernels against the per-pixel reference, bit for bit, on random frames and
// random initial pictures, for every phase, mirror, storage order, weaving,
// table and byte order, on every vector path this machine offers.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <vector>

#include "reference/harness.h"
#include "vocamkernels.h"

namespace {

using namespace vocam::ref;

Model grey(bool zeroFourth) {
    return
        [=](Picture &p, const Grid &g, const Flags &f) { greyOnePass(p, g, f.x, f.t, zeroFourth); };
}
const Model kMono = [](Picture &p, const Grid &g, const Flags &f) {
    monoCopy(p, g, f.x, f.t, f.d);
};
// A selector takes the two-pass route exactly when a table is given.
const Model kSelector = [](Picture &p, const Grid &g, const Flags &f) {
    f.lut ? placed(secondNearest)(p, g, f) : nearestOnePass(p, g, f.b, f.g, f.x, f.t);
};
constexpr int kGrey = kB | kG | kD, kPhase = kB | kG;
Model nearest(bool flip) {
    return [=](Picture &p, const Grid &g, const Flags &f) {
        nearestOnePass(p, g, f.b, f.g, flip, f.t);
    };
}

const Entry kEntries[] = {
    {GREY(NoneMove), k8, 3, grey(false), kGrey, 0, true},
    {GREY(NoneMove32), k8, 4, grey(true), kGrey, 0, false},
    {GREY(NoneMove16to8), k16to8, 3, grey(false), kGrey, 0, true},
    {GREY(NoneMove16to832), k16to8, 4, grey(false), kGrey, 0, false},
    {GREY(MonoToMonoMove), k8, 1, kMono, kGrey, 0, true},
    {GREY(MonoToMonoMoveDeinterl), k8, 1, kMono, kGrey, kD, false},
    {GREY(MonoToMonoMove16to8), k16to8, 1, kMono, kGrey, 0, true},
    {GREY(MonoToMonoMove16to8Deinterl), k16to8, 1, kMono, kGrey, kD, false},
    {GREY2(NoneMoveInPlace), k8, 3, placed(secondNone), kPhase, 0, false},
    {GREY2(NoneMove32InPlace), k8, 4, placed(secondNone), kPhase, 0, false},
    {GREY2(NoneMove16to8InPlace), k16to8, 3, placed(secondNone), kPhase, 0, false},
    {GREY2(NoneMove16to832InPlace), k16to8, 4, placed(secondNone), kPhase, 0, false},
    {GREY2(NoneMove16InPlace), k16, 3, placed(secondNone), kPhase, 0, false},
    {FULL(FirstCopy), k8, 3, placed(nullptr), 0, 0, false},
    {FULL(FirstCopy32), k8, 4, placed(nullptr), 0, 0, false},
    {FULL(FirstCopy16to8), k16to8, 3, placed(nullptr), 0, 0, false},
    {FULL(FirstCopy16to832), k16to8, 4, placed(nullptr), 0, 0, false},
    {FULL(FirstCopy16), k16, 3, placed(nullptr), 0, 0, false},
    {FULL(FirstCopyFourColors32), k8, 4, placed(nullptr, true), 0, 0, false},
    {SEL(NearestNeighbor), k8, 3, kSelector, kD, 0, false},
    {SEL(NearestNeighbor32), k8, 4, kSelector, kD, 0, false},
    {SEL(NearestNeighbor16to8), k16to8, 3, kSelector, kD, 0, false},
    {SEL(NearestNeighbor16to832), k16to8, 4, kSelector, kD, 0, false},
    {FULL(NearestNeighborInPlace), k8, 3, placed(secondNearest), 0, 0, false},
    {FULL(NearestNeighbor32InPlace), k8, 4, placed(secondNearest), 0, 0, false},
    {FULL(NearestNeighbor16to8InPlace), k16to8, 3, placed(secondNearest), 0, 0, false},
    {FULL(NearestNeighbor16to832InPlace), k16to8, 4, placed(secondNearest), 0, 0, false},
    {FULL(NearestNeighbor16InPlace), k16, 3, placed(secondNearest), 0, 0, false},
    {FULL(UlmetMoveInPlace), k8, 3, placed(secondUlmet), 0, 0, false},
    {FULL(UlmetMove32InPlace), k8, 4, placed(secondUlmet), 0, 0, false},
    {FULL(UlmetMove16to8InPlace), k16to8, 3, placed(secondUlmet), 0, 0, false},
    {FULL(UlmetMove16to832InPlace), k16to8, 4, placed(secondUlmet), 0, 0, false},
    {FULL(UlmetMove16InPlace), k16, 3, placed(secondUlmet), 0, 0, false},
    {FULL(FourColorsInterMove32InPlace), k8, 4, placed(secondFourColors, true), 0, 0, false},
    {ONE_PASS(NearestNeighbor), k8, 3, nearest(false), kOnePass, 0, false},
    {ONE_PASS(NearestNeighborFlipX), k8, 3, nearest(true), kOnePass, 0, false},
    {ONE_PASS(NearestNeighbor32), k8, 4, nearest(false), kOnePass, 0, false},
    {ONE_PASS(NearestNeighbor32FlipX), k8, 4, nearest(true), kOnePass, 0, false},
    {ONE_PASS(NearestNeighbor16to8), k16to8, 3, nearest(false), kOnePass, 0, false},
    {ONE_PASS(NearestNeighbor16to8FlipX), k16to8, 3, nearest(true), kOnePass, 0, false},
    {ONE_PASS(NearestNeighbor16to832), k16to8, 4, nearest(false), kOnePass, 0, false},
    {ONE_PASS(NearestNeighbor16to832FlipX), k16to8, 4, nearest(true), kOnePass, 0, false},
    // The in-place second passes on their own, over a random picture.
    {PASS(SecondNoneMove), k8, 3, onPicture(secondNone), kPass, 0, false},
    {PASS(SecondNoneMove32), k8, 4, onPicture(secondNone), kPass, 0, false},
    {PASS(SecondNoneMove16), k16, 3, onPicture(secondNone), kPass, 0, false},
    {PASS(SecondNearestNeighbor), k8, 3, onPicture(secondNearest), kPass, 0, false},
    {PASS(SecondNearestNeighbor32), k8, 4, onPicture(secondNearest), kPass, 0, false},
    {PASS(SecondNearestNeighbor16), k16, 3, onPicture(secondNearest), kPass, 0, false},
    {PASS(SecondUlmetMove), k8, 3, onPicture(secondUlmet), kPass, 0, false},
    {PASS(SecondUlmetMove32), k8, 4, onPicture(secondUlmet), kPass, 0, false},
    {PASS(SecondUlmetMove16), k16, 3, onPicture(secondUlmet), kPass, 0, false},
    {PASS(SecondFourColorsInterMove32), k8, 4, onPicture(secondFourColors), kPass, 0, false},
};

class Kernels : public KernelTest {};
// The smallest mosaic, 4x4, non-square frames, widths that are not multiples
// of 4 or 16, and widths that give the vector paths 16-pixel blocks plus a tail.
VOCAM_KERNEL_SIZES(Kernels, {2, 2}, {4, 4}, {6, 4}, {10, 6}, {22, 4}, {38, 6}, {66, 10});

TEST_P(Kernels, EntriesMatchTheModel) {
    checkEntries(kEntries);
}

// ---- Sizes without a mosaic phase
// ---------------------------------------------------------------------------

// Sizes without a defined mosaic phase leave the picture as it was instead of
// reaching past the frame; the grey and mono copies need no phase and take any size.
TEST(KernelCases, UndefinedMosaicSizesLeaveThePictureAlone) {
    for (Size s : {Size{5, 4}, Size{4, 5}, Size{1, 1}, Size{0, 4}, Size{4, 0}, Size{7, 3}}) {
        std::vector<uint8_t> src(size_t(s.w) * s.h + 1, 3);
        std::vector<uint16_t> src16(size_t(s.w) * s.h + 1, 3);
        const std::vector<uint8_t> before(size_t(s.w) * s.h * 4 + 1, 0x5A);
        const std::function<void(uint8_t *)> runs[] = {
            [&](uint8_t *d) { NearestNeighbor(d, src.data(), s.w, s.h, 0, 0, 1); },
            [&](uint8_t *d) {
                NearestNeighbor16to8(d, src16.data(), s.w, s.h, 0, 0, 1, 1, 0, nullptr);
            },
            [&](uint8_t *d) { UlmetMoveInPlace(d, src.data(), s.w, s.h, 0, 0, 1, 0, 1, nullptr); },
            [&](uint8_t *d) {
                NearestNeighbor32InPlace(d, src.data(), s.w, s.h, 0, 0, 1, 0, 1, nullptr);
            },
            [&](uint8_t *d) {
                FourColorsInterMove32InPlace(d, src.data(), s.w, s.h, 0, 0, 0, 1, 0, nullptr);
            },
            [&](uint8_t *d) { NoneMoveInPlace(d, src.data(), s.w, s.h, 1, 0, 1, nullptr); },
            [&](uint8_t *d) { SecondUlmetMove32(d, s.w, s.h, 0, 0); }};
        for (size_t i = 0; i < std::size(runs); ++i) {
            std::vector<uint8_t> dst = before;
            runs[i](dst.data());
            EXPECT_TRUE(dst == before) << "kernel " << i << " at " << s.w << "x" << s.h;
        }
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

}  // namespace
