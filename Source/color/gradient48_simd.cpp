// Vectorised gradient-corrected path into 48-bit pixels: the body in
// gradient48_simd_body.inc, built once per instruction set and chosen at run
// time.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "color/edge_rules.h"
#include "color/gradient.h"
#include "color/gradient_simd.h"
#include "color/isa.h"
#include "color/kernel_common.h"
#include "color/pixels48.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vocam::kernels::simd {

namespace {

using Gradient48Fn = void (*)(uint16_t *, const RowFetch16 &, uint32_t, uint32_t, Phase, int, int);
struct Gradient48Bodies {
    Gradient48Fn run[2];  // index: mirrored
};

#define VOCAM_ISA_BODY "color/gradient48_simd_body.inc"
#define VOCAM_ISA_TABLE Gradient48Bodies
#include "color/per_isa.inc"

}  // namespace

bool gradient48FromRows(uint16_t *dst, const RowFetch16 &fetch, uint32_t width, uint32_t height,
                        Phase row0, int flipX, int topDown, int deinterlace) {
    if (width > kGradientMaxWidth) return false;
    const Gradient48Bodies *bodies = widestBodies(kPerIsa);
    if (bodies == nullptr) return false;
    bodies->run[flipX ? 1 : 0](dst, fetch, width, height, row0, topDown, deinterlace);
    return true;
}

}  // namespace vocam::kernels::simd
