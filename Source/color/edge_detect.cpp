// Edge-detecting demosaic (method 2): bilinear interpolation whose green at
// red and blue sites follows the direction of smaller change.
//
// One-pass kernels read the raw frame directly (no table); the two-pass
// entries place the mosaic first and interpolate it in place. The interior of
// every one-pass row goes through a vectorised span where the processor has
// one; borders and the last few pixels of a row take the scalar rules.
#include <cstdint>

#include "color/edge_detect_simd.h"
#include "color/edge_rules.h"
#include "color/kernel_common.h"
#include "vocamkernels.h"

namespace vocam::kernels {
namespace {

// Reads the raw frame: sample x of row y at byte (y * W + x) * Step; the
// 16-bit-source one-pass kernels take one byte of every two.
template <uint32_t Step>
struct RawReader {
    const uint8_t *src;
    uint32_t width;
    int operator()(uint32_t x, uint32_t y, uint32_t) const {
        return src[(size_t(y) * width + x) * Step];
    }
};

// Writes source pixel (x, y) to its oriented place in a 24-bit or 32-bit picture.
template <uint32_t P, bool Flip>
struct OrientedWriter {
    uint8_t *dst;
    uint32_t width, height;
    int topDown;
    uint8_t *at(uint32_t x, uint32_t y) const {
        const uint32_t row = memoryRow(y, height, topDown);
        const uint32_t col = Flip ? width - 1 - x : x;
        return dst + (size_t(row) * width + col) * P;
    }
    void operator()(uint32_t x, uint32_t y, uint32_t c, int v) const { at(x, y)[c] = uint8_t(v); }
};

// Own sample of every border pixel (the rules only fill the missing channels).
template <uint32_t Step, uint32_t P, bool Flip>
void copyOwnBorder(const RawReader<Step> &s, const OrientedWriter<P, Flip> &out, uint32_t width,
                   uint32_t height, Phase row0) {
    for (uint32_t y = 0; y < height; ++y) {
        const Phase ph = phaseOfRow(row0, y);
        const bool whole = y == 0 || y + 1 == height;
        for (uint32_t x = 0; x < width; x += whole ? 1 : width - 1)
            out(x, y, ph.channelAt(x), s(x, y, 0));
    }
}

// Interior pixels [xb, xe) of row y (1 <= y <= H-2), straight pointer walk.
template <uint32_t Step, uint32_t P, bool Flip>
void scalarSpan(uint8_t *outRow, const uint8_t *cur, size_t rowBytes, uint32_t width, uint32_t xb,
                uint32_t xe, Phase ph) {
    const uint32_t rc = ph.rowColour(), oc = ph.otherColour();
    for (uint32_t x = xb; x < xe; ++x) {
        const uint8_t *c = cur + size_t(x) * Step;
        const int l = c[-ptrdiff_t(Step)], r = c[Step];
        const int u = c[-ptrdiff_t(rowBytes)], d = c[rowBytes];
        uint8_t *o = outRow + size_t(Flip ? width - 1 - x : x) * P;
        if (ph.isGreen(x)) {
            o[kGreen] = c[0];
            o[rc] = uint8_t(edge::mean2(l, r));
            o[oc] = uint8_t(edge::mean2(u, d));
        } else {
            const uint8_t *up = c - rowBytes, *dn = c + rowBytes;
            o[rc] = c[0];
            o[oc] = uint8_t(
                edge::mean4(up[-ptrdiff_t(Step)], up[Step], dn[-ptrdiff_t(Step)], dn[Step]));
            o[kGreen] = uint8_t(edge::edgeGreen(l, r, u, d));
        }
    }
}

// One-pass kernel: P bytes per output pixel, one sample every Step bytes,
// mirrored when Flip; HalvedCorner selects the 8-bit kernels' corner green.
template <uint32_t P, uint32_t Step, bool Flip, bool HalvedCorner>
void onePass(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
             int greenFirst, int topDown) {
    const RawReader<Step> s{src, width};
    const OrientedWriter<P, Flip> out{dst, width, height, topDown};
    const Phase row0{blueRow != 0, greenFirst != 0};
    const size_t rowBytes = size_t(width) * Step;

    copyOwnBorder(s, out, width, height, row0);
    edge::borderRow(s, out, width, 0, 1, row0, HalvedCorner);
    const simd::EdgeSpanFn vector = simd::edgeSpan(P, Step, Flip);
    for (uint32_t y = 1; y + 1 < height; ++y) {
        const Phase ph = phaseOfRow(row0, y);
        edge::columnBorderPixel(s, out, 0, y, 1, ph);
        edge::columnBorderPixel(s, out, width - 1, y, width - 2, ph);
        uint8_t *outRow = dst + size_t(memoryRow(y, height, topDown)) * width * P;
        const uint8_t *cur = src + size_t(y) * rowBytes;
        uint32_t x = 1;
        if (vector) x = vector(outRow, cur, rowBytes, width, ph.blueRow, ph.isGreen(1));
        scalarSpan<Step, P, Flip>(outRow, cur, rowBytes, width, x, width - 1, ph);
    }
    edge::borderRow(s, out, width, height - 1, height - 2, phaseOfRow(row0, height - 1),
                    HalvedCorner);
}

// Second pass on a placed mosaic in layout Px; phase of the first memory row.
template <class Px>
void secondPass(typename Px::T *dst, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    const size_t stride = rowElems<Px>(width);
    const edge::PlacedReader<Px> s{dst, stride};
    edge::PictureWriter<Px> out{dst, stride};
    const Phase row0{blueRow != 0, greenFirst != 0};
    edge::borderRow(s, out, width, 0, 1, row0, false);
    for (uint32_t y = 1; y + 1 < height; ++y)
        edge::middleRow(s, out, width, y, phaseOfRow(row0, y));
    edge::borderRow(s, out, width, height - 1, height - 2, phaseOfRow(row0, height - 1), false);
}

// Two-pass entry: placement with table, byte order, weaving and orientation,
// then the in-place interpolation with the phase of the first memory row.
template <class Px, class Fetch>
void twoPass(typename Px::T *dst, const typename Fetch::In *src, uint32_t width, uint32_t height,
             int blueRow, int greenFirst, int flipX, int topDown, int deinterlace, Fetch fetch) {
    placeMosaic<Px>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                    fetch);
    const Phase mem = memoryPhase(blueRow, greenFirst, flipX, topDown);
    secondPass<Px>(dst, width, height, mem.blueRow, mem.greenFirst);
}

}  // namespace
}  // namespace vocam::kernels

