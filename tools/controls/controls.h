// The camera controls as people name them: one table of names, units and
// ranges that every front end (the vocam command, the GStreamer element, the
// Python package) shows, so a control is called the same everywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vocam::controls {

// How a control's register value reads to a person.
enum class Unit {
    Plain,         // the number itself
    Hundredths,    // value / 100
    Milliseconds,  // microseconds in the register, shown in ms
    Factor,        // 4096 = 1.0
    Celsius,       // 1000 x (degrees Celsius + 273)
    Kilopixels,    // kilopixels per second (the data rate)
    Switch,        // off or on
};

// What stands behind a control: a numbered property, or one of the few
// controls that are calls of their own.
enum class Kind {
    Property,           // vocam_property_get / _set with `id`
    AutoExposure,       // VOCAM_PROP_FLAG_AUTO in the exposure property's flags
    DataRate,           // vocam_get_data_rate / vocam_set_data_rate
    ConversionThreads,  // vocam_set_conversion_threads
};

struct Control {
    const char *name;  // as the vocam command and the GStreamer element call it
    std::uint32_t id;  // property number (Kind::Property)
    Unit unit;
    bool readOnly;
    const char *what;
    Kind kind = Kind::Property;
    // The widest range any camera takes, in readable units, for front ends
    // that must declare one before a camera is open; the camera's own range
    // is narrower and is what a value is held to.
    double lowest = 0, highest = 0;
    const char *python = nullptr;  // the Python package's attribute, if any
};

// Every control, the numbered properties first in number order.
std::span<const Control> all();
// By name (the table's or the Python package's); nothing when unknown.
const Control *find(std::string_view name);
// The numbered property's entry; nothing when the table does not name it.
const Control *findProperty(std::uint32_t id);

// Register value <-> readable value.
double toReadable(const Control &c, int value);
// The register number a readable value stands for, rounded, not yet checked
// against the register's width.
double rawValue(const Control &c, double value);
// A register value as the number it means (unsigned where the register is).
double registerNumber(const Control &c, int value);
// The register word for a readable value, or nothing when it does not fit.
std::optional<int> toRegister(const Control &c, double value);
const char *unitText(Unit unit);
std::string formatValue(const Control &c, int value);

// Named choices of the colour conversion: demosaic methods and light
// sources (correction matrices). Several names may share a value; the first
// of a value is its usual name.
struct Choice {
    const char *name;
    std::uint32_t value;
    const char *what;
};
std::span<const Choice> demosaicMethods();
std::span<const Choice> lightSources();
std::optional<std::uint32_t> findChoice(std::span<const Choice> choices, std::string_view name);
// "fast, good or best" style list of the usual names, for messages.
std::string choiceNames(std::span<const Choice> choices);

}  // namespace vocam::controls
