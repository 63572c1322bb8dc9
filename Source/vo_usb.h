// Transport internals: device getters and identity reads used by device open.
#pragma once

#include <cstdint>

#include "vo_cam.h"
#include "vocamusb.h"

// Vendor request that carries register reads and writes.
inline constexpr std::uint8_t kRegisterRequest = 0x12;

int usb_get_device_speed(_vocam *handle);
int usb_get_device_release_number(_vocam *handle);

// Reads string descriptor `index` as 8-bit characters (the low byte of each
// UTF-16 unit). 0, -1, or a platform code (0xE00002E9 for a malformed one).
int usb_get_string_descriptor(_vocam *handle, std::uint8_t index, char *out, int capacity,
                              std::uint16_t language);
int usb_get_device_model_name(_vocam *handle);
int usb_get_device_serial_number(_vocam *handle);
int usb_get_device_firmware_version(_vocam *handle);

// The serial number a string spells; non-digits do not stop the parse.
std::uint32_t usb_parse_serial_number(const char *text);

// The time-out of a bulk transfer of `length` bytes.
std::uint32_t usb_bulk_timeout_ms(std::uint32_t length);
