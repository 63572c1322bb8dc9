// Per-pixel model of the edge-detecting and gradient-corrected kernels,
// written from the rules one pixel and one channel at a time.
#pragma once

#include "reference/reference.h"

namespace vocam::ref {

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
