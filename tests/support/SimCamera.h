// A simulated camera opened into a handle through the USB host interface,
// without the library's open sequence, for testing the layers below it.
#pragma once

#include <memory>
#include <string>

#include "Simulator/SimBus.h"
#include "vo_cam.h"

namespace vocam::test {

class SimCamera {
  public:
    explicit SimCamera(const std::string &description = "model_02:state=ready");
    ~SimCamera();
    _vocam *handle() { return handle_.get(); }
    sim::CameraDevice &device() { return *device_; }
    // Traffic since construction (or the last clear), without the set-up.
    std::vector<sim::LogEntry> log() const { return device_->log(); }

  private:
    std::unique_ptr<usbhost::Host> host_;
    std::shared_ptr<sim::CameraDevice> device_;
    std::unique_ptr<_vocam> handle_;
};

inline int countOf(const std::string &text, const std::string &what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace vocam::test
