// Shared part of the per-pixel model: frames, pictures, sample fetch, phase
// and placement.
#include "reference/reference.h"

#include <cstring>

namespace vocam::ref {

RawFrame randomFrame(uint32_t width, uint32_t height, bool wide, std::mt19937 &rng) {
    return {width, height, wide, randomBytes(size_t(width) * height * (wide ? 2 : 1), rng)};
}

// The value a kernel stores for source sample (x, y).
static uint32_t fetch(const RawFrame &frame, uint32_t x, uint32_t y, const Fetch &how) {
    size_t i = size_t(y) * frame.width + x;
    if (how.depth == Depth::k8to8) {
        uint8_t s = frame.bytes[i];
        return how.lut8 ? how.lut8[s] : s;
    }
    uint8_t first = frame.bytes[2 * i], second = frame.bytes[2 * i + 1];
    uint32_t hostOrder = uint32_t(first) | (uint32_t(second) << 8);
    if (how.depth == Depth::k16to8) {
        if (how.lut16) return how.lut16[hostOrder] >> 8;
        return how.msbFirst ? first : second;
    }
    if (how.lut16) return how.lut16[hostOrder];
    return how.msbFirst ? (uint32_t(first) << 8) | second : hostOrder;
}

Grid fetchGrid(const RawFrame &frame, const Fetch &how) {
    return gridOf(frame.width, frame.height,
                  [&](uint32_t x, uint32_t y) { return fetch(frame, x, y, how); });
}

uint32_t Picture::get(uint32_t x, uint32_t memRow, uint32_t c) const {
    size_t at = memRow * strideBytes + (size_t(x) * pixelElems + c) * (wide ? 2 : 1);
    if (!wide) return bytes[at];
    uint16_t v;
    std::memcpy(&v, &bytes[at], 2);
    return v;
}

void Picture::set(uint32_t x, uint32_t memRow, uint32_t c, uint32_t value) {
    size_t at = memRow * strideBytes + (size_t(x) * pixelElems + c) * (wide ? 2 : 1);
    const uint16_t v = uint16_t(value);
    if (wide)
        std::memcpy(&bytes[at], &v, 2);
    else
        bytes[at] = uint8_t(value);
}

bool isBlueRow(uint32_t y, bool blueRow) {
    return (y % 2 == 0) ? blueRow : !blueRow;
}

bool isGreenSite(uint32_t x, uint32_t y, bool greenFirst) {
    return (x + y + (greenFirst ? 1 : 0)) % 2 == 1;
}

uint32_t siteChannel(uint32_t x, uint32_t y, bool blueRow, bool greenFirst) {
    return isGreenSite(x, y, greenFirst) ? 1 : isBlueRow(y, blueRow) ? 0 : 2;
}

uint32_t sourceRowOf(uint32_t r, uint32_t height, bool deinterlace) {
    if (!deinterlace) return r;
    return r % 2 == 0 ? r / 2 : height / 2 + (r - 1) / 2;
}

Grid placedGrid(const Picture &pic, bool blueRow, bool greenFirst) {
    return gridOf(pic.width, pic.height, [&](uint32_t x, uint32_t y) {
        return pic.get(x, y, siteChannel(x, y, blueRow, greenFirst));
    });
}

void secondPhase(const Orientation &o, bool &blueRow, bool &greenFirst) {
    blueRow = o.topDown ? o.blueRow : !o.blueRow;
    int flips = (o.flipX ? 1 : 0) + (o.topDown ? 0 : 1);
    greenFirst = (flips % 2 == 1) ? !o.greenFirst : o.greenFirst;
}

void place(Picture &pic, const Grid &g, const Orientation &o, bool fourColour) {
    for (uint32_t r = 0; r < g.height; ++r) {
        uint32_t k = sourceRowOf(r, g.height, o.deinterlace);
        uint32_t mem = o.topDown ? r : g.height - 1 - r;
        for (uint32_t x = 0; x < g.width; ++x) {
            // Four colours: a green site takes plane 1 or 3, a red or blue one 0 or 2.
            const uint32_t c = fourColour ? (isGreenSite(x, r, o.greenFirst) ? 1 : 0) +
                                                (isBlueRow(r, o.blueRow) ? 0 : 2)
                                          : siteChannel(x, r, o.blueRow, o.greenFirst);
            pic.set(o.flipX ? g.width - 1 - x : x, mem, c, g.at(x, k));
        }
    }
}

}  // namespace vocam::ref
