// Intel HEX firmware images for the FX2 controller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The controller's internal program and data RAM, the only place firmware goes.
inline constexpr std::uint32_t kFx2RamSize = 0x4000;
// CPU control and status: 1 holds the CPU in reset, 0 lets it run.
inline constexpr std::uint16_t kFx2CpuControl = 0xE600;

struct usb_firmware_header {
    std::uint8_t length;
    std::uint16_t address;
    std::uint8_t type;
    std::uint8_t checksum;
};

// Reads HEX records from text in memory, one at a time.
struct hex_reader {
    std::string_view text;
    std::size_t at = 0;
};

// Reads one record into `header` and `data` (at least 255 bytes): its length,
// 0 when there is no further record, negative on a malformed or cut record.
int hex_read_section(hex_reader &reader, usb_firmware_header &header, std::uint8_t *data);

// Checks a whole image before anything is sent: record syntax, hexadecimal
// digits, checksums, addresses inside the controller's RAM and an end record.
// Returns 0, or the 1-based number of the first bad line with `reason` set.
int hex_validate(std::string_view text, std::string &reason);
