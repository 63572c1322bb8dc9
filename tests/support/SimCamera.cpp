#include "support/SimCamera.h"

#include <stdexcept>

namespace vocam::test {

void HostCamera::open(const std::shared_ptr<usbhost::DeviceRef> &device) {
    _vocam &h = *handle_;
    h.usb.device = device;
    if (h.usb.device->createDevice(h.usb.device_if) != 0 || h.usb.device_if->open() != 0)
        throw std::runtime_error("device open");
    std::vector<std::shared_ptr<usbhost::InterfaceRef>> interfaces;
    h.usb.device_if->interfaces(interfaces);
    h.usb.interface = interfaces.at(0);
    if (h.usb.interface->createInterface(h.usb.interface_if) != 0 ||
        h.usb.interface_if->open() != 0)
        throw std::runtime_error("interface open");
    device_->clearLog();
}

SimCamera::SimCamera(const std::string &description) {
    host_ = sim::makeSimulatedHost(sim::Bus::instance());
    if (!sim::Bus::instance().configure(description)) throw std::runtime_error("bad description");
    device_ = sim::Bus::instance().devices().at(0);
    std::vector<std::shared_ptr<usbhost::DeviceRef>> found;
    host_->match({device_->vendor(), device_->product(), {}}, found);
    open(found.at(0));
}

SimCamera::~SimCamera() {
    handle_.reset();
    sim::Bus::instance().clear();
}

}  // namespace vocam::test
