// Nearest-neighbour kernels: every missing colour is copied from one adjacent
// site, the left neighbour in the same row and one site of the row above (the
// row below for the first row).
#include <type_traits>

#include "color/kernel_common.h"
#include "color/row_kernels.h"
#include "color/simd_rows.h"
#include "vocamkernels.h"

namespace vocam::kernels {
namespace {

// The rule for pixels x0 .. width - 1 of one row. s(x, false) is sample x of
// the row, s(x, true) sample x of the looked-at row (row 1 for row 0, else the
// row above). put(x, rowColour, green, otherColour) stores the pixel.
template <class S, class Put>
inline void nearestPixels(uint32_t x0, uint32_t width, bool firstRow, bool greenFirst, S s,
                          Put put) {
    for (uint32_t x = x0; x < width; ++x) {
        const bool green = ((x & 1) != 0) != greenFirst;
        if (green) {
            put(x, s(x ? x - 1 : 1, false), s(x, false), s(x, true));
        } else if (x) {
            put(x, s(x, false), s(x - 1, false), s(x - 1, true));
        } else if (firstRow) {
            put(x, s(0, false), s(1, false), s(1, true));
        } else {
            put(x, s(0, false), s(0, true), s(1, true));
        }
    }
}

// One-pass kernels: 8-bit samples, or one byte of every two-byte sample (Wide).
template <bool Out32, bool Flip, bool Wide>
void nearestOnePass(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
                    int greenFirst, int topDown, RowJob job) {
    if (!mosaicSizeOk(width, height)) return;
    constexpr uint32_t step = Out32 ? 4 : 3;
    constexpr size_t scale = Wide ? 2 : 1;
    const size_t rowBytes = size_t(width) * scale;
    const size_t stride = size_t(width) * step;
    const SimdRows *simd = simdRows();
    const NearestRowFn body = simd ? simd->nearest[simdIndex(Out32, Flip, Wide)] : nullptr;
    const short *m = job.m;
    Phase phase = phaseOfRow(Phase{blueRow != 0, greenFirst != 0}, job.begin);
    for (uint32_t y = job.begin; y < job.end && y < height; ++y, phase = phase.next()) {
        const uint8_t *cur = src + y * rowBytes;
        const uint8_t *up = src + (y == 0 ? 1 : y - 1) * rowBytes;
        uint8_t *out = dst + size_t(memoryRow(y, height, topDown)) * stride;
        const uint32_t rc = phase.rowColour(), oc = phase.otherColour();
        auto s = [&](uint32_t x, bool looked) { return (looked ? up : cur)[x * scale]; };
        auto put = [&](uint32_t x, uint8_t rowColour, uint8_t green, uint8_t other) {
            uint8_t *p = out + size_t(Flip ? width - 1 - x : x) * step;
            p[rc] = rowColour;
            p[kGreen] = green;
            p[oc] = other;
            if (m) matrixPixel<Out32>(m, p);
        };
        const bool firstRow = y == 0;
        if (body) {
            nearestPixels(0, 2, firstRow, phase.greenFirst, s, put);
            const uint32_t done = body(out, cur, up, width, phase.greenFirst, phase.blueRow, m);
            nearestPixels(done, width, firstRow, phase.greenFirst, s, put);
        } else {
            nearestPixels(0, width, firstRow, phase.greenFirst, s, put);
        }
    }
}

// Second pass on a placed mosaic: the same rule in memory coordinates, reading
// placed channels only and writing the other two.
template <class Px>
void secondNearest(typename Px::T *dst, uint32_t width, uint32_t height, int blueRow,
                   int greenFirst) {
    if (!mosaicSizeOk(width, height)) return;
    using T = typename Px::T;
    const size_t stride = rowElems<Px>(width);
    Phase phase{blueRow != 0, greenFirst != 0};
    for (uint32_t y = 0; y < height; ++y, phase = phase.next()) {
        T *row = dst + y * stride;
        const T *looked = dst + (y == 0 ? 1 : y - 1) * stride;
        const Phase lookedPhase = phase.next();
        auto s = [&](uint32_t x, bool other) {
            return other ? looked[x * Px::kStep + lookedPhase.channelAt(x)]
                         : row[x * Px::kStep + phase.channelAt(x)];
        };
        const uint32_t rc = phase.rowColour(), oc = phase.otherColour();
        auto put = [&](uint32_t x, T rowColour, T green, T other) {
            T *p = row + size_t(x) * Px::kStep;
            p[rc] = rowColour;
            p[kGreen] = green;
            p[oc] = other;
        };
        nearestPixels(0, width, y == 0, phase.greenFirst, s, put);
    }
}

// Two-pass entries in one walk: the second pass reads only placed samples, so
// the rule is applied to the fetched source samples at the positions the
// placement would have put them (memory row m holds output row memoryRow(m),
// memory column x holds source column x, or width - 1 - x when mirrored).
template <class Px, bool Flip, class Fetch>
void nearestFromSource(typename Px::T *dst, const typename Fetch::In *src, uint32_t width,
                       uint32_t height, int blueRow, int greenFirst, int topDown, int deinterlace,
                       Fetch fetch, RowJob job) {
    if (!mosaicSizeOk(width, height)) return;
    using T = typename Px::T;
    using In = typename Fetch::In;
    auto sourceRow = [&](uint32_t m) -> const In * {
        return src +
               size_t(wovenSourceRow(memoryRow(m, height, topDown), height, deinterlace)) * width;
    };
    const Phase first = memoryPhase(blueRow, greenFirst, Flip, topDown);
    for (uint32_t m = job.begin; m < job.end && m < height; ++m) {
        const Phase phase = phaseOfRow(first, m);
        const In *cur = sourceRow(m);
        const In *looked = sourceRow(m == 0 ? 1 : m - 1);
        auto s = [&](uint32_t x, bool other) -> T {
            return T(fetch(other ? looked : cur, Flip ? width - 1 - x : x));
        };
        T *row = dst + m * rowElems<Px>(width);
        const uint32_t rc = phase.rowColour(), oc = phase.otherColour();
        auto put = [&](uint32_t x, T rowColour, T green, T other) {
            T *p = row + size_t(x) * Px::kStep;
            p[rc] = rowColour;
            p[kGreen] = green;
            p[oc] = other;
            if constexpr (!std::is_same_v<Px, Bgr48>)
                if (job.m) matrixPixel<Px::kStep == 4>(job.m, p);
        };
        nearestPixels(0, width, m == 0, phase.greenFirst, s, put);
    }
}

template <class Px, class Fetch>
void nearestEntry(typename Px::T *dst, const typename Fetch::In *src, uint32_t width,
                  uint32_t height, int blueRow, int greenFirst, int flipX, int topDown,
                  int deinterlace, Fetch fetch, RowJob job = {nullptr, 0, UINT32_MAX}) {
    if (flipX)
        nearestFromSource<Px, true>(dst, src, width, height, blueRow, greenFirst, topDown,
                                    deinterlace, fetch, job);
    else
        nearestFromSource<Px, false>(dst, src, width, height, blueRow, greenFirst, topDown,
                                     deinterlace, fetch, job);
}

template <bool Out32, bool Wide>
void nearestOnePassEntry(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                         int blueRow, int greenFirst, int flipX, int topDown, RowJob job) {
    if (flipX)
        nearestOnePass<Out32, true, Wide>(dst, src, width, height, blueRow, greenFirst, topDown,
                                          job);
    else
        nearestOnePass<Out32, false, Wide>(dst, src, width, height, blueRow, greenFirst, topDown,
                                           job);
}

}  // namespace

void nearestRows8(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
                  int greenFirst, int flipX, int topDown, const uint8_t *lut, bool out32,
                  RowJob job) {
    if (lut) {
        if (out32)
            nearestEntry<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                                Fetch8Lut{lut}, job);
        else
            nearestEntry<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                                Fetch8Lut{lut}, job);
    } else if (out32) {
        nearestOnePassEntry<true, false>(dst, src, width, height, blueRow, greenFirst, flipX,
                                         topDown, job);
    } else {
        nearestOnePassEntry<false, false>(dst, src, width, height, blueRow, greenFirst, flipX,
                                          topDown, job);
    }
}

