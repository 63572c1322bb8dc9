// Kernels of the driver that take the colour matrix into their own loop and
// produce any run of the rows of their walk, for the 24-bit and 32-bit
// outputs of the nearest-neighbour, edge-detecting and 2x2-block methods.
//
// Applying the matrix as each pixel is written saves the matrix stage its
// pass over the picture; a run of rows lets the frame be shared among
// threads that write straight into dst, since each row of the walk writes
// one output row of its own and reads only the source. With job.m null and
// the whole walk they are the exported kernels.
#pragma once

#include <cstdint>

#include "color/kernel_common.h"

namespace vocam::kernels {

// Method 1: 8-bit samples (through lut when not null).
void nearestRows8(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
                  int greenFirst, int flipX, int topDown, const uint8_t *lut, bool out32,
                  RowJob job);
// Method 1: 16-bit samples into 8-bit channels.
void nearestRows16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height,
                      int blueRow, int greenFirst, int flipX, int topDown, int msbFirst,
                      const uint16_t *lut, bool out32, RowJob job);

// Method 2: 8-bit samples (through lut when not null), and 16-bit samples
// into 8-bit channels. The walk is in source rows; each row is finished,
// matrix included, before the next.
void edgeRows8(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
               int greenFirst, int flipX, int topDown, const uint8_t *lut, bool out32, RowJob job);
void edgeRows16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int blueRow,
                   int greenFirst, int flipX, int topDown, int msbFirst, const uint16_t *lut,
                   bool out32, RowJob job);

// Method 8 (and 9 where it uses the 2x2 block), woven when deinterlace.
void ulmetRows8(uint8_t *dst, const uint8_t *src, uint32_t width, uint32_t height, int blueRow,
                int greenFirst, int flipX, int topDown, int deinterlace, const uint8_t *lut,
                bool out32, RowJob job);
void ulmetRows16to8(uint8_t *dst, const uint16_t *src, uint32_t width, uint32_t height, int blueRow,
                    int greenFirst, int flipX, int topDown, int deinterlace, int msbFirst,
                    const uint16_t *lut, bool out32, RowJob job);

}  // namespace vocam::kernels
