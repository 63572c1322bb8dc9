#include "support/umock/Camera.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "device/vo_cameras.h"
#include "support/Stderr.h"
#include "support/umock/Testbed.h"
#include "usbhost/libusb/LibusbHost.h"
#include "usbhost/registry/Backends.h"

namespace vocam::test::umock {

std::vector<std::shared_ptr<usbhost::DeviceRef>> waitForDevices(usbhost::Host &host,
                                                                const usbhost::Match &what,
                                                                std::size_t count) {
    std::vector<std::shared_ptr<usbhost::DeviceRef>> found;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (host.match(what, found) == 0 && found.size() < count &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return found;
}

bool LibusbCamera::available() {
    return Testbed::active();
}

LibusbCamera::LibusbCamera(const std::string &description) {
    Testbed &bed = Testbed::instance();
    host_ = usbhost::makeLibusbHost();
    if (host_->status() != 0) throw std::runtime_error("libusb did not start");
    bed.clear();
    if (!bed.configure(description)) throw std::runtime_error("bad description");
    device_ = bed.devices().at(0);
    auto found = waitForDevices(*host_, {device_->vendor(), device_->product(), {}});
    if (found.empty()) throw std::runtime_error("libusb does not list the camera");
    open(found.at(0));
    bed.takeRequests();
}

LibusbCamera::~LibusbCamera() {
    handle_.reset();
    Testbed::instance().clear();
}

void LibusbCamera::unplug() {
    Testbed::instance().unplug(device_);
}

OpenCamera::OpenCamera(const std::string &description) {
    // Before the library's first call starts its host.
    unsetenv("VOCAM_SIM");
    Testbed &bed = Testbed::instance();
    bed.clear();
    if (!bed.configure(description)) throw std::runtime_error("bad description");
    device_ = bed.devices().at(0);
    waitForDevices(usbhost::host(), {device_->vendor(), device_->product(), {}});
    StderrCapture quiet;
    if (vocam_camera_open_by_pid(&handle_, device_->product()) != 0 || handle_ == nullptr)
        throw std::runtime_error("open failed: " + quiet.take());
    device_->clearLog();
}

OpenCamera::~OpenCamera() {
    close();
    Testbed::instance().clear();
}

void OpenCamera::close() {
    vocam_camera_close(&handle_);
}

void OpenCamera::unplug() {
    Testbed::instance().unplug(device_);
}

}  // namespace vocam::test::umock
