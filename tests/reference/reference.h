// Plain per-pixel model of the demosaic kernels, written straight from the
// rules and sharing no code with the library. Slow on purpose: every value is
// computed from coordinates, with no pointer walking and no per-case loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace vocam::ref {

// A raw frame: width x height samples of one byte, or of two stored bytes.
struct RawFrame {
    uint32_t width = 0, height = 0;
    bool wide = false;           // two bytes per sample
    std::vector<uint8_t> bytes;  // as stored

    const uint8_t *data8() const { return bytes.data(); }
    const uint16_t *data16() const { return reinterpret_cast<const uint16_t *>(bytes.data()); }
};

inline std::vector<uint8_t> randomBytes(size_t n, std::mt19937 &rng) {
    std::vector<uint8_t> b(n);
    for (auto &x : b) x = uint8_t(rng());
    return b;
}

// Random frame; two-byte samples are stored in a 16-bit aligned buffer.
RawFrame randomFrame(uint32_t width, uint32_t height, bool wide, std::mt19937 &rng);

// How the samples reach the output channels.
enum class Depth {
    k8to8,    // 8-bit source, 8-bit channels
    k16to8,   // 16-bit source, 8-bit channels
    k16to16,  // 16-bit source, 16-bit channels
};

struct Fetch {
    Depth depth = Depth::k8to8;
    bool msbFirst = false;
    const uint8_t *lut8 = nullptr;    // 256 entries
    const uint16_t *lut16 = nullptr;  // 65536 entries
};

// Fetched samples of the whole frame, in source coordinates.
struct Grid {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> v;
    uint32_t at(uint32_t x, uint32_t y) const { return v[size_t(y) * width + x]; }
};
// The grid of value(x, y) over width x height.
template <class F>
Grid gridOf(uint32_t width, uint32_t height, F value) {
    Grid g{width, height, std::vector<uint32_t>(size_t(width) * height)};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) g.v[size_t(y) * width + x] = value(x, y);
    return g;
}
Grid fetchGrid(const RawFrame &frame, const Fetch &how);

// A picture in memory: pixelBytes per pixel, 1- or 2-byte elements, any stride.
struct Picture {
    uint32_t width = 0, height = 0;
    uint32_t pixelElems = 3;  // elements per pixel (1 grey, 3, 4)
    bool wide = false;        // 16-bit elements
    size_t strideBytes = 0;
    std::vector<uint8_t> bytes;

    uint32_t get(uint32_t x, uint32_t memRow, uint32_t c) const;
    void set(uint32_t x, uint32_t memRow, uint32_t c, uint32_t value);
    uint8_t *data() { return bytes.data(); }
    uint16_t *data16() { return reinterpret_cast<uint16_t *>(bytes.data()); }
};

// Bayer site classification for a row phase.
bool isBlueRow(uint32_t y, bool blueRow);
bool isGreenSite(uint32_t x, uint32_t y, bool greenFirst);
// Channel of the own sample: 0 blue, 1 green, 2 red.
uint32_t siteChannel(uint32_t x, uint32_t y, bool blueRow, bool greenFirst);

// Source row of output row r, with or without weaving.
uint32_t sourceRowOf(uint32_t r, uint32_t height, bool deinterlace);

struct Orientation {
    bool blueRow = false, greenFirst = false, flipX = false, topDown = true, deinterlace = false;
};

// The placed sample of every pixel of a placed mosaic (memory coordinates).
Grid placedGrid(const Picture &pic, bool blueRow, bool greenFirst);

// Phase of the first row in memory, handed to every second pass.
void secondPhase(const Orientation &o, bool &blueRow, bool &greenFirst);

// ---- Grey and monochrome --------------------------------------------------------
// Each sample into channels 0..2 (and 0 into channel 3 when zeroFourth).
void greyOnePass(Picture &pic, const Grid &g, bool flipX, bool topDown, bool zeroFourth);
// One byte per pixel; woven when deinterlace.
void monoCopy(Picture &pic, const Grid &g, bool flipX, bool topDown, bool deinterlace);
void secondNone(Picture &pic, bool blueRow, bool greenFirst);

// ---- Placement -------------------------------------------------------------------
void place(Picture &pic, const Grid &g, const Orientation &o, bool fourColour);

// ---- Nearest neighbour --------------------------------------------------------------
void nearestOnePass(Picture &pic, const Grid &g, bool blueRow, bool greenFirst, bool flipX,
                    bool topDown);
void secondNearest(Picture &pic, bool blueRow, bool greenFirst);

// ---- 2x2 block and four colours ----------------------------------------------------
void secondUlmet(Picture &pic, bool blueRow, bool greenFirst);
void secondFourColors(Picture &pic, bool blueRow, bool greenFirst);

}  // namespace vocam::ref
