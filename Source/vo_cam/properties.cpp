// The property model: register blocks in the camera, the tone curve, the
// colour engine's settings, cooling and the fixed geometry, behind three
// calls that route each identifier to its place.
#include "vo_cam/properties.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <new>

#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "device/vo_cameras.h"
#include "device/wire.h"
#include "transport/vo_usb.h"
#include "vo_cam/entry.h"

using namespace vocam;
namespace wire = vocam::wire;

namespace {

constexpr std::uint32_t kToneFlags = VOCAM_PROP_FLAG_TONE;
// The flags the colour engine takes for its tone settings.
constexpr unsigned kEngineToneFlags = 15;
constexpr std::uint32_t kMatrixEntryBytes = 20;

void writeFailed(const char *name) {
    vo::logf(vo::LogKind::Error, "error: unable to write param '%s'\n", name);
}

// Truncation toward zero that stays defined for any setting an engine may
// hold: NaN reads as 0, and values beyond int saturate.
int truncated(double x) {
    if (std::isnan(x)) return 0;
    if (x >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (x <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(x);
}

int roundedUp(double setting) {
    return truncated(0.5 + 100.0 * setting);
}

std::int16_t le16(const std::uint8_t *p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | p[1] << 8));
}

// The register block behind a register property, or -1.
std::int32_t registerBlock(std::uint32_t id) {
    switch (id) {
        case VOCAM_PROP_EXPOSURE:
            return wire::kExposure.address;
        case VOCAM_PROP_GAIN:
            return wire::kGain.address;
        case VOCAM_PROP_GAIN_RED:
            return wire::kGainRed.address;
        case VOCAM_PROP_GAIN_BLUE:
            return wire::kGainBlue.address;
        case VOCAM_PROP_GAIN_GREEN1:
            return wire::kGainGreen1.address;
        case VOCAM_PROP_GAIN_GREEN2:
            return wire::kGainGreen2.address;
        case VOCAM_PROP_TEMPERATURE:
            return wire::kTemperature.address;
        case VOCAM_PROP_AUTO_EXPOSURE_TARGET:
            return wire::kAutoExposureTarget.address;
        default:
            return VOCAM_EFAIL;
    }
}

bool isToneProperty(std::uint32_t id) {
    return id == VOCAM_PROP_BRIGHTNESS || id == VOCAM_PROP_CONTRAST || id == VOCAM_PROP_GAMMA;
}

void putRange(int *min, int *max, int lo, int hi) {
    if (min != nullptr) *min = lo;
    if (max != nullptr) *max = hi;
}

// Engine properties, get. *value and *flags are zero on entry.
int getEngineProperty(CVotf &engine, bool mono, std::uint32_t id, int *min, int *max, int *value) {
    switch (id) {
        case VOCAM_PROP_DEMOSAIC_METHOD: {
            unsigned method = 0;
            const int r = engine.DemosaicMethodGet(&method);
            putRange(min, max, 0, 2);
            *value = static_cast<int>(method);
            return r;
        }
        case VOCAM_PROP_CORRECTION_MATRIX: {
            unsigned matrix = 0;
            const int r = engine.CorrectionMatrixGet(&matrix);
            putRange(min, max, 0, 5);
            *value = static_cast<int>(matrix);
            return r;
        }
        case VOCAM_PROP_FLIPPING: {
            int x = 0, y = 0;
            const int r = engine.GetFlipping(&x, &y);
            putRange(min, max, 0, 3);
            *value = (x != 0 ? 1 : 0) | (y != 0 ? 2 : 0);
            return r;
        }
        case VOCAM_PROP_SATURATION: {
            double u = 0, v = 0;
            const int r = engine.GetSaturation(&u, &v);
            putRange(min, max, 5, 200);
            *value = roundedUp(u);
            return r;
        }
        case VOCAM_PROP_HUE: {
            double hue = 0;
            engine.GetHue(&hue);
            putRange(min, max, -18000, 18000);
            *value = roundedUp(hue);
            return 0;
        }
        case VOCAM_PROP_WHITE_BALANCE_U:
        case VOCAM_PROP_WHITE_BALANCE_V: {
            // A monochrome picture has no chroma to balance.
            if (mono) {
                putRange(min, max, 0, 0);
                *value = 0;
                return 0;
            }
            double u = 0, v = 0;
            const int r = engine.GetWhiteBalance(&u, &v);
            putRange(min, max, -100, 100);
            *value = roundedUp(id == VOCAM_PROP_WHITE_BALANCE_U ? u : v);
            return r;
        }
        case VOCAM_PROP_DIGITAL_GAIN: {
            if (mono) {
                putRange(min, max, 100, 100);
                *value = 100;
                return 0;
            }
            double gain = 0;
            const int r = engine.GetGain(&gain);
            putRange(min, max, 100, 200);
            *value = roundedUp(gain);
            return r;
        }
        case VOCAM_PROP_DIGITAL_GAIN_RED:
        case VOCAM_PROP_DIGITAL_GAIN_GREEN:
        case VOCAM_PROP_DIGITAL_GAIN_BLUE: {
            if (mono) {
                putRange(min, max, 100, 100);
                *value = 100;
                return 0;
            }
            double g[3] = {};
            const int r = engine.GetDigitalColorGains(&g[0], &g[1], &g[2]);
            putRange(min, max, 100, 250);
            *value = truncated(100.0 * g[id - VOCAM_PROP_DIGITAL_GAIN_RED]);
            return r;
        }
        default:
            return VOCAM_EINVAL;
    }
}

// Engine properties, set.
int setEngineProperty(CVotf &engine, std::uint32_t id, int value) {
    const double scaled = value / 100.0;
    switch (id) {
        case VOCAM_PROP_DEMOSAIC_METHOD:
            return engine.DemosaicMethodSet(static_cast<unsigned>(value));
        case VOCAM_PROP_CORRECTION_MATRIX:
            return engine.CorrectionMatrixSet(static_cast<unsigned>(value));
        case VOCAM_PROP_FLIPPING:
            return engine.SetFlipping(value & 1, (value >> 1) & 1);
        case VOCAM_PROP_SATURATION:
            return engine.SetSaturation(scaled, scaled);
        case VOCAM_PROP_HUE:
            return engine.SetHue(scaled);
        case VOCAM_PROP_WHITE_BALANCE_U:
        case VOCAM_PROP_WHITE_BALANCE_V: {
            double u = 0, v = 0;
            if (const int r = engine.GetWhiteBalance(&u, &v); r < 0) return r;
            (id == VOCAM_PROP_WHITE_BALANCE_U ? u : v) = scaled;
            return engine.SetWhiteBalance(u, v);
        }
        case VOCAM_PROP_DIGITAL_GAIN:
            return engine.SetGain(scaled);
        case VOCAM_PROP_DIGITAL_GAIN_RED:
        case VOCAM_PROP_DIGITAL_GAIN_GREEN:
        case VOCAM_PROP_DIGITAL_GAIN_BLUE: {
            double g[3] = {};
            if (const int r = engine.GetDigitalColorGains(&g[0], &g[1], &g[2]); r < 0) return r;
            g[id - VOCAM_PROP_DIGITAL_GAIN_RED] = scaled;
            return engine.SetDigitalColorGains(g[0], g[1], g[2]);
        }
        default:
            return VOCAM_EINVAL;
    }
}

bool isEngineProperty(std::uint32_t id) {
    return id >= VOCAM_PROP_DEMOSAIC_METHOD && id <= VOCAM_PROP_DIGITAL_GAIN_BLUE;
}

}  // namespace

