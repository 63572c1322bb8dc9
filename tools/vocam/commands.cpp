#include "commands.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

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
            std::printf(
                "%s\n  {\"product\": %u, \"name\": %s, \"serial\": %u, \"release\": %u, "
                "\"firmware\": %u, \"state\": %s, \"speed\": %s}",
                i ? "," : "", c.version.product_id, jsonString(c.name).c_str(),
                c.version.serial_number, c.version.release_number, c.version.firmware_version,
                jsonString(c.state).c_str(),
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

struct PropertyReading {
    PropertyName name;
    int value = 0, min = 0, max = 0;
    std::uint32_t flags = 0;
    bool ranged = false;
};

std::vector<PropertyReading> readProperties(_vocam *camera) {
    std::vector<PropertyReading> out;
    for (const auto &p : propertyNames()) {
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
    int temperature = 0;
    std::uint32_t temperatureFlags = 0;
    const bool hasTemperature =
        vocam_property_get(h, VOCAM_PROP_TEMPERATURE, &temperature, &temperatureFlags) >= 0;
    const auto properties = readProperties(h);
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
        if (hasTemperature)
            std::printf("  \"temperature\": %.3f,\n",
                        vocam_register_to_temp(static_cast<std::uint32_t>(temperature)));
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
    if (hasTemperature)
        std::printf("temperature    %.1f C\n",
                    vocam_register_to_temp(static_cast<std::uint32_t>(temperature)));
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
    const PropertyName p = findProperty(text);
    Camera camera(serial);
    int value = 0;
    std::uint32_t flags = 0;
    if (const int r = vocam_property_get(camera.get(), p.id, &value, &flags); r < 0)
        throw Failure("error: this camera has no property " + text + " (" + codeText(r) +
                      "); vocam info lists its properties");
    std::printf("%s\n", formatValue(p, value).c_str());
    return 0;
}

int setCommand(std::uint32_t serial, const std::string &text, const std::string &valueText) {
    const PropertyName p = findProperty(text);
    if (p.readOnly) usage("error: " + text + " is read only");
    const auto number = parseNumber(valueText);
    if (!number) usage("error: '" + valueText + "' is not a number");
    const double raw = rawValue(p, *number);
    Camera camera(serial);
    int min = 0, max = 0, current = 0;
    std::uint32_t flags = 0;
    if (vocam_property_get_range(camera.get(), p.id, &min, &max, &current, &flags) >= 0) {
        if (raw < registerNumber(p, min) || raw > registerNumber(p, max))
            throw Failure("error: " + text + " " + valueText + " is outside " +
                          formatValue(p, min) + " .. " + formatValue(p, max));
    } else if (vocam_property_get(camera.get(), p.id, &current, &flags) < 0) {
        throw Failure("error: this camera has no property " + text +
                      "; vocam info lists its properties");
    }
    const int value = fromReadable(p, *number);
    const int r = vocam_property_set(camera.get(), p.id, value, flags);
    // The engine's method and matrix answer 1 for accepted and 0 for refused.
    const bool engineChoice =
        p.id == VOCAM_PROP_DEMOSAIC_METHOD || p.id == VOCAM_PROP_CORRECTION_MATRIX;
    if (engineChoice ? r != 1 : r < 0)
        throw Failure("error: the camera refused " + text + " " + valueText +
                      (r < 0 ? " (" + codeText(r) + ")" : std::string()));
    // What was written: reading back would give the temperature's reading,
    // which only moves toward the target.
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

void applyWindow(_vocam *h, const GrabOptions &o) {
    if (o.window.empty() && o.subsample == 0) return;
    _vocam_frame_format f{};
    vocam_get_video_format(h, &f);
    if (!o.window.empty()) {
        const Window w = parseWindow(o.window);
        f.width = w.width;
        f.height = w.height;
        f.xOffset = w.x;
        f.yOffset = w.y;
    }
    if (o.subsample != 0) f.subSampleX = f.subSampleY = static_cast<std::uint16_t>(o.subsample);
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
    const bool subsampleOk = f.subSampleX >= 1 && f.subSampleX <= maxSub;
    if (!onSteps || !inside || !subsampleOk || vocam_set_video_format(h, &f) != 0)
        throw Failure("error: the camera refused window " + std::to_string(f.width) + "x" +
                      std::to_string(f.height) + "+" + std::to_string(f.xOffset) + "+" +
                      std::to_string(f.yOffset) + " subsampling " + std::to_string(f.subSampleX) +
                      ": it must lie inside " + std::to_string(maxW) + "x" + std::to_string(maxH) +
                      " with sizes in steps of " + std::to_string(unitW) + "x" +
                      std::to_string(unitH) + ", subsampling 1 to " + std::to_string(maxSub));
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

// A TIFF of a frame with 16-bit samples keeps their depth; everything else
// is an 8-bit picture.
int pictureBits(ImageType type, const _VOCAM_IMAGE_FORMAT &format) {
    return type == ImageType::Tiff && format.PixelFormat == 1 ? 48 : 24;
}

// Converts with `convert` (which fills the picture at the given depth) and
// writes the picture file.
template <typename Convert>
void savePicture(const std::string &path, ImageType type, const _VOCAM_IMAGE_FORMAT &format,
                 const conversion_params &params, Convert &&convert) {
    const int bits = pictureBits(type, format);
    const std::size_t stride = bits == 48 ? std::size_t{format.Width} * 6
                                          : rgbStride(format.Width, params.demosaicMethod == 0);
    std::vector<std::uint8_t> rgb(stride * format.Height);
    if (const int r = convert(rgb, static_cast<std::uint32_t>(bits)); r < 0)
        throw Failure("error: converting the frame failed (" + codeText(r) + ")");
    const Rgb picture{format.Width, format.Height, stride, bits == 48 ? 16 : 8, rgb.data()};
    type == ImageType::Png ? writePng(path, picture) : writeTiff(path, picture);
}

}  // namespace

int grabCommand(const GrabOptions &o) {
    if (o.frames < 1) usage("error: -n must be at least 1");
    const ImageType type = imageTypeOf(o.output);
    const NameTemplate names(o.output, o.frames);
    checkWritable(names.name(1));
    if (!o.window.empty()) parseWindow(o.window);
    if (o.subsample < 0) usage("error: --subsample must be at least 1");
    checkThreads(o.threads);
    const std::uint32_t method = methodId(o.method);
    const std::uint32_t light = lightId(o.light);

    Camera camera(o.serial);
    _vocam *h = camera.get();
    applyWindow(h, o);
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    if (vocam_get_image_format(h, &format) != 0)
        throw Failure("error: the camera's colour layout is unknown; grab a .raw frame instead");
    if (const int r = vocam_set_conversion_threads(h, static_cast<std::uint32_t>(o.threads)); r < 0)
        throw Failure("error: the conversion threads could not be set (" + codeText(r) + ")");
    const conversion_params params = paramsFor(vocam_is_color(h) != 0, method, light);
    const std::string layout = describeFrame(format);

    Stream stream(h);
    int saved = 0;
    for (int i = 0; i < o.frames; ++i) {
        const int index = stream.next();
        if (index < 0) break;
        const std::uint8_t *raw = vocam_get_buffer_address(h, index);
        const std::string path = names.name(i + 1);
        try {
            if (type == ImageType::Raw) {
                writeRaw(path, raw, format.ImageSize, layout);
            } else {
                savePicture(path, type, format, params,
                            [&](std::vector<std::uint8_t> &rgb, std::uint32_t bits) {
                                return vocam_convert_frame_to_rgb_bits(h, rgb.data(), raw, &format,
                                                                       &params, bits);
                            });
                if (o.keepRaw) {
                    const std::string rawPath = path.substr(0, path.rfind('.')) + ".raw";
                    writeRaw(rawPath, raw, format.ImageSize, layout);
                }
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
        savePicture(o.output, type, format, params,
                    [&](std::vector<std::uint8_t> &rgb, std::uint32_t bits) {
                        return vocam_convert_raw_to_rgb(rgb.data(), rgb.size(), frame.bytes.data(),
                                                        frame.bytes.size(), &format, &params, bits,
                                                        static_cast<std::uint32_t>(o.threads));
                    });
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

int streamCommand(std::uint32_t serial, double seconds) {
    if (!(seconds >= 0)) usage("error: --seconds must not be negative");
    Camera camera(serial);
    _vocam *h = camera.get();
    using Clock = std::chrono::steady_clock;
    const bool tty = isatty(1) != 0;
    std::uint64_t frames = 0, bytes = 0, lastFrames = 0, lastBytes = 0;
    const auto cpuStart = cpuSeconds();
    double lastCpu = cpuStart;
    Clock::time_point start, last;
    std::uint64_t dropped = 0;
    {
        Stream stream(h);
        start = last = Clock::now();
        for (;;) {
            const auto now = Clock::now();
            if (seconds > 0 && std::chrono::duration<double>(now - start).count() >= seconds) break;
            const int index = stream.next();
            if (index < 0) break;
            const auto size = vocam_get_video_frame_size(h);
            stream.release(index);
            ++frames;
            bytes += size;
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
    }
    const double span = std::max(1e-9, std::chrono::duration<double>(Clock::now() - start).count());
    std::printf("%s%llu frames in %.1f s: %.1f frames/s, %.2f MB/s, %llu dropped, CPU %.0f%%\n",
                tty ? "\n" : "", static_cast<unsigned long long>(frames), span,
                static_cast<double>(frames) / span, static_cast<double>(bytes) / span / 1e6,
                static_cast<unsigned long long>(dropped), 100.0 * (cpuSeconds() - cpuStart) / span);
    if (frames == 0 && !interrupted()) throw Failure("error: no frame arrived");
    return 0;
}

}  // namespace vocam::cli
