// The 16-bit colour-matrix stage in 32-bit sums.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocam::colour {

// Whether every sum the matrix m can form from 16-bit samples lies in the
// signed 32-bit range (and the faster stage below applies).
bool matrix48Narrow(const short *m);

// Runs the widest vector body allowed over whole steps of count pixels when
// m is narrow; returns the pixels left (count when nothing ran).
std::size_t matrix48NarrowSteps(const short *m, const std::uint16_t *in, std::uint16_t *out,
                                std::size_t count);

}  // namespace vocam::colour
