// The model table and its lookups.
#pragma once

#include <cstdint>

#include "vocamusb.h"

namespace vocam {

// The camera vendor IDs of the model table, and the vendor ID under which a
// bare FX2 controller may enumerate before it has firmware.
inline constexpr std::uint16_t kCameraVendorA = 0x3EC1;
inline constexpr std::uint16_t kCameraVendorB = 0x3EC2;
inline constexpr std::uint16_t kFx2ControllerVendor = 0x04B4;

inline constexpr std::uint16_t kAnyRelease = 0xFFFF;

// Tag of the colour-correction matrices in a model's data.
inline constexpr std::uint32_t kModelDataMatrices = 1;

}  // namespace vocam

// First entry for this product (bit 15 ignored) and release (0xFFFF: any).
const model_table_entry *vo_camera_find(std::uint16_t product_id, std::uint16_t release);

// First record of `tag` in a model's data: 0, -14 when absent or malformed.
int vo_find_model_record(const model_table_entry *model, std::uint32_t tag,
                         const std::uint8_t **payload, std::uint32_t *length);
