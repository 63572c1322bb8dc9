#include "controls.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "vocamapi.h"

namespace vocam::controls {

namespace {

constexpr double kGainLimit = 256.0;  // beyond any analogue gain a sensor has

constexpr Control kControls[] = {
    {"brightness", VOCAM_PROP_BRIGHTNESS, Unit::Hundredths, false,
     "tone curve brightness (0: unchanged)", Kind::Property, -100, 100, "brightness"},
    {"contrast", VOCAM_PROP_CONTRAST, Unit::Hundredths, false,
     "tone curve contrast (1.0: unchanged)", Kind::Property, 0, 100, "contrast"},
    {"gamma", VOCAM_PROP_GAMMA, Unit::Hundredths, false, "tone curve gamma (1.0: linear)",
     Kind::Property, 0.01, 5, "gamma"},
    {"exposure", VOCAM_PROP_EXPOSURE, Unit::Milliseconds, false, "exposure time", Kind::Property, 0,
     4294967.295, "exposure_ms"},
    {"gain", VOCAM_PROP_GAIN, Unit::Factor, false, "analogue gain", Kind::Property, 0, kGainLimit,
     "gain"},
    {"gain-red", VOCAM_PROP_GAIN_RED, Unit::Factor, false, "analogue gain of red", Kind::Property,
     0, kGainLimit, "red_gain"},
    {"gain-blue", VOCAM_PROP_GAIN_BLUE, Unit::Factor, false, "analogue gain of blue",
     Kind::Property, 0, kGainLimit, "blue_gain"},
    {"gain-green1", VOCAM_PROP_GAIN_GREEN1, Unit::Factor, false,
     "analogue gain of green 1 (the greens on red rows)", Kind::Property, 0, kGainLimit,
     "green1_gain"},
    {"gain-green2", VOCAM_PROP_GAIN_GREEN2, Unit::Factor, false,
     "analogue gain of green 2 (the greens on blue rows)", Kind::Property, 0, kGainLimit,
     "green2_gain"},
    {"demosaic", VOCAM_PROP_DEMOSAIC_METHOD, Unit::Plain, false, "demosaic method", Kind::Property,
     0, 9},
    {"matrix", VOCAM_PROP_CORRECTION_MATRIX, Unit::Plain, false, "correction matrix",
     Kind::Property, 0, 16},
    {"flip", VOCAM_PROP_FLIPPING, Unit::Plain, false, "bit 0 flip X, bit 1 flip Y", Kind::Property,
     0, 3},
    {"saturation", VOCAM_PROP_SATURATION, Unit::Hundredths, false, "saturation", Kind::Property, 0,
     100},
    {"hue", VOCAM_PROP_HUE, Unit::Hundredths, false, "hue in degrees", Kind::Property, -180, 180},
    {"white-balance-u", VOCAM_PROP_WHITE_BALANCE_U, Unit::Hundredths, false, "white balance U",
     Kind::Property, -100, 100},
    {"white-balance-v", VOCAM_PROP_WHITE_BALANCE_V, Unit::Hundredths, false, "white balance V",
     Kind::Property, -100, 100},
    {"digital-gain", VOCAM_PROP_DIGITAL_GAIN, Unit::Hundredths, false, "digital gain",
     Kind::Property, 0, kGainLimit},
    {"digital-gain-red", VOCAM_PROP_DIGITAL_GAIN_RED, Unit::Hundredths, false,
     "digital gain of red", Kind::Property, 0, kGainLimit},
    {"digital-gain-green", VOCAM_PROP_DIGITAL_GAIN_GREEN, Unit::Hundredths, false,
     "digital gain of green", Kind::Property, 0, kGainLimit},
    {"digital-gain-blue", VOCAM_PROP_DIGITAL_GAIN_BLUE, Unit::Hundredths, false,
     "digital gain of blue", Kind::Property, 0, kGainLimit},
    {"max-width", VOCAM_PROP_MAX_WIDTH, Unit::Plain, true, "sensor width", Kind::Property, 0,
     65535},
    {"max-height", VOCAM_PROP_MAX_HEIGHT, Unit::Plain, true, "sensor height", Kind::Property, 0,
     65535},
    {"unit-width", VOCAM_PROP_UNIT_WIDTH, Unit::Plain, true, "window width step", Kind::Property, 0,
     65535},
    {"unit-height", VOCAM_PROP_UNIT_HEIGHT, Unit::Plain, true, "window height step", Kind::Property,
     0, 65535},
    {"max-subsampling", VOCAM_PROP_MAX_SUBSAMPLING, Unit::Plain, true, "largest subsampling",
     Kind::Property, 0, 255},
    {"temperature", VOCAM_PROP_TEMPERATURE, Unit::Celsius, false,
     "sensor temperature; set: the cooler's target", Kind::Property, -273, 100, "temperature_c"},
    {"auto-exposure-target", VOCAM_PROP_AUTO_EXPOSURE_TARGET, Unit::Plain, false,
     "mean grey level automatic exposure aims at", Kind::Property, 0, 255},
    {"auto-exposure", VOCAM_PROP_EXPOSURE, Unit::Switch, false,
     "the camera sets its exposure itself", Kind::AutoExposure, 0, 1},
    {"data-rate", 0, Unit::Kilopixels, false, "data rate (one the camera lists)", Kind::DataRate, 0,
     65535, "data_rate"},
    {"conversion-threads", 0, Unit::Plain, false,
     "threads converting one large frame (0: the cores, up to 8)", Kind::ConversionThreads, 0, 8},
};

constexpr Choice kMethods[] = {
    {"none", 0, "no demosaicing: the mosaic as grey"},
    {"fast", 1, "nearest neighbour"},
    {"good", 2, "edge-detecting"},
    {"best", 3, "gradient-corrected"},
    {"block", 8, "2x2 blocks"},
    {"nearest", 1, "nearest neighbour"},
    {"edge", 2, "edge-detecting"},
    {"gradient", 3, "gradient-corrected"},
};

// 14 is the identity matrix: the colours as demosaiced, while the colour
// engine's own hue, saturation and digital gains still apply.
constexpr Choice kLights[] = {
    {"none", 14, "no colour correction"}, {"fluorescent", 1, "fluorescent light"},
    {"daylight", 2, "daylight"},          {"incandescent", 3, "incandescent light"},
    {"xenon", 4, "xenon light"},          {"halogen", 5, "halogen light"},
};

// Exposure and temperature are unsigned registers; every other value is signed.
bool unsignedRegister(const Control &c) {
    return c.unit == Unit::Milliseconds || c.unit == Unit::Celsius || c.unit == Unit::Kilopixels;
}

}  // namespace

std::span<const Control> all() {
    return kControls;
}

const Control *find(std::string_view name) {
    for (const Control &c : kControls)
        if (name == c.name || (c.python != nullptr && name == c.python)) return &c;
    return nullptr;
}

const Control *findProperty(std::uint32_t id) {
    for (const Control &c : kControls)
        if (c.kind == Kind::Property && c.id == id) return &c;
    return nullptr;
}

double toReadable(const Control &c, int value) {
    switch (c.unit) {
        case Unit::Hundredths:
            return value / 100.0;
        case Unit::Milliseconds:
            return static_cast<std::uint32_t>(value) / 1000.0;
        case Unit::Factor:
            return value / 4096.0;
        case Unit::Celsius:
            return vocam_register_to_temp(static_cast<std::uint32_t>(value));
        case Unit::Kilopixels:
            return static_cast<std::uint32_t>(value);
        case Unit::Plain:
        case Unit::Switch:
            break;
    }
    return value;
}

double rawValue(const Control &c, double value) {
    switch (c.unit) {
        case Unit::Hundredths:
            return std::round(value * 100.0);
        case Unit::Milliseconds:
            return std::round(value * 1000.0);
        case Unit::Factor:
            return std::round(value * 4096.0);
        case Unit::Celsius:
            return std::round((value + 273.0) * 1000.0);
        case Unit::Plain:
        case Unit::Kilopixels:
        case Unit::Switch:
            break;
    }
    return std::round(value);
}

double registerNumber(const Control &c, int value) {
    return unsignedRegister(c) ? static_cast<double>(static_cast<std::uint32_t>(value)) : value;
}

std::optional<int> toRegister(const Control &c, double value) {
    const double raw = rawValue(c, value);
    const double low = unsignedRegister(c) ? 0.0 : -2147483648.0;
    const double high = unsignedRegister(c) ? 4294967295.0 : 2147483647.0;
    if (!(raw >= low && raw <= high)) return std::nullopt;
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::int64_t>(raw)));
}

