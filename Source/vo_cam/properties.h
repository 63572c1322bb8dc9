// The property model's internals: register blocks, the tone curve and the
// camera's message window.
#pragma once

#include <cstdint>

#include "vo_cam/vo_cam.h"

// Camera registers of the property model.
namespace vocam::reg {
inline constexpr std::int32_t kExposure = 0x04A0;
inline constexpr std::int32_t kGain = 0x04F0;
inline constexpr std::int32_t kGainRed = 0x0500;
inline constexpr std::int32_t kGainGreen1 = 0x0510;
inline constexpr std::int32_t kGainGreen2 = 0x0520;
inline constexpr std::int32_t kGainBlue = 0x0530;
inline constexpr std::int32_t kAutoExposureTarget = 0x0640;
inline constexpr std::int32_t kTemperature = 0x0690;
inline constexpr std::int32_t kFan = 0x0730;
inline constexpr std::int32_t kSubsamplingInquiry = 0x101C;
inline constexpr std::int32_t kMessageSupport = 0x4FF8;
inline constexpr std::int32_t kMessageSelect = 0x4FFC;
inline constexpr std::int32_t kMessageData = 0x5000;
}  // namespace vocam::reg

// Message 0: the 256-entry tone curve the camera applies to its frames.
inline constexpr std::uint32_t kMessageToneCurve = 0;

// A register block: all four words in one read; flags and value in one write.
int cam_read_prop(_vocam *handle, std::int32_t reg, vocam_prop *prop);
int cam_write_prop(_vocam *handle, std::int32_t reg, const vocam_prop *prop);
int cam_get_prop_helper(_vocam *handle, std::int32_t reg, int *min, int *max, int *value,
                        std::uint32_t *flags);
int cam_set_prop_helper(_vocam *handle, std::int32_t reg, int value, std::uint32_t flags);

// Tone properties: the handle's brightness, contrast and gamma.
int cam_get_gamma_helper(_vocam *handle, std::uint32_t id, int *min, int *max, int *value,
                         std::uint32_t *flags);
// Rebuilds tone_lut from the handle's settings and sends it to the camera,
// or hands the settings to the colour engine when the camera refuses it.
int cam_set_gamma_helper(_vocam *handle);
// The tone curve of gamma, contrast and brightness (all x100).
void cam_make_tone_curve(std::int64_t gamma, std::int64_t contrast, std::int64_t brightness,
                         std::uint8_t out[256]);

int cam_set_temperature_helper(_vocam *handle, int value, std::uint32_t flags);

// Sends a message through the camera's message window: 0, -22 for a message
// the camera does not take (or one too long for the window), or the failed
// transfer's status.
int cam_handle_message(_vocam *handle, std::uint32_t message_id, const std::uint8_t *data,
                       std::uint32_t size);
int cam_write_message(_vocam *handle, std::uint32_t message_id, const std::uint8_t *data,
                      std::uint32_t size);
