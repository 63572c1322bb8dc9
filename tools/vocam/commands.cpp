#include "commands.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "astro.h"
#include "common.h"
#include "images.h"
#include "rawframe.h"
#include "vocamusb.h"

namespace vocam::cli {

namespace {

constexpr std::uint32_t kRegStatus = 0x0008;
constexpr std::uint32_t kStatusFpgaConfigured = 0x20;

const model_table_entry *modelOf(std::uint32_t product) {
    for (std::uint32_t i = 0; i < camera_id_count; ++i)
        if (camera_ids[i].product_id == product) return &camera_ids[i];
    return nullptr;
}

std::string hex4(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string secondsText(std::chrono::steady_clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(d).count());
    return text;
}

std::vector<vocam_version> cameraRecords() {
    std::uint32_t count = 0;
    if (const int r = vocam_enum_cameras(nullptr, &count); r < 0)
        throw Failure("error: listing the cameras failed (" + codeText(r) + ")");
    std::vector<vocam_version> records(count);
    if (count > 0 && vocam_enum_cameras(records.data(), &count) < 0)
        throw Failure("error: listing the cameras failed");
    records.resize(std::min<std::size_t>(count, records.size()));
    return records;
}

std::vector<vocam_version> bootRecords() {
    std::uint32_t count = 0;
    if (const int r = vocam_enum_boot_controllers(nullptr, &count); r < 0)
        throw Failure("error: listing the controllers failed (" + codeText(r) + ")");
    std::vector<vocam_version> records(count);
    if (count > 0 && vocam_enum_boot_controllers(records.data(), &count) < 0)
        throw Failure("error: listing the controllers failed");
    records.resize(std::min<std::size_t>(count, records.size()));
    return records;
}

struct Listed {
    vocam_version version{};
    std::string name;
    std::string state;       // boot, fpga, ready, busy
    bool identified = true;  // false: neither serial nor speed could be read
};

// A camera's state needs the camera itself: whether its FPGA is configured
// is a register. A camera another program holds cannot be asked.
Listed describe(const vocam_version &record) {
    Listed out{record, "", "ready"};
    vocam_version wanted = record;
    _vocam *camera = nullptr;
    if (vocam_camera_open(&camera, &wanted) < 0 || camera == nullptr) {
        out.state = "busy";
        return out;
    }
    char name[64] = {};
    if (vocam_get_model_name(camera, name, sizeof name) == 0) out.name = name;
    const model_table_entry *model = modelOf(record.product_id);
    std::uint32_t status = 0;
    if (model != nullptr && model->fpga_file != nullptr &&
        (vo_usb_read_vocam_u32(camera, kRegStatus, &status) != 0 ||
         !(status & kStatusFpgaConfigured)))
        out.state = "fpga";
    vocam_camera_close(&camera);
    return out;
}

std::vector<Listed> listBus() {
    std::vector<Listed> out;
    for (const auto &record : cameraRecords()) out.push_back(describe(record));
    for (const auto &record : bootRecords()) out.push_back({record, "", "boot"});
    // A camera another program holds cannot be enumerated (its serial number
    // needs it opened), but it is on the bus all the same.
    auto busy =
        std::count_if(out.begin(), out.end(), [](const Listed &c) { return c.state == "busy"; });
    vocam_camera_state states[64];
    std::uint32_t count = 64;
    if (vocam_get_camera_states(states, &count) >= 0)
        for (std::uint32_t i = 0; i < count && i < 64; ++i) {
            if (states[i].state != VOCAM_STATE_UNREACHABLE) continue;
            if (busy > 0) {
                --busy;
                continue;
            }
            vocam_version record{};
            record.product_id = states[i].product_id;
            record.release_number = states[i].release_number;
            out.push_back({record, "", "busy", false});
        }
    if (out.empty()) checkSimulatedBus();
    return out;
}

const char *stateText(const std::string &state) {
    if (state == "boot") return "waiting for firmware";
    if (state == "fpga") return "FPGA not configured";
    if (state == "busy") return "cannot be opened (in use, or no access)";
    return "ready";
}

}  // namespace

int listCommand(bool json) {
    const auto bus = listBus();
    if (json) {
        std::printf("[");
        for (std::size_t i = 0; i < bus.size(); ++i) {
            const auto &c = bus[i];
            // A controller waiting for firmware, or a camera that could not be
            // asked, has no serial number to show.
            const bool serialKnown = c.state != "boot" && c.identified;
            std::printf(
                "%s\n  {\"product\": %u, \"name\": %s, \"serial\": %s, \"release\": %u, "
                "\"firmware\": %u, \"state\": %s, \"speed\": %s}",
                i ? "," : "", c.version.product_id, jsonString(c.name).c_str(),
                serialKnown ? std::to_string(c.version.serial_number).c_str() : "null",
                c.version.release_number, c.version.firmware_version, jsonString(c.state).c_str(),
                !c.identified          ? "null"
                : c.version.high_speed ? "\"high\""
                                       : "\"full\"");
        }
        std::printf("%s]\n", bus.empty() ? "" : "\n");
        return 0;
    }
    if (bus.empty()) {
        std::printf("no cameras\n");
        return 0;
    }
    std::printf("%-8s %-20s %-8s %-8s %-6s %s\n", "product", "name", "serial", "release", "speed",
                "state");
    for (const auto &c : bus) {
        const std::string serial =
            c.state == "boot" || !c.identified ? "-" : std::to_string(c.version.serial_number);
        std::printf("%-8s %-20s %-8s %-8s %-6s %s\n", hex4(c.version.product_id).c_str(),
                    c.name.empty() ? "-" : c.name.c_str(), serial.c_str(),
                    hex4(c.version.release_number).c_str(),
                    !c.identified          ? "-"
                    : c.version.high_speed ? "high"
                                           : "full",
                    stateText(c.state));
    }
    return 0;
}

int initCommand() {
    const auto before = listBus();
    std::map<std::uint32_t, int> waiting;  // product -> controllers waiting for firmware
    std::set<std::uint32_t> serialsBefore;
    for (const auto &c : before) {
        if (c.state == "boot")
            ++waiting[c.version.product_id];
        else
            serialsBefore.insert(c.version.serial_number);
    }
    std::printf(
        "firmware: %zu controller(s) waiting\n",
        static_cast<std::size_t>(std::count_if(before.begin(), before.end(),
                                               [](const Listed &c) { return c.state == "boot"; })));
    std::fflush(stdout);
    const int r = vocam_init(globals.resources.empty() ? nullptr : globals.resources.c_str());
    const auto after = listBus();
    std::map<std::uint32_t, int> stillWaiting;
    for (const auto &c : after)
        if (c.state == "boot") ++stillWaiting[c.version.product_id];
    int failed = 0, ready = 0;
    for (const auto &[product, count] : waiting) {
        const int left = stillWaiting.count(product) ? stillWaiting[product] : 0;
        for (int i = 0; i < count; ++i) {
            const bool loaded = i >= left;
            std::printf("firmware: controller %s: %s\n", hex4(product).c_str(),
                        loaded ? "loaded" : "not loaded (missing or damaged firmware file)");
            if (!loaded) ++failed;
        }
    }
    for (const auto &c : after) {
        if (c.state == "boot") continue;
        const std::string who = (c.name.empty() ? hex4(c.version.product_id) : c.name) +
                                " serial " + std::to_string(c.version.serial_number);
        if (!serialsBefore.count(c.version.serial_number))
            std::printf("re-enumeration: %s came back with firmware\n", who.c_str());
        const model_table_entry *model = modelOf(c.version.product_id);
        if (c.state == "busy") {
            std::printf("fpga: %s: cannot be opened (in use, or no access), not checked\n",
                        who.c_str());
        } else if (model == nullptr || model->fpga_file == nullptr) {
            std::printf("fpga: %s: none to load\n", who.c_str());
            ++ready;
        } else if (c.state == "fpga") {
            std::printf("fpga: %s: not configured (missing or damaged FPGA file)\n", who.c_str());
            ++failed;
        } else {
            std::printf("fpga: %s: configured\n", who.c_str());
            ++ready;
        }
    }
    for (const auto &[product, count] : stillWaiting)
        if (!waiting.count(product))
            for (int i = 0; i < count; ++i, ++failed)
                std::printf("firmware: controller %s: arrived during bring-up, not loaded\n",
                            hex4(product).c_str());
    std::printf("%d camera(s) ready, %d not brought up\n", ready, failed);
    if (r < 0) throw Failure("error: bring-up failed (" + codeText(r) + "); --verbose shows why");
    if (failed > 0)
        throw Failure(
            "error: " + std::to_string(failed) +
            " camera(s) not brought up: check the files below " +
            (globals.resources.empty() ? std::string(RESOURCE_FILE_ROOT) : globals.resources));
    return 0;
}

namespace {

// The temperature block of a camera with a cooler; nothing for one without.
struct Cooler {
    bool on = false;
    int reading = 0;  // register units
};

std::optional<Cooler> coolerOf(_vocam *camera) {
    int min = 0, max = 0, value = 0;
    std::uint32_t flags = 0;
    if (vocam_property_get_range(camera, VOCAM_PROP_TEMPERATURE, &min, &max, &value, &flags) < 0 ||
        !(flags & VOCAM_PROP_FLAG_PRESENT))
        return std::nullopt;
    return Cooler{(flags & VOCAM_PROP_FLAG_ON) != 0, value};
}

Cooler requireCooler(_vocam *camera) {
    if (const auto cooler = coolerOf(camera)) return *cooler;
    throw Failure("error: this camera has no cooler (and no temperature to read or set)");
}

std::string celsius(int reading) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f C",
                  vocam_register_to_temp(static_cast<std::uint32_t>(reading)));
    return text;
}

