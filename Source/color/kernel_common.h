// Shared conventions of the demosaic kernels: how a raw sample is fetched, how
// a source row maps to a memory row, the output pixel layouts and strides, the
// Bayer phase bookkeeping and the placed-mosaic walk of the two-pass scheme.
//
// Everything here is header-only so that each kernel instantiates its own
// inner loops: no loop tests the depth, the table or the mirror per pixel.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocam::kernels {

// ---- Output layouts ----------------------------------------------------------

// Channel indices inside a pixel. Byte 0 takes the non-green sites of the rows
// the kernel is told are blue rows.
enum Channel : uint32_t { kBlue = 0, kGreen = 1, kRed = 2, kFourth = 3 };

// A pixel layout: element type and elements per pixel. Strides are in elements.
struct Bgr24 {
    using T = uint8_t;
    static constexpr uint32_t kStep = 3;
};
struct Bgr32 {
    using T = uint8_t;
    static constexpr uint32_t kStep = 4;
};
struct Bgr48 {
    using T = uint16_t;
    static constexpr uint32_t kStep = 3;
};

// Unpadded stride (elements) of a picture in layout Px.
template <class Px>
constexpr size_t rowElems(uint32_t width) {
    return size_t(width) * Px::kStep;
}

// NoneMove and NoneMove16to8: ((width + 1) * 3) with the two low bits cleared,
// i.e. 3 * width rounded up to a multiple of 4.
constexpr size_t paddedGreyStride(uint32_t width) {
    return (size_t(width) * 3 + 3) & ~size_t(3);
}

// MonoToMonoMove and MonoToMonoMove16to8: width rounded up to a multiple of 4.
constexpr size_t paddedMonoStride(uint32_t width) {
    return (size_t(width) + 3) & ~size_t(3);
}

// ---- Frame sizes ----------------------------------------------------------------

// The phase bookkeeping of every mosaic kernel needs even dimensions, and the
// neighbour rules need two rows and two columns. Mosaic kernels handed any
// other size return without touching dst rather than walking off the frame.
constexpr bool mosaicSizeOk(uint32_t width, uint32_t height) {
    return width >= 2 && height >= 2 && (width & 1) == 0 && (height & 1) == 0;
}

// ---- Orientation ---------------------------------------------------------------

// Memory row of output row r: bottom-up storage reverses the rows.
constexpr uint32_t memoryRow(uint32_t r, uint32_t height, int topDown) {
    return topDown ? r : height - 1 - r;
}

// Source row that output row r is woven from. Without weaving it is r; with it
// the even output rows come from the first field, the odd ones from the second.
constexpr uint32_t wovenSourceRow(uint32_t r, uint32_t height, int deinterlace) {
    if (!deinterlace) return r;
    return (r & 1) ? height / 2 + (r >> 1) : r >> 1;
}

// ---- Bayer phase -------------------------------------------------------------------

// Phase of one row: its kind and whether its pixel 0 is a green site. Each next
// row has both inverted (even dimensions).
struct Phase {
    bool blueRow;
    bool greenFirst;

    constexpr Phase next() const { return {!blueRow, !greenFirst}; }
    constexpr bool isGreen(uint32_t x) const { return ((x & 1) != 0) != greenFirst; }
    // Channel holding the own sample of pixel x.
    constexpr uint32_t channelAt(uint32_t x) const {
        return isGreen(x) ? kGreen : (blueRow ? kBlue : kRed);
    }
    constexpr uint32_t rowColour() const { return blueRow ? kBlue : kRed; }
    constexpr uint32_t otherColour() const { return blueRow ? kRed : kBlue; }
    // Four-colour layout: blue, Gb, red, Gr.
    constexpr uint32_t planeAt(uint32_t x) const {
        if (isGreen(x)) return blueRow ? 1u : 3u;
        return blueRow ? 0u : 2u;
    }
};

// Phase of output row r (in source/woven order) given the phase of row 0.
constexpr Phase phaseOfRow(Phase row0, uint32_t r) {
    return (r & 1) ? row0.next() : row0;
}

// Phase of the first row in memory after a placement with flipX and topDown:
// mirroring an even-width row swaps its green and non-green positions, and the
// last row of an even-height frame has the opposite kind and green position of
// row 0.
constexpr Phase memoryPhase(int blueRow, int greenFirst, int flipX, int topDown) {
    bool b = blueRow != 0;
    bool g = greenFirst != 0;
    if (!topDown) b = !b;
    if (flipX) g = !g;
    if (!topDown) g = !g;
    return {b, g};
}

// ---- Colour matrix ---------------------------------------------------------------------

// The fixed-point colour matrix (rows of four coefficients, 12 fraction
// bits) on one 8-bit pixel in place: byte r becomes the sum of m[4r + c] x
// byte c with the fraction dropped, clamped to 0 ... 255. A four-byte pixel
// takes its fourth byte into the sums and keeps it. These are the bytes of
// the matrix stage run over the finished picture, so a kernel may apply the
// matrix to each pixel as it writes it.
template <bool Four>
inline void matrixPixel(const short *m, uint8_t *p) {
    const int32_t p0 = p[0], p1 = p[1], p2 = p[2], p3 = Four ? p[3] : 0;
    int32_t v[3];
    for (int r = 0; r < 3; ++r) {
        const int32_t s =
            m[4 * r] * p0 + m[4 * r + 1] * p1 + m[4 * r + 2] * p2 + (Four ? m[4 * r + 3] * p3 : 0);
        v[r] = s >> 12;
    }
    for (int r = 0; r < 3; ++r) p[r] = uint8_t(v[r] < 0 ? 0 : (v[r] > 255 ? 255 : v[r]));
}

