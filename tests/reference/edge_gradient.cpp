// Per-pixel model of the edge-detecting and gradient-corrected kernels.
#include "reference/edge_gradient.h"

#include <algorithm>
#include <cstdlib>

namespace vocam::ref {

using std::abs;

// Edge-detecting value of channel `ch` at source pixel (x, y) of the sample
// grid. `halvedBlueCorners`: the green of a red or blue corner site in a blue
// row is (a >> 1) + (b >> 1) instead of (a + b) >> 1.
static uint32_t edgeValue(const Grid &g, uint32_t x, uint32_t y, uint32_t ch, bool blueRow,
                          bool greenFirst, bool halvedBlueCorners) {
    const uint32_t W = g.width, H = g.height;
    if (ch == siteChannel(x, y, blueRow, greenFirst)) return g.at(x, y);
    const bool green = isGreenSite(x, y, greenFirst);
    const bool blueRowHere = isBlueRow(y, blueRow);
    const uint32_t rowColour = blueRowHere ? 0 : 2;
    const bool leftOrRight = x == 0 || x == W - 1;
    const bool topOrBottom = y == 0 || y == H - 1;
    const uint32_t nx = x == 0 ? 1 : W - 2;  // neighbouring column of a side column
    const uint32_t ny = y == 0 ? 1 : H - 2;  // neighbouring row of a top or bottom row

    if (leftOrRight && topOrBottom) {
        if (green) return ch == rowColour ? g.at(nx, y) : g.at(x, ny);
        if (ch != 1) return g.at(nx, ny);
        const uint32_t a = g.at(nx, y), b = g.at(x, ny);
        if (halvedBlueCorners && blueRowHere) return a / 2 + b / 2;
        return (a + b) / 2;
    }
    if (topOrBottom) {
        if (green) return ch == rowColour ? (g.at(x - 1, y) + g.at(x + 1, y)) / 2 : g.at(x, ny);
        if (ch == 1) return (g.at(x - 1, y) + g.at(x + 1, y)) / 2;
        return (g.at(x - 1, ny) + g.at(x + 1, ny)) / 2;
    }
    if (leftOrRight) {
        if (green) return ch == rowColour ? g.at(nx, y) : (g.at(x, y - 1) + g.at(x, y + 1)) / 2;
        if (ch == 1) return (g.at(x, y - 1) + g.at(x, y + 1)) / 2;
        return (g.at(nx, y - 1) + g.at(nx, y + 1)) / 2;
    }
    if (green)
        return ch == rowColour ? (g.at(x - 1, y) + g.at(x + 1, y)) / 2
                               : (g.at(x, y - 1) + g.at(x, y + 1)) / 2;
    if (ch != 1)
        return (g.at(x - 1, y - 1) + g.at(x + 1, y - 1) + g.at(x - 1, y + 1) + g.at(x + 1, y + 1)) /
               4;
    const int left = int(g.at(x - 1, y)), right = int(g.at(x + 1, y));
    const int up = int(g.at(x, y - 1)), down = int(g.at(x, y + 1));
    const int dV = abs(down - up), dH = abs(right - left);
    if (dV > dH) return uint32_t(left + right) / 2;
    if (dH > dV) return uint32_t(up + down) / 2;
    return uint32_t(left + right + up + down) / 4;
}

void edgeOnePass(Picture &pic, const Grid &g, bool blueRow, bool greenFirst, bool flipX,
                 bool topDown, bool halvedBlueCorners) {
    for (uint32_t y = 0; y < g.height; ++y)
        for (uint32_t x = 0; x < g.width; ++x)
            for (uint32_t ch = 0; ch < 3; ++ch)
                pic.set(flipX ? g.width - 1 - x : x, topDown ? y : g.height - 1 - y, ch,
                        edgeValue(g, x, y, ch, blueRow, greenFirst, halvedBlueCorners));
}

// The one-pass rule over the placed samples, in place; each own sample
// stays as it is.
void secondEdge(Picture &pic, bool blueRow, bool greenFirst) {
    edgeOnePass(pic, placedGrid(pic, blueRow, greenFirst), blueRow, greenFirst, false, true, false);
}

void qarexJob(Picture &pic, bool blueRow, bool greenFirst, uint32_t maxValue) {
    const uint32_t W = pic.width, H = pic.height;
    const int M = int(maxValue);
    const Grid raw = placedGrid(pic, blueRow, greenFirst);
    auto G = [&](uint32_t x, uint32_t y) { return int(pic.get(x, y, 1)); };

    // Step 1: the ring walk.
    auto ringPixel = [&](uint32_t x, uint32_t y) {
        for (uint32_t ch = 0; ch < 3; ++ch)
            if (ch != siteChannel(x, y, blueRow, greenFirst))
                pic.set(x, y, ch, edgeValue(raw, x, y, ch, blueRow, greenFirst, false));
        const bool corner = (x == 0 || x == W - 1) && (y == 0 || y == H - 1);
        if (corner || !isGreenSite(x, y, greenFirst)) return;
        // The green site inward of a side pixel.
        const uint32_t px = y == 0 || y == H - 1 ? x : x == 0 ? 1 : W - 2;
        const uint32_t py = y == 0 ? 1 : y == H - 1 ? H - 2 : y;
        const int above = G(px, py - 1), below = G(px, py + 1);
        const int left = G(px - 1, py), right = G(px + 1, py);
        const int dV = abs(above - below), dH = abs(left - right);
        const int g = dH > dV   ? (above + below) >> 1
                      : dV > dH ? (left + right) >> 1
                                : (above + below + left + right) >> 2;
        pic.set(px, py, 1, uint32_t(g));
    };
    for (uint32_t x = 0; x < W; ++x) ringPixel(x, 0);
    for (uint32_t y = 1; y <= H - 2; ++y) ringPixel(0, y);
    for (uint32_t x = 0; x < W; ++x) ringPixel(x, H - 1);
    for (uint32_t y = H - 2; y >= 1; --y) ringPixel(W - 1, y);

    // Step 2: interior green.
    for (uint32_t y = 2; y + 3 <= H; ++y) {
        for (uint32_t x = 2; x + 3 <= W; ++x) {
            if (isGreenSite(x, y, greenFirst)) continue;
            const uint32_t c = siteChannel(x, y, blueRow, greenFirst);
            auto C = [&](uint32_t cx, uint32_t cy) { return int(pic.get(cx, cy, c)); };
            const int LH = 2 * C(x, y) - C(x - 2, y) - C(x + 2, y);
            const int LV = 2 * C(x, y) - C(x, y - 2) - C(x, y + 2);
            const int DH = abs(LH) + abs(G(x - 1, y) - G(x + 1, y));
            const int DV = abs(LV) + abs(G(x, y - 1) - G(x, y + 1));
            int t = 0;
            if (DH <= DV) t = ((G(x - 1, y) + G(x + 1, y) + 1) >> 1) + (LH + 1) / 4;
            if (DH >= DV) t = t + ((G(x, y - 1) + G(x, y + 1) + 1) >> 1) + (LV + 1) / 4;
            if (DH == DV) t = t / 2;
            pic.set(x, y, 1, uint32_t(std::clamp(t, 0, M)));
        }
    }

    // Step 3: red and blue, rows from H-2 up to 1.
    for (uint32_t y = H - 2; y >= 1; --y) {
        for (uint32_t x = 1; x <= W - 2; ++x) {
            const bool blue = isBlueRow(y, blueRow);
            auto ch = [&](uint32_t cx, uint32_t cy, uint32_t c) { return int(pic.get(cx, cy, c)); };
            if (isGreenSite(x, y, greenFirst)) {
                // The row's own colour comes from left and right, the other from above and below.
                const uint32_t horiz = blue ? 0 : 2, vert = blue ? 2 : 0;
                const int h = ((ch(x - 1, y, horiz) + ch(x + 1, y, horiz) + 1) >> 1) +
                              (2 * G(x, y) - G(x - 1, y) - G(x + 1, y) + 1) / 4;
                const int v = ((ch(x, y - 1, vert) + ch(x, y + 1, vert) + 1) >> 1) +
                              (2 * G(x, y) - G(x, y - 1) - G(x, y + 1) + 1) / 4;
                pic.set(x, y, horiz, uint32_t(std::clamp(h, 0, M)));
                pic.set(x, y, vert, uint32_t(std::clamp(v, 0, M)));
                continue;
            }
            const uint32_t K = blue ? 2 : 0;
            const int LN = 2 * G(x, y) - G(x - 1, y - 1) - G(x + 1, y + 1);
            const int LP = 2 * G(x, y) - G(x + 1, y - 1) - G(x - 1, y + 1);
            const int DN = abs(LN) + abs(ch(x - 1, y - 1, K) - ch(x + 1, y + 1, K));
            const int DP = abs(LP) + abs(ch(x + 1, y - 1, K) - ch(x - 1, y + 1, K));
            int t = 0;
            if (DN <= DP) t = (LN + 1) / 4 + ((ch(x - 1, y - 1, K) + ch(x + 1, y + 1, K) + 1) >> 1);
            if (DP <= DN)
                t = t + ((ch(x + 1, y - 1, K) + ch(x - 1, y + 1, K) + 1) >> 1) + (LP + 1) / 4;
            if (DN == DP) t = t / 2;
            pic.set(x, y, K, uint32_t(std::clamp(t, 0, M)));
        }
    }
}

void flipBgr(Picture &pic, bool flipX, bool flipY) {
    const Picture before = pic;
    for (uint32_t y = 0; y < pic.height; ++y)
        for (uint32_t x = 0; x < pic.width; ++x)
            for (uint32_t c = 0; c < 3; ++c)
                pic.set(
                    x, y, c,
                    before.get(flipX ? pic.width - 1 - x : x, flipY ? pic.height - 1 - y : y, c));
}

}  // namespace vocam::ref
