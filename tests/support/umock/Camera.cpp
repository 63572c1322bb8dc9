#include "support/umock/Camera.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/umock/Testbed.h"
#include "usbhost/libusb/LibusbHost.h"

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

}  // namespace vocam::test::umock
