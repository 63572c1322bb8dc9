// The fixed-point colour-matrix stage over count packed pixels read from in
// and written to out (the same address, or apart), on the widest vector unit
// allowed (color/isa.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocam::colour {

void matrix24(const short *m, const std::uint8_t *in, std::uint8_t *out, std::size_t count);
void matrix32(const short *m, const std::uint8_t *in, std::uint8_t *out, std::size_t count);
void matrix48(const short *m, const std::uint16_t *in, std::uint16_t *out, std::size_t count);

}  // namespace vocam::colour
