// Vector bodies of the hottest row loops, built once per instruction set
// (simd_rows.cpp from simd_rows.inc) and picked at run time.
// Each body handles whole 16-pixel blocks from pixel 2 on and returns the first
// pixel it left to the portable code, which finishes the row identically.
// The 8-bit bodies take the fixed-point colour matrix m (null: none) and
// apply it to each block while it is still in registers, with the bytes
// matrixPixel() gives.
#pragma once

#include <cstdint>

#include "color/isa.h"
#include "color/kernel_common.h"

namespace vocam::kernels {

// Nearest neighbour, one row of a one-pass kernel. cur and up point at the
// first byte to use of the current and the looked-at source rows (every second
// byte when wide). greenFirst and blueRow are the phase of the current row.
using NearestRowFn = uint32_t (*)(uint8_t *out, const uint8_t *cur, const uint8_t *up,
                                  uint32_t width, bool greenFirst, bool blueRow, const short *m);

// 2x2 block, one memory row m >= 1 built straight from the source rows of
// memory rows m and m - 1 (cur, up: starts of source rows). byteSel picks the
// byte of a two-byte sample (wide only). greenFirst and blueRow are the phase
// of memory row m.
using UlmetRowFn = uint32_t (*)(uint8_t *out, const uint8_t *cur, const uint8_t *up, uint32_t width,
                                bool greenFirst, bool blueRow, uint32_t byteSel, const short *m);

// 2x2 block into 48-bit pixels from 16-bit samples without a table; swap
// exchanges the two bytes of every sample.
using UlmetRow16Fn = uint32_t (*)(uint16_t *out, const uint16_t *cur, const uint16_t *up,
                                  uint32_t width, bool greenFirst, bool blueRow, bool swap);

// Four colour planes, one memory row that has rows above and below, from the
// 8-bit source rows of the row itself and its two neighbours.
using FourColorsRowFn = uint32_t (*)(uint8_t *out, const uint8_t *cur, const uint8_t *up,
                                     const uint8_t *down, uint32_t width, bool greenFirst,
                                     bool blueRow);

struct SimdRows {
    // Index: out32 * 4 + flipX * 2 + wide.
    NearestRowFn nearest[8];
    UlmetRowFn ulmet[8];
    // Index: flipX.
    UlmetRow16Fn ulmet16[2];
    FourColorsRowFn fourColors[2];
};

// The bodies for this processor, or null for the portable path.
const SimdRows *simdRows();

constexpr uint32_t simdIndex(bool out32, bool flipX, bool wide) {
    return (out32 ? 4u : 0u) + (flipX ? 2u : 0u) + (wide ? 1u : 0u);
}

}  // namespace vocam::kernels
