// Pictures read back from the files the front ends write, and the 16-bit
// frame they are given to convert; header-only, for the suites that link
// libtiff themselves.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vocam::test {

// A TIFF's samples as stored (host order), rows packed; `bits` is the size
// of a sample of an RGB file, 0 for any other kind.
struct TiffPicture {
    std::uint32_t width = 0, height = 0;
    int bits = 0;
    std::vector<std::uint8_t> bytes;

    // The samples, when they are of this size.
    template <class Sample>
    std::vector<Sample> samples() const {
        if (bits != 8 * int(sizeof(Sample))) return {};
        std::vector<Sample> out(bytes.size() / sizeof(Sample));
        std::memcpy(out.data(), bytes.data(), out.size() * sizeof(Sample));
        return out;
    }
};

inline TiffPicture readTiff(const std::string &path) {
    TiffPicture t;
    TIFF *tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr) return t;
    std::uint16_t bits = 0, samples = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &t.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &t.height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const tmsize_t row = TIFFScanlineSize(tiff);
    t.bits = samples == 3 && row == tmsize_t{t.width} * 3 * (bits / 8) ? bits : 0;
    t.bytes.resize(std::size_t(row) * t.height);
    for (std::uint32_t y = 0; y < t.height; ++y)
        TIFFReadScanline(tiff, t.bytes.data() + std::size_t(row) * y, y, 0);
    TIFFClose(tiff);
    return t;
}

// A 16-bit Bayer frame whose samples use the whole range, so that a
// conversion that dropped the low byte, or read the two bytes the wrong way
// round, could not come out equal.
inline std::string syntheticDeepFrame(std::uint32_t width, std::uint32_t height, bool lsbFirst) {
    std::string bytes;
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto v = static_cast<std::uint16_t>((x * 1031 + y * 4099 + (x * y) % 251) * 7);
            const char hi = static_cast<char>(v >> 8), lo = static_cast<char>(v & 0xFF);
            bytes += lsbFirst ? lo : hi;
            bytes += lsbFirst ? hi : lo;
        }
    return bytes;
}

}  // namespace vocam::test
