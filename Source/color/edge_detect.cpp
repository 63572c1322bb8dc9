// Edge-detecting demosaic (method 2): bilinear interpolation whose green at
// red and blue sites follows the direction of smaller change.
//
// One-pass kernels read the raw frame directly (no table); the two-pass
// entries apply the table, byte order and weaving on the way. The interior of
// every row goes through a vectorised span where the processor has one;
// borders and the last few pixels of a row take the scalar rules.
#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "color/edge_detect_simd.h"
#include "color/edge_rules.h"
#include "color/kernel_common.h"
#include "color/matrix_stage.h"
#include "color/row_kernels.h"
#include "vocamkernels.h"

namespace vocam::kernels {
namespace {

// Widest frame whose fetched rows the two-pass entries keep on the stack
// (three rows); wider frames are placed and interpolated in place.
constexpr uint32_t kEdgeRingWidth = 8192 + 32;

// Rows of one-byte samples, one every Step bytes. Direct: the raw frame
// itself. Fetched: the rows pass through a table (and byte exchange and
// weaving) into a ring of three rows on the stack, one row ahead, so that
// rows y-1 .. y+1 are at hand while row y is computed.
template <uint32_t Step>
struct Rows {
    const uint8_t *src;
    uint32_t width;
    uint8_t (*ring)[kEdgeRingWidth];
    const uint8_t *row(uint32_t y) const {
        if (ring) return ring[y % 3];
        return src + size_t(y) * width * Step;
    }
    int operator()(uint32_t x, uint32_t y, uint32_t) const { return row(y)[size_t(x) * Step]; }
};

// Rows of 16-bit samples already through the table and byte order, in a
// ring of three rows on the stack like the fetched rows above.
struct Rows16 {
    uint16_t (*ring)[kEdgeRingWidth];
    const uint16_t *row(uint32_t y) const { return ring[y % 3]; }
    int operator()(uint32_t x, uint32_t y, uint32_t) const { return row(y)[x]; }
};

// Samples read through a fetch (table, byte order, weaving) one at a time:
// the rows of frames too wide for the ring.
template <class Fetch>
struct FetchedSamples {
    const typename Fetch::In *src;
    uint32_t width, height;
    int deinterlace;
    Fetch fetch;
    int operator()(uint32_t x, uint32_t y, uint32_t) const {
        return int(fetch(src + size_t(wovenSourceRow(y, height, deinterlace)) * width, x));
    }
};

// Writes source pixel (x, y) to its oriented place in a picture of P
// elements T a pixel.
template <uint32_t P, bool Flip, class T = uint8_t>
struct OrientedWriter {
    T *dst;
    uint32_t width, height;
    int topDown;
    T *at(uint32_t x, uint32_t y) const {
        const uint32_t row = memoryRow(y, height, topDown);
        const uint32_t col = Flip ? width - 1 - x : x;
        return dst + (size_t(row) * width + col) * P;
    }
    void operator()(uint32_t x, uint32_t y, uint32_t c, int v) const { at(x, y)[c] = T(v); }
};

// Interior pixels [xb, xe) of row y (1 <= y <= H-2), straight pointer walk.
template <uint32_t Step, uint32_t P, bool Flip, class T = uint8_t>
void scalarSpan(T *outRow, const T *up, const T *cur, const T *dn, uint32_t width, uint32_t xb,
                uint32_t xe, Phase ph) {
    const uint32_t rc = ph.rowColour(), oc = ph.otherColour();
    for (uint32_t x = xb; x < xe; ++x) {
        const size_t i = size_t(x) * Step;
        const int l = cur[i - Step], r = cur[i + Step], u = up[i], d = dn[i];
        T *o = outRow + size_t(Flip ? width - 1 - x : x) * P;
        if (ph.isGreen(x)) {
            o[kGreen] = cur[i];
            o[rc] = T(edge::mean2(l, r));
            o[oc] = T(edge::mean2(u, d));
        } else {
            o[rc] = cur[i];
            o[oc] = T(edge::mean4(up[i - Step], up[i + Step], dn[i - Step], dn[i + Step]));
            o[kGreen] = T(edge::edgeGreen(l, r, u, d));
        }
    }
}

// The colour matrix of a row job over one finished output row, while it is
// still in the cache.
template <uint32_t P>
void matrixRow(const short *m, uint8_t *row, uint32_t width) {
    if constexpr (P == 4)
        vocam::colour::matrix32(m, row, row, width);
    else
        vocam::colour::matrix24(m, row, row, width);
}

// Source row y's own samples and the pixels the frame's edges give: the
// whole row when it is row 0 or H-1 (true), else its columns 0 and W-1.
template <class S, class O>
bool frameEdgesOfRow(const S &s, const O &out, uint32_t width, uint32_t height, uint32_t y,
                     Phase ph, bool halvedCorner) {
    if (y == 0 || y + 1 == height) {
        for (uint32_t x = 0; x < width; ++x) out(x, y, ph.channelAt(x), s(x, y, 0));
        edge::borderRow(s, out, width, y, y == 0 ? 1 : height - 2, ph, halvedCorner);
        return true;
    }
    for (uint32_t x : {0u, width - 1}) {
        out(x, y, ph.channelAt(x), s(x, y, 0));
        edge::columnBorderPixel(s, out, x, y, x == 0 ? 1 : width - 2, ph);
    }
    return false;
}

// Source rows job.begin .. job.end - 1 of the picture, P bytes per output
// pixel, mirrored when Flip; HalvedCorner selects the 8-bit one-pass
// kernels' corner green. With a row fetch, row y + 1 is fetched before row y
// is computed, and the rows above the job's first row are fetched first.
template <uint32_t P, uint32_t Step, bool Flip, bool HalvedCorner, class FetchRow>
void rowsPass(uint8_t *dst, const Rows<Step> &s, uint32_t width, uint32_t height, Phase row0,
              int topDown, FetchRow fetchRow, RowJob job) {
    const OrientedWriter<P, Flip> out{dst, width, height, topDown};
    const simd::EdgeSpanFn vector = simd::edgeSpan(P, Step, Flip);
    const uint32_t end = std::min(job.end, height);
    if (job.begin >= end) return;
    const uint32_t first = job.begin > 0 ? job.begin - 1 : 0;
    fetchRow(first);
    fetchRow(first + 1);
    for (uint32_t y = job.begin; y < end; ++y) {
        if (y >= 1 && y + 1 < height) fetchRow(y + 1);
        const Phase ph = phaseOfRow(row0, y);
        uint8_t *outRow = dst + size_t(memoryRow(y, height, topDown)) * width * P;
        if (!frameEdgesOfRow(s, out, width, height, y, ph, HalvedCorner)) {
            const uint8_t *up = s.row(y - 1), *cur = s.row(y), *dn = s.row(y + 1);
            uint32_t x = 1;
            if (vector) {
                scalarSpan<Step, P, Flip>(outRow, up, cur, dn, width, 1, 2, ph);
                x = vector(outRow, up, cur, dn, width, ph.blueRow, ph.isGreen(0));
            }
            scalarSpan<Step, P, Flip>(outRow, up, cur, dn, width, x, width - 1, ph);
        }
        if (job.m) matrixRow<P>(job.m, outRow, width);
    }
}

// rowsPass by the rules alone, on samples fetched one at a time.
template <uint32_t P, bool Flip, class Fetch>
void fetchedSamplesPass(uint8_t *dst, const FetchedSamples<Fetch> &s, uint32_t width,
                        uint32_t height, Phase row0, int topDown, RowJob job) {
    const OrientedWriter<P, Flip> out{dst, width, height, topDown};
    for (uint32_t y = job.begin; y < std::min(job.end, height); ++y) {
        const Phase ph = phaseOfRow(row0, y);
        if (!frameEdgesOfRow(s, out, width, height, y, ph, false)) {
            for (uint32_t x = 1; x + 1 < width; ++x) out(x, y, ph.channelAt(x), s(x, y, 0));
            edge::middleRow(s, out, width, y, ph);
        }
        if (job.m)
            matrixRow<P>(job.m, dst + size_t(memoryRow(y, height, topDown)) * width * P, width);
    }
}

// 48-bit pictures from fetched 16-bit rows: the walk of rowsPass.
template <bool Flip, class FetchRow>
void rowsPass48(uint16_t *dst, const Rows16 &s, uint32_t width, uint32_t height, Phase row0,
                int topDown, FetchRow fetchRow) {
    const OrientedWriter<3, Flip, uint16_t> out{dst, width, height, topDown};
    const simd::Edge48SpanFn vector = simd::edge48Span(Flip);
    fetchRow(0);
    fetchRow(1);
    for (uint32_t y = 0; y < height; ++y) {
        if (y >= 1 && y + 1 < height) fetchRow(y + 1);
        const Phase ph = phaseOfRow(row0, y);
        if (y == 0 || y + 1 == height) {
            for (uint32_t x = 0; x < width; ++x) out(x, y, ph.channelAt(x), s(x, y, 0));
            edge::borderRow(s, out, width, y, y == 0 ? 1 : height - 2, ph, false);
            continue;
        }
        for (uint32_t x : {0u, width - 1}) {
            out(x, y, ph.channelAt(x), s(x, y, 0));
            edge::columnBorderPixel(s, out, x, y, x == 0 ? 1 : width - 2, ph);
        }
        uint16_t *outRow = dst + size_t(memoryRow(y, height, topDown)) * width * 3;
        const uint16_t *up = s.row(y - 1), *cur = s.row(y), *dn = s.row(y + 1);
        uint32_t x = 1;
        if (vector) {
            scalarSpan<1, 3, Flip>(outRow, up, cur, dn, width, 1, 2, ph);
            x = vector(outRow, up, cur, dn, width, ph.blueRow, ph.isGreen(0));
        }
        scalarSpan<1, 3, Flip>(outRow, up, cur, dn, width, x, width - 1, ph);
    }
}

// The rows of job straight from the raw frame.
template <uint32_t P, uint32_t Step, bool HalvedCorner>
void onePass(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
             int greenFirst, int flipX, int topDown, RowJob job) {
    if (!edge::framesFit(width, height)) return;
    const Rows<Step> rows{src, width, nullptr};
    const Phase row0{blueRow != 0, greenFirst != 0};
    const auto none = [](uint32_t) {};
    if (flipX)
        rowsPass<P, Step, true, HalvedCorner>(dst, rows, width, height, row0, topDown, none, job);
    else
        rowsPass<P, Step, false, HalvedCorner>(dst, rows, width, height, row0, topDown, none, job);
}

// Second pass on a placed mosaic in layout Px; phase of the first memory row.
template <class Px>
void secondPass(typename Px::T *dst, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    if (!edge::framesFit(width, height)) return;
    const size_t stride = rowElems<Px>(width);
    const edge::PlacedReader<Px> s{dst, stride};
    edge::PictureWriter<Px> out{dst, stride};
    const Phase row0{blueRow != 0, greenFirst != 0};
    edge::borderRow(s, out, width, 0, 1, row0, false);
    for (uint32_t y = 1; y + 1 < height; ++y)
        edge::middleRow(s, out, width, y, phaseOfRow(row0, y));
    edge::borderRow(s, out, width, height - 1, height - 2, phaseOfRow(row0, height - 1), false);
}

// The rows of job from source rows fetched with table, byte order and
// weaving, stored mirrored and bottom-up as asked.
//
// Every edge-detecting rule treats left and right, and up and down, alike (the
// corners take the ordinary mean), so the rules applied in source order and
// stored mirrored and bottom-up give the picture of the two-pass scheme,
// which interpolates the placed mosaic in memory order.
template <uint32_t P, class Fetch>
void fetchedPass(uint8_t *dst, const typename Fetch::In *src, uint32_t width, uint32_t height,
                 int blueRow, int greenFirst, int flipX, int topDown, int deinterlace, Fetch fetch,
                 RowJob job) {
    if (!edge::framesFit(width, height)) return;
    const Phase row0{blueRow != 0, greenFirst != 0};
    if (width <= kEdgeRingWidth - 32) {
        alignas(32) uint8_t ring[3][kEdgeRingWidth];
        const Rows<1> rows{nullptr, width, ring};
        auto fetchRow = [&](uint32_t y) {
            const typename Fetch::In *in =
                src + size_t(wovenSourceRow(y, height, deinterlace)) * width;
            uint8_t *o = ring[y % 3];
            for (uint32_t x = 0; x < width; ++x) o[x] = uint8_t(fetch(in, x));
        };
        if (flipX)
            rowsPass<P, 1, true, false>(dst, rows, width, height, row0, topDown, fetchRow, job);
        else
            rowsPass<P, 1, false, false>(dst, rows, width, height, row0, topDown, fetchRow, job);
        return;
    }
    // Wider rows would not fit the ring on the stack: each sample is fetched
    // where a rule reads it, which needs no memory and serves any run of rows.
    const FetchedSamples<Fetch> samples{src, width, height, deinterlace, fetch};
    if (flipX)
        fetchedSamplesPass<P, true>(dst, samples, width, height, row0, topDown, job);
    else
        fetchedSamplesPass<P, false>(dst, samples, width, height, row0, topDown, job);
}

// 48-bit pictures: placement with table, byte order, weaving and
// orientation, then the in-place interpolation with the phase of the first
// memory row; frames that fit the ring take the walk of fetchedPass.
template <class Fetch>
void twoPass48(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int blueRow,
               int greenFirst, int flipX, int topDown, int deinterlace, Fetch fetch) {
    if (!edge::framesFit(width, height)) return;
    if (width <= kEdgeRingWidth - 32) {
        alignas(32) uint16_t ring[3][kEdgeRingWidth];
        const Rows16 rows{ring};
        auto fetchRow = [&](uint32_t y) {
            const uint16_t *in = src + size_t(wovenSourceRow(y, height, deinterlace)) * width;
            uint16_t *o = ring[y % 3];
            for (uint32_t x = 0; x < width; ++x) o[x] = uint16_t(fetch(in, x));
        };
        const Phase row0{blueRow != 0, greenFirst != 0};
        if (flipX)
            rowsPass48<true>(dst, rows, width, height, row0, topDown, fetchRow);
        else
            rowsPass48<false>(dst, rows, width, height, row0, topDown, fetchRow);
        return;
    }
    placeMosaic<Bgr48>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch);
    const Phase mem = memoryPhase(blueRow, greenFirst, flipX, topDown);
    secondPass<Bgr48>(dst, width, height, mem.blueRow, mem.greenFirst);
}

}  // namespace

