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
                        Picture want = start, got = start;
                        refEdgeTwoPass(want, fetchGrid(f8, how), o);
                        (out == Out::k24 ? EdgeDetectMoveInPlace : EdgeDetectMove32InPlace)(
                            got.data(), f8.data8(), s.w, s.h, b, gf, fx, td, di, how.lut8);
                        expectSame(want, got);
                    }
                    Fetch how;
                    how.depth = out == Out::k48 ? Depth::k16to16 : Depth::k16to8;
                    how.msbFirst = msb;
                    how.lut16 = lut ? t.lut16.data() : nullptr;
                    Picture want = start, got = start;
                    refEdgeTwoPass(want, fetchGrid(f16, how), o);
                    if (out == Out::k24)
                        EdgeDetectMove16to8InPlace(got.data(), f16.data16(), s.w, s.h, b, gf, fx,
                                                   td, di, msb, how.lut16);
                    else if (out == Out::k32)
                        EdgeDetectMove16to832InPlace(got.data(), f16.data16(), s.w, s.h, b, gf, fx,
                                                     td, di, msb, how.lut16);
                    else
                        EdgeDetectMove16InPlace(got.data16(), f16.data16(), s.w, s.h, b, gf, fx, td,
                                                di, msb, how.lut16);
                    expectSame(want, got);
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

}  // namespace
