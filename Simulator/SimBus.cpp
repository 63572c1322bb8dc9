#include "Simulator/SimBus.h"

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <sstream>

#include "base/vo_log.h"

namespace vocam::sim {

namespace {

bool parseNumber(const std::string &text, std::uint32_t &out, int base = 10) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out, base);
    return ec == std::errc() && ptr == end && !text.empty();
}

// Seconds as a plain decimal ("2", "0.5"), from 0 to a day.
bool parseSeconds(const std::string &text, double &out) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out, std::chars_format::fixed);
    return ec == std::errc() && ptr == end && !text.empty() && out >= 0 && out <= 86400;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

bool applyKey(CameraConfig &c, const std::string &key, const std::string &value,
              std::string &error) {
    std::uint32_t n = 0;
    auto number = [&](std::uint32_t max, int base = 10) {
        if (parseNumber(value, n, base) && n <= max) return true;
        error = "bad value '" + value + "' for key '" + key + "'";
        return false;
    };
    if (key == "serial") {
        if (!number(UINT32_MAX)) return false;
        c.serial = n;
    } else if (key == "state") {
        if (value == "boot")
            c.state = BootState::Boot;
        else if (value == "fpga")
            c.state = BootState::Fpga;
        else if (value == "ready")
            c.state = BootState::Ready;
        else
            return error = "bad value '" + value + "' for key 'state' (boot, fpga or ready)", false;
    } else if (key == "color") {
        if (!number(0xFF)) return false;
        c.colorCode = n;
    } else if (key == "size") {
        const auto wh = split(value, 'x');
        std::uint32_t w = 0, h = 0;
        if (wh.size() != 2 || !parseNumber(wh[0], w) || !parseNumber(wh[1], h) || w < 4 || h < 4 ||
            w > 0xFFFF || h > 0xFFFF)
            return error = "bad value '" + value + "' for key 'size' (WxH)", false;
        c.width = static_cast<std::uint16_t>(w);
        c.height = static_cast<std::uint16_t>(h);
    } else if (key == "subsample") {
        if (!number(0xFF) || n == 0)
            return error = "bad value '" + value + "' for key 'subsample'", false;
        c.maxSubsample = static_cast<std::uint8_t>(n);
    } else if (key == "cooling" || key == "fan") {
        if (!number(1)) return false;
        (key == "cooling" ? c.cooling : c.fan) = n == 1;
    } else if (key == "msgmask") {
        if (!number(UINT32_MAX, 16)) return false;
        c.messageMask = n;
    } else if (key == "release") {
        if (!number(0xFFFF, 16)) return false;
        c.release = static_cast<std::uint16_t>(n);
    } else if (key == "fps") {
        if (!number(1000)) return false;
        c.fps = static_cast<int>(n);
    } else if (key == "busy") {
        if (!number(1000000)) return false;
        c.busyOpens = static_cast<int>(n);
    } else if (key == "stamp") {
        if (!number(1)) return false;
        c.video.stamp = n == 1;
    } else if (key == "unplug" || key == "replug" || key == "stall") {
        double seconds = 0;
        if (!parseSeconds(value, seconds))
            return error = "bad value '" + value + "' for key '" + key + "' (seconds, 0 to 86400)",
                   false;
        (key == "unplug"   ? c.video.unplugSeconds
         : key == "replug" ? c.video.replugSeconds
                           : c.video.stallSeconds) = seconds;
    } else if (key == "failreads" || key == "shortreads") {
        if (!number(1000000) || n == 0)
            return error =
                       "bad value '" + value + "' for key '" + key + "' (every Nth read, N >= 1)",
                   false;
        (key == "failreads" ? c.video.failEvery : c.video.shortEvery) = n;
    } else if (key == "name") {
        if (value.empty() || value.size() > 126) return error = "bad value for key 'name'", false;
        c.productName = value;
    } else {
        bool known = false;
        if (!applyPropertyKey(c, key, value, known, error)) return false;
        if (!known) return error = "unknown key '" + key + "'", false;
    }
    return true;
}

}  // namespace

