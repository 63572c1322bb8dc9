// The property model's internals: register blocks, the tone curve and the
// camera's message window.
#pragma once

#include <cstdint>

#include "vo_cam/vo_cam.h"

// What vocam_property_get, vocam_property_set and vocam_property_get_range
// do on a caller already admitted.
int cam_property_get(_vocam *handle, std::uint32_t id, int *value, std::uint32_t *flags);
int cam_property_set(_vocam *handle, std::uint32_t id, int value, std::uint32_t flags);
int cam_property_get_range(_vocam *handle, std::uint32_t id, int *min, int *max, int *value,
                           std::uint32_t *flags);

// The compatibility calls' view of a property (VocamGetProperty and its
// kin), on a caller already admitted: values in the units ConvertPropToFloat
// gives, flags read shifted into the high half of the word and written from
// it; 1 for success, 0 for failure.
float cam_prop_to_float(std::uint32_t id, int v);
std::uint32_t cam_prop_to_word(std::uint32_t id, float f);
int cam_float_property_get(_vocam *handle, std::uint32_t id, float *value, std::uint32_t *flags);
int cam_float_property_set(_vocam *handle, std::uint32_t id, float value, int flags);
int cam_float_property_range(_vocam *handle, std::uint32_t id, float *min, float *max, float *value,
                             std::uint32_t *flags);

// A register block: all four words in one read; flags and value in one write.
int cam_read_prop(vo::UsbCamera *handle, std::int32_t reg, vocam_prop *prop);
int cam_write_prop(vo::UsbCamera *handle, std::int32_t reg, const vocam_prop *prop);
int cam_get_prop_helper(vo::UsbCamera *handle, std::int32_t reg, int *min, int *max, int *value,
                        std::uint32_t *flags);
int cam_set_prop_helper(vo::UsbCamera *handle, std::int32_t reg, int value, std::uint32_t flags);

// Tone properties: the handle's brightness, contrast and gamma.
int cam_get_gamma_helper(const vo::ColourPart &colour, std::uint32_t id, int *min, int *max,
                         int *value, std::uint32_t *flags);
// Rebuilds tone_lut from the handle's settings and sends it to the camera,
// or hands the settings to the colour engine when the camera refuses it.
int cam_set_gamma_helper(vo::ColourPart &colour, vo::UsbCamera *camera);
// The tone curve of gamma, contrast and brightness (all x100).
void cam_make_tone_curve(std::int64_t gamma, std::int64_t contrast, std::int64_t brightness,
                         std::uint8_t out[256]);

int cam_set_temperature_helper(vo::UsbCamera *handle, int value, std::uint32_t flags);

// Sends a message through the camera's message window: 0, -22 for a message
// the camera does not take (or one too long for the window), or the failed
// transfer's status.
int cam_handle_message(vo::UsbCamera *handle, std::uint32_t message_id, const std::uint8_t *data,
                       std::uint32_t size);
int cam_write_message(vo::UsbCamera *handle, std::uint32_t message_id, const std::uint8_t *data,
                      std::uint32_t size);
