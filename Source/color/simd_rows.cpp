// The row bodies of simd_rows.inc for every instruction set.
#include "color/simd_rows.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <array>

namespace vocam::kernels {

namespace {
#define VOCAM_ISA_BODY "color/simd_rows.inc"
#define VOCAM_ISA_TABLE SimdRows
#include "color/per_isa.inc"
}  // namespace

const SimdRows *simdRows() {
    return widestBodies(kPerIsa);
}

}  // namespace vocam::kernels
