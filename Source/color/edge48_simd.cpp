// Vectorised interior spans of the edge-detecting kernel into 48-bit pixels:
// the body in edge48_simd_body.inc, built once per instruction set.
#include <array>
#include <cstddef>
#include <cstdint>

#include "color/edge_detect_simd.h"
#include "color/isa.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vocam::kernels::simd {

namespace {

using Mask = std::array<int8_t, 16>;

// Byte j of output vector v holds byte (16v + j) of eight interleaved 48-bit
// pixels: channel ((16v + j) % 6) / 2 of pixel (16v + j) / 6; the mask of
// plane c picks those bytes from its eight 16-bit values.
constexpr std::array<std::array<Mask, 3>, 3> Interleave48() {
    std::array<std::array<Mask, 3>, 3> t{};
    for (int v = 0; v < 3; ++v)
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 16; ++j) {
                const int g = 16 * v + j;
                const int k = g / 6, within = g % 6;
                t[v][c][j] = static_cast<int8_t>(within / 2 == c ? 2 * k + within % 2 : -1);
            }
    return t;
}
alignas(16) constexpr auto kInterleave48 = Interleave48();
// Eight 16-bit values in reverse order.
alignas(16) constexpr Mask kReverse16 = {14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1};

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
