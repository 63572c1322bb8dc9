// Vectorised gradient-corrected path: the body in gradient_simd_body.inc,
// built for SSE4.1 and for AVX2 and chosen at run time.
#include "color/gradient_simd.h"

#include <initializer_list>

#include "color/edge_rules.h"
#include "color/kernel_common.h"
#include "color/simd_pixels.h"

namespace vocam::kernels::simd {

#ifdef VOCAM_KERNELS_X86

#define VOCAM_LANES_NS sse41
#define VOCAM_LANES_ATTR VOCAM_SSE41
#define VOCAM_LANES_WIDE 0
#include "color/gradient_simd_body.inc"
#undef VOCAM_LANES_NS
#undef VOCAM_LANES_ATTR
#undef VOCAM_LANES_WIDE

#define VOCAM_LANES_NS avx2
#define VOCAM_LANES_ATTR VOCAM_AVX2
#define VOCAM_LANES_WIDE 1
#include "color/gradient_simd_body.inc"
#undef VOCAM_LANES_NS
#undef VOCAM_LANES_ATTR
#undef VOCAM_LANES_WIDE

bool gradientFromRaw(uint8_t *dst, const uint8_t *src, uint32_t P, uint32_t Step, uint32_t width,
                     uint32_t height, Phase row0, int flipX, int topDown, int deinterlace,
                     const RowFetch *fetch) {
    if (width > kGradientMaxWidth) return false;
    switch (bestIsa()) {
        case Isa::kAvx2:
            avx2::pickGradient(P, Step, flipX != 0, fetch != nullptr)(dst, src, width, height, row0,
                                                                      topDown, deinterlace, fetch);
            return true;
        case Isa::kSse41:
            sse41::pickGradient(P, Step, flipX != 0, fetch != nullptr)(
                dst, src, width, height, row0, topDown, deinterlace, fetch);
            return true;
        default:
            return false;
    }
}

#else

bool gradientFromRaw(uint8_t *, const uint8_t *, uint32_t, uint32_t, uint32_t, uint32_t, Phase, int,
                     int, int) {
    return false;
}

#endif

}  // namespace vocam::kernels::simd