// Without a table the one-pass kernels read the most significant byte of each
// sample: the second stored byte unless the most significant comes first.
void nearestRows16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                      int blueRow, int greenFirst, int flipX, int topDown, int msbFirst,
                      const uint16_t *lut, bool out32, RowJob job) {
    // An empty frame may come without a buffer to step into.
    if (width == 0 || height == 0) return;
    if (lut) {
        if (out32)
            nearestEntry<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                                Fetch16to8Lut{lut}, job);
        else
            nearestEntry<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, 0,
                                Fetch16to8Lut{lut}, job);
        return;
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(src) + (msbFirst ? 0 : 1);
    if (out32)
        nearestOnePassEntry<true, true>(dst, bytes, width, height, blueRow, greenFirst, flipX,
                                        topDown, job);
    else
        nearestOnePassEntry<false, true>(dst, bytes, width, height, blueRow, greenFirst, flipX,
                                         topDown, job);
}

}  // namespace vocam::kernels

using namespace vocam::kernels;

extern "C" {

void NearestNeighbor(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
                     int greenFirst, int topDown) {
    nearestOnePass<false, false, false>(dst, src, width, height, blueRow, greenFirst, topDown,
                                        wholeFrame(height));
}

void NearestNeighborFlipX(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                          int blueRow, int greenFirst, int topDown) {
    nearestOnePass<false, true, false>(dst, src, width, height, blueRow, greenFirst, topDown,
                                       wholeFrame(height));
}

void NearestNeighbor32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                       int blueRow, int greenFirst, int topDown) {
    nearestOnePass<true, false, false>(dst, src, width, height, blueRow, greenFirst, topDown,
                                       wholeFrame(height));
}