int cam_property_set(_vocam *handle, std::uint32_t id, int value, std::uint32_t flags) {
    vo::Lock turn(handle->colour.lock);
    if (const int r = vo_create_votf_locked(handle->colour, handle->camera); r != 0) return r;
    if (isToneProperty(id)) {
        std::int64_t &field = id == VOCAM_PROP_BRIGHTNESS ? handle->colour.brightness
                              : id == VOCAM_PROP_CONTRAST ? handle->colour.contrast
                                                          : handle->colour.gamma;
        field = value;
        return cam_set_gamma_helper(handle->colour, handle);
    }
    if (id == VOCAM_PROP_TEMPERATURE) return cam_set_temperature_helper(handle, value, flags);
    if (const std::int32_t block = registerBlock(id); block >= 0) {
        const int r = cam_set_prop_helper(handle, block, value, flags);
        // A stream waits for frames as long as their exposure takes.
        if (r == 0 && id == VOCAM_PROP_EXPOSURE)
            handle->stream.reportExposure(static_cast<std::uint32_t>(value));
        return r;
    }
    if (isEngineProperty(id)) return setEngineProperty(*handle->colour.converter, id, value);
    return VOCAM_EINVAL;
}

int cam_property_get_range(_vocam *handle, std::uint32_t id, int *min, int *max, int *value,
                           std::uint32_t *flags) {
    if (value == nullptr || flags == nullptr) return VOCAM_EINVAL;
    vo::Lock turn(handle->colour.lock);
    if (const int r = vo_create_votf_locked(handle->colour, handle->camera); r != 0) return r;
    *flags = 0;
    *value = 0;
    putRange(min, max, 0, 0);
    if (isToneProperty(id)) return cam_get_gamma_helper(handle->colour, id, min, max, value, flags);
    if (const std::int32_t block = registerBlock(id); block >= 0) {
        const int r = cam_get_prop_helper(handle, block, min, max, value, flags);
        if (r == 0 && id == VOCAM_PROP_EXPOSURE)
            handle->stream.reportExposure(static_cast<std::uint32_t>(*value));
        return r;
    }
    if (isEngineProperty(id))
        return getEngineProperty(*handle->colour.converter, handle->camera.is_color == 0, id, min,
                                 max, value);
    return VOCAM_EINVAL;
}

