// Vectorised interior spans of the edge-detecting one-pass kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocam::kernels::simd {

// Computes interior pixels x = 2, 3, ... of one source row (1 <= y <= H-2)
// in whole blocks and returns the first x it did not compute; the caller
// computes pixel 1 and finishes the row up to x = W-2 with the scalar rules.
// `up`, `cur`, `dn` are the first samples of source rows y-1, y, y+1, `outRow`
// the start of the memory row the source row is stored to. `green0` tells
// whether pixel 0 is a green site. Reads only samples 0 .. W-1 of the rows.
using EdgeSpanFn = uint32_t (*)(uint8_t *outRow, const uint8_t *up, const uint8_t *cur,
                                const uint8_t *dn, uint32_t width, bool blueRow, bool green0);

// The span for P bytes per output pixel (3 or 4), a sample every Step bytes
// (1 or 2) and mirrored output, for the best instruction set allowed; null
// when there is none.
EdgeSpanFn edgeSpan(uint32_t P, uint32_t Step, bool flip);

// The same into 48-bit pixels from rows of 16-bit samples (already through
// the table and byte order), one pixel per 16-bit lane.
using Edge48SpanFn = uint32_t (*)(uint16_t *outRow, const uint16_t *up, const uint16_t *cur,
                                  const uint16_t *dn, uint32_t width, bool blueRow, bool green0);
Edge48SpanFn edge48Span(bool flip);

}  // namespace vocam::kernels::simd