struct PropertyReading {
    PropertyName name;
    int value = 0, min = 0, max = 0;
    std::uint32_t flags = 0;
    bool ranged = false;
};

std::vector<PropertyReading> readProperties(_vocam *camera, bool cooled) {
    std::vector<PropertyReading> out;
    for (const auto &p : propertyNames()) {
        if (p.id == VOCAM_PROP_TEMPERATURE && !cooled) continue;
        PropertyReading r{p};
        if (vocam_property_get_range(camera, p.id, &r.min, &r.max, &r.value, &r.flags) >= 0) {
            r.ranged = true;
        } else if (vocam_property_get(camera, p.id, &r.value, &r.flags) < 0) {
            continue;  // this camera has no such property
        }
        out.push_back(r);
    }
    return out;
}

}  // namespace

int infoCommand(std::uint32_t serial, bool json) {
    Camera camera(serial);
    _vocam *h = camera.get();
    _vocam_frame_format window{};
    vocam_get_video_format(h, &window);
    _VOCAM_IMAGE_FORMAT image{};
    image.Size = sizeof image;
    const bool imageKnown = vocam_get_image_format(h, &image) == 0;
    int sensorW = 0, sensorH = 0, maxSub = 1;
    std::uint32_t flags = 0;
    vocam_property_get(h, VOCAM_PROP_MAX_WIDTH, &sensorW, &flags);
    vocam_property_get(h, VOCAM_PROP_MAX_HEIGHT, &sensorH, &flags);
    if (vocam_property_get(h, VOCAM_PROP_MAX_SUBSAMPLING, &maxSub, &flags) < 0) maxSub = 1;
    std::vector<std::uint32_t> rates(std::max(0, vocam_count_available_data_rates(h)));
    rates.resize(std::max(
        0, vocam_enum_available_data_rates(h, rates.data(), static_cast<int>(rates.size()))));
    std::uint32_t rate = 0;
    vocam_get_data_rate(h, &rate);
    const std::optional<Cooler> cooler = coolerOf(h);
    const auto properties = readProperties(h, cooler.has_value());
    const vocam_version &v = camera.version();
    const char *layout = imageKnown ? layoutName(image.VocamReserved[0]) : "unknown";
    const int subsampling = vocam_supports_subsampling(h) ? maxSub : 1;

    if (json) {
        std::printf(
            "{\n  \"model\": %s,\n  \"product\": %u,\n  \"serial\": %u,\n  \"release\": %u,\n"
            "  \"firmware\": %u,\n  \"speed\": \"%s\",\n",
            jsonString(camera.name()).c_str(), v.product_id, v.serial_number, v.release_number,
            v.firmware_version, v.high_speed ? "high" : "full");
        std::printf(
            "  \"sensor\": {\"width\": %d, \"height\": %d},\n  \"color\": %s,\n  \"layout\": "
            "\"%s\",\n",
            sensorW, sensorH, vocam_is_color(h) ? "true" : "false", layout);
        std::printf(
            "  \"window\": {\"x\": %u, \"y\": %u, \"width\": %u, \"height\": %u, \"subsample\": "
            "%u},\n",
            window.xOffset, window.yOffset, window.width, window.height, window.subSampleX);
        std::printf("  \"max_subsampling\": %d,\n  \"data_rates\": [", subsampling);
        for (std::size_t i = 0; i < rates.size(); ++i) std::printf("%s%u", i ? ", " : "", rates[i]);
        std::printf("],\n  \"data_rate\": %u,\n", rate);
        // The reading; the cooler's target cannot be read back from the camera.
        if (cooler)
            std::printf("  \"temperature\": %.3f,\n  \"cooler\": \"%s\",\n",
                        vocam_register_to_temp(static_cast<std::uint32_t>(cooler->reading)),
                        cooler->on ? "on" : "off");
        else
            std::printf("  \"temperature\": null,\n  \"cooler\": \"none\",\n");
        std::printf("  \"properties\": [");
        for (std::size_t i = 0; i < properties.size(); ++i) {
            const auto &p = properties[i];
            std::printf(
                "%s\n    {\"name\": \"%s\", \"id\": %u, \"value\": %.6g, \"raw\": %d, \"flags\": "
                "%u",
                i ? "," : "", p.name.name, p.name.id, toReadable(p.name, p.value), p.value,
                p.flags);
            if (p.ranged)
                std::printf(", \"min\": %.6g, \"max\": %.6g", toReadable(p.name, p.min),
                            toReadable(p.name, p.max));
            std::printf(", \"read_only\": %s}", p.name.readOnly ? "true" : "false");
        }
        std::printf("\n  ]\n}\n");
        return 0;
    }
    std::printf("model          %s (product %s, serial %u, release %s, %s speed)\n",
                camera.name().c_str(), hex4(v.product_id).c_str(), v.serial_number,
                hex4(v.release_number).c_str(), v.high_speed ? "high" : "full");
    std::printf("sensor         %d x %d, %s, layout %s\n", sensorW, sensorH,
                vocam_is_color(h) ? "colour" : "monochrome", layout);
    std::printf("window         %ux%u+%u+%u, subsampling %u (largest %d)\n", window.width,
                window.height, window.xOffset, window.yOffset, window.subSampleX, subsampling);
    if (imageKnown)
        std::printf("frame          %u x %u, %u bytes, %d bits\n", image.Width, image.Height,
                    image.ImageSize, image.PixelFormat == 1 ? 16 : 8);
    std::printf("data rates    ");
    for (const auto r : rates) std::printf(" %u", r);
    std::printf(" kpixel/s (now %u)\n", rate);
    if (cooler)
        std::printf("temperature    %s now, cooler %s\n", celsius(cooler->reading).c_str(),
                    cooler->on ? "on" : "off");
    else
        std::printf("cooling        none (no cooler, no temperature reading)\n");
    std::printf("properties\n");
    for (const auto &p : properties) {
        std::string range =
            p.ranged ? formatValue(p.name, p.min) + " .. " + formatValue(p.name, p.max) : "";
        std::printf("  %-22s %-4u %-14s %-30s flags 0x%08X%s\n", p.name.name, p.name.id,
                    formatValue(p.name, p.value).c_str(), range.c_str(), p.flags,
                    p.name.readOnly ? " read-only" : "");
    }
    return 0;
}

