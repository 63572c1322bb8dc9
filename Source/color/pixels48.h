// Shuffle controls shared by the vector paths that write 48-bit pixels from
// planes of eight 16-bit values per 128-bit lane.
#pragma once

#include <array>
#include <cstdint>

namespace vocam::kernels::simd {

using Mask = std::array<int8_t, 16>;

// Byte j of output vector v holds byte (16v + j) of eight interleaved 48-bit
// pixels: channel ((16v + j) % 6) / 2 of pixel (16v + j) / 6; the mask of
// plane c picks those bytes from its eight 16-bit values.
constexpr std::array<std::array<Mask, 3>, 3> Interleave48() {
    std::array<std::array<Mask, 3>, 3> t{};
    for (int v = 0; v < 3; ++v)
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 16; ++j) {
                const int g = 16 * v + j;
                const int k = g / 6, within = g % 6;
                t[v][c][j] = static_cast<int8_t>(within / 2 == c ? 2 * k + within % 2 : -1);
            }
    return t;
}
alignas(16) inline constexpr auto kInterleave48 = Interleave48();
// Eight 16-bit values in reverse order.
alignas(16) inline constexpr Mask kReverse16 = {14, 15, 12, 13, 10, 11, 8, 9,
                                                6,  7,  4,  5,  2,  3,  0, 1};

}  // namespace vocam::kernels::simd
