// Per-pixel model of the grey, monochrome, nearest-neighbour, 2x2-block and
// four-colour kernels.
#include <array>

#include "reference/reference.h"

namespace vocam::ref {

namespace {

uint32_t memRowOf(uint32_t y, uint32_t height, bool topDown) {
    return topDown ? y : height - 1 - y;
}
uint32_t colOf(uint32_t x, uint32_t width, bool flipX) {
    return flipX ? width - 1 - x : x;
}

// Nearest-neighbour colours of pixel (x, y) of a mosaic, as blue, green, red:
// from the left and from above, or from the right and below where there is no
// column to the left or row above.
std::array<uint32_t, 3> nearestPixel(const Grid &s, uint32_t x, uint32_t y, bool blueRow,
                                     bool greenFirst) {
    const uint32_t rc = isBlueRow(y, blueRow) ? 0 : 2, oc = 2 - rc;
    const uint32_t lx = x ? x - 1 : 1, v = y ? y - 1 : 1;
    std::array<uint32_t, 3> out{};
    if (isGreenSite(x, y, greenFirst)) {
        out[1] = s.at(x, y);
        out[rc] = s.at(lx, y);
        out[oc] = s.at(x, v);
    } else {
        out[rc] = s.at(x, y);
        out[oc] = s.at(lx, v);
        out[1] = x ? s.at(x - 1, y) : y ? s.at(0, y - 1) : s.at(1, 0);
    }
    return out;
}

}  // namespace

void greyOnePass(Picture &pic, const Grid &g, bool flipX, bool topDown, bool zeroFourth) {
    for (uint32_t y = 0; y < g.height; ++y)
        for (uint32_t x = 0; x < g.width; ++x) {
            uint32_t col = colOf(x, g.width, flipX), row = memRowOf(y, g.height, topDown);
            for (uint32_t c = 0; c < 3; ++c) pic.set(col, row, c, g.at(x, y));
            if (zeroFourth) pic.set(col, row, 3, 0);
        }
}

void monoCopy(Picture &pic, const Grid &g, bool flipX, bool topDown, bool deinterlace) {
    for (uint32_t r = 0; r < g.height; ++r) {
        uint32_t k = sourceRowOf(r, g.height, deinterlace);
        for (uint32_t x = 0; x < g.width; ++x)
            pic.set(colOf(x, g.width, flipX), memRowOf(r, g.height, topDown), 0, g.at(x, k));
    }
}

void secondNone(Picture &pic, bool blueRow, bool greenFirst) {
    for (uint32_t y = 0; y < pic.height; ++y)
        for (uint32_t x = 0; x < pic.width; ++x) {
            const uint32_t v = pic.get(x, y, siteChannel(x, y, blueRow, greenFirst));
            for (uint32_t c = 0; c < 3; ++c) pic.set(x, y, c, v);
        }
}

void nearestOnePass(Picture &pic, const Grid &g, bool blueRow, bool greenFirst, bool flipX,
                    bool topDown) {
    for (uint32_t y = 0; y < g.height; ++y)
        for (uint32_t x = 0; x < g.width; ++x) {
            auto px = nearestPixel(g, x, y, blueRow, greenFirst);
            for (uint32_t c = 0; c < 3; ++c)
                pic.set(colOf(x, g.width, flipX), memRowOf(y, g.height, topDown), c, px[c]);
        }
}

// The one-pass rule over the placed samples, in place.
void secondNearest(Picture &pic, bool blueRow, bool greenFirst) {
    nearestOnePass(pic, placedGrid(pic, blueRow, greenFirst), blueRow, greenFirst, false, true);
}

// The 2x2-block pass exactly in its documented order, reading the live picture:
// pixel (0, 0), row 0, column 0, then everything else from the last pixel
// backwards. Row 0 and column 0 look right and down where nothing lies
// left or up.
void secondUlmet(Picture &pic, bool blueRow, bool greenFirst) {
    auto own = [&](uint32_t x, uint32_t y) {
        return pic.get(x, y, siteChannel(x, y, blueRow, greenFirst));
    };
    auto G = [&](uint32_t x, uint32_t y) { return pic.get(x, y, 1); };
    auto pixel = [&](uint32_t x, uint32_t y) {
        const uint32_t rc = isBlueRow(y, blueRow) ? 0 : 2, oc = 2 - rc;
        const uint32_t lx = x ? x - 1 : 1, uy = y ? y - 1 : 1;
        if (isGreenSite(x, y, greenFirst)) {
            pic.set(x, y, rc, own(lx, y));
            pic.set(x, y, oc, own(x, uy));
            if (x && y) pic.set(x, y, 1, (G(x - 1, y - 1) + G(x, y)) >> 1);
            return;
        }
        pic.set(x, y, oc, own(lx, uy));
        if (x && y)
            pic.set(x, y, 1, (G(x, y - 1) + G(x - 1, y)) >> 1);
        else if (!x && !y)
            pic.set(x, y, 1, (G(1, 0) + G(0, 1)) >> 1);
        else
            pic.set(x, y, 1, own(x ? x - 1 : 0, y ? y - 1 : 0));
    };
    const uint32_t W = pic.width, H = pic.height;
    pixel(0, 0);
    for (uint32_t x = 1; x < W; ++x) pixel(x, 0);
    for (uint32_t y = 1; y < H; ++y) pixel(0, y);
    for (uint32_t y = H - 1; y >= 1; --y)
        for (uint32_t x = W - 1; x >= 1; --x) pixel(x, y);
}

// Each missing plane is the mean of the neighbours holding it that lie inside
// the frame (one, two or four of them).
void secondFourColors(Picture &pic, bool blueRow, bool greenFirst) {
    const uint32_t W = pic.width, H = pic.height;
    auto plane = [&](uint32_t x, uint32_t y) {
        return (isGreenSite(x, y, greenFirst) ? 1u : 0u) + (isBlueRow(y, blueRow) ? 0u : 2u);
    };
    const Grid s = gridOf(W, H, [&](uint32_t x, uint32_t y) { return pic.get(x, y, plane(x, y)); });
    auto mean = [&](uint32_t x, uint32_t y, int dx, int dy) {
        uint32_t sum = 0, n = 0;
        for (int ny = int(y) - dy; ny <= int(y) + dy; ny += 2 * dy + !dy)
            for (int nx = int(x) - dx; nx <= int(x) + dx; nx += 2 * dx + !dx)
                if (nx >= 0 && nx < int(W) && ny >= 0 && ny < int(H)) sum += s.at(nx, ny), ++n;
        return n == 4 ? sum >> 2 : n == 2 ? sum >> 1 : sum;
    };
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x) {
            const uint32_t px = x == 0 ? 1 : x - 1, py = y == 0 ? 1 : y - 1;
            pic.set(x, y, plane(px, y), mean(x, y, 1, 0));
            pic.set(x, y, plane(x, py), mean(x, y, 0, 1));
            pic.set(x, y, plane(px, py), mean(x, y, 1, 1));
        }
}

}  // namespace vocam::ref
