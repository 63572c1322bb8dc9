// Vectorised interior spans of the edge-detecting one-pass kernels: the body
// in edge_detect_simd_body.inc, built once per instruction set and chosen at
// run time. The arithmetic is the scalar rules' exactly: floor means and
// larger-minus-smaller differences.
#include "color/edge_detect_simd.h"

#include "color/isa.h"
#include "color/kernel_common.h"
#include "color/simd_pixels.h"

namespace vocam::kernels::simd {

namespace {

struct EdgeBodies {
    EdgeSpanFn (*pick)(uint32_t P, uint32_t Step, bool flip);
};

#define VOCAM_ISA_BODY "color/edge_detect_simd_body.inc"
#define VOCAM_ISA_TABLE EdgeBodies
#include "color/per_isa.inc"

}  // namespace

EdgeSpanFn edgeSpan(uint32_t P, uint32_t Step, bool flip) {
    const EdgeBodies *bodies = widestBodies(kPerIsa);
    return bodies ? bodies->pick(P, Step, flip) : nullptr;
}

}  // namespace vocam::kernels::simd
