// A camera opened into a handle through a USB host interface, without the
// library's open sequence, for testing the layers below it: SimCamera on the
// simulated bus, umock::LibusbCamera through libusb behind umockdev.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Simulator/SimBus.h"
#include "vo_cam/vo_cam.h"

namespace vocam::test {

class HostCamera {
  public:
    virtual ~HostCamera() = default;
    _vocam *handle() { return handle_.get(); }
    sim::CameraDevice &device() { return *device_; }
    const std::shared_ptr<sim::CameraDevice> &shared() const { return device_; }
    usbhost::Host &host() { return *host_; }
    // Traffic since the open (or the last clear), without the set-up.
    std::vector<sim::LogEntry> log() const { return device_->log(); }
    // The camera leaves the bus as at a cable pull.
    virtual void unplug() = 0;

  protected:
    // Opens the device and its first interface into the handle.
    void open(const std::shared_ptr<usbhost::DeviceRef> &device);
    std::unique_ptr<usbhost::Host> host_;
    std::shared_ptr<sim::CameraDevice> device_;
    std::unique_ptr<_vocam> handle_ = std::make_unique<_vocam>();
};

class SimCamera : public HostCamera {
  public:
    static bool available() { return true; }
    explicit SimCamera(const std::string &description = "model_02:state=ready");
    ~SimCamera() override;
    void unplug() override { device_->unplug(); }
};

inline int countOf(const std::string &text, const std::string &what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace vocam::test
