// Four-colour planes: blue, Gb (greens of blue rows), red and Gr (greens of red
// rows) kept apart in the four bytes of a 32-bit pixel, each filled by bilinear
// means of the nearest pixels that carry it. Folding the four planes into three
// channels is left to the colour-matrix stage.
#include <initializer_list>

#include "color/kernel_common.h"
#include "vocamkernels.h"

using namespace vocam::kernels;

extern "C" {

// Reads only the plane each pixel carries and writes only the others, so the
// order of the walk does not matter.
void SecondFourColorsInterMove32(uint8_t *dst, uint32_t width, uint32_t height, int blueRow,
                                 int greenFirst) {
    const size_t stride = size_t(width) * 4;
    Phase phase{blueRow != 0, greenFirst != 0};
    for (uint32_t y = 0; y < height; ++y, phase = phase.next()) {
        const Phase across = phase.next();
        uint8_t *row = dst + y * stride;
        const uint8_t *above = y > 0 ? row - stride : nullptr;
        const uint8_t *below = y + 1 < height ? row + stride : nullptr;
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t *p = row + size_t(x) * 4;
            const bool hasLeft = x > 0, hasRight = x + 1 < width;
            // Plane of the horizontal neighbours.
            const uint32_t hp = phase.planeAt(x + 1);
            uint32_t sum = (hasLeft ? (p - 4)[hp] : 0u) + (hasRight ? p[hp + 4] : 0u);
            p[hp] = uint8_t((hasLeft && hasRight) ? sum >> 1 : sum);
            // Plane of the vertical neighbours.
            const uint32_t vp = across.planeAt(x);
            const size_t at = size_t(x) * 4;
            sum = (above ? above[at + vp] : 0u) + (below ? below[at + vp] : 0u);
            p[vp] = uint8_t((above && below) ? sum >> 1 : sum);
            // Plane of the diagonal neighbours.
            const uint32_t dp = across.planeAt(x + 1);
            uint32_t n = 0;
            sum = 0;
            for (const uint8_t *r : {above, below}) {
                if (!r) continue;
                if (hasLeft) sum += r[at - 4 + dp], ++n;
                if (hasRight) sum += r[at + 4 + dp], ++n;
            }
            p[dp] = uint8_t(n == 4 ? sum >> 2 : n == 2 ? sum >> 1 : sum);
        }
    }
}

void FourColorsInterMove32InPlace(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height,
                                  int blueRow, int greenFirst, int flipX, int topDown,
                                  int deinterlace, const uint8_t *lut) {
    FirstCopyFourColors32(dst, src, width, height, blueRow, greenFirst, flipX, topDown, deinterlace,
                          lut);
    const Phase p = memoryPhase(blueRow, greenFirst, flipX, topDown);
    SecondFourColorsInterMove32(dst, width, height, p.blueRow, p.greenFirst);
}

}  // extern "C"
