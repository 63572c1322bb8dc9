#include "support/OpenCamera.h"

#include <stdexcept>

#include "device/wire.h"
#include "support/Stderr.h"

namespace vocam::test {

OpenCamera::OpenCamera(const std::string &description) {
    if (!sim::Bus::instance().configure(description)) throw std::runtime_error("bad description");
    device_ = sim::Bus::instance().devices().at(0);
    StderrCapture quiet;
    if (vocam_camera_open_by_pid(&handle_, device_->product()) != 0 || handle_ == nullptr)
        throw std::runtime_error("open failed: " + quiet.take());
    device_->clearLog();
}

void PrintTo(const RegisterAccess &a, std::ostream *os) {
    *os << (a.write ? "write 0x" : "read 0x") << std::hex << a.address << " [";
    for (std::uint8_t b : a.data) *os << ' ' << static_cast<int>(b);
    *os << " ]" << std::dec;
}

Traffic registerTraffic(const sim::CameraDevice &device) {
    std::vector<RegisterAccess> out;
    for (const sim::LogEntry &e : device.log()) {
        if (e.kind != sim::LogEntry::Kind::Control || e.setup.bRequest != wire::kRegisterRequest)
            continue;
        out.push_back({(e.setup.bmRequestType & 0x80) == 0, e.setup.wIndex, e.data});
    }
    return out;
}

std::vector<std::uint8_t> wireWords(std::initializer_list<std::uint32_t> words) {
    std::vector<std::uint8_t> out;
    for (std::uint32_t w : words)
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
    return out;
}

}  // namespace vocam::test