int cam_property_get(_vocam *handle, std::uint32_t id, int *value, std::uint32_t *flags) {
    if (value == nullptr || flags == nullptr) return VOCAM_EINVAL;
    *value = 0;
    *flags = 0;
    switch (id) {
        case VOCAM_PROP_MAX_WIDTH:
            *value = handle->camera.max_width;
            return 0;
        case VOCAM_PROP_MAX_HEIGHT:
            *value = handle->camera.max_height;
            return 0;
        case VOCAM_PROP_UNIT_WIDTH:
            *value = handle->camera.unit_width;
            return 0;
        case VOCAM_PROP_UNIT_HEIGHT:
            *value = handle->camera.unit_height;
            return 0;
        case VOCAM_PROP_MAX_SUBSAMPLING: {
            std::uint32_t word = 0;
            const int r = usb_read_u32(handle, wire::kSubsamplingInquiry.address, &word);
            if (r != 0) {
                vo::logf(vo::LogKind::Error, "error: unable to read param '%s'\n",
                         wire::kSubsamplingInquiry.name);
                return r;
            }
            *value = static_cast<int>(word & 0xFF);
            return 0;
        }
        default:
            return cam_property_get_range(handle, id, nullptr, nullptr, value, flags);
    }
}

// ---- register blocks

int cam_read_prop(vo::UsbCamera *handle, std::int32_t reg, vocam_prop *prop) {
    std::uint32_t words[wire::kBlockWords];
    const int r = usb_read_array(handle, reg, words, wire::kBlockWords);
    if (r != 0) return r;
    prop->flags = words[0];
    prop->value = words[1];
    prop->min = words[2];
    prop->max = words[3];
    return 0;
}

int cam_write_prop(vo::UsbCamera *handle, std::int32_t reg, const vocam_prop *prop) {
    const std::uint32_t words[2] = {prop->flags, prop->value};
    return usb_write_array(handle, reg, words, 2);
}

int cam_get_prop_helper(vo::UsbCamera *handle, std::int32_t reg, int *min, int *max, int *value,
                        std::uint32_t *flags) {
    vocam_prop prop{};
    if (const int r = cam_read_prop(handle, reg, &prop); r != 0) return r;
    putRange(min, max, static_cast<int>(prop.min), static_cast<int>(prop.max));
    *value = static_cast<int>(prop.value);
    *flags = prop.flags;
    return 0;
}

int cam_set_prop_helper(vo::UsbCamera *handle, std::int32_t reg, int value, std::uint32_t flags) {
    vocam_prop prop{};
    prop.flags = flags;
    prop.value = static_cast<std::uint32_t>(value);
    return cam_write_prop(handle, reg, &prop);
}

// ---- tone curve