void NearestNeighbor32FlipX(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                            int blueRow, int greenFirst, int topDown) {
    nearestOnePass<true, true, false>(dst, src, width, height, blueRow, greenFirst, topDown,
                                      wholeFrame(height));
}

void NearestNeighbor16to8(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                          int blueRow, int greenFirst, int topDown) {
    nearestOnePass<false, false, true>(dst, src, width, height, blueRow, greenFirst, topDown,
                                       wholeFrame(height));
}

void NearestNeighbor16to8FlipX(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                               int blueRow, int greenFirst, int topDown) {
    nearestOnePass<false, true, true>(dst, src, width, height, blueRow, greenFirst, topDown,
                                      wholeFrame(height));
}

void NearestNeighbor16to832(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                            int blueRow, int greenFirst, int topDown) {
    nearestOnePass<true, false, true>(dst, src, width, height, blueRow, greenFirst, topDown,
                                      wholeFrame(height));
}

void NearestNeighbor16to832FlipX(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                 int blueRow, int greenFirst, int topDown) {
    nearestOnePass<true, true, true>(dst, src, width, height, blueRow, greenFirst, topDown,
                                     wholeFrame(height));
}

void NearestNeighborSelect(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown,
                           const uint8_t *lut) {
    nearestRows8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, lut, false,
                 wholeFrame(height));
}

void NearestNeighbor32Select(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                             int blueRow, int greenFirst, int flipX, int topDown,
                             const uint8_t *lut) {
    nearestRows8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, lut, true,
                 wholeFrame(height));
}

void NearestNeighbor16to8Select(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                                int blueRow, int greenFirst, int flipX, int topDown, int msbFirst,
                                const uint16_t *lut) {
    nearestRows16to8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, msbFirst, lut,
                     false, wholeFrame(height));
}

void NearestNeighbor16to832Select(uint8_t *dst, const uint16_t *src, uint32_t width,
                                  uint32_t height, int blueRow, int greenFirst, int flipX,
                                  int topDown, int msbFirst, const uint16_t *lut) {
    nearestRows16to8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, msbFirst, lut,
                     true, wholeFrame(height));
}

void SecondNearestNeighbor(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                           int greenFirst) {
    secondNearest<Bgr24>(dst, width, height, blueRow, greenFirst);
}

void SecondNearestNeighbor32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                             int greenFirst) {
    secondNearest<Bgr32>(dst, width, height, blueRow, greenFirst);
}

void SecondNearestNeighbor16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                             int greenFirst) {
    secondNearest<Bgr48>(dst, width, height, blueRow, greenFirst);
}

void NearestNeighborInPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                            int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                            const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        nearestEntry<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                            deinterlace, f);
    });
}

void NearestNeighbor32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                              const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        nearestEntry<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                            deinterlace, f);
    });
}

void NearestNeighbor16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                                 int blueRow, int greenFirst, int flipX, int topDown,
                                 int deinterlace, int msbFirst, const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto f) {
        nearestEntry<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                            deinterlace, f);
    });
}

void NearestNeighbor16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width,
                                   uint32_t height, int blueRow, int greenFirst, int flipX,
                                   int topDown, int deinterlace, int msbFirst,
                                   const uint16_t *lut) {
    withFetch16to8(msbFirst, lut, [&](auto f) {
        nearestEntry<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                            deinterlace, f);
    });
}

void NearestNeighbor16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                              int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                              int msbFirst, const uint16_t *lut) {
    withFetch16(msbFirst, lut, [&](auto f) {
        nearestEntry<Bgr48>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                            deinterlace, f);
    });
}

}  // extern "C"

// The selector overloads under their family names.
void NearestNeighbor(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
                     int greenFirst, int flipX, int topDown, const uint8_t *lut) {
    NearestNeighborSelect(dst, src, width, height, blueRow, greenFirst, flipX, topDown, lut);
}

void NearestNeighbor32(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                       int blueRow, int greenFirst, int flipX, int topDown, const uint8_t *lut) {
    NearestNeighbor32Select(dst, src, width, height, blueRow, greenFirst, flipX, topDown, lut);
}

void NearestNeighbor16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                          int blueRow, int greenFirst, int flipX, int topDown, int msbFirst,
                          const uint16_t *lut) {
    NearestNeighbor16to8Select(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                               msbFirst, lut);
}

void NearestNeighbor16to832(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                            int blueRow, int greenFirst, int flipX, int topDown, int msbFirst,
                            const uint16_t *lut) {
    NearestNeighbor16to832Select(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                                 msbFirst, lut);
}