int getCommand(std::uint32_t serial, const std::string &text) {
    if (text == "cooler") {
        Camera camera(serial);
        std::printf("%s\n", requireCooler(camera.get()).on ? "on" : "off");
        return 0;
    }
    const PropertyName p = findProperty(text);
    Camera camera(serial);
    if (p.id == VOCAM_PROP_TEMPERATURE) requireCooler(camera.get());
    int value = 0;
    std::uint32_t flags = 0;
    if (const int r = vocam_property_get(camera.get(), p.id, &value, &flags); r < 0)
        throw Failure("error: this camera has no property " + text + " (" + codeText(r) +
                      "); vocam info lists its properties");
    std::printf("%s\n", formatValue(p, value).c_str());
    return 0;
}

namespace {

// The cooler switched on or off. A target cannot be read back from the
// camera, so switching on holds the temperature it has now.
int setCooler(std::uint32_t serial, const std::string &valueText) {
    bool on;
    if (valueText == "on" || valueText == "1")
        on = true;
    else if (valueText == "off" || valueText == "0")
        on = false;
    else
        usage("error: the cooler is 'on' or 'off', not '" + valueText + "'");
    Camera camera(serial);
    const Cooler cooler = requireCooler(camera.get());
    const std::uint32_t flags = VOCAM_PROP_FLAG_PRESENT | (on ? VOCAM_PROP_FLAG_ON : 0);
    if (const int r =
            vocam_property_set(camera.get(), VOCAM_PROP_TEMPERATURE, cooler.reading, flags);
        r < 0)
        throw Failure("error: the camera refused to switch the cooler " + valueText + " (" +
                      codeText(r) + ")");
    if (on)
        std::printf(
            "cooler on, target %s (the temperature now; 'vocam set temperature C' sets "
            "another)\n",
            celsius(cooler.reading).c_str());
    else
        std::printf("cooler off\n");
    return 0;
}

// Writes a readable value to a property after checking it against the
// camera's range; `text` and `valueText` are as the user gave them. The
// register value written.
int writeProperty(_vocam *h, const PropertyName &p, const std::string &text,
                  const std::string &valueText, double number) {
    const double raw = rawValue(p, number);
    const bool target = p.id == VOCAM_PROP_TEMPERATURE;
    if (target) requireCooler(h);
    int min = 0, max = 0, current = 0;
    std::uint32_t flags = 0;
    if (vocam_property_get_range(h, p.id, &min, &max, &current, &flags) >= 0) {
        if (raw < registerNumber(p, min) || raw > registerNumber(p, max))
            throw Failure("error: " + text + " " + valueText + " is outside " +
                          formatValue(p, min) + " .. " + formatValue(p, max));
    } else if (vocam_property_get(h, p.id, &current, &flags) < 0) {
        throw Failure("error: this camera has no property " + text +
                      "; vocam info lists its properties");
    }
    const int value = fromReadable(p, number);
    // A target is for the cooler to reach: setting one switches it on.
    if (target) flags |= VOCAM_PROP_FLAG_ON;
    const int r = vocam_property_set(h, p.id, value, flags);
    // The engine's method and matrix answer 1 for accepted and 0 for refused.
    const bool engineChoice =
        p.id == VOCAM_PROP_DEMOSAIC_METHOD || p.id == VOCAM_PROP_CORRECTION_MATRIX;
    if (engineChoice ? r != 1 : r < 0)
        throw Failure("error: the camera refused " + text + " " + valueText +
                      (r < 0 ? " (" + codeText(r) + ")" : std::string()));
    return value;
}

struct Setting {
    PropertyName property;
    std::string text;
    double value;
};

// Checked before the camera is opened, so a typing error costs no bring-up.
std::vector<Setting> parseSettings(const Settings &settings) {
    std::vector<Setting> out;
    for (const auto &[name, text] : settings) {
        const auto number = parseNumber(text);
        if (!number) usage("error: --" + name + " '" + text + "' is not a number");
        out.push_back({findProperty(name), text, *number});
    }
    return out;
}

// Applies the settings in the order given; a temperature also switches
// cooling on. The cooler's target, when one was set, for the files.
std::optional<double> applySettings(_vocam *h, const std::vector<Setting> &settings) {
    std::optional<double> target;
    for (const auto &s : settings) {
        writeProperty(h, s.property, s.property.name, s.text, s.value);
        if (s.property.id == VOCAM_PROP_TEMPERATURE) target = s.value;
    }
    return target;
}

}  // namespace

