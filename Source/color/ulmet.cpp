// 2x2-block interpolation: every pixel takes its missing colours from the 2x2
// block of sites that ends at it (columns x - 1 and x, rows y - 1 and y), and
// away from the first row and column its green becomes the mean of the block's
// two greens.
//
// The entries build the result straight from the raw frame in one walk. The
// two-pass form (FirstCopy..., then SecondUlmetMove...) reads only raw samples
// of the placed mosaic -- its backward order guarantees that -- so computing
// each pixel from the fetched samples of the same positions gives the same
// picture without the extra walk over the output.
#include <type_traits>

#include "color/kernel_common.h"
#include "color/row_kernels.h"
#include "color/simd_rows.h"
#include "vocamkernels.h"

namespace vocam::kernels {
namespace {

// The rule for pixels x0 .. x1 - 1 of memory row m, last pixel first. P(x,
// false) is the placed sample at column x of row m, P(x, true) that of the
// looked-at row (row m - 1, or row 1 for row 0). put(x, rowColour, green,
// otherColour) stores the pixel.
template <class S, class Put>
inline void ulmetPixels(uint32_t x0, uint32_t x1, bool firstRow, bool greenFirst, S P, Put put) {
    for (uint32_t x = x1; x-- > x0;) {
        const bool green = ((x & 1) != 0) != greenFirst;
        if (x == 0) {
            if (green)
                put(0, P(1, false), P(0, false), P(0, true));
            else if (firstRow)
                put(0, P(0, false), (P(1, false) + P(0, true)) >> 1, P(1, true));
            else
                put(0, P(0, false), P(0, true), P(1, true));
        } else if (firstRow) {
            if (green)
                put(x, P(x - 1, false), P(x, false), P(x, true));
            else
                put(x, P(x, false), P(x - 1, false), P(x - 1, true));
        } else {
            if (green)
                put(x, P(x - 1, false), (P(x - 1, true) + P(x, false)) >> 1, P(x, true));
            else
                put(x, P(x, false), (P(x, true) + P(x - 1, false)) >> 1, P(x - 1, true));
        }
    }
}

template <class Px>
struct PixelWriter {
    typename Px::T *row;
    uint32_t rc, oc;
    const short *m = nullptr;  // the colour matrix of 8-bit pixels, or null
    void operator()(uint32_t x, uint32_t rowColour, uint32_t green, uint32_t other) const {
        typename Px::T *p = row + size_t(x) * Px::kStep;
        p[rc] = typename Px::T(rowColour);
        p[kGreen] = typename Px::T(green);
        p[oc] = typename Px::T(other);
        if constexpr (!std::is_same_v<Px, Bgr48>)
            if (m) matrixPixel<Px::kStep == 4>(m, p);
    }
};

// In place on a placed mosaic: rows from the last up, then row 0, each from its
// last pixel back, so every sample is read before any green it depends on is
// replaced.
template <class Px>
void secondUlmet(typename Px::T *dst, uint32_t width, uint32_t height, int blueRow,
                 int greenFirst) {
    if (!mosaicSizeOk(width, height)) return;
    using T = typename Px::T;
    const size_t stride = rowElems<Px>(width);
    const Phase first{blueRow != 0, greenFirst != 0};
    auto runRow = [&](uint32_t m) {
        const Phase phase = phaseOfRow(first, m);
        const Phase lookedPhase = phase.next();
        T *row = dst + m * stride;
        const T *looked = dst + (m == 0 ? 1 : m - 1) * stride;
        auto P = [&](uint32_t x, bool other) -> uint32_t {
            return other ? looked[x * Px::kStep + lookedPhase.channelAt(x)]
                         : row[x * Px::kStep + phase.channelAt(x)];
        };
        ulmetPixels(0, width, m == 0, phase.greenFirst, P,
                    PixelWriter<Px>{row, phase.rowColour(), phase.otherColour()});
    };
    for (uint32_t m = height - 1; m >= 1; --m) runRow(m);
    runRow(0);
}

// One walk from the raw frame. Memory row m holds output row memoryRow(m),
// woven from its source row; memory column x holds source column x, or
// width - 1 - x when mirrored.
template <class Px, bool Flip, class Fetch>
void ulmetFromSource(typename Px::T *dst, const typename Fetch::In *src, uint32_t width,
                     uint32_t height, int blueRow, int greenFirst, int topDown, int deinterlace,
                     Fetch fetch, RowJob job) {
    if (!mosaicSizeOk(width, height)) return;
    using In = typename Fetch::In;
    const size_t stride = rowElems<Px>(width);
    UlmetRowFn body = nullptr;
    uint32_t byteSel = 0;
    if constexpr (std::is_same_v<Fetch, Fetch8> || std::is_same_v<Fetch, Fetch16to8>) {
        constexpr bool wide = std::is_same_v<Fetch, Fetch16to8>;
        if constexpr (wide) byteSel = fetch.byte;
        if (const SimdRows *simd = simdRows())
            body = simd->ulmet[simdIndex(std::is_same_v<Px, Bgr32>, Flip, wide)];
    }
    UlmetRow16Fn body16 = nullptr;
    if constexpr (std::is_same_v<Px, Bgr48> &&
                  (std::is_same_v<Fetch, Fetch16> || std::is_same_v<Fetch, Fetch16Swap>)) {
        if (const SimdRows *simd = simdRows()) body16 = simd->ulmet16[Flip ? 1 : 0];
    }
    constexpr bool swap = std::is_same_v<Fetch, Fetch16Swap>;
    auto sourceRow = [&](uint32_t m) -> const In * {
        return src +
               size_t(wovenSourceRow(memoryRow(m, height, topDown), height, deinterlace)) * width;
    };
    const Phase first = memoryPhase(blueRow, greenFirst, Flip, topDown);
    for (uint32_t m = job.begin; m < job.end && m < height; ++m) {
        const Phase phase = phaseOfRow(first, m);
        const In *cur = sourceRow(m);
        const In *looked = sourceRow(m == 0 ? 1 : m - 1);
        auto P = [&](uint32_t x, bool other) -> uint32_t {
            return fetch(other ? looked : cur, Flip ? width - 1 - x : x);
        };
        typename Px::T *out = dst + m * stride;
        const PixelWriter<Px> put{out, phase.rowColour(), phase.otherColour(), job.m};
        if ((body || body16) && m > 0) {
            uint32_t done;
            if constexpr (std::is_same_v<Px, Bgr48>)
                done = body16(out, cur, looked, width, phase.greenFirst, phase.blueRow, swap);
            else
                done =
                    body(reinterpret_cast<uint8_t *>(out), reinterpret_cast<const uint8_t *>(cur),
                         reinterpret_cast<const uint8_t *>(looked), width, phase.greenFirst,
                         phase.blueRow, byteSel, job.m);
            ulmetPixels(done, width, false, phase.greenFirst, P, put);
            ulmetPixels(0, 2, false, phase.greenFirst, P, put);
        } else {
            ulmetPixels(0, width, m == 0, phase.greenFirst, P, put);
        }
    }
}

template <class Px, class Fetch>
void ulmetEntry(typename Px::T *dst, const typename Fetch::In *src, uint32_t width, uint32_t height,
                int blueRow, int greenFirst, int flipX, int topDown, int deinterlace, Fetch fetch,
                RowJob job) {
    if (flipX)
        ulmetFromSource<Px, true>(dst, src, width, height, blueRow, greenFirst, topDown,
                                  deinterlace, fetch, job);
    else
        ulmetFromSource<Px, false>(dst, src, width, height, blueRow, greenFirst, topDown,
                                   deinterlace, fetch, job);
}

}  // namespace

void ulmetRows8(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
                int greenFirst, int flipX, int topDown, int deinterlace, const uint8_t *lut,
                bool out32, RowJob job) {
    withFetch8(lut, [&](auto f) {
        if (out32)
            ulmetEntry<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              deinterlace, f, job);
        else
            ulmetEntry<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              deinterlace, f, job);
    });
}