int cam_get_gamma_helper(const vo::ColourPart &colour, std::uint32_t id, int *min, int *max,
                         int *value, std::uint32_t *flags) {
    switch (id) {
        case VOCAM_PROP_BRIGHTNESS:
            putRange(min, max, -10000, 10000);
            *value = static_cast<int>(colour.brightness);
            break;
        case VOCAM_PROP_CONTRAST:
            putRange(min, max, 0, 10000);
            *value = static_cast<int>(colour.contrast);
            break;
        case VOCAM_PROP_GAMMA:
            putRange(min, max, 1, 500);
            *value = static_cast<int>(colour.gamma);
            break;
        default:
            return VOCAM_EINVAL;
    }
    *flags = kToneFlags;
    return 0;
}

void cam_make_tone_curve(std::int64_t gamma, std::int64_t contrast, std::int64_t brightness,
                         std::uint8_t out[256]) {
    const double g = static_cast<double>(gamma) / 100.0;
    const double c = static_cast<double>(contrast) / 100.0;
    const double b = static_cast<double>(brightness) / 100.0;
    const double k = std::pow(255.0, 1.0 - 1.0 / g);
    for (int i = 0; i < 256; ++i) {
        double x = 128.0 + (i + b - 128.0) * c;
        if (x > 0) x = std::pow(x, 1.0 / g) * k;
        // A gamma of 0 makes the curve undefined (NaN); it then reads as 0
        // rather than reaching an undefined conversion.
        if (x > 255.0)
            x = 255.0;
        else if (!(x > 0.0))
            x = 0.0;
        out[i] = static_cast<std::uint8_t>(x);
    }
}

int cam_set_gamma_helper(vo::ColourPart &colour, vo::UsbCamera *camera) {
    cam_make_tone_curve(colour.gamma, colour.contrast, colour.brightness, colour.tone_lut);
    if (cam_write_message(camera, wire::kToneCurveMessage, colour.tone_lut,
                          sizeof colour.tone_lut) == 0)
        return 0;
    // The camera cannot apply a curve: the conversion does instead.
    if (colour.converter) {
        CVotf &engine = *colour.converter;
        engine.SetGamma(static_cast<int>(colour.gamma), kEngineToneFlags);
        engine.SetContrast(static_cast<int>(colour.contrast), kEngineToneFlags);
        engine.SetBrightness(static_cast<int>(colour.brightness), kEngineToneFlags);
    }
    return 0;
}

// ---- messages

int cam_handle_message(vo::UsbCamera *handle, std::uint32_t message_id, const std::uint8_t *data,
                       std::uint32_t size) {
    std::uint32_t supported = 0;
    if (const int r = usb_read_u32(handle, wire::kMessageSupport.address, &supported); r != 0)
        return r;
    if ((supported & (1u << (message_id % 32))) == 0) {
        vo::logf(vo::LogKind::Error, "vocam message %u is not supported\n", message_id);
        return VOCAM_EINVAL;
    }
    // Past the end of the window the bytes would land in registers that are
    // not the message's.
    if (size > wire::kMessageWindowBytes || (size > 0 && data == nullptr)) return VOCAM_EINVAL;
    if (const int r = usb_write_u32(handle, wire::kMessageSelect.address, message_id); r != 0)
        return r;
    if (size == 0) return usb_write_array(handle, wire::kMessageData.address, nullptr, 0);
    std::int32_t address = wire::kMessageData.address;
    std::uint32_t remaining = size;
    while (remaining > 0) {
        const std::uint32_t chunk =
            remaining > wire::kToneCurvePiece && message_id == wire::kToneCurveMessage
                ? wire::kToneCurvePiece
            : remaining > wire::kMessagePiece ? wire::kMessagePiece
                                              : remaining;
        const int r = usb_write_bytes(handle, address, const_cast<std::uint8_t *>(data), chunk);
        if (r != 0) return r;
        data += chunk;
        remaining -= chunk;
        address += static_cast<std::int32_t>(chunk & 0xFFF);
    }
    return 0;
}

int cam_write_message(vo::UsbCamera *handle, std::uint32_t message_id, const std::uint8_t *data,
                      std::uint32_t size) {
    return cam_handle_message(handle, message_id, data, size);
}

// ---- temperature