const char *unitText(Unit unit) {
    switch (unit) {
        case Unit::Milliseconds:
            return " ms";
        case Unit::Factor:
            return "x";
        case Unit::Celsius:
            return " C";
        case Unit::Kilopixels:
            return " kpixel/s";
        default:
            return "";
    }
}

std::string formatValue(const Control &c, int value) {
    char text[64];
    if (c.unit == Unit::Plain)
        std::snprintf(text, sizeof text, "%d", value);
    else
        std::snprintf(text, sizeof text, "%.6g%s", toReadable(c, value), unitText(c.unit));
    return text;
}

std::span<const Choice> demosaicMethods() {
    return kMethods;
}

std::span<const Choice> lightSources() {
    return kLights;
}

std::optional<std::uint32_t> findChoice(std::span<const Choice> choices, std::string_view name) {
    for (const Choice &c : choices)
        if (name == c.name) return c.value;
    return std::nullopt;
}

std::string choiceNames(std::span<const Choice> choices) {
    std::vector<const char *> usual;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        bool first = true;
        for (std::size_t j = 0; j < i; ++j) first = first && choices[j].value != choices[i].value;
        if (first) usual.push_back(choices[i].name);
    }
    std::string out;
    for (std::size_t i = 0; i < usual.size(); ++i) {
        if (i > 0) out += i + 1 == usual.size() ? " or " : ", ";
        out += usual[i];
    }
    return out;
}

}  // namespace vocam::controls