void ulmetRows16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int blueRow,
                    int greenFirst, int flipX, int topDown, int deinterlace, int msbFirst,
                    const uint16_t *lut, bool out32, RowJob job) {
    withFetch16to8(msbFirst, lut, [&](auto f) {
        if (out32)
            ulmetEntry<Bgr32>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              deinterlace, f, job);
        else
            ulmetEntry<Bgr24>(dst, src, width, height, blueRow, greenFirst, flipX, topDown,
                              deinterlace, f, job);
    });
}

}  // namespace vocam::kernels

using namespace vocam::kernels;

extern "C" {

void SecondUlmetMove(uint8_t *dst, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    secondUlmet<Bgr24>(dst, width, height, blueRow, greenFirst);
}

void SecondUlmetMove32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow, int greenFirst) {
    secondUlmet<Bgr32>(dst, width, height, blueRow, greenFirst);
}

void SecondUlmetMove16(uint16_t *dst, uint32_t width, uint32_t height, int blueRow,
                       int greenFirst) {
    secondUlmet<Bgr48>(dst, width, height, blueRow, greenFirst);
}

void UlmetMoveInPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                      int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                      const uint8_t *lut) {
    ulmetRows8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace, lut,
               false, wholeFrame(height));
}

void UlmetMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                        int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                        const uint8_t *lut) {
    ulmetRows8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace, lut, true,
               wholeFrame(height));
}

void UlmetMove16to8InPlace(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                           int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                           int msbFirst, const uint16_t *lut) {
    ulmetRows16to8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                   msbFirst, lut, false, wholeFrame(height));
}

void UlmetMove16to832InPlace(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                             int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                             int msbFirst, const uint16_t *lut) {
    ulmetRows16to8(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                   msbFirst, lut, true, wholeFrame(height));
}

void UlmetMove16InPlace(uint16_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                        int blueRow, int greenFirst, int flipX, int topDown, int deinterlace,
                        int msbFirst, const uint16_t *lut) {
    withFetch16(msbFirst, lut, [&](auto f) {
        ulmetEntry<Bgr48>(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                          f, wholeFrame(height));
    });
}

}  // extern "C"
