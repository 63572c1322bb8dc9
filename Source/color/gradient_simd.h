// Vectorised rows of the gradient-corrected interpolation.
#pragma once

#include <cstdint>

#include "color/gradient.h"
#include "color/kernel_common.h"

namespace vocam::kernels::simd {

// Row steps with the contract of gradient::Job::greenRow (for 2 <= y <= H-3)
// and gradient::Job::colourRow; null members take the scalar rows.
template <class Px>
struct GradientRows {
    static constexpr int kMax = sizeof(typename Px::T) == 1 ? 255 : 65535;
    using JobT = gradient::Job<Px, kMax>;
    void (*green)(const JobT &, uint32_t y) = nullptr;
    void (*colour)(const JobT &, uint32_t y) = nullptr;
};

// The best vectorised rows the processor allows for layout Px.
template <class Px>
GradientRows<Px> gradientRows();

}  // namespace vocam::kernels::simd
