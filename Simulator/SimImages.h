// The firmware and FPGA images of the simulated cameras: our own formats,
// carrying only what the simulated devices check (identity, length, checksum).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vocam::sim {

// 32-bit FNV-1a: the images' checksum.
std::uint32_t checksum(const std::uint8_t *data, std::size_t size);

// Firmware: loaded at address 0 of the controller's RAM. Header: "VOCAMFX2",
// u16 vendor, u16 product, u32 body length, u32 body checksum; then the body.
std::vector<std::uint8_t> makeFirmwareImage(std::uint16_t vendor, std::uint16_t product);
// True when `ram` holds a whole image for this identity.
bool checkFirmwareImage(const std::uint8_t *ram, std::size_t size, std::uint16_t vendor,
                        std::uint16_t product);

// The image as Intel HEX text: 16-byte data records from `base`, then the end record.
std::string toIntelHex(const std::vector<std::uint8_t> &image, std::uint16_t base = 0);

// FPGA configuration: "VOCAMRBF", u16 product, u32 body length, the body,
// then the checksum of everything before it.
std::vector<std::uint8_t> makeFpgaImage(std::uint16_t product, std::size_t bodySize = 64 * 1024);
bool checkFpgaImage(const std::vector<std::uint8_t> &data, std::uint16_t product);

}  // namespace vocam::sim