using namespace vocam::kernels;

extern "C" {

VOCAM_API void EdgeDetectMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int topDown) {
    onePass<3, 1, false, true>(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMoveFlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<3, 1, true, true>(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int topDown) {
    onePass<4, 1, false, true>(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove32FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<4, 1, true, true>(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove16to8(uint8_t *dst, const uint8_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<3, 2, false, false>(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove16to8FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                        uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<3, 2, true, false>(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove16to832(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<4, 2, false, false>(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove16to832FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                          uint32_t height, int blueRow, int greenFirst,
                                          int topDown) {
    onePass<4, 2, true, false>(dst, src, width, height, blueRow, greenFirst, topDown);
}

VOCAM_API void SecondEdgeDetectMove(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                    int greenFirst) {
    secondPass<Bgr24>(dst, width, height, blueRow, greenFirst);
}
VOCAM_API void SecondEdgeDetectMove32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                      int greenFirst) {
    secondPass<Bgr32>(dst, width, height, blueRow, greenFirst);
}
VOCAM_API void SecondEdgeDetectMove16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                                      int greenFirst) {
    secondPass<Bgr48>(dst, width, height, blueRow, greenFirst);
}

VOCAM_API void EdgeDetectMoveInPlace(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int flipX,
                                     int topDown, int deinterlace, const uint8_t *lut) {
    withFetch8(lut, [&](auto fetch) {
        twoPass<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch);
    });
}
VOCAM_API void EdgeDetectMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width,
                                       uint32_t height, int blueRow, int greenFirst, int flipX,
                                       int topDown, int deinterlace, const uint8_t *lut) {
    withFetch8(lut, [&](auto fetch) {
        twoPass<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch);
    });
}
VOCAM_API void EdgeDetectMove16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                          uint32_t height, int blueRow, int greenFirst, int flipX,
                                          int topDown, int deinterlace, int msbFirst,
                                          const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto fetch) {
        twoPass<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch);
    });
}
VOCAM_API void EdgeDetectMove16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                            uint32_t height, int blueRow, int greenFirst, int flipX,
                                            int topDown, int deinterlace, int msbFirst,
                                            const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto fetch) {
        twoPass<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch);
    });
}
VOCAM_API void EdgeDetectMove16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width,
                                       uint32_t height, int blueRow, int greenFirst, int flipX,
                                       int topDown, int deinterlace, int msbFirst,
                                       const uint16_t *lut) {
    withFetch16(msbFirst, lut, [&](auto fetch) {
        twoPass<Bgr48>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch);
    });
}

