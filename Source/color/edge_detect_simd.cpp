// Vectorised interior spans of the edge-detecting one-pass kernels: the body
// in edge_detect_simd_body.inc, built for SSE4.1 and for AVX2 and chosen at
// run time. The arithmetic is the scalar rules' exactly: floor means and
// larger-minus-smaller differences.
#include "color/edge_detect_simd.h"

#include "color/kernel_common.h"
#include "color/simd_pixels.h"

namespace vocam::kernels::simd {

#ifdef VOCAM_KERNELS_X86

#define VOCAM_LANES_NS sse41
#define VOCAM_LANES_ATTR VOCAM_SSE41
#define VOCAM_LANES_WIDE 0
#include "color/edge_detect_simd_body.inc"
#undef VOCAM_LANES_NS
#undef VOCAM_LANES_ATTR
#undef VOCAM_LANES_WIDE

#define VOCAM_LANES_NS avx2
#define VOCAM_LANES_ATTR VOCAM_AVX2
#define VOCAM_LANES_WIDE 1
#include "color/edge_detect_simd_body.inc"
#undef VOCAM_LANES_NS
#undef VOCAM_LANES_ATTR
#undef VOCAM_LANES_WIDE

EdgeSpanFn edgeSpan(uint32_t P, uint32_t Step, bool flip) {
    switch (bestIsa()) {
        case Isa::kAvx2:
            return avx2::pickEdge(P, Step, flip);
        case Isa::kSse41:
            return sse41::pickEdge(P, Step, flip);
        default:
            return nullptr;
    }
}

#else

EdgeSpanFn edgeSpan(uint32_t, uint32_t, bool) {
    return nullptr;
}

#endif

}  // namespace vocam::kernels::simd
