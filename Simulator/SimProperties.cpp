#include "Simulator/SimProperties.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "Simulator/SimDevice.h"

namespace vocam::sim {

namespace {

enum Word : unsigned { kFlags = 0, kValue = 1, kMin = 2, kMax = 3 };

bool monochrome(std::uint32_t colorCode) {
    return colorCode == 0 || colorCode == 5 || colorCode == 6;
}

std::uint32_t clampWord(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

}  // namespace

SimProperties::SimProperties(const CameraConfig &config) : lastUpdate_(Clock::now()) {
    // Cooled astronomy cameras expose for up to an hour; the rest for seconds.
    // Automatic exposure is for the video cameras: models with an FPGA that
    // are not cooled, unless the description says otherwise.
    const bool autoExposure = config.autoExposure.value_or(config.hasFpga && !config.cooling);
    const bool colour = !monochrome(config.colorCode);
    auto block = [&](std::uint16_t base, bool present, std::uint32_t value, std::uint32_t lo,
                     std::uint32_t hi, std::uint32_t writable) {
        Block b;
        if (present) {
            b.words[kFlags] = kPropPresent;
            b.words[kValue] = value;
            b.words[kMin] = lo;
            b.words[kMax] = hi;
            b.writableFlags = writable;
        }
        blocks_[base] = b;
    };
    block(kRegExposure, true, 20000, config.cooling ? 1000 : 10,
          config.cooling ? 3600000000u : 10000000u, autoExposure ? 0x7FFF : 0x7FFF & ~kPropAutoOn);
    if (autoExposure) blocks_[kRegExposure].words[kFlags] |= kPropAutoCapable;
    block(kRegGain, true, 4096, 4096, 65536, 0x7FFF);
    for (std::uint16_t base : {kRegGainRed, kRegGainGreen1, kRegGainGreen2, kRegGainBlue})
        block(base, colour, 4096, 1024, 32768, 0x7FFF);
    block(kRegAutoExposureTarget, autoExposure, 128, 16, 240, 0x7FFF);
    block(kRegTemperature, config.cooling, kAmbientTemperature, kCoolestTarget, kWarmestTarget,
          0xFFFF);
    // A camera without cooling still shows a plausible reading and range.
    Block &t = blocks_[kRegTemperature];
    t.words[kValue] = kAmbientTemperature;
    t.words[kMin] = kCoolestTarget;
    t.words[kMax] = kWarmestTarget;

    fanFitted_ = config.fan;
    fan_ = config.fan ? kPropPresent : 0;
    coolRate_ = config.coolRate;
    messageMask_ = config.messageMask;
    std::vector<std::uint8_t> curve(kMessageWindowBytes);
    for (int i = 0; i < 256; ++i) curve[i] = static_cast<std::uint8_t>(i);
    messages_[0] = std::move(curve);
}

SimProperties::Block *SimProperties::blockAt(std::uint16_t address, unsigned &word) {
    auto it = blocks_.find(static_cast<std::uint16_t>(address & 0xFFF0));
    if (it == blocks_.end()) return nullptr;
    word = (address & 0xF) / 4;
    return &it->second;
}

const SimProperties::Block *SimProperties::blockAt(std::uint16_t address, unsigned &word) const {
    return const_cast<SimProperties *>(this)->blockAt(address, word);
}

void SimProperties::advanceLocked(Clock::duration time) {
    const Block &t = blocks_[kRegTemperature];
    const bool cooling = (t.words[kFlags] & kPropPresent) && (t.words[kFlags] & kPropOn);
    if (!cooling || time <= Clock::duration::zero()) return;
    double rate = coolRate_;
    if (fanFitted_ && !(fan_ & kPropOn)) rate /= 2;  // the heat has nowhere to go
    const double step = rate * std::chrono::duration<double>(time).count();
    const double target = target_;
    if (temperature_ < target)
        temperature_ = std::min(target, temperature_ + step);
    else
        temperature_ = std::max(target, temperature_ - step);
}

void SimProperties::catchUpLocked() {
    const Clock::time_point now = Clock::now();
    advanceLocked(now - lastUpdate_);
    lastUpdate_ = now;
}

std::optional<std::uint32_t> SimProperties::peekLocked(std::uint16_t address) const {
    if (address == kRegFan) return fan_;
    if (address == kRegMessageSupport) return messageMask_;
    if (address == kRegMessageSelect) return selected_;
    if (address == kRegTemperature + wire::kBlockValue)
        return static_cast<std::uint32_t>(std::lround(temperature_));
    if (address >= kRegMessageData && address < kRegMessageData + kMessageWindowBytes) {
        auto it = messages_.find(selected_);
        if (it == messages_.end()) return 0;
        const std::size_t at = address - kRegMessageData;
        std::uint32_t word = 0;
        for (std::size_t b = 0; b < 4 && at + b < it->second.size(); ++b)
            word |= static_cast<std::uint32_t>(it->second[at + b]) << (8 * b);
        return word;
    }
    unsigned word = 0;
    if (const Block *b = blockAt(address, word)) return b->words[word];
    return std::nullopt;
}

std::optional<std::uint32_t> SimProperties::read(std::uint16_t address) {
    std::lock_guard lock(mutex_);
    if (address == kRegTemperature + wire::kBlockValue) catchUpLocked();
    return peekLocked(address);
}

std::optional<std::uint32_t> SimProperties::peek(std::uint16_t address) const {
    std::lock_guard lock(mutex_);
    return peekLocked(address);
}

bool SimProperties::write(std::uint16_t address, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    if (address == kRegFan) {
        // Only the running bit is the host's to change.
        if (fanFitted_) {
            catchUpLocked();
            fan_ = (fan_ & ~kPropOn) | (value & kPropOn);
        }
        return true;
    }
    if (address == kRegMessageSupport) return true;  // read only
    if (address == kRegMessageSelect) {
        selected_ = value;
        return true;
    }
    if (address >= kRegMessageData && address < kRegMessageData + kMessageWindowBytes) {
        // The window belongs to the selected message, if the camera takes it.
        if ((messageMask_ & (1u << (selected_ % 32))) == 0) return true;
        std::vector<std::uint8_t> &bytes = messages_[selected_];
        bytes.resize(kMessageWindowBytes);
        const std::size_t at = address - kRegMessageData;
        for (std::size_t b = 0; b < 4 && at + b < bytes.size(); ++b)
            bytes[at + b] = static_cast<std::uint8_t>(value >> (8 * b));
        return true;
    }
    unsigned word = 0;
    Block *b = blockAt(address, word);
    if (b == nullptr) return false;
    if (!(b->words[kFlags] & kPropPresent)) return true;  // nothing fitted to take it
    const bool temperature = (address & 0xFFF0) == kRegTemperature;
    if (temperature) catchUpLocked();
    if (word == kFlags) {
        b->words[kFlags] = (b->words[kFlags] & ~b->writableFlags) | (value & b->writableFlags);
    } else if (word == kValue) {
        const std::uint32_t v = clampWord(value, b->words[kMin], b->words[kMax]);
        // The temperature block's value is a reading; writing it sets the
        // cooler's target.
        if (temperature)
            target_ = v;
        else
            b->words[kValue] = v;
    }
    return true;
}

bool SimProperties::poke(std::uint16_t address, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    if (address == kRegFan) {
        fan_ = value;
        fanFitted_ = (value & kPropPresent) != 0;
        return true;
    }
    if (address == kRegMessageSupport) {
        messageMask_ = value;
        return true;
    }
    if (address == kRegMessageSelect) {
        selected_ = value;
        return true;
    }
    if (address >= kRegMessageData && address < kRegMessageData + kMessageWindowBytes) {
        std::vector<std::uint8_t> &bytes = messages_[selected_];
        bytes.resize(kMessageWindowBytes);
        const std::size_t at = address - kRegMessageData;
        for (std::size_t b = 0; b < 4 && at + b < bytes.size(); ++b)
            bytes[at + b] = static_cast<std::uint8_t>(value >> (8 * b));
        return true;
    }
    unsigned word = 0;
    Block *b = blockAt(address, word);
    if (b == nullptr) return false;
    b->words[word] = value;
    if (address == kRegTemperature + wire::kBlockValue) {
        temperature_ = value;
        target_ = value;
        lastUpdate_ = Clock::now();
    }
    return true;
}

std::array<std::uint8_t, 256> SimProperties::toneCurve() const {
    std::lock_guard lock(mutex_);
    std::array<std::uint8_t, 256> curve{};
    const std::vector<std::uint8_t> &bytes = messages_.at(0);
    std::copy_n(bytes.begin(), curve.size(), curve.begin());
    return curve;
}

PropertySnapshot SimProperties::snapshot() {
    PropertySnapshot s;
    s.toneCurve = toneCurve();
    std::lock_guard lock(mutex_);
    catchUpLocked();
    const auto value = [&](std::uint16_t base, std::uint32_t absent) {
        const Block &b = blocks_.at(base);
        return (b.words[kFlags] & kPropPresent) ? b.words[kValue] : absent;
    };
    s.exposureUs = value(kRegExposure, 0);
    const Block &exposure = blocks_.at(kRegExposure);
    s.autoExposure =
        (exposure.words[kFlags] & kPropAutoCapable) && (exposure.words[kFlags] & kPropAutoOn);
    s.autoExposureTarget = value(kRegAutoExposureTarget, 0);
    s.gain = value(kRegGain, 4096);
    s.gainRed = value(kRegGainRed, 4096);
    s.gainGreen1 = value(kRegGainGreen1, 4096);
    s.gainGreen2 = value(kRegGainGreen2, 4096);
    s.gainBlue = value(kRegGainBlue, 4096);
    s.temperature = static_cast<std::uint32_t>(std::lround(temperature_));
    return s;
}

void SimProperties::elapse(std::chrono::milliseconds time) {
    std::lock_guard lock(mutex_);
    catchUpLocked();
    advanceLocked(time);
}

std::uint32_t SimProperties::temperatureTarget() const {
    std::lock_guard lock(mutex_);
    return target_;
}

bool applyPropertyKey(CameraConfig &config, const std::string &key, const std::string &value,
                      bool &known, std::string &error) {
    std::uint32_t n = 0;
    const char *end = value.data() + value.size();
    const auto [ptr, ec] = std::from_chars(value.data(), end, n);
    const bool number = !value.empty() && ec == std::errc() && ptr == end;
    known = true;
    if (key == "autoexp") {
        if (!number || n > 1) return error = "bad value '" + value + "' for key 'autoexp'", false;
        config.autoExposure = n == 1;
    } else if (key == "coolrate") {
        if (!number || n == 0 || n > 1000000)
            return error = "bad value '" + value + "' for key 'coolrate'", false;
        config.coolRate = n;
    } else {
        known = false;
    }
    return true;
}

}  // namespace vocam::sim
