// Intel HEX firmware images for the FX2 controller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
