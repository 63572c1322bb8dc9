// Gradient-corrected picture straight from the raw frame, vectorised.
//
// Every value of the gradient-corrected interpolation is a function of the
// fetched samples, and the interpolation treats both directions of each axis
// alike, so the picture can be computed in source coordinates from the raw
// rows and stored mirrored and bottom-up directly. The greens of three rows
// are kept in a small planar ring on the stack, and so are five rows of
// samples when they go through a table.
#pragma once

#include <cstdint>

#include "color/kernel_common.h"

namespace vocam::kernels::simd {

// Widest frame the stack ring of greens serves; wider frames take the
// in-place path.
constexpr uint32_t kGradientMaxWidth = 8192;

// Computes the whole 24-bit (P = 3) or 32-bit (P = 4, byte 3 kept) picture
// from samples one every Step bytes (1: 8-bit frame; 2: the selected byte of
// a 16-bit frame), without table. row0 is the phase of source row 0. Returns
// false, touching nothing, when no vector unit is allowed or the frame is
// wider than kGradientMaxWidth.
// Samples that need a table or a byte exchange are fetched a row at a time:
// fn writes the `width` fetched samples of source row `srcRow` to `out`.
struct RowFetch {
    void (*fn)(const void *ctx, uint32_t srcRow, uint8_t *out);
    const void *ctx;
};

// With `fetch` given, `src` and Step are not used.
bool gradientFromRaw(uint8_t *dst, const uint8_t *src, uint32_t P, uint32_t Step, uint32_t width,
                     uint32_t height, Phase row0, int flipX, int topDown, int deinterlace,
                     const RowFetch *fetch = nullptr);

// The 48-bit picture from 16-bit samples, which pass through fetch (table or
// byte order) a row at a time into a ring of five rows: fn writes the `width`
// samples of source row `srcRow` to `out`. Returns false, touching nothing,
// when no vector unit is allowed or the frame is wider than
// kGradientMaxWidth.
struct RowFetch16 {
    void (*fn)(const void *ctx, uint32_t srcRow, uint16_t *out);
    const void *ctx;
};
bool gradient48FromRows(uint16_t *dst, const RowFetch16 &fetch, uint32_t width, uint32_t height,
                        Phase row0, int flipX, int topDown, int deinterlace);

}  // namespace vocam::kernels::simd
