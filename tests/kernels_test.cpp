// Every kernel against the per-pixel model, bit for bit, on random frames and
// random initial pictures, for every phase, mirror, storage order, weaving,
// table and byte order, on the vector unit VOCAM_SIMD allows (ctest runs this
// suite once for every unit), with widths that leave scalar tails: the grey,
// monochrome, nearest-neighbour, placement, 2x2-block and four-colour kernels,
// then the edge-detecting and gradient-corrected ones.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "reference/edge_gradient.h"
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

// The grey and mono copies need no phase and take any size.
const Entry kGreyEntries[] = {
    {GREY(NoneMove), k8, 3, grey(false), kGrey, 0, true},
    {GREY(NoneMove32), k8, 4, grey(true), kGrey, 0, false},
    {GREY(NoneMove16to8), k16to8, 3, grey(false), kGrey, 0, true},
    {GREY(NoneMove16to832), k16to8, 4, grey(false), kGrey, 0, false},
    {GREY(MonoToMonoMove), k8, 1, kMono, kGrey, 0, true},
    {GREY(MonoToMonoMoveDeinterl), k8, 1, kMono, kGrey, kD, false},
    {GREY(MonoToMonoMove16to8), k16to8, 1, kMono, kGrey, 0, true},
    {GREY(MonoToMonoMove16to8Deinterl), k16to8, 1, kMono, kGrey, kD, false},
};

