// Plain model of the colour matrix stage: each output channel is the 4.12
// fixed-point dot product of the matrix row with the pixel's channels,
// clamped to the element's range before the shift.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace vocam::ref {

using Matrix = std::array<std::int16_t, 12>;

// `stride` elements per pixel, all of which the matrix reads: 3 of 24- and
// 48-bit pixels, 4 of 32-bit ones.
template <class T>
void matrix(const Matrix &m, T *p, std::size_t count, int stride) {
    const std::int64_t top = std::int64_t{std::numeric_limits<T>::max()} << 12;
    for (std::size_t i = 0; i < count; ++i, p += stride) {
        std::int64_t s[3] = {};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < stride; ++c) s[r] += std::int64_t{m[4 * r + c]} * p[c];
        for (int r = 0; r < 3; ++r)
            p[r] = static_cast<T>(std::clamp<std::int64_t>(s[r], 0, top) >> 12);
    }
}

}  // namespace vocam::ref
