// Vectorised gradient-corrected path: the body in gradient_simd_body.inc,
// built for SSE4.1 and for AVX2 and chosen at run time.
#include "color/gradient_simd.h"

#include "color/edge_rules.h"
#include "color/kernel_common.h"
#include "color/simd_pixels.h"

namespace vocam::kernels::simd {

#ifdef VOCAM_KERNELS_X86

#define GRAD_NS sse41
#define GRAD_ATTR VOCAM_SSE41
#define GRAD_WIDE 0
#include "color/gradient_simd_body.inc"
#undef GRAD_NS
#undef GRAD_ATTR
#undef GRAD_WIDE

#define GRAD_NS avx2
#define GRAD_ATTR VOCAM_AVX2
#define GRAD_WIDE 1
#include "color/gradient_simd_body.inc"
#undef GRAD_NS
#undef GRAD_ATTR
#undef GRAD_WIDE

bool gradientFromRaw(uint8_t *dst, const uint8_t *src, uint32_t P, uint32_t Step, uint32_t width,
                     uint32_t height, Phase row0, int flipX, int topDown, int deinterlace) {
    if (width > kGradientMaxWidth) return false;
    switch (bestIsa()) {
        case Isa::kAvx2:
            avx2::pick(P, Step, flipX != 0)(dst, src, width, height, row0, topDown, deinterlace);
            return true;
        case Isa::kSse41:
            sse41::pick(P, Step, flipX != 0)(dst, src, width, height, row0, topDown, deinterlace);
            return true;
        default:
            return false;
    }
}

#else

bool gradientFromRaw(uint8_t *, const uint8_t *, uint32_t, uint32_t, uint32_t, uint32_t, Phase,
                     int, int, int) {
    return false;
}

#endif

}  // namespace vocam::kernels::simd
