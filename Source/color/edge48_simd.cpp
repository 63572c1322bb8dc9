// Vectorised interior spans of the edge-detecting kernel into 48-bit pixels:
// the body in edge48_simd_body.inc, built once per instruction set.
#include <array>
#include <cstddef>
#include <cstdint>

#include "color/edge_detect_simd.h"
#include "color/isa.h"
#include "color/pixels48.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vocam::kernels::simd {

namespace {

struct Edge48Bodies {
    Edge48SpanFn span[2];  // index: mirrored
};

#define VOCAM_ISA_BODY "color/edge48_simd_body.inc"
#define VOCAM_ISA_TABLE Edge48Bodies
#include "color/per_isa.inc"

}  // namespace

Edge48SpanFn edge48Span(bool flip) {
    const Edge48Bodies *bodies = widestBodies(kPerIsa);
    return bodies ? bodies->span[flip ? 1 : 0] : nullptr;
}

}  // namespace vocam::kernels::simd