int setCommand(std::uint32_t serial, const std::string &text, const std::string &valueText) {
    if (text == "cooler") return setCooler(serial, valueText);
    const PropertyName p = findProperty(text);
    if (p.readOnly) usage("error: " + text + " is read only");
    const auto number = parseNumber(valueText);
    if (!number) usage("error: '" + valueText + "' is not a number");
    Camera camera(serial);
    const int value = writeProperty(camera.get(), p, text, valueText, *number);
    // What was written: reading back would give the temperature's reading,
    // which only moves toward the target.
    if (p.id == VOCAM_PROP_TEMPERATURE)
        std::printf("temperature target %s, cooler on\n", formatValue(p, value).c_str());
    else
        std::printf("%s %s\n", p.name[0] ? p.name : text.c_str(), formatValue(p, value).c_str());
    return 0;
}

namespace {

struct Window {
    std::uint32_t width = 0, height = 0, x = 0, y = 0;
};

Window parseWindow(const std::string &text) {
    Window w;
    char tail = 0;
    unsigned width = 0, height = 0, x = 0, y = 0;
    if (std::sscanf(text.c_str(), "%ux%u+%u+%u%c", &width, &height, &x, &y, &tail) != 4 ||
        width == 0 || height == 0 || text.find('-') != std::string::npos)
        usage("error: window '" + text + "' is not WIDTHxHEIGHT+X+Y (for example 640x480+0+0)");
    w = {width, height, x, y};
    return w;
}

std::uint32_t methodId(const std::string &method) {
    if (const auto id = controls::findChoice(controls::demosaicMethods(), method)) return *id;
    usage("error: method '" + method + "' is not " +
          controls::choiceNames(controls::demosaicMethods()));
}

std::uint32_t lightId(const std::string &light) {
    if (const auto id = controls::findChoice(controls::lightSources(), light)) return *id;
    usage("error: light '" + light + "' is not " + controls::choiceNames(controls::lightSources()));
}

// The factor of --subsample; nothing when it was not given.
std::optional<long long> subsampleOf(const GrabOptions &o) {
    if (o.subsample.empty()) return std::nullopt;
    const auto factor = parseInteger(o.subsample);
    if (!factor || *factor < 1)
        usage(
            "error: --subsample must be a whole number from 1 to the camera's largest (vocam "
            "info shows it)");
    return factor;
}

// Sets the window and subsampling asked for. A window the conversion cannot
// take (asked for, or kept by the camera) is refused before the camera is
// touched, unless the frames are kept raw.
void applyWindow(_vocam *h, const GrabOptions &o, bool converted) {
    const std::optional<long long> subsample = subsampleOf(o);
    const bool change = !o.window.empty() || subsample;
    _vocam_frame_format f{};
    vocam_get_video_format(h, &f);
    if (!o.window.empty()) {
        const Window w = parseWindow(o.window);
        f.width = w.width;
        f.height = w.height;
        f.xOffset = w.x;
        f.yOffset = w.y;
    }
    const long long factor = subsample.value_or(f.subSampleX);
    if (subsample) f.subSampleX = f.subSampleY = static_cast<std::uint16_t>(*subsample);
    int maxW = 0, maxH = 0, unitW = 1, unitH = 1, maxSub = 1;
    std::uint32_t flags = 0;
    vocam_property_get(h, VOCAM_PROP_MAX_WIDTH, &maxW, &flags);
    vocam_property_get(h, VOCAM_PROP_MAX_HEIGHT, &maxH, &flags);
    vocam_property_get(h, VOCAM_PROP_UNIT_WIDTH, &unitW, &flags);
    vocam_property_get(h, VOCAM_PROP_UNIT_HEIGHT, &unitH, &flags);
    if (!vocam_supports_subsampling(h) ||
        vocam_property_get(h, VOCAM_PROP_MAX_SUBSAMPLING, &maxSub, &flags) < 0)
        maxSub = 1;
    unitW = std::max(unitW, 1);
    unitH = std::max(unitH, 1);
    // The camera takes windows off its steps, but the picture of one cannot
    // be converted: refuse them here with the rule instead.
    const auto fits = [](std::uint64_t offset, std::uint64_t size, int limit) {
        return offset + size <= static_cast<std::uint64_t>(std::max(limit, 0));
    };
    const bool onSteps = f.width % unitW == 0 && f.height % unitH == 0;
    const bool inside = fits(f.xOffset, f.width, maxW) && fits(f.yOffset, f.height, maxH);
    const bool subsampleOk = factor >= 1 && factor <= maxSub && f.subSampleY >= 1;
    const std::string asked = "window " + std::to_string(f.width) + "x" + std::to_string(f.height) +
                              "+" + std::to_string(f.xOffset) + "+" + std::to_string(f.yOffset) +
                              " subsampling " + std::to_string(factor);
    const auto refused = [&] {
        return Failure("error: the camera refused " + asked + ": it must lie inside " +
                       std::to_string(maxW) + "x" + std::to_string(maxH) +
                       " with sizes in steps of " + std::to_string(unitW) + "x" +
                       std::to_string(unitH) + ", subsampling 1 to " + std::to_string(maxSub));
    };
    if (change && (!onSteps || !inside || !subsampleOk)) throw refused();
    // The conversion's own rule on frame sizes.
    const std::uint32_t width = f.width / std::max<std::uint16_t>(f.subSampleX, 1),
                        height = f.height / std::max<std::uint16_t>(f.subSampleY, 1);
    if (converted && (width < 4 || height < 4 || width % 2 != 0 || height % 2 != 0))
        throw Failure("error: " + asked + " gives frames of " + std::to_string(width) + " x " +
                      std::to_string(height) +
                      " pixels; a picture needs at least 4 x 4 with even sides (or grab .raw)");
    if (change && vocam_set_video_format(h, &f) != 0) throw refused();
}

// Bytes of one converted row: the grey path pads rows to 4 bytes.
std::size_t rgbStride(std::uint32_t width, bool padded) {
    return padded ? ((static_cast<std::size_t>(width) + 1) * 3) & ~static_cast<std::size_t>(3)
                  : static_cast<std::size_t>(width) * 3;
}

}  // namespace

