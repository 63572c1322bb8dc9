#include "support/umock/Camera.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/umock/Testbed.h"

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

LibusbCamera::LibusbCamera(const std::string &description) : handle_(std::make_unique<_vocam>()) {
    Testbed &bed = Testbed::instance();
    host_ = usbhost::makeLibusbHost();
    if (host_->status() != 0) throw std::runtime_error("libusb did not start");
    bed.clear();
    if (!bed.configure(description)) throw std::runtime_error("bad description");
    device_ = bed.devices().at(0);
    auto found = waitForDevices(*host_, {device_->vendor(), device_->product(), {}});
    if (found.empty()) throw std::runtime_error("libusb does not list the camera");
    _vocam &h = *handle_;
    h.usb_device = found.at(0);
    if (h.usb_device->createDevice(h.usb_device_if) != 0 || h.usb_device_if->open() != 0)
        throw std::runtime_error("device open");
    std::vector<std::shared_ptr<usbhost::InterfaceRef>> interfaces;
    h.usb_device_if->interfaces(interfaces);
    h.usb_interface = interfaces.at(0);
    if (h.usb_interface->createInterface(h.usb_interface_if) != 0 ||
        h.usb_interface_if->open() != 0)
        throw std::runtime_error("interface open");
    device_->clearLog();
    bed.takeRequests();
}

LibusbCamera::~LibusbCamera() {
    handle_.reset();
    Testbed::instance().clear();
}

}  // namespace vocam::test::umock