// What a kernel that can take the colour matrix is told beyond the frame:
// the matrix (null: none) and the rows of its walk to produce, begin to end,
// so that a frame can be shared among threads without overlap.
struct RowJob {
    const short *m;
    uint32_t begin, end;
};

// The whole walk without the matrix: what the exported kernels do.
constexpr RowJob wholeFrame(uint32_t height) {
    return {nullptr, 0, height};
}

// ---- Sample fetch ------------------------------------------------------------------------

// Each fetcher reads sample x of a source row and returns the value to store.
// 8-bit source into 8-bit channels.
struct Fetch8 {
    using In = uint8_t;
    uint32_t operator()(const uint8_t *row, uint32_t x) const { return row[x]; }
};
struct Fetch8Lut {
    using In = uint8_t;
    const uint8_t *lut;
    uint32_t operator()(const uint8_t *row, uint32_t x) const { return lut[row[x]]; }
};

// 16-bit source into 8-bit channels: a byte selection without a table, the
// high byte of the entry with one.
struct Fetch16to8 {
    using In = uint16_t;
    uint32_t byte;  // 1 when the least significant byte comes first, else 0
    uint32_t operator()(const uint16_t *row, uint32_t x) const {
        return reinterpret_cast<const uint8_t *>(row + x)[byte];
    }
};
// The stored bytes, least significant first, index the table.
inline uint32_t storedValue(const uint16_t *row, uint32_t x) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(row + x);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8);
}
struct Fetch16to8Lut {
    using In = uint16_t;
    const uint16_t *lut;
    uint32_t operator()(const uint16_t *row, uint32_t x) const {
        return lut[storedValue(row, x)] >> 8;
    }
};

// 16-bit source into 16-bit channels.
struct Fetch16 {
    using In = uint16_t;
    uint32_t operator()(const uint16_t *row, uint32_t x) const { return storedValue(row, x); }
};
struct Fetch16Swap {
    using In = uint16_t;
    uint32_t operator()(const uint16_t *row, uint32_t x) const {
        uint32_t v = storedValue(row, x);
        return ((v & 0xFF) << 8) | (v >> 8);
    }
};
struct Fetch16Lut {
    using In = uint16_t;
    const uint16_t *lut;
    uint32_t operator()(const uint16_t *row, uint32_t x) const { return lut[storedValue(row, x)]; }
};

// Call f with the fetcher matching the table (and byte order), so that each
// case gets its own instantiation of the loop.
template <class F>
inline void withFetch8(const uint8_t *lut, F &&f) {
    if (lut)
        f(Fetch8Lut{lut});
    else
        f(Fetch8{});
}
template <class F>
inline void withFetch16to8(int msbFirst, const uint16_t *lut, F &&f) {
    if (lut)
        f(Fetch16to8Lut{lut});
    else
        f(Fetch16to8{msbFirst ? 0u : 1u});
}
template <class F>
inline void withFetch16(int msbFirst, const uint16_t *lut, F &&f) {
    if (lut)
        f(Fetch16Lut{lut});
    else if (msbFirst)
        f(Fetch16Swap{});
    else
        f(Fetch16{});
}

// ---- Placement (first pass of the two-pass scheme) -----------------------------------

// Writes the placed mosaic: each fetched sample into the channel of its site
// (Px channels 0..2, or the four-colour planes when FourColour), woven, mirrored
// and stored bottom-up as asked. Output row r has the phase of mosaic row r.
// Every other channel keeps what dst held.
template <class Px, bool FourColour = false, class Fetch>
void placeMosaic(typename Px::T *dst, const typename Fetch::In *src, uint32_t width,
                 uint32_t height, int blueRow, int greenFirst, int flipX, int topDown,
                 int deinterlace, Fetch fetch) {
    if (!mosaicSizeOk(width, height)) return;
    const size_t stride = rowElems<Px>(width);
    Phase phase{blueRow != 0, greenFirst != 0};
    for (uint32_t r = 0; r < height; ++r, phase = phase.next()) {
        const typename Fetch::In *in = src + size_t(wovenSourceRow(r, height, deinterlace)) * width;
        typename Px::T *out = dst + size_t(memoryRow(r, height, topDown)) * stride;
        // Even widths: the channel of pixel x alternates between two values.
        const uint32_t c0 = FourColour ? phase.planeAt(0) : phase.channelAt(0);
        const uint32_t c1 = FourColour ? phase.planeAt(1) : phase.channelAt(1);
        if (flipX) {
            typename Px::T *p = out + size_t(width - 1) * Px::kStep;
            for (uint32_t x = 0; x < width; x += 2, p -= 2 * Px::kStep) {
                p[c0] = typename Px::T(fetch(in, x));
                (p - Px::kStep)[c1] = typename Px::T(fetch(in, x + 1));
            }
        } else {
            typename Px::T *p = out;
            for (uint32_t x = 0; x < width; x += 2, p += 2 * Px::kStep) {
                p[c0] = typename Px::T(fetch(in, x));
                p[c1 + Px::kStep] = typename Px::T(fetch(in, x + 1));
            }
        }
    }
}

}  // namespace vocam::kernels
