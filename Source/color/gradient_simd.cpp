// Vectorised gradient-corrected path: the body in gradient_simd_body.inc,
// built once per instruction set and chosen at run time.
#include "color/gradient_simd.h"

#include <initializer_list>

#include "color/edge_rules.h"
#include "color/gradient.h"
#include "color/isa.h"
#include "color/kernel_common.h"
#include "color/simd_pixels.h"

namespace vocam::kernels::simd {

namespace {

using GradientRunFn = void (*)(uint8_t *, const uint8_t *, uint32_t, uint32_t, Phase, int, int,
                               const RowFetch *);
struct GradientBodies {
    GradientRunFn (*pick)(uint32_t P, uint32_t Step, bool flip, bool fetched);
};

#define VOCAM_ISA_BODY "color/gradient_simd_body.inc"
#define VOCAM_ISA_TABLE GradientBodies
#include "color/per_isa.inc"

}  // namespace

bool gradientFromRaw(uint8_t *dst, const uint8_t *src, uint32_t P, uint32_t Step, uint32_t width,
                     uint32_t height, Phase row0, int flipX, int topDown, int deinterlace,
                     const RowFetch *fetch) {
    if (width > kGradientMaxWidth) return false;
    const GradientBodies *bodies = widestBodies(kPerIsa);
    if (bodies == nullptr) return false;
    bodies->pick(P, Step, flipX != 0, fetch != nullptr)(dst, src, width, height, row0, topDown,
                                                        deinterlace, fetch);
    return true;
}

}  // namespace vocam::kernels::simd