bool parseDescription(const std::string &description, std::vector<CameraConfig> &out,
                      std::string &error) {
    out.clear();
    const auto cameras = split(description, ',');
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const auto fields = split(cameras[i], ':');
        const std::string &model = fields.empty() ? std::string() : fields[0];
        std::uint32_t number = 0;
        if (model.size() != 8 || model.compare(0, 6, "model_") != 0 ||
            !parseNumber(model.substr(6), number) || number < 1 || number > 33) {
            error = "unknown model '" + model + "'";
            return false;
        }
        CameraConfig config = defaultCameraConfig(static_cast<int>(number - 1));
        config.serial = 1000 + static_cast<std::uint32_t>(i);
        for (std::size_t f = 1; f < fields.size(); ++f) {
            const auto eq = fields[f].find('=');
            if (eq == std::string::npos) {
                error = "expected key=value, got '" + fields[f] + "'";
                return false;
            }
            if (!applyKey(config, fields[f].substr(0, eq), fields[f].substr(eq + 1), error))
                return false;
        }
        if (config.video.replugSeconds && !config.video.unplugSeconds) {
            error = "key 'replug' needs 'unplug'";
            return false;
        }
        out.push_back(std::move(config));
    }
    return true;
}

Bus &Bus::instance() {
    static Bus bus;
    static std::once_flag configured;
    std::call_once(configured, [] {
        const char *env = std::getenv("VOCAM_SIM");
        if (env != nullptr && *env != '\0') bus.configure(env);
    });
    return bus;
}

bool Bus::configure(const std::string &description) {
    std::vector<CameraConfig> configs;
    std::string error;
    clear();
    if (!parseDescription(description, configs, error)) {
        vo::logf(vo::LogKind::Error, "error: VOCAM_SIM: %s\n", error.c_str());
        return false;
    }
    for (auto &c : configs) attach(std::move(c));
    return true;
}

Bus::~Bus() {
    clear();
}

std::shared_ptr<CameraDevice> Bus::attach(CameraConfig config) {
    CameraConfig described = config;
    return plug(std::move(config), std::move(described), std::nullopt);
}

std::shared_ptr<CameraDevice> Bus::plug(CameraConfig config, CameraConfig described,
                                        std::optional<std::uint64_t> since) {
    const std::optional<double> unplug = config.video.unplugSeconds;
    auto device = std::make_shared<CameraDevice>(std::move(config));
    std::weak_ptr<CameraDevice> weak = device;
    std::lock_guard lock(mutex_);
    if (since && *since != generation_) return nullptr;  // the bus was cleared meanwhile
    const std::uint64_t generation = generation_;
    device->onReenumerate([this, weak, described, generation](std::optional<CameraConfig> next) {
        reenumerate(weak, std::move(next), described, generation);
    });
    if (unplug)
        device->video().onFirstFrame([this, weak, generation, described, unplug] {
            later(generation, *unplug, [this, weak, described, generation] {
                unplugAndReturn(weak, described, generation);
            });
        });
    devices_.push_back(device);
    return device;
}

void Bus::unplugAndReturn(const std::weak_ptr<CameraDevice> &weak, CameraConfig described,
                          std::uint64_t generation) {
    if (auto device = weak.lock()) detach(device);
    const std::optional<double> replug = described.video.replugSeconds;
    if (!replug) return;
    // The camera that comes back is a fresh one, as first described; its
    // faults have been played.
    const bool stamp = described.video.stamp;
    described.video = {};
    described.video.stamp = stamp;
    later(generation, *replug,
          [this, described, generation] { plug(described, described, generation); });
}

void Bus::reenumerate(const std::weak_ptr<CameraDevice> &weak, std::optional<CameraConfig> next,
                      CameraConfig described, std::uint64_t generation) {
    if (auto device = weak.lock()) detach(device);
    if (!next) return;  // whatever the controller runs now never answers the bus
    later(generation, kReenumerationMs / 1000.0,
          [this, next = std::move(*next), described = std::move(described), generation] {
              plug(next, described, generation);
          });
}

void Bus::later(std::uint64_t generation, double seconds, std::function<void()> action) {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;  // the bus was cleared since
    returning_.emplace_back([this, generation, seconds, action = std::move(action)] {
        {
            std::unique_lock lock(mutex_);
            const auto due = std::chrono::steady_clock::now() +
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
            if (cleared_.wait_until(lock, due, [&] { return generation != generation_; })) return;
        }
        action();
    });
}

void Bus::detach(const std::shared_ptr<CameraDevice> &device) {
    device->unplug();
    std::lock_guard lock(mutex_);
    std::erase(devices_, device);
}

void Bus::clear() {
    std::vector<std::shared_ptr<CameraDevice>> old;
    std::vector<std::thread> returning;
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        old.swap(devices_);
        returning.swap(returning_);
    }
    cleared_.notify_all();
    for (auto &d : old) d->video().onFirstFrame(nullptr);
    for (auto &t : returning) t.join();
    for (auto &d : old) d->unplug();
}

std::vector<std::shared_ptr<CameraDevice>> Bus::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

}  // namespace vocam::sim