void edgeRows8(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
               int greenFirst, int flipX, int topDown, const uint8_t *lut, bool out32, RowJob job) {
    // A table is applied as the rows are fetched; without one the kernels
    // read the frame itself.
    if (lut) {
        if (out32)
            fetchedPass<4>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                           Fetch8Lut{lut}, job);
        else
            fetchedPass<3>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                           Fetch8Lut{lut}, job);
    } else if (out32) {
        onePass<4, 1, true>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, job);
    } else {
        onePass<3, 1, true>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, job);
    }
}

void edgeRows16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int blueRow,
                   int greenFirst, int flipX, int topDown, int msbFirst, const uint16_t *lut,
                   bool out32, RowJob job) {
    // An empty frame may come without a buffer to step into.
    if (width == 0 || height == 0) return;
    if (lut) {
        if (out32)
            fetchedPass<4>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                           Fetch16to8Lut{lut}, job);
        else
            fetchedPass<3>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                           Fetch16to8Lut{lut}, job);
        return;
    }
    // The one-pass kernel reads the most significant byte of each sample.
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(src) + (msbFirst ? 0 : 1);
    if (out32)
        onePass<4, 2, false>(dst, bytes, width, height, blueRow, greenFirst, flipX, topDown, job);
    else
        onePass<3, 2, false>(dst, bytes, width, height, blueRow, greenFirst, flipX, topDown, job);
}

}  // namespace vocam::kernels