int cam_set_temperature_helper(vo::UsbCamera *handle, int value, std::uint32_t flags) {
    if (!handle->camera.temperature_supported) return VOCAM_EINVAL;
    // Compared one bound at a time, so a camera that reports its bounds the
    // wrong way round still gets a value inside what it reported.
    if (value < handle->camera.temperature_min) value = handle->camera.temperature_min;
    if (value > handle->camera.temperature_max) value = handle->camera.temperature_max;
    int r = usb_write_u32(handle, wire::kTemperature.address + wire::kBlockFlags, flags);
    if (r != 0) {
        writeFailed("VOCAM_TEMPERATURE + VOCAM_PROPERTY_FLAGVAL");
        return r;
    }
    r = usb_write_u32(handle, wire::kTemperature.address + wire::kBlockValue,
                      static_cast<std::uint32_t>(value));
    if (r != 0) {
        writeFailed("VOCAM_TEMPERATURE + VOCAM_PROPERTY_CURVAL");
        return r;
    }
    handle->camera.temperature_target = value;
    handle->camera.temperature_on = (flags & VOCAM_PROP_FLAG_ON) != 0;
    if (handle->camera.fan_present) {
        // The fan runs whenever the cooler does.
        r = usb_write_u32(handle, wire::kFan.address, flags);
        if (r != 0) {
            writeFailed(wire::kFan.name);
            return r;
        }
        handle->camera.fan_on = handle->camera.temperature_on;
    }
    return 0;
}

int vo_create_votf_locked(vo::ColourPart &colour, const vo::CameraState &camera) {
    if (colour.converter) return 0;
    colour.converter.reset(new (std::nothrow) CVotf);
    if (!colour.converter) {
        vo::logs(vo::LogKind::Error, "error: unable to create conversion object\n");
        return VOCAM_ENOMEM;
    }
    const std::uint8_t *payload = nullptr;
    std::uint32_t length = 0;
    const int r = usb_get_model_data(camera, kModelDataMatrices, &payload, &length);
    if (r != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to get model data matrices\n");
        return r;
    }
    for (std::uint32_t at = 0; length - at >= kMatrixEntryBytes; at += kMatrixEntryBytes) {
        const std::uint8_t *entry = payload + at;
        std::int16_t coefficients[9];
        for (int i = 0; i < 9; ++i) coefficients[i] = le16(entry + 2 + 2 * i);
        const auto id = static_cast<unsigned>(static_cast<std::uint16_t>(le16(entry)));
        if (colour.converter->SpecifyMatrix(id, coefficients) != 0) break;
    }
    return 0;
}

int cam_adjust_white_balance(vo::ColourPart &colour, const vo::CameraState &camera, double red,
                             double green, double blue) {
    vo::Lock turn(colour.lock);
    if (const int r = vo_create_votf_locked(colour, camera); r != 0) return r;
    return colour.converter->AdjustWhiteBalanceForRGBvalues(red, green, blue);
}

extern "C" {

VOCAM_API int vo_usb_create_votf(_vocam *handle) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        vo::Lock turn(handle->colour.lock);
        return vo_create_votf_locked(handle->colour, handle->camera);
    });
}

VOCAM_API int vocam_property_get(_vocam *handle, std::uint32_t id, int *value,
                                 std::uint32_t *flags) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL,
                         [&] { return cam_property_get(handle, id, value, flags); });
}

VOCAM_API int vocam_property_set(_vocam *handle, std::uint32_t id, int value, std::uint32_t flags) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL,
                         [&] { return cam_property_set(handle, id, value, flags); });
}

VOCAM_API int vocam_property_get_range(_vocam *handle, std::uint32_t id, int *min, int *max,
                                       int *value, std::uint32_t *flags) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return cam_property_get_range(handle, id, min, max, value, flags);
    });
}

VOCAM_API std::uint32_t vocam_temp_to_register(float celsius) {
    return vo::guard(__func__, [&]() -> std::uint32_t {
        const float units = 1000.0f * (celsius + 273.0f);
        // Below absolute zero, beyond the word, or NaN: the nearest word there is.
        if (!(units > 0.0f)) return 0;
        if (units >= 4294967296.0f) return UINT32_MAX;
        return static_cast<std::uint32_t>(units);
    });
}

VOCAM_API float vocam_register_to_temp(std::uint32_t register_value) {
    return vo::guard(__func__, [&]() -> float {
        const float units = static_cast<float>(register_value);
        return static_cast<float>(units / 1000.0 - 273.0);
    });
}

}  // extern "C"
