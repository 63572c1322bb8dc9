// Edge-detecting interpolation rules, written once for every member of the
// family: the one-pass kernels (samples read straight from the raw frame), the
// second passes (samples read from the placed channel of a picture) and the
// border ring of the gradient-corrected kernel.
//
// A rule set is instantiated with two small accessors:
//   S: int operator()(uint32_t x, uint32_t y, uint32_t channel) const
//        the sample at (x, y); `channel` is the channel that sample occupies
//        in a placed mosaic (a one-pass reader ignores it).
//   O: void operator()(uint32_t x, uint32_t y, uint32_t channel, int value)
//        stores one missing channel of pixel (x, y).
// Every read is of a raw sample and every write is of a missing channel, so
// the rules can be applied in any order and in place on a placed mosaic.
#pragma once

#include <cstdint>

#include "color/kernel_common.h"

namespace vocam::kernels::edge {

// The phase bookkeeping and the border rules need even dimensions of at least
// 4; other frames are left alone rather than read or written out of bounds.
inline bool framesFit(uint32_t width, uint32_t height) {
    return width >= 4 && height >= 4 && (width % 2) == 0 && (height % 2) == 0;
}

inline int mean2(int a, int b) {
    return (a + b) >> 1;
}
inline int mean4(int a, int b, int c, int d) {
    return (a + b + c + d) >> 2;
}
inline int absDiff(int a, int b) {
    return a > b ? a - b : b - a;
}

// Green at an interior red or blue site: along the direction of smaller change.
inline int edgeGreen(int left, int right, int up, int down) {
    const int dV = absDiff(down, up);
    const int dH = absDiff(right, left);
    if (dV > dH) return mean2(left, right);
    if (dH > dV) return mean2(up, down);
    return mean4(left, right, up, down);
}

// Interior pixel (1 <= x <= W-2, 1 <= y <= H-2) of a row with phase `ph`.
template <class S, class O>
inline void interiorPixel(const S &s, O &out, uint32_t x, uint32_t y, Phase ph) {
    const uint32_t rc = ph.rowColour(), oc = ph.otherColour();
    if (ph.isGreen(x)) {
        out(x, y, rc, mean2(s(x - 1, y, rc), s(x + 1, y, rc)));
        out(x, y, oc, mean2(s(x, y - 1, oc), s(x, y + 1, oc)));
    } else {
        out(x, y, oc,
            mean4(s(x - 1, y - 1, oc), s(x + 1, y - 1, oc), s(x - 1, y + 1, oc),
                  s(x + 1, y + 1, oc)));
        out(x, y, kGreen,
            edgeGreen(s(x - 1, y, kGreen), s(x + 1, y, kGreen), s(x, y - 1, kGreen),
                      s(x, y + 1, kGreen)));
    }
}

// Pixel of row 0 or row H-1 that is not a corner; n is the adjacent row.
template <class S, class O>
inline void rowBorderPixel(const S &s, O &out, uint32_t x, uint32_t y, uint32_t n, Phase ph) {
    const uint32_t rc = ph.rowColour(), oc = ph.otherColour();
    if (ph.isGreen(x)) {
        out(x, y, rc, mean2(s(x - 1, y, rc), s(x + 1, y, rc)));
        out(x, y, oc, s(x, n, oc));
    } else {
        out(x, y, kGreen, mean2(s(x - 1, y, kGreen), s(x + 1, y, kGreen)));
        out(x, y, oc, mean2(s(x - 1, n, oc), s(x + 1, n, oc)));
    }
}

// Pixel of column 0 or column W-1 that is not a corner; n is the adjacent column.
template <class S, class O>
inline void columnBorderPixel(const S &s, O &out, uint32_t x, uint32_t y, uint32_t n, Phase ph) {
    const uint32_t rc = ph.rowColour(), oc = ph.otherColour();
    if (ph.isGreen(x)) {
        out(x, y, rc, s(n, y, rc));
        out(x, y, oc, mean2(s(x, y - 1, oc), s(x, y + 1, oc)));
    } else {
        out(x, y, kGreen, mean2(s(x, y - 1, kGreen), s(x, y + 1, kGreen)));
        out(x, y, oc, mean2(s(n, y - 1, oc), s(n, y + 1, oc)));
    }
}

// Corner (cx, cy) with horizontal neighbour column nx and vertical neighbour
// row ny. `halvedGreen` selects the form of the green mean that halves each
// sample before adding (used only by the 8-bit one-pass kernels in blue rows).
template <class S, class O>
inline void cornerPixel(const S &s, O &out, uint32_t cx, uint32_t cy, uint32_t nx, uint32_t ny,
                        Phase ph, bool halvedGreen) {
    const uint32_t rc = ph.rowColour(), oc = ph.otherColour();
    if (ph.isGreen(cx)) {
        out(cx, cy, rc, s(nx, cy, rc));
        out(cx, cy, oc, s(cx, ny, oc));
    } else {
        out(cx, cy, oc, s(nx, ny, oc));
        const int a = s(nx, cy, kGreen), b = s(cx, ny, kGreen);
        out(cx, cy, kGreen, halvedGreen ? (a >> 1) + (b >> 1) : mean2(a, b));
    }
}

// A whole border row (row 0 or row H-1), corners included.
template <class S, class O>
inline void borderRow(const S &s, O &out, uint32_t width, uint32_t y, uint32_t n, Phase ph,
                      bool cornerQuirk) {
    const bool halved = cornerQuirk && ph.blueRow;
    cornerPixel(s, out, 0, y, 1, n, ph, halved);
    for (uint32_t x = 1; x + 1 < width; ++x) rowBorderPixel(s, out, x, y, n, ph);
    cornerPixel(s, out, width - 1, y, width - 2, n, ph, halved);
}

// A row 1 <= y <= H-2: its two column-border pixels and the interior between.
template <class S, class O>
inline void middleRow(const S &s, O &out, uint32_t width, uint32_t y, Phase ph) {
    columnBorderPixel(s, out, 0, y, 1, ph);
    for (uint32_t x = 1; x + 1 < width; ++x) interiorPixel(s, out, x, y, ph);
    columnBorderPixel(s, out, width - 1, y, width - 2, ph);
}

// The border ring only (ring 0): rows 0 and H-1 whole, columns 0 and W-1.
template <class S, class O>
inline void borderRing(const S &s, O &out, uint32_t width, uint32_t height, Phase row0) {
    const Phase last = phaseOfRow(row0, height - 1);
    borderRow(s, out, width, 0, 1, row0, false);
    for (uint32_t y = 1; y + 1 < height; ++y) {
        const Phase ph = phaseOfRow(row0, y);
        columnBorderPixel(s, out, 0, y, 1, ph);
        columnBorderPixel(s, out, width - 1, y, width - 2, ph);
    }
    borderRow(s, out, width, height - 1, height - 2, last, false);
}

// ---- Accessors on a placed mosaic ---------------------------------------------

// Reads the placed channel of a picture in layout Px.
template <class Px>
struct PlacedReader {
    const typename Px::T *pic;
    size_t stride;  // elements
    int operator()(uint32_t x, uint32_t y, uint32_t c) const {
        return pic[size_t(y) * stride + size_t(x) * Px::kStep + c];
    }
};

// Writes one channel of a picture in layout Px.
template <class Px>
struct PictureWriter {
    typename Px::T *pic;
    size_t stride;  // elements
    void operator()(uint32_t x, uint32_t y, uint32_t c, int v) const {
        pic[size_t(y) * stride + size_t(x) * Px::kStep + c] = typename Px::T(v);
    }
};

}  // namespace vocam::kernels::edge
