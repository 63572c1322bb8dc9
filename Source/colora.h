// Internals of the frame conversion shared with the tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocam::colour {

// The fixed-point colour-matrix stage over count packed pixels, in place,
// on the widest vector unit allowed (color/isa.h).
void matrix24(const short *m, std::uint8_t *pixels, std::size_t count);
void matrix32(const short *m, std::uint8_t *pixels, std::size_t count);
void matrix48(const short *m, std::uint16_t *pixels, std::size_t count);

}  // namespace vocam::colour