// Selectors: a table always takes the two-pass route (it is applied only by a
// placement); otherwise the one-pass kernel, mirrored or not. The 16-bit ones
// point the one-pass kernel at the most significant byte of the first sample.
VOCAM_API void EdgeDetectMoveSelect(uint8_t *dst, const uint8_t *src, uint32_t width,
                                    uint32_t height, int blueRow, int greenFirst, int flipX,
                                    int topDown, const uint8_t *lut) {
    if (lut)
        EdgeDetectMoveInPlace(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0, lut);
    else if (flipX)
        EdgeDetectMoveFlipX(dst, src, width, height, blueRow, greenFirst, topDown);
    else
        EdgeDetectMove(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove32Select(uint8_t *dst, const uint8_t *src, uint32_t width,
                                      uint32_t height, int blueRow, int greenFirst, int flipX,
                                      int topDown, const uint8_t *lut) {
    if (lut)
        EdgeDetectMove32InPlace(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                                lut);
    else if (flipX)
        EdgeDetectMove32FlipX(dst, src, width, height, blueRow, greenFirst, topDown);
    else
        EdgeDetectMove32(dst, src, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove16to8Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                         uint32_t height, int blueRow, int greenFirst, int flipX,
                                         int topDown, int msbFirst, const uint16_t *lut) {
    if (lut) {
        EdgeDetectMove16to8InPlace(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                                   msbFirst, lut);
        return;
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(src) + (msbFirst ? 0 : 1);
    if (flipX)
        EdgeDetectMove16to8FlipX(dst, bytes, width, height, blueRow, greenFirst, topDown);
    else
        EdgeDetectMove16to8(dst, bytes, width, height, blueRow, greenFirst, topDown);
}
VOCAM_API void EdgeDetectMove16to832Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                           uint32_t height, int blueRow, int greenFirst, int flipX,
                                           int topDown, int msbFirst, const uint16_t *lut) {
    if (lut) {
        EdgeDetectMove16to832InPlace(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                                     0, msbFirst, lut);
        return;
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(src) + (msbFirst ? 0 : 1);
    if (flipX)
        EdgeDetectMove16to832FlipX(dst, bytes, width, height, blueRow, greenFirst, topDown);
    else
        EdgeDetectMove16to832(dst, bytes, width, height, blueRow, greenFirst, topDown);
}

}  // extern "C"

VOCAM_API void EdgeDetectMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int flipX, int topDown,
                              const uint8_t *lut) {
    EdgeDetectMoveSelect(dst, src, width, height, blueRow, greenFirst, flipX, topDown, lut);
}
VOCAM_API void EdgeDetectMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int flipX, int topDown,
                                const uint8_t *lut) {
    EdgeDetectMove32Select(dst, src, width, height, blueRow, greenFirst, flipX, topDown, lut);
}
VOCAM_API void EdgeDetectMove16to8(uint8_t *dst, const uint16_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int flipX,
                                   int topDown, int msbFirst, const uint16_t *lut) {
    EdgeDetectMove16to8Select(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              msbFirst, lut);
}
VOCAM_API void EdgeDetectMove16to832(uint8_t *dst, const uint16_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int flipX,
                                     int topDown, int msbFirst, const uint16_t *lut) {
    EdgeDetectMove16to832Select(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                                msbFirst, lut);
}
