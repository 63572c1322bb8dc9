// Vectorised interior spans of the edge-detecting one-pass kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocam::kernels::simd {

// Computes interior pixels x = 1, 2, ... of one source row (1 <= y <= H-2) in
// whole blocks and returns the first x it did not compute; the caller finishes
// the row up to x = W-2 with the scalar rules. `cur` is the row's first sample,
// `rowBytes` the distance to the next source row, `outRow` the start of the
// memory row the source row is stored to. `green1` tells whether pixel 1 is a
// green site. Never reads outside the source rows y-1 .. y+1.
using EdgeSpanFn = uint32_t (*)(uint8_t *outRow, const uint8_t *cur, size_t rowBytes,
                                uint32_t width, bool blueRow, bool green1);

// The span for P bytes per output pixel (3 or 4), a sample every Step bytes
// (1 or 2) and mirrored output, for the best instruction set allowed; null
// when there is none.
EdgeSpanFn edgeSpan(uint32_t P, uint32_t Step, bool flip);

}  // namespace vocam::kernels::simd
