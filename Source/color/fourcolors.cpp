// Four-colour planes: blue, Gb (greens of blue rows), red and Gr (greens of red
// rows) kept apart in the four bytes of a 32-bit pixel, each filled by bilinear
// means of the nearest pixels that carry it. Folding the four planes into three
// channels is left to the colour-matrix stage.
//
// The entry builds the result straight from the raw frame in one walk: the
// second pass reads nothing but the placed samples, so taking them from the
// frame at the same positions gives the same picture as placing them first.
#include <cstddef>
#include <initializer_list>
#include <type_traits>

#include "color/kernel_common.h"
#include "color/simd_rows.h"
#include "vocamkernels.h"

namespace vocam::kernels {
namespace {

// All four planes of pixel x of a row with the given phase. own(x, dy) is the
// placed sample of column x in the row dy = -1, 0 or +1 rows away; hasUp and
// hasDown tell whether those rows exist.
template <class Own>
inline void fourColorsPixel(uint8_t *p, uint32_t x, uint32_t width, bool hasUp, bool hasDown,
                            Phase phase, Own own) {
    const Phase across = phase.next();
    const bool hasLeft = x > 0, hasRight = x + 1 < width;
    p[phase.planeAt(x)] = uint8_t(own(x, 0));
    // Plane of the horizontal neighbours.
    uint32_t sum = (hasLeft ? own(x - 1, 0) : 0u) + (hasRight ? own(x + 1, 0) : 0u);
    p[phase.planeAt(x + 1)] = uint8_t((hasLeft && hasRight) ? sum >> 1 : sum);
    // Plane of the vertical neighbours.
    sum = (hasUp ? own(x, -1) : 0u) + (hasDown ? own(x, 1) : 0u);
    p[across.planeAt(x)] = uint8_t((hasUp && hasDown) ? sum >> 1 : sum);
    // Plane of the diagonal neighbours: four, two on a border, one in a corner.
    uint32_t n = 0;
    sum = 0;
    for (int dy : {-1, 1}) {
        if (dy < 0 ? !hasUp : !hasDown) continue;
        if (hasLeft) sum += own(x - 1, dy), ++n;
        if (hasRight) sum += own(x + 1, dy), ++n;
    }
    p[across.planeAt(x + 1)] = uint8_t(n == 4 ? sum >> 2 : n == 2 ? sum >> 1 : sum);
}

template <bool Flip, class Fetch>
void fourColorsFromSource(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                          int blueRow, int greenFirst, int topDown, int deinterlace, Fetch fetch) {
    if (!mosaicSizeOk(width, height)) return;
    FourColorsRowFn body = nullptr;
    if constexpr (std::is_same_v<Fetch, Fetch8>) {
        if (const SimdRows *simd = simdRows()) body = simd->fourColors[Flip ? 1 : 0];
    }
    auto sourceRow = [&](uint32_t m) {
        return src +
               size_t(wovenSourceRow(memoryRow(m, height, topDown), height, deinterlace)) * width;
    };
    const Phase first = memoryPhase(blueRow, greenFirst, Flip, topDown);
    for (uint32_t m = 0; m < height; ++m) {
        const Phase phase = phaseOfRow(first, m);
        const uint8_t *rows[3] = {m > 0 ? sourceRow(m - 1) : nullptr, sourceRow(m),
                                  m + 1 < height ? sourceRow(m + 1) : nullptr};
        auto own = [&](uint32_t x, int dy) -> uint32_t {
            return fetch(rows[dy + 1], Flip ? width - 1 - x : x);
        };
        uint8_t *out = dst + size_t(m) * width * 4;
        const bool hasUp = rows[0] != nullptr, hasDown = rows[2] != nullptr;
        uint32_t x = 0;
        if (body && hasUp && hasDown) {
            for (; x < 2; ++x) fourColorsPixel(out + 4 * x, x, width, true, true, phase, own);
            x = body(out, rows[1], rows[0], rows[2], width, phase.greenFirst, phase.blueRow);
        }
        for (; x < width; ++x) fourColorsPixel(out + 4 * x, x, width, hasUp, hasDown, phase, own);
    }
}

}  // namespace
}  // namespace vocam::kernels

using namespace vocam::kernels;

extern "C" {

// Reads only the plane each pixel carries and writes only the others, so the
// order of the walk does not matter.
void SecondFourColorsInterMove32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                 int greenFirst) {
    if (!mosaicSizeOk(width, height)) return;
    const size_t stride = size_t(width) * 4;
    const Phase first{blueRow != 0, greenFirst != 0};
    for (uint32_t y = 0; y < height; ++y) {
        const Phase phase = phaseOfRow(first, y);
        uint8_t *row = dst + y * stride;
        auto own = [&](uint32_t x, int dy) -> uint32_t {
            const Phase ph = dy == 0 ? phase : phase.next();
            return (row + dy * ptrdiff_t(stride))[size_t(x) * 4 + ph.planeAt(x)];
        };
        for (uint32_t x = 0; x < width; ++x)
            fourColorsPixel(row + size_t(x) * 4, x, width, y > 0, y + 1 < height, phase, own);
    }
}

void FourColorsInterMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                  int blueRow, int greenFirst, int flipX, int topDown,
                                  int deinterlace, const uint8_t *lut) {
    withFetch8(lut, [&](auto f) {
        if (flipX)
            fourColorsFromSource<true>(dst, src, width, height, blueRow, greenFirst, topDown,
                                       deinterlace, f);
        else
            fourColorsFromSource<false>(dst, src, width, height, blueRow, greenFirst, topDown,
                                        deinterlace, f);
    });
}

}  // extern "C"