const Entry kEntries[] = {
    VOCAM_DEPTHS5(GREY2, NoneMove, InPlace, placed(secondNone), kPhase),
    VOCAM_DEPTHS5(FULL, FirstCopy, , placed(nullptr), 0),
    {FULL(FirstCopyFourColors32), k8, 4, placed(nullptr, true), 0, 0, false},
    VOCAM_DEPTHS(SEL, NearestNeighbor, , kSelector, kSelector, kD),
    VOCAM_DEPTHS5(FULL, NearestNeighbor, InPlace, placed(secondNearest), 0),
    VOCAM_DEPTHS5(FULL, UlmetMove, InPlace, placed(secondUlmet), 0),
    {FULL(FourColorsInterMove32InPlace), k8, 4, placed(secondFourColors, true), 0, 0, false},
    VOCAM_DEPTHS(ONE_PASS, NearestNeighbor, , nearest(false), nearest(false), kOnePass),
    VOCAM_DEPTHS(ONE_PASS, NearestNeighbor, FlipX, nearest(true), nearest(true), kOnePass),
    // The in-place second passes on their own, over a random picture (the
    // grey one is the very pass of the grey two-pass entries above).
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
// of 4 or 16, widths that give the vector paths 16-pixel blocks plus a tail,
// then sizes without a mosaic phase: the grey and mono copies need none and
// take any size.
VOCAM_KERNEL_SIZES(Kernels, {2, 2}, {4, 4}, {6, 4}, {10, 6}, {22, 4}, {38, 6}, {66, 10}, {5, 4},
                   {4, 5}, {1, 1}, {0, 4}, {4, 0}, {7, 3}, {5, 3});

TEST_P(Kernels, EntriesMatchTheModel) {
    checkEntries(kGreyEntries);
    checkEntries(kEntries, 2);
}

// ---- Edge-detecting and gradient-corrected kernels

// A selector takes the two-pass route exactly when a table is given; only the
// 8-bit one-pass kernels halve each green of a blue-row corner.
Model edgeSelector(bool halved) {
    return [=](Picture &p, const Grid &g, const Flags &f) {
        f.lut ? placed(secondEdge)(p, g, f) : edgeOnePass(p, g, f.b, f.g, f.x, f.t, halved);
    };
}

// A gradient-corrected entry in the order the rules give: top-down unmirrored
// placement, interpolation, then the mirror.
Model qarex(uint32_t maxValue) {
    return [=](Picture &p, const Grid &g, const Flags &f) {
        place(p, g, {bool(f.b), bool(f.g), false, true, bool(f.d)}, false);
        qarexJob(p, f.b, f.g, maxValue);
        flipBgr(p, f.x, !f.t);
    };
}

// One-pass edge kernels that mirror on their own; only the 8-bit ones halve
// each green of a blue-row corner.
Model edge(bool flip, bool wide) {
    return [=](Picture &p, const Grid &g, const Flags &f) {
        edgeOnePass(p, g, f.b, f.g, flip, f.t, !wide);
    };
}
Model job(uint32_t maxValue) {
    return onPicture([=](Picture &p, bool b, bool g) { qarexJob(p, b, g, maxValue); });
}

const Entry kEdgeEntries[] = {
    {SEL(EdgeDetectMoveSelect), k8, 3, edgeSelector(true), kD, 0, false},
    {SEL(EdgeDetectMove32Select), k8, 4, edgeSelector(true), kD, 0, false},
    // The C++ overloads are the same selectors.
    {SEL(EdgeDetectMove16to8), k16to8, 3, edgeSelector(false), kD, 0, false},
    {SEL(EdgeDetectMove16to832), k16to8, 4, edgeSelector(false), kD, 0, false},
    VOCAM_DEPTHS5(FULL, EdgeDetectMove, InPlace, placed(secondEdge), 0),
    VOCAM_DEPTHS(FULL, QarexMove, , qarex(255), qarex(255), 0),
    {FULL(QarexMove16), k16, 3, qarex(65535), 0, 0, false},
    VOCAM_DEPTHS(ONE_PASS, EdgeDetectMove, , edge(false, false), edge(false, true), kOnePass),
    VOCAM_DEPTHS(ONE_PASS, EdgeDetectMove, FlipX, edge(true, false), edge(true, true), kOnePass),
    // Second passes and interpolation jobs over a random picture of any
    // phase.
    {PASS(SecondEdgeDetectMove), k8, 3, onPicture(secondEdge), kPass, 0, false},
    {PASS(SecondEdgeDetectMove32), k8, 4, onPicture(secondEdge), kPass, 0, false},
    {PASS(SecondEdgeDetectMove16), k16, 3, onPicture(secondEdge), kPass, 0, false},
    {PASS(QarexMoveJob), k8, 3, job(255), kPass, 0, false},
    {PASS(QarexMoveJob32), k8, 4, job(255), kPass, 0, false},
    {PASS(QarexMoveJob), k16, 3, job(65535), kPass, 0, false},
};

// The mirrors, which exchange only the colour channels, take any size.
const Entry kMirrors[] = {
    {PASS(FlipBgrAround), k8, 3, onPicture(flipBgr), kPass, 0, false},
    {PASS(FlipBgrAround32), k8, 4, onPicture(flipBgr), kPass, 0, false},
    {PASS(FlipBgrAround), k16, 3, onPicture(flipBgr), kPass, 0, false},
};

class EdgeGradient : public KernelTest {};
// 4x4, non-square, a width whose interior the 8-, 16- and 32-pixel blocks
// tile exactly (36), and widths that leave a tail after them; then sizes the
// rules do not serve, which need even dimensions of at least 4.
VOCAM_KERNEL_SIZES(EdgeGradient, {4, 4}, {6, 4}, {4, 6}, {18, 6}, {36, 8}, {38, 10}, {70, 12},
                   {2, 2}, {5, 4}, {4, 5}, {2, 6}, {6, 2}, {0, 4});

TEST_P(EdgeGradient, EntriesMatchTheModel) {
    checkEntries(kEdgeEntries, 4);
    checkEntries(kMirrors);
}

// Full-range random samples hardly ever tie between the two directions or
// reach both clamps; samples of a few levels, the extremes among them, do.
TEST_P(EdgeGradient, SixteenBitTiesAndExtremes) {
    const Entry entries[] = {
        {FULL(QarexMove16), k16, 3, qarex(65535), 0, 0, false},
        {FULL(EdgeDetectMove16InPlace), k16, 3, placed(secondEdge), 0, 0, false},
    };
    checkEntries(entries, 4, {0, 1, 2, 3, 32767, 32768, 65533, 65534, 65535});
}

// Frames wider than the row rings: bottom-up, mirrored, woven, with a table,
// and 16-bit samples byte exchanged.
class WideFrames : public KernelTest {};
VOCAM_KERNEL_SIZES(WideFrames, {8200, 6});

TEST_P(WideFrames, EdgeAndGradientKernelsMatchTheModel) {
    constexpr int kSet = kB | kG | kX | kT | kD | kL;
    const Entry entries[] = {
        {FULL(QarexMove), k8, 3, qarex(255), kSet, kB | kX | kD | kL, false},
        {FULL(EdgeDetectMoveInPlace), k8, 3, placed(secondEdge), kSet, kB | kX | kD | kL, false},
        {FULL(QarexMove16), k16, 3, qarex(65535), kSet | kM, kB | kX | kD | kM, false},
    };
    checkEntries(entries);
}

}  // namespace
