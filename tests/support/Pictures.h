// Readers of our own for the picture and recording files the front ends
// write (TIFF through libtiff, FITS and SER by hand), and the 16-bit frame
// they are given to convert; header-only, for the suites that link libtiff
// themselves.
#pragma once

#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
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

// Whether fitsverify finds nothing wrong with the file.
inline bool fitsverifyPasses(const std::string &path) {
    return std::system(("fitsverify -q '" + path + "' >/dev/null 2>&1").c_str()) == 0;
}

inline std::string fileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The primary array of a FITS file: each card's value by keyword (strings
// without their quotes), and the data after the header's 2880-byte blocks.
struct Fits {
    std::map<std::string, std::string> cards;
    std::string data;
    double number(const std::string &key) const {
        return cards.count(key) ? std::stod(cards.at(key)) : std::nan("");
    }
};

inline Fits readFits(const std::string &path) {
    const std::string bytes = fileBytes(path);
    Fits fits;
    std::size_t at = 0;
    for (; at + 80 <= bytes.size(); at += 80) {
        const std::string card = bytes.substr(at, 80);
        const std::string key = card.substr(0, card.find_last_not_of(' ', 7) + 1);
        if (key == "END") break;
        if (card.compare(8, 2, "= ") != 0) continue;
        const std::size_t from = card.find_first_not_of(' ', 10);
        fits.cards[key] = card[from] == '\''
                              ? card.substr(from + 1, card.find('\'', from + 1) - from - 1)
                              : card.substr(from, card.find_first_of(" /", from) - from);
    }
    if (at + 80 <= bytes.size()) fits.data = bytes.substr((at / 2880 + 1) * 2880);
    return fits;
}

// A SER recording: the header's numbers, whether the file holds exactly the
// frames counted (and perhaps their times), the frames of a whole file and
// the times in the format's ticks.
struct Ser {
    std::uint32_t colour = 0, width = 0, height = 0, depth = 0, count = 0;
    std::string instrument;
    bool whole = false;
    std::vector<std::string> frames;
    std::vector<std::int64_t> times;
    // A time in seconds since 1970 (the ticks count 100 ns from 0001-01-01).
    static std::int64_t unixSeconds(std::int64_t ticks) {
        return (ticks - 621355968000000000) / 10000000;
    }
};

inline Ser readSer(const std::string &path) {
    const std::string b = fileBytes(path);
    Ser ser;
    if (b.size() < 178 || b.compare(0, 14, "LUCAM-RECORDER") != 0) return ser;
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t(std::uint8_t(b[at])) | std::uint32_t(std::uint8_t(b[at + 1])) << 8 |
               std::uint32_t(std::uint8_t(b[at + 2])) << 16 |
               std::uint32_t(std::uint8_t(b[at + 3])) << 24;
    };
    ser = {u32(18), u32(26), u32(30), u32(34), u32(38), b.substr(82, 40).c_str(), false, {}, {}};
    const std::uint64_t frame = std::uint64_t{ser.width} * ser.height * (ser.depth > 8 ? 2 : 1);
    const std::uint64_t frames = 178 + ser.count * frame, trailer = frames + 8 * ser.count;
    ser.whole = b.size() == frames || b.size() == trailer;
    for (std::uint32_t i = 0; ser.whole && i < ser.count; ++i)
        ser.frames.push_back(b.substr(178 + i * frame, frame));
    for (std::uint64_t at = frames; b.size() == trailer && at < trailer; at += 8)
        ser.times.push_back(
            std::int64_t(std::uint64_t(u32(at)) | std::uint64_t(u32(at + 4)) << 32));
    return ser;
}

}  // namespace vocam::test
