// A simulated camera behind umockdev, opened into a handle through libusb,
// without the library's open sequence, for testing the layers below it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/SimCamera.h"
#include "usbhost/UsbHost.h"

namespace vocam::test::umock {

// Waits (up to two seconds) until `host` lists a device with this identity;
// libusb learns of new devices through the hotplug monitor.
std::vector<std::shared_ptr<usbhost::DeviceRef>> waitForDevices(usbhost::Host &host,
                                                                const usbhost::Match &what,
                                                                std::size_t count = 1);

class LibusbCamera : public HostCamera {
  public:
    // True when the process runs under umockdev-wrapper.
    static bool available();
    explicit LibusbCamera(const std::string &description = "model_02:state=ready");
    ~LibusbCamera() override;
    void unplug() override;
};

// A camera of the testbed opened through the library's own open call, as
// test::OpenCamera opens one on the simulated bus.
class OpenCamera {
  public:
    explicit OpenCamera(const std::string &description = "model_02:state=ready:fps=0");
    ~OpenCamera();
    OpenCamera(const OpenCamera &) = delete;
    OpenCamera &operator=(const OpenCamera &) = delete;

    _vocam *handle() const { return handle_; }
    sim::CameraDevice &device() const { return *device_; }
    void close();
    void unplug();

  private:
    _vocam *handle_ = nullptr;
    std::shared_ptr<sim::CameraDevice> device_;
};

}  // namespace vocam::test::umock