namespace {

// Sets the conversion's threads, refusing counts the library does not take.
void checkThreads(int threads) {
    if (threads < 0 || threads > 8) usage("error: --threads must be 0 (the cores, up to 8) to 8");
}

conversion_params paramsFor(bool colour, std::uint32_t method, std::uint32_t light) {
    conversion_params params{};
    params.size = sizeof params;
    params.demosaicMethod = colour ? method : 0;
    params.correctionMatrix = colour ? light : 0;
    params.saturation = 1.0f;
    params.gainOrGain0 = 1.0f;
    return params;
}

// A TIFF or FITS picture of a frame with 16-bit samples keeps their depth;
// everything else is an 8-bit picture.
int pictureBits(ImageType type, const _VOCAM_IMAGE_FORMAT &format) {
    return type != ImageType::Png && format.PixelFormat == 1 ? 48 : 24;
}

// Converts with `convert` (which fills the picture at the given depth) and
// hands the picture to `write`.
template <typename Convert, typename Write>
void savePicture(ImageType type, const _VOCAM_IMAGE_FORMAT &format, const conversion_params &params,
                 Convert &&convert, Write &&write) {
    const int bits = pictureBits(type, format);
    const std::size_t stride = bits == 48 ? std::size_t{format.Width} * 6
                                          : rgbStride(format.Width, params.demosaicMethod == 0);
    std::vector<std::uint8_t> rgb(stride * format.Height);
    if (const int r = convert(rgb, static_cast<std::uint32_t>(bits)); r < 0)
        throw Failure("error: converting the frame failed (" + codeText(r) + ")");
    write(Rgb{format.Width, format.Height, stride, bits == 48 ? 16 : 8, rgb.data()});
}

// The picture file of `path`'s type.
auto pictureWriter(const std::string &path, ImageType type) {
    return [path, type](const Rgb &picture) {
        type == ImageType::Png ? writePng(path, picture) : writeTiff(path, picture);
    };
}

}  // namespace

