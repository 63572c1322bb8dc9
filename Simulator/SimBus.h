// The simulated camera bus: the cameras VOCAM_SIM describes, and the test-only
// controls to attach, detach and inspect them.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Simulator/SimDevice.h"
#include "usbhost/UsbHost.h"

namespace vocam::sim {

class Bus {
  public:
    // How long a controller stays off the bus after its firmware starts.
    static constexpr int kReenumerationMs = 200;

    Bus() = default;
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // The process's bus, configured from VOCAM_SIM at its first use.
    static Bus &instance();

    // Replaces every device with the cameras of a VOCAM_SIM value. An unknown
    // model or key, or a bad value, is refused: one line on stderr, no devices,
    // false returned.
    bool configure(const std::string &description);
    std::shared_ptr<CameraDevice> attach(CameraConfig config);
    void detach(const std::shared_ptr<CameraDevice> &device);
    void clear();
    std::vector<std::shared_ptr<CameraDevice>> devices() const;

  private:
    // `described` is the camera as VOCAM_SIM gave it: what a replug brings back.
    // With `since`, nothing is plugged once the bus was cleared after it.
    std::shared_ptr<CameraDevice> plug(CameraConfig config, CameraConfig described,
                                       std::optional<std::uint64_t> since);
    // What follows a device's own doing goes ahead only while the bus is the
    // `generation` it was plugged into.
    void reenumerate(const std::weak_ptr<CameraDevice> &device, std::optional<CameraConfig> next,
                     CameraConfig described, std::uint64_t generation);
    void unplugAndReturn(const std::weak_ptr<CameraDevice> &device, CameraConfig described,
                         std::uint64_t generation);
    // Runs `action` on a thread of its own after `seconds`, unless the bus is
    // cleared first (or was since `generation`).
    void later(std::uint64_t generation, double seconds, std::function<void()> action);

    mutable std::mutex mutex_;
    std::condition_variable cleared_;
    std::vector<std::shared_ptr<CameraDevice>> devices_;
    // Devices leaving or on their way back: each goes ahead unless the bus
    // was cleared since.
    std::vector<std::thread> returning_;
    std::uint64_t generation_ = 0;
};

// Parses one VOCAM_SIM value; false with `error` set when it is refused.
bool parseDescription(const std::string &description, std::vector<CameraConfig> &out,
                      std::string &error);

// The USB host interface over a bus.
std::unique_ptr<usbhost::Host> makeSimulatedHost(Bus &bus);

}  // namespace vocam::sim
