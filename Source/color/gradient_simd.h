// Gradient-corrected picture straight from the raw frame, vectorised.
//
// Every value of the gradient-corrected interpolation is a function of the
// fetched samples, and the interpolation treats both directions of each axis
// alike, so the picture can be computed in source coordinates from the raw
// rows and stored mirrored and bottom-up directly. The greens of three rows
// are kept in a small planar ring on the stack; nothing else is buffered.
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
bool gradientFromRaw(uint8_t *dst, const uint8_t *src, uint32_t P, uint32_t Step, uint32_t width,
                     uint32_t height, Phase row0, int flipX, int topDown, int deinterlace);

}  // namespace vocam::kernels::simd