int grabCommand(const GrabOptions &o) {
    if (o.frames < 1) usage("error: -n must be at least 1");
    const ImageType type = imageTypeOf(o.output);
    const NameTemplate names(o.output, o.frames);
    checkWritable(names.name(1));
    if (!o.window.empty()) parseWindow(o.window);
    subsampleOf(o);
    checkThreads(o.threads);
    const std::uint32_t method = methodId(o.method);
    const std::uint32_t light = lightId(o.light);
    const auto settings = parseSettings(o.settings);

    Camera camera(o.serial);
    _vocam *h = camera.get();
    // A FITS still keeps the raw frame: only its cube is a converted picture.
    applyWindow(h, o, type != ImageType::Raw && (type != ImageType::Fits || o.cube));
    const std::optional<double> target = applySettings(h, settings);
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    if (vocam_get_image_format(h, &format) != 0)
        throw Failure("error: the camera's colour layout is unknown; grab a .raw frame instead");
    if (const int r = vocam_set_conversion_threads(h, static_cast<std::uint32_t>(o.threads)); r < 0)
        throw Failure("error: the conversion threads could not be set (" + codeText(r) + ")");
    const conversion_params params = paramsFor(vocam_is_color(h) != 0, method, light);
    const std::string layout = describeFrame(format);

    Stream stream(h);
    const auto patience = stream.patience();
    int saved = 0;
    for (int i = 0; i < o.frames; ++i) {
        const int index = stream.next(Stream::Clock::now() + patience);
        if (index == Stream::kTimedOut)
            throw Failure("error: no frame came in " + secondsText(patience) + " s after " +
                          std::to_string(saved) + " saved; the camera sends nothing");
        if (index < 0) break;
        const std::uint8_t *raw = vocam_get_buffer_address(h, index);
        const std::string path = names.name(i + 1);
        std::string rawPath;
        try {
            const auto convert = [&](std::vector<std::uint8_t> &rgb, std::uint32_t bits) {
                return vocam_convert_frame_to_rgb_bits(h, rgb.data(), raw, &format, &params, bits);
            };
            if (type == ImageType::Raw) {
                writeRaw(path, raw, format.ImageSize, layout);
            } else if (type == ImageType::Fits) {
                vocam_frame_info info{};
                info.size = sizeof info;
                vocam_get_buffer_info(h, index, &info);
                const CaptureFacts facts = readCaptureFacts(h, softwareName("vocam"), target);
                const std::int64_t start =
                    exposureStartUtc(info.timestamp_ns, facts.exposureSeconds);
                if (o.cube)
                    savePicture(type, format, params, convert, [&](const Rgb &picture) {
                        writeFitsCube(path, picture, facts, start);
                    });
                else
                    writeFits(path, format, raw, facts, start);
            } else {
                savePicture(type, format, params, convert, pictureWriter(path, type));
            }
            if (o.keepRaw && type != ImageType::Raw) {
                rawPath = path.substr(0, path.rfind('.')) + ".raw";
                writeRaw(rawPath, raw, format.ImageSize, layout);
            }
        } catch (...) {
            stream.release(index);
            // Ctrl-C stops the stream, and a conversion caught by that
            // stop fails: that frame is simply not saved.
            if (interrupted()) break;
            throw;
        }
        stream.release(index);
        std::printf("saved %s (%u x %u)\n", path.c_str(), format.Width, format.Height);
        if (!rawPath.empty())
            std::printf("saved %s and %s.txt (the raw frame as sent)\n", rawPath.c_str(),
                        rawPath.c_str());
        std::fflush(stdout);
        ++saved;
    }
    if (saved < o.frames) {
        if (interrupted())
            throw Failure("error: interrupted after " + std::to_string(saved) + " of " +
                          std::to_string(o.frames) + " frame(s); those saved are complete");
        throw Failure("error: the stream ended after " + std::to_string(saved) + " frame(s)");
    }
    return 0;
}

