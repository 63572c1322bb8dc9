#include "cameras.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

namespace vocam::indi {

namespace {

// The library's recent lines, numbered, so a caller can look at the ones
// its own call caused.
struct LibraryLines {
    std::mutex lock;
    std::deque<std::string> lines;
    std::uint64_t count = 0;  // lines seen so far
};

LibraryLines &libraryLines() {
    static LibraryLines lines;
    return lines;
}

// Failures go on to standard error, which indiserver logs; the library's
// information (bring-up, open, format) is only kept.
void takeLine(int kind, const char *line, void *) {
    if (kind == VOCAM_LOG_ERROR) std::fputs(line, stderr);
    LibraryLines &l = libraryLines();
    std::lock_guard guard(l.lock);
    l.lines.emplace_back(line);
    if (l.lines.size() > 32) l.lines.pop_front();
    ++l.count;
}

std::uint64_t linesSoFar() {
    LibraryLines &l = libraryLines();
    std::lock_guard guard(l.lock);
    return l.count;
}

// Whether a line written since `mark` contains `text`.
bool saidSince(std::uint64_t mark, const std::string &text) {
    LibraryLines &l = libraryLines();
    std::lock_guard guard(l.lock);
    const std::uint64_t first = l.count - l.lines.size();
    for (std::uint64_t i = std::max(mark, first); i < l.count; ++i)
        if (l.lines[i - first].find(text) != std::string::npos) return true;
    return false;
}

std::string hex4(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::vector<vocam_version> cameraRecords() {
    std::uint32_t count = 0;
    if (vocam_enum_cameras(nullptr, &count) < 0 || count == 0) return {};
    std::vector<vocam_version> records(count);
    if (vocam_enum_cameras(records.data(), &count) < 0) return {};
    records.resize(std::min<std::size_t>(count, records.size()));
    return records;
}

std::vector<vocam_camera_state> busStates() {
    std::uint32_t count = 0;
    if (vocam_get_camera_states(nullptr, &count) < 0 || count == 0) return {};
    std::vector<vocam_camera_state> states(count);
    if (vocam_get_camera_states(states.data(), &count) < 0) return {};
    states.resize(std::min<std::size_t>(count, states.size()));
    return states;
}

// Why no camera of `product` could be opened, as far as the bus tells.
std::string missing(std::uint32_t product, std::uint32_t serial) {
    const std::string who = "The camera " + (serial != 0 ? std::to_string(serial) : hex4(product));
    for (const auto &s : busStates()) {
        if (s.product_id != product) continue;
        if (s.state == VOCAM_STATE_UNREACHABLE)
            return who + " is in use by another program, or you have no access to it";
        if (s.state == VOCAM_STATE_NO_FIRMWARE || s.state == VOCAM_STATE_NO_FPGA)
            return who +
                   " came back without its firmware, which the driver loads only when it "
                   "starts: restart the driver";
    }
    return who + " is not on the bus";
}

}  // namespace

void routeLibraryLines() {
    vocam_set_log_handler(takeLine, nullptr);
}

void describeCamera(_vocam *camera, CameraEntry &entry) {
    vocam_version version{};
    vocam_get_version(camera, &version);
    entry.product = version.product_id;
    entry.serial = version.serial_number;
    char name[128] = {};
    if (vocam_get_model_name(camera, name, sizeof name) == 0 && name[0] != '\0') entry.model = name;
    entry.colour = vocam_is_color(camera) == 1;
    entry.subsampling = vocam_supports_subsampling(camera) == 1;
    int value = 0, min = 0, max = 0;
    std::uint32_t flags = 0;
    entry.cooler =
        vocam_property_get_range(camera, VOCAM_PROP_TEMPERATURE, &min, &max, &value, &flags) >= 0 &&
        (flags & VOCAM_PROP_FLAG_PRESENT) != 0;
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    entry.wide = vocam_get_image_format(camera, &format) == 0 && format.PixelFormat == 1;
}

std::vector<CameraEntry> discoverCameras(const char *resources) {
    if (const int r = vocam_init(resources); r < 0)
        std::fprintf(stderr, "bringing the cameras up failed (%s, %d)\n", vocam_strerror(r), r);
    std::vector<CameraEntry> entries;
    std::map<std::uint32_t, int> opened;  // cameras enumerated, by product
    for (vocam_version record : cameraRecords()) {
        CameraEntry entry;
        entry.product = record.product_id;
        entry.serial = record.serial_number;
        _vocam *camera = nullptr;
        if (vocam_camera_open(&camera, &record) >= 0 && camera != nullptr) {
            CameraHandle held(camera);
            describeCamera(camera, entry);
        }
        ++opened[entry.product];
        entries.push_back(entry);
    }
    // A camera another program holds cannot be enumerated, but is on the
    // bus all the same: it gets a device, which says so when it connects.
    for (const auto &s : busStates()) {
        if (s.state != VOCAM_STATE_UNREACHABLE) continue;
        if (opened[s.product_id] > 0) {
            --opened[s.product_id];
            continue;
        }
        CameraEntry entry;
        entry.product = s.product_id;
        entries.push_back(entry);
    }
    return entries;
}

std::vector<std::string> deviceNames(const std::vector<CameraEntry> &entries) {
    std::vector<std::string> names;
    for (const auto &e : entries)
        names.push_back(e.model.empty() ? "VoCam camera " + hex4(e.product) : e.model);
    std::map<std::string, int> uses;
    for (const auto &n : names) ++uses[n];
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (uses[names[i]] < 2) continue;
        const int nth = ++seen[names[i]];
        names[i] += entries[i].serial != 0 ? " " + std::to_string(entries[i].serial)
                                           : " #" + std::to_string(nth);
    }
    return names;
}

Opened openCamera(CameraEntry &entry, const std::vector<std::uint32_t> &taken) {
    Opened out;
    const auto records = cameraRecords();
    const vocam_version *match = nullptr;
    for (const auto &r : records) {
        const bool mine = entry.serial != 0 ? r.serial_number == entry.serial
                                            : r.product_id == entry.product &&
                                                  std::find(taken.begin(), taken.end(),
                                                            r.serial_number) == taken.end();
        if (mine) {
            match = &r;
            break;
        }
    }
    if (match == nullptr) {
        out.why = missing(entry.product, entry.serial);
        return out;
    }
    vocam_version request = *match;
    const std::uint64_t mark = linesSoFar();
    _vocam *camera = nullptr;
    const int r = vocam_camera_open(&camera, &request);
    if (r < 0 || camera == nullptr) {
        const std::string who = "The camera " + std::to_string(match->serial_number);
        if (saidSince(mark, "in use by another program"))
            out.why = who + " is in use by another program";
        else if (saidSince(mark, "no permission"))
            out.why = who + " cannot be opened: you have no access to it (install the udev rule)";
        else
            out.why = who + " could not be opened (" + std::string(vocam_strerror(r)) + ")";
        return out;
    }
    out.camera.reset(camera);
    describeCamera(camera, entry);
    return out;
}

}  // namespace vocam::indi