using namespace vocam::kernels;

extern "C" {

VOCAM_API void EdgeDetectMove(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int topDown) {
    onePass<3, 1, true>(dst, src, width, height, blueRow, greenFirst, 0, topDown,
                        wholeFrame(height));
}
VOCAM_API void EdgeDetectMoveFlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<3, 1, true>(dst, src, width, height, blueRow, greenFirst, 1, topDown,
                        wholeFrame(height));
}
VOCAM_API void EdgeDetectMove32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int topDown) {
    onePass<4, 1, true>(dst, src, width, height, blueRow, greenFirst, 0, topDown,
                        wholeFrame(height));
}
VOCAM_API void EdgeDetectMove32FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<4, 1, true>(dst, src, width, height, blueRow, greenFirst, 1, topDown,
                        wholeFrame(height));
}
VOCAM_API void EdgeDetectMove16to8(uint8_t *dst, const uint8_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<3, 2, false>(dst, src, width, height, blueRow, greenFirst, 0, topDown,
                         wholeFrame(height));
}
VOCAM_API void EdgeDetectMove16to8FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                        uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<3, 2, false>(dst, src, width, height, blueRow, greenFirst, 1, topDown,
                         wholeFrame(height));
}
VOCAM_API void EdgeDetectMove16to832(uint8_t *dst, const uint8_t *src, uint32_t width,
                                     uint32_t height, int blueRow, int greenFirst, int topDown) {
    onePass<4, 2, false>(dst, src, width, height, blueRow, greenFirst, 0, topDown,
                         wholeFrame(height));
}
VOCAM_API void EdgeDetectMove16to832FlipX(uint8_t *dst, const uint8_t *src, uint32_t width,
                                          uint32_t height, int blueRow, int greenFirst,
                                          int topDown) {
    onePass<4, 2, false>(dst, src, width, height, blueRow, greenFirst, 1, topDown,
                         wholeFrame(height));
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
        fetchedPass<3>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch, wholeFrame(height));
    });
}
VOCAM_API void EdgeDetectMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width,
                                       uint32_t height, int blueRow, int greenFirst, int flipX,
                                       int topDown, int deinterlace, const uint8_t *lut) {
    withFetch8(lut, [&](auto fetch) {
        fetchedPass<4>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch, wholeFrame(height));
    });
}
VOCAM_API void EdgeDetectMove16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                          uint32_t height, int blueRow, int greenFirst, int flipX,
                                          int topDown, int deinterlace, int msbFirst,
                                          const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto fetch) {
        fetchedPass<3>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch, wholeFrame(height));
    });
}
VOCAM_API void EdgeDetectMove16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                            uint32_t height, int blueRow, int greenFirst, int flipX,
                                            int topDown, int deinterlace, int msbFirst,
                                            const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto fetch) {
        fetchedPass<4>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                       fetch, wholeFrame(height));
    });
}
VOCAM_API void EdgeDetectMove16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width,
                                       uint32_t height, int blueRow, int greenFirst, int flipX,
                                       int topDown, int deinterlace, int msbFirst,
                                       const uint16_t *lut) {
    withFetch16(msbFirst, lut, [&](auto fetch) {
        twoPass48(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace, fetch);
    });
}

// Selectors: the whole picture of the row kernels.
VOCAM_API void EdgeDetectMoveSelect(uint8_t *dst, const uint8_t *src, uint32_t width,
                                    uint32_t height, int blueRow, int greenFirst, int flipX,
                                    int topDown, const uint8_t *lut) {
    edgeRows8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, lut, false,
              wholeFrame(height));
}
VOCAM_API void EdgeDetectMove32Select(uint8_t *dst, const uint8_t *src, uint32_t width,
                                      uint32_t height, int blueRow, int greenFirst, int flipX,
                                      int topDown, const uint8_t *lut) {
    edgeRows8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, lut, true,
              wholeFrame(height));
}
VOCAM_API void EdgeDetectMove16to8Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                         uint32_t height, int blueRow, int greenFirst, int flipX,
                                         int topDown, int msbFirst, const uint16_t *lut) {
    edgeRows16to8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, msbFirst, lut,
                  false, wholeFrame(height));
}
VOCAM_API void EdgeDetectMove16to832Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                           uint32_t height, int blueRow, int greenFirst, int flipX,
                                           int topDown, int msbFirst, const uint16_t *lut) {
    edgeRows16to8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, msbFirst, lut, true,
                  wholeFrame(height));
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