int convertCommand(const ConvertOptions &o) {
    const ImageType type = imageTypeOf(o.output);
    // A FITS file tells the exposure, the gain and the time, which a raw
    // frame's description does not keep.
    if (type == ImageType::Fits)
        usage("error: '" + o.output + "': FITS files come from a camera (vocam grab -o " +
              o.output + ")");
    checkWritable(o.output);
    checkThreads(o.threads);
    const std::uint32_t method = methodId(o.method);
    const std::uint32_t light = lightId(o.light);
    const RawFrame frame = readRawFrame(o.input);
    const _VOCAM_IMAGE_FORMAT &format = frame.format;
    if (type == ImageType::Raw) {
        writeRaw(o.output, frame.bytes.data(), frame.bytes.size(), describeFrame(format));
    } else {
        const conversion_params params =
            paramsFor((format.VocamReserved[0] & VOCAM_LAYOUT_MONO) == 0, method, light);
        savePicture(
            type, format, params,
            [&](std::vector<std::uint8_t> &rgb, std::uint32_t bits) {
                return vocam_convert_raw_to_rgb(rgb.data(), rgb.size(), frame.bytes.data(),
                                                frame.bytes.size(), &format, &params, bits,
                                                static_cast<std::uint32_t>(o.threads));
            },
            pictureWriter(o.output, type));
    }
    std::printf(
        "saved %s (%u x %u, %d bits)\n", o.output.c_str(), format.Width, format.Height,
        type == ImageType::Raw ? (format.PixelFormat == 1 ? 16 : 8) : pictureBits(type, format));
    return 0;
}

