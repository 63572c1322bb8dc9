// Per-pixel model of the edge-detecting and gradient-corrected kernels,
// written from the rules one pixel and one channel at a time.
#pragma once

#include "reference/reference.h"

namespace vocam::ref {

// Edge-detecting value of channel `ch` at source pixel (x, y) of the sample
// grid. `halvedBlueCorners`: the green of a red or blue corner site in a blue
// row is (a >> 1) + (b >> 1) instead of (a + b) >> 1.
uint32_t edgeValue(const Grid &g, uint32_t x, uint32_t y, uint32_t ch, bool blueRow,
                   bool greenFirst, bool halvedBlueCorners);

// One-pass edge-detecting kernel: all three channels of every pixel, mirrored
// and stored bottom-up as asked.
void edgeOnePass(Picture &pic, const Grid &g, bool blueRow, bool greenFirst, bool flipX,
                 bool topDown, bool halvedBlueCorners);

// Edge-detecting second pass: the missing channels of a placed mosaic, in
// memory coordinates, phase of the first memory row.
void secondEdge(Picture &pic, bool blueRow, bool greenFirst);

// Gradient-corrected interpolation of a top-down placed mosaic, the three
// steps in the order and walk the rules give; maxValue is 255 or 65535.
void qarexJob(Picture &pic, bool blueRow, bool greenFirst, uint32_t maxValue);

// In-place mirror of the three colour channels.
void flipBgr(Picture &pic, bool flipX, bool flipY);

}  // namespace vocam::ref
