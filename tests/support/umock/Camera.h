// A simulated camera behind umockdev, opened into a handle through libusb,
// without the library's open sequence, for testing the layers below it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Simulator/SimDevice.h"
#include "usbhost/UsbHost.h"
#include "vo_cam.h"

namespace vocam::test::umock {

// Waits (up to two seconds) until `host` lists a device with this identity;
// libusb learns of new devices through the hotplug monitor.
std::vector<std::shared_ptr<usbhost::DeviceRef>> waitForDevices(usbhost::Host &host,
                                                                const usbhost::Match &what,
                                                                std::size_t count = 1);

class LibusbCamera {
  public:
    explicit LibusbCamera(const std::string &description = "model_02:state=ready");
    ~LibusbCamera();
    _vocam *handle() { return handle_.get(); }
    sim::CameraDevice &device() { return *device_; }
    const std::shared_ptr<sim::CameraDevice> &shared() const { return device_; }
    usbhost::Host &host() { return *host_; }
    std::vector<sim::LogEntry> log() const { return device_->log(); }

  private:
    std::unique_ptr<usbhost::Host> host_;
    std::shared_ptr<sim::CameraDevice> device_;
    std::unique_ptr<_vocam> handle_;
};

}  // namespace vocam::test::umock
