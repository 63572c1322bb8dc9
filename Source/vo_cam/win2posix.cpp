// The compatibility property calls: true/false results, float values in
// physical units, and flags carried in the high half of the word.
#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "base/vo_guard.h"
#include "vo_cam/entry.h"
#include "vo_cam/properties.h"
#include "vocamapi.h"

namespace {

bool oneOf(std::uint32_t id, std::initializer_list<std::uint32_t> ids) {
    for (std::uint32_t i : ids)
        if (i == id) return true;
    return false;
}

bool inHundredths(std::uint32_t id) {
    return oneOf(id, {0, 1, 5, 67, 68, 71, 72, 73, 74});
}
bool inThousandths(std::uint32_t id) {
    return oneOf(id, {20, 50, 56, 96, 97, 98, 100, 116});
}
bool inGainUnits(std::uint32_t id) {
    return (id >= 40 && id <= 44) || (id >= 51 && id <= 55);
}

constexpr std::uint32_t kTemperature = 108;
constexpr std::uint32_t kFrameTime = 21;
constexpr std::uint32_t kBrightnessScale = 256;

// Truncation toward zero into the 32-bit word. Negative results wrap as a
// signed int would; NaN and values beyond the word's reach saturate instead
// of reaching an undefined conversion.
std::uint32_t toWord(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 4294967295.0) return UINT32_MAX;
    if (x <= -2147483648.0) return 0x80000000u;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(x));
}

std::uint32_t rounded(float x) {
    return toWord(static_cast<double>(x + 0.5f));
}

bool succeeded(int status) {
    return status >= 0;
}

}  // namespace

float cam_prop_to_float(std::uint32_t id, int v) {
    if (inHundredths(id)) return static_cast<float>(v) / 100.0f;
    if (inThousandths(id)) return static_cast<float>(static_cast<std::uint32_t>(v)) / 1000.0f;
    if (inGainUnits(id)) return static_cast<float>(v) / 4096.0f;
    if (id == kTemperature) return static_cast<float>(static_cast<float>(v) / 1000.0 - 273.0);
    if (id == kFrameTime) {
        if (v <= 0) return 10000.0f;
        const float tenths = static_cast<float>(v) / 10.0f;
        return 100.0f / (tenths * tenths);
    }
    if (id == kBrightnessScale) {
        if (v <= 256) return 100.0f * static_cast<float>(512 - v) / 512.0f;
        return 12800.0f / static_cast<float>(v);
    }
    return static_cast<float>(v);
}

std::uint32_t cam_prop_to_word(std::uint32_t id, float f) {
    if (std::isnan(f)) return 0;
    if (inHundredths(id)) return rounded(100.0f * f);
    if (inThousandths(id)) return rounded(1000.0f * f);
    if (inGainUnits(id)) return rounded(4096.0f * f);
    if (id == kTemperature) return toWord((static_cast<double>(f) + 273.0) * 1000.0 + 0.5);
    if (id == kFrameTime) {
        if (f <= 0.0f) f = 0.01f;
        return rounded(10.0f * std::sqrt(100.0f / f));
    }
    if (id == kBrightnessScale) {
        if (f < 50.0f) {
            // The formula has no value at zero: the dimmest end of the
            // scale. Below zero it gives a negative word, as callers of
            // the formula expect.
            if (f == 0.0f) return 65535;
            const float v = 256.0f * 50.0f / f;
            return v >= 65535.0f ? 65535 : toWord(v);
        }
        const float v = 512.0f - 512.0f * f / 100.0f;
        return v < 1.0f ? 1 : toWord(v);
    }
    return rounded(f);
}

int cam_float_property_range(_vocam *handle, std::uint32_t id, float *min, float *max, float *value,
                             std::uint32_t *flags) {
    if (value == nullptr || flags == nullptr) return 0;
    int lo = 0, hi = 0, v = 0;
    std::uint32_t f = 0;
    if (!succeeded(cam_property_get_range(handle, id, &lo, &hi, &v, &f))) return 0;
    if (min != nullptr) *min = cam_prop_to_float(id, lo);
    if (max != nullptr) *max = cam_prop_to_float(id, hi);
    *value = cam_prop_to_float(id, v);
    *flags = f;
    return 1;
}

int cam_float_property_set(_vocam *handle, std::uint32_t id, float value, int flags) {
    return succeeded(cam_property_set(handle, id, static_cast<int>(cam_prop_to_word(id, value)),
                                      static_cast<std::uint32_t>(flags >> 16)))
               ? 1
               : 0;
}

int cam_float_property_get(_vocam *handle, std::uint32_t id, float *value, std::uint32_t *flags) {
    if (value == nullptr || flags == nullptr) return 0;
    int v = 0;
    std::uint32_t f = 0;
    if (!succeeded(cam_property_get(handle, id, &v, &f))) return 0;
    *value = cam_prop_to_float(id, v);
    *flags = f << 16;
    return 1;
}

extern "C" {

VOCAM_API std::int32_t VocamLastError = 0;

VOCAM_API float ConvertPropToFloat(std::uint32_t id, int v) {
    return vo::guard(__func__, [&]() -> float { return cam_prop_to_float(id, v); });
}

VOCAM_API std::uint32_t ConvertPropToLong(std::uint32_t id, float f) {
    return vo::guard(__func__, [&]() -> std::uint32_t { return cam_prop_to_word(id, f); });
}

VOCAM_API int VocamPropertyGetRange(_vocam *handle, std::uint32_t id, int *min, int *max,
                                    int *value, std::uint32_t *flags) {
    return vo::api::compat(__func__, handle, [&] {
        return succeeded(cam_property_get_range(handle, id, min, max, value, flags)) ? 1 : 0;
    });
}

VOCAM_API int VocamPropertySet(_vocam *handle, std::uint32_t id, int value, int flags) {
    return vo::api::compat(__func__, handle, [&] {
        return succeeded(cam_property_set(handle, id, value, static_cast<std::uint32_t>(flags)))
                   ? 1
                   : 0;
    });
}

VOCAM_API int VocamPropertyGet(_vocam *handle, std::uint32_t id, int *value, std::uint32_t *flags) {
    return vo::api::compat(__func__, handle, [&] {
        return succeeded(cam_property_get(handle, id, value, flags)) ? 1 : 0;
    });
}

VOCAM_API int VocamPropertyRange(_vocam *handle, std::uint32_t id, float *min, float *max,
                                 float *value, std::uint32_t *flags) {
    return vo::api::compat(__func__, handle, [&] {
        return cam_float_property_range(handle, id, min, max, value, flags);
    });
}

VOCAM_API int VocamSetProperty(_vocam *handle, std::uint32_t id, float value, int flags) {
    return vo::api::compat(__func__, handle,
                           [&] { return cam_float_property_set(handle, id, value, flags); });
}

VOCAM_API int VocamGetProperty(_vocam *handle, std::uint32_t id, float *value,
                               std::uint32_t *flags) {
    return vo::api::compat(__func__, handle,
                           [&] { return cam_float_property_get(handle, id, value, flags); });
}

}  // extern "C"
