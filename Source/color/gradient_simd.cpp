#include "color/gradient_simd.h"

namespace vocam::kernels::simd {

template <class Px>
GradientRows<Px> gradientRows() {
    return {};
}

template GradientRows<Bgr24> gradientRows<Bgr24>();
template GradientRows<Bgr32> gradientRows<Bgr32>();
template GradientRows<Bgr48> gradientRows<Bgr48>();

}  // namespace vocam::kernels::simd
