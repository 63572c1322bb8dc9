// The property side of a simulated camera: register blocks for exposure,
// the gains, the auto-exposure target and the temperature, the fan register,
// a sensor temperature that follows the cooler, and the message window that
// carries the tone curve.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/wire.h"

namespace vocam::sim {

struct CameraConfig;

// The registers this side answers, as the wire protocol places them.
inline constexpr std::uint16_t kRegExposure = wire::kExposure.address;
inline constexpr std::uint16_t kRegGain = wire::kGain.address;
inline constexpr std::uint16_t kRegGainRed = wire::kGainRed.address;
inline constexpr std::uint16_t kRegGainGreen1 = wire::kGainGreen1.address;
inline constexpr std::uint16_t kRegGainGreen2 = wire::kGainGreen2.address;
inline constexpr std::uint16_t kRegGainBlue = wire::kGainBlue.address;
inline constexpr std::uint16_t kRegAutoExposureTarget = wire::kAutoExposureTarget.address;
inline constexpr std::uint16_t kRegTemperature = wire::kTemperature.address;
inline constexpr std::uint16_t kRegFan = wire::kFan.address;
inline constexpr std::uint16_t kRegMessageSupport = wire::kMessageSupport.address;
inline constexpr std::uint16_t kRegMessageSelect = wire::kMessageSelect.address;
inline constexpr std::uint16_t kRegMessageData = wire::kMessageData.address;
using wire::kMessageWindowBytes;

// Flags bits of a property block: fitted (read only), automatic exposure
// offered (read only) and on (the exposure block), and on (cooling, fan
// running).
inline constexpr std::uint32_t kPropPresent = wire::kFlagPresent;
inline constexpr std::uint32_t kPropAutoCapable = wire::kFlagAutoCapable;
inline constexpr std::uint32_t kPropAutoOn = wire::kFlagAutoOn;
inline constexpr std::uint32_t kPropOn = wire::kFlagOn;

// Room temperature (20 degrees), and the cooler's reach (-40 to 40), in
// register units: 1000 x (degrees Celsius + 273).
inline constexpr std::uint32_t kAmbientTemperature = 293000;
inline constexpr std::uint32_t kCoolestTarget = 233000;
inline constexpr std::uint32_t kWarmestTarget = 313000;

// What the frame renderer needs of the properties, taken at one instant.
struct PropertySnapshot {
    std::uint32_t exposureUs = 0;
    bool autoExposure = false;
    std::uint32_t autoExposureTarget = 0;
    // Analogue gains in 1/4096 units; colour gains are 4096 on a mono sensor.
    std::uint32_t gain = 4096;
    std::uint32_t gainRed = 4096, gainGreen1 = 4096, gainGreen2 = 4096, gainBlue = 4096;
    std::uint32_t temperature = kAmbientTemperature;
    std::array<std::uint8_t, 256> toneCurve{};
};

class SimProperties {
  public:
    explicit SimProperties(const CameraConfig &config);

    // Register access from the wire: an answer for the registers this owns,
    // nothing for the others.
    std::optional<std::uint32_t> read(std::uint16_t address);
    bool write(std::uint16_t address, std::uint32_t value);
    // Test access: stores and returns words as they are, without the rules
    // the wire obeys (read-only bits, clamping, the cooler's progress).
    std::optional<std::uint32_t> peek(std::uint16_t address) const;
    bool poke(std::uint16_t address, std::uint32_t value);

    // The curve the camera applies to its frames (message 0); identity until
    // one is sent.
    std::array<std::uint8_t, 256> toneCurve() const;
    PropertySnapshot snapshot();
    // Lets time pass for the cooler, on top of the real clock.
    void elapse(std::chrono::milliseconds time);
    // The temperature the cooler is heading for.
    std::uint32_t temperatureTarget() const;

  private:
    struct Block {
        std::uint32_t words[4] = {};  // flags, value, minimum, maximum
        std::uint32_t writableFlags = 0;
    };
    using Clock = std::chrono::steady_clock;

    Block *blockAt(std::uint16_t address, unsigned &word);
    const Block *blockAt(std::uint16_t address, unsigned &word) const;
    std::optional<std::uint32_t> peekLocked(std::uint16_t address) const;
    void advanceLocked(Clock::duration time);
    void catchUpLocked();

    mutable std::mutex mutex_;
    std::map<std::uint16_t, Block> blocks_;
    bool fanFitted_ = false;
    std::uint32_t fan_ = 0;
    // Cooler: heading for the target while on, at rate mK per second (half
    // of that when a fitted fan is stopped).
    std::uint32_t target_ = kAmbientTemperature;
    std::uint32_t coolRate_ = 1000;
    double temperature_ = kAmbientTemperature;
    Clock::time_point lastUpdate_;
    // Messages: the support mask, the selected message and each message's bytes.
    std::uint32_t messageMask_ = 0;
    std::uint32_t selected_ = 0;
    std::map<std::uint32_t, std::vector<std::uint8_t>> messages_;
};

// VOCAM_SIM keys of the property side: false with `error` set for a bad
// value; `known` false for a key that is not one of them.
bool applyPropertyKey(CameraConfig &config, const std::string &key, const std::string &value,
                      bool &known, std::string &error);

}  // namespace vocam::sim
