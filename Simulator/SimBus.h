// The simulated camera bus: the cameras VOCAM_SIM describes, and the test-only
// controls to attach, detach and inspect them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Simulator/SimDevice.h"
#include "usbhost/UsbHost.h"

namespace vocam::sim {

class Bus {
public:
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
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<CameraDevice>> devices_;
};

// Parses one VOCAM_SIM value; false with `error` set when it is refused.
bool parseDescription(const std::string &description, std::vector<CameraConfig> &out, std::string &error);

// The USB host interface over a bus.
std::unique_ptr<usbhost::Host> makeSimulatedHost(Bus &bus);

}  // namespace vocam::sim