namespace {

// Frames the camera sent that were read over before this loop took them:
// what the library can tell of drops.
std::uint64_t droppedFrames(_vocam *h) {
    vocam_stream_stats stats{};
    stats.size = sizeof stats;
    return vocam_get_stream_stats(h, &stats) == 0 ? stats.overwritten : 0;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

namespace {

// Whether the camera is still on the bus: a stream that ended tells no more.
bool onTheBus(std::uint32_t serial) {
    vocam_version records[64];
    std::uint32_t count = 64;
    if (vocam_enum_cameras(records, &count) < 0) return true;
    for (std::uint32_t i = 0; i < count && i < 64; ++i)
        if (records[i].serial_number == serial) return true;
    return false;
}

}  // namespace

int streamCommand(const StreamOptions &o) {
    if (!(o.seconds >= 0)) usage("error: --seconds must not be negative");
    if (o.frames < 0) usage("error: --frames must not be negative");
    if (!o.record.empty()) {
        const auto extension = std::filesystem::path(o.record).extension().string();
        if (extension != ".ser" && extension != ".SER")
            usage("error: '" + o.record + "': a recording's name must end in .ser");
        checkWritable(o.record);
    }
    const auto settings = parseSettings(o.settings);
    Camera camera(o.serial);
    _vocam *h = camera.get();
    applySettings(h, settings);
    std::optional<SerWriter> ser;
    double exposure = 0;
    if (!o.record.empty()) {
        _VOCAM_IMAGE_FORMAT format{};
        format.Size = sizeof format;
        if (vocam_get_image_format(h, &format) != 0)
            throw Failure("error: the camera's colour layout is unknown");
        const CaptureFacts facts = readCaptureFacts(h, "");
        exposure = facts.exposureSeconds;
        ser.emplace(o.record, format, facts.model);
    }
    using Clock = std::chrono::steady_clock;
    const bool tty = isatty(1) != 0;
    std::uint64_t frames = 0, bytes = 0, lastFrames = 0, lastBytes = 0;
    const auto cpuStart = cpuSeconds();
    double lastCpu = cpuStart;
    Clock::time_point start, last, ended;
    std::uint64_t dropped = 0;
    bool silent = false;
    int endCode = 0;
    Clock::duration patience{};
    {
        Stream stream(h);
        patience = stream.patience();
        Clock::time_point lastFrame;
        start = last = lastFrame = Clock::now();
        // Beyond about 30 years a limit is no limit, and the clock must not overflow.
        const auto end = o.seconds > 0 && o.seconds < 1e9
                             ? start + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(o.seconds))
                             : Clock::time_point::max();
        while (Clock::now() < end) {
            if (o.frames > 0 && frames >= static_cast<std::uint64_t>(o.frames)) break;
            // Wakes for each second's line and for the end, also when no frame comes.
            const int index = stream.next(std::min(end, last + std::chrono::seconds(1)));
            if (index == Stream::kEnded) break;
            if (index >= 0) {
                const auto size = vocam_get_video_frame_size(h);
                bool written = true;
                if (ser) {
                    vocam_frame_info info{};
                    info.size = sizeof info;
                    vocam_get_buffer_info(h, index, &info);
                    written = ser->add(vocam_get_buffer_address(h, index),
                                       exposureStartUtc(info.timestamp_ns, exposure));
                }
                stream.release(index);
                if (!written) break;
                ++frames;
                bytes += size;
                lastFrame = Clock::now();
            } else if (o.seconds == 0 && Clock::now() - lastFrame > patience) {
                silent = true;
                break;
            }
            const double span = std::chrono::duration<double>(Clock::now() - last).count();
            if (span >= 1.0) {
                const double cpu = cpuSeconds();
                std::printf("%s%.1f frames/s  %.2f MB/s  dropped %llu  CPU %.0f%%%s",
                            tty ? "\r" : "", static_cast<double>(frames - lastFrames) / span,
                            static_cast<double>(bytes - lastBytes) / span / 1e6,
                            static_cast<unsigned long long>(droppedFrames(h)),
                            100.0 * (cpu - lastCpu) / span, tty ? "   " : "\n");
                std::fflush(stdout);
                last = Clock::now();
                lastFrames = frames;
                lastBytes = bytes;
                lastCpu = cpu;
            }
        }
        dropped = droppedFrames(h);
        ended = Clock::now();  // before the stop, which may wait for a read
        endCode = stream.endCode();
    }
    const double span = std::max(1e-9, std::chrono::duration<double>(ended - start).count());
    std::printf("%s%llu frames in %.1f s: %.1f frames/s, %.2f MB/s, %llu dropped, CPU %.0f%%\n",
                tty ? "\n" : "", static_cast<unsigned long long>(frames), span,
                static_cast<double>(frames) / span, static_cast<double>(bytes) / span / 1e6,
                static_cast<unsigned long long>(dropped), 100.0 * (cpuSeconds() - cpuStart) / span);
    // What ended the stream, other than a limit that was reached.
    std::string stop;
    if (silent)
        stop = "the camera sent no frame for " + secondsText(patience) + " s";
    else if (endCode != 0)
        stop = onTheBus(camera.version().serial_number) ? "the camera stopped sending frames"
                                                        : "the camera left the bus";
    if (ser) {
        ser->finish();
        const std::string held = std::to_string(ser->frames()) + " frame(s)";
        if (ser->error() != 0) {
            std::string line = "error: recording stopped: cannot write '" + ser->path() +
                               "': " + std::strerror(ser->error()) + "; it holds " + held;
            if (ser->droppedForTrailer() > 0)
                line += " and their times (the last " + std::to_string(ser->droppedForTrailer()) +
                        " made room for them)";
            throw Failure(line);
        }
        if (!stop.empty())
            throw Failure("error: recording stopped: " + stop + "; '" + ser->path() + "' holds " +
                          held);
        std::printf("recorded %s to %s%s\n", held.c_str(), ser->path().c_str(),
                    interrupted() ? " (stopped by Ctrl-C)" : "");
    }
    if (silent) throw Failure("error: " + stop + "; stopped");
    if (!stop.empty())
        throw Failure("error: " + stop + " after " + std::to_string(frames) + " frame(s)");
    if (frames == 0 && !interrupted()) throw Failure("error: no frame arrived");
    return 0;
}

}  // namespace vocam::cli
