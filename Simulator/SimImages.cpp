#include "Simulator/SimImages.h"

#include <cstdio>
#include <cstring>

namespace vocam::sim {

namespace {

constexpr char kFirmwareMagic[8] = {'V', 'O', 'C', 'A', 'M', 'F', 'X', '2'};
constexpr char kFpgaMagic[8] = {'V', 'O', 'C', 'A', 'M', 'R', 'B', 'F'};
constexpr std::size_t kFirmwareHeader = 20;
constexpr std::size_t kFirmwareBody = 6000;
constexpr std::size_t kFpgaHeader = 14;

void put16(std::vector<std::uint8_t> &v, std::size_t at, std::uint32_t x) {
    v[at] = static_cast<std::uint8_t>(x);
    v[at + 1] = static_cast<std::uint8_t>(x >> 8);
}
void put32(std::vector<std::uint8_t> &v, std::size_t at, std::uint32_t x) {
    put16(v, at, x & 0xFFFF);
    put16(v, at + 2, x >> 16);
}
std::uint32_t get16(const std::uint8_t *p) {
    return p[0] | static_cast<std::uint32_t>(p[1]) << 8;
}
std::uint32_t get32(const std::uint8_t *p) {
    return get16(p) | get16(p + 2) << 16;
}

// Deterministic filler, so images are reproducible and not all zero.
void fill(std::vector<std::uint8_t> &v, std::size_t from, std::size_t to, std::uint32_t seed) {
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = from; i < to; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = static_cast<std::uint8_t>(x);
    }
}

}  // namespace

std::uint32_t checksum(const std::uint8_t *data, std::size_t size) {
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    return h;
}

std::vector<std::uint8_t> makeFirmwareImage(std::uint16_t vendor, std::uint16_t product) {
    std::vector<std::uint8_t> image(kFirmwareHeader + kFirmwareBody);
    std::memcpy(image.data(), kFirmwareMagic, 8);
    put16(image, 8, vendor);
    put16(image, 10, product);
    put32(image, 12, kFirmwareBody);
    fill(image, kFirmwareHeader, image.size(), product);
    put32(image, 16, checksum(image.data() + kFirmwareHeader, kFirmwareBody));
    return image;
}

bool checkFirmwareImage(const std::uint8_t *ram, std::size_t size, std::uint16_t vendor,
                        std::uint16_t product) {
    if (size < kFirmwareHeader || std::memcmp(ram, kFirmwareMagic, 8) != 0) return false;
    if (get16(ram + 8) != vendor || get16(ram + 10) != product) return false;
    const std::uint32_t body = get32(ram + 12);
    if (body > size - kFirmwareHeader) return false;
    return checksum(ram + kFirmwareHeader, body) == get32(ram + 16);
}

std::string toIntelHex(const std::vector<std::uint8_t> &image, std::uint16_t base) {
    std::string out;
    char line[64];
    for (std::size_t at = 0; at < image.size(); at += 16) {
        const std::size_t n = std::min<std::size_t>(16, image.size() - at);
        const auto address = static_cast<std::uint16_t>(base + at);
        std::uint8_t sum = static_cast<std::uint8_t>(n + (address >> 8) + (address & 0xFF));
        int len =
            std::snprintf(line, sizeof line, ":%02X%04X00", static_cast<unsigned>(n), address);
        out.append(line, static_cast<std::size_t>(len));
        for (std::size_t i = 0; i < n; ++i) {
            sum = static_cast<std::uint8_t>(sum + image[at + i]);
            len = std::snprintf(line, sizeof line, "%02X", image[at + i]);
            out.append(line, static_cast<std::size_t>(len));
        }
        len = std::snprintf(line, sizeof line, "%02X\r\n", static_cast<std::uint8_t>(-sum) & 0xFF);
        out.append(line, static_cast<std::size_t>(len));
    }
    out += ":00000001FF\r\n";
    return out;
}

std::vector<std::uint8_t> makeFpgaImage(std::uint16_t product, std::size_t bodySize) {
    std::vector<std::uint8_t> image(kFpgaHeader + bodySize + 4);
    std::memcpy(image.data(), kFpgaMagic, 8);
    put16(image, 8, product);
    put32(image, 10, static_cast<std::uint32_t>(bodySize));
    fill(image, kFpgaHeader, kFpgaHeader + bodySize, product + 0x10000u);
    put32(image, kFpgaHeader + bodySize, checksum(image.data(), kFpgaHeader + bodySize));
    return image;
}

bool checkFpgaImage(const std::vector<std::uint8_t> &data, std::uint16_t product) {
    if (data.size() < kFpgaHeader + 4 || std::memcmp(data.data(), kFpgaMagic, 8) != 0) return false;
    if (get16(data.data() + 8) != product) return false;
    const std::uint32_t body = get32(data.data() + 10);
    if (body != data.size() - kFpgaHeader - 4) return false;
    return checksum(data.data(), kFpgaHeader + body) == get32(data.data() + kFpgaHeader + body);
}

}  // namespace vocam::sim
