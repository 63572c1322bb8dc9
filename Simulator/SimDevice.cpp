#include "Simulator/SimDevice.h"

#include <algorithm>
#include <cstring>

#include "Simulator/SimImages.h"
#include "device/wire.h"

namespace vocam::sim {

using namespace usbhost;

namespace {

namespace wire = vocam::wire;
using wire::kBulkInEndpoint;
using wire::kBulkOutEndpoint;
using wire::kFpgaConfigured;
using wire::kVideoOn;

constexpr std::size_t kLoggedBulkBytes = 64 * 1024;

// Where this device keeps its product and serial strings; the host reads
// the indexes from the device descriptor.
constexpr std::uint8_t kStringProduct = 2;
constexpr std::uint8_t kStringSerial = 3;

// Registers with behaviour beyond store-and-return: the FPGA's status, video
// on and off, the data rate that paces frames and the data-rate list.
constexpr std::uint16_t kRegFpga = wire::kFpga.address;
constexpr std::uint16_t kRegVideo = wire::kVideo.address;
constexpr std::uint16_t kRegRate = wire::kRate.address;
constexpr std::uint16_t kRegDataRateCount = wire::kRateCount.address;
constexpr std::uint16_t kRegDataRateArray = wire::kRateArray.address;
// The window registers the frames are rendered from.
constexpr std::uint16_t kRegPosition = wire::kPosition.address;
constexpr std::uint16_t kRegSize = wire::kSize.address;
constexpr std::uint16_t kRegSubsampling = wire::kSubsampling.address;

void put16(std::vector<std::uint8_t> &v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

std::uint32_t pack(std::uint32_t low, std::uint32_t high) {
    return (high << 16) | (low & 0xFFFF);
}

}  // namespace

CameraDevice::CameraDevice(CameraConfig config)
    : config_(std::move(config)),
      ram_(wire::kFx2RamSize),
      video_(std::make_unique<SimVideo>([this] { wake_.notify_all(); })),
      properties_(config_) {
    fpgaConfigured_ = config_.state == BootState::Ready && config_.hasFpga;
    heldOpens_ = config_.busyOpens;
    video_->stage(config_.video);
    auto &r = registers_;
    r[kRegFpga] = 0;
    r[wire::kFirmwareVersion.address] = config_.firmwareVersion;
    r[kRegVideo] = 0;  // video off
    r[wire::kMaxSize.address] = pack(config_.width, config_.height);
    r[wire::kUnitSize.address] = pack(config_.unitWidth, config_.unitHeight);
    r[kRegPosition] = 0;
    r[kRegSize] = pack(config_.width, config_.height);
    r[wire::kColorId.address] = 0;
    r[wire::kColorInquiry.address] = config_.colorCode;
    r[kRegSubsampling] = pack(1, 1);
    r[wire::kSubsamplingInquiry.address] = config_.maxSubsample;
    const auto [lo, hi] = std::minmax_element(config_.dataRates.begin(), config_.dataRates.end());
    r[wire::kRateMinMax.address] = config_.dataRates.empty() ? 0 : pack(*lo, *hi);
    r[kRegRate] = config_.dataRates.empty() ? 0 : config_.dataRates.front();
    r[kRegDataRateCount] = static_cast<std::uint32_t>(config_.dataRates.size());
}

CameraDevice::~CameraDevice() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    for (auto &p : pending_) p.post(kIOReturnAborted, 0);
    for (auto &p : hung_) p.post(kIOReturnAborted, 0);
}

std::uint16_t CameraDevice::vendor() const {
    return config_.vendor;
}
// A controller still running its boot code shows bit 15 in its product ID
// and the vendor-specific device subclass.
std::uint16_t CameraDevice::product() const {
    return config_.state == BootState::Boot ? config_.product | wire::kBootProductBit
                                            : config_.product;
}
std::uint16_t CameraDevice::release() const {
    return config_.release;
}
std::uint8_t CameraDevice::subclass() const {
    return config_.state == BootState::Boot ? wire::kBootSubclass : 0;
}

std::vector<std::uint8_t> CameraDevice::deviceDescriptor() const {
    std::vector<std::uint8_t> d = {18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {0, subclass(), 0, 64});
    put16(d, vendor());
    put16(d, product());
    put16(d, release());
    d.insert(d.end(), {1, kStringProduct, kStringSerial, 1});
    return d;
}

std::vector<std::uint8_t> CameraDevice::configurationDescriptor() const {
    if (!config_.configuration.empty()) return config_.configuration;
    std::vector<std::uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 250};
    auto interface = [&](std::uint8_t alternate, std::initializer_list<std::uint8_t> endpoints) {
        d.insert(d.end(),
                 {9, 4, 0, alternate, static_cast<std::uint8_t>(endpoints.size()), 0xFF, 0, 0, 0});
        for (std::uint8_t ep : endpoints) {
            d.insert(d.end(), {7, 5, ep, 2});
            put16(d, wire::kBulkPacketSize);
            d.push_back(0);
        }
    };
    interface(0, {});
    // A model with an FPGA takes its bitstream on alternate setting 1 and
    // streams on 2; one without streams on 1.
    if (config_.hasFpga)
        interface(wire::kAlternateFpgaLoad, {kBulkOutEndpoint, kBulkInEndpoint});
    else
        interface(wire::kAlternateStreamNoFpga, {kBulkInEndpoint});
    interface(wire::kAlternateStream, {kBulkInEndpoint, kBulkOutEndpoint});
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

bool CameraDevice::hasAlternate(std::uint8_t alternate) const {
    const std::vector<std::uint8_t> d = configurationDescriptor();
    for (std::size_t at = 0; at + 3 < d.size() && d[at] != 0; at += d[at])
        if (d[at + 1] == 4 && d[at + 3] == alternate) return true;
    return false;
}

bool CameraDevice::pipeEndpoint(std::uint8_t pipe, std::uint8_t &address,
                                std::uint8_t &attributes) const {
    std::lock_guard lock(mutex_);
    if (pipe == 0) return false;
    const std::vector<std::uint8_t> d = configurationDescriptor();
    int current = -1, index = 0;
    for (std::size_t at = 0; at + 3 < d.size() && d[at] != 0; at += d[at]) {
        if (d[at + 1] == 4) {
            current = d[at + 3];
            index = 0;
        } else if (d[at + 1] == 5 && current == alternate_ && ++index == pipe) {
            address = d[at + 2];
            attributes = d[at + 3];
            return true;
        }
    }
    return false;
}

std::uint8_t CameraDevice::endpointFor(std::uint8_t pipe) const {
    if (pipe == 0) return 0;
    const std::vector<std::uint8_t> d = configurationDescriptor();
    int current = -1, index = 0;
    for (std::size_t at = 0; at + 1 < d.size() && d[at] != 0; at += d[at]) {
        if (d[at + 1] == 4) {
            current = d[at + 3];
            index = 0;
        } else if (d[at + 1] == 5 && current == alternate_ && ++index == pipe) {
            return d[at + 2];
        }
    }
    return 0;
}

void CameraDevice::record(LogEntry entry) {
    // A real camera has no log that could run out of memory: an entry that
    // cannot be kept is dropped rather than turning the request that was
    // already carried out into a failure, or ending a destructor.
    try {
        log_.push_back(std::move(entry));
    } catch (const std::bad_alloc &) {
    }
}

IOReturn CameraDevice::recordRequest(LogEntry::Kind kind, IOReturn result, std::uint8_t endpoint,
                                     std::uint32_t value) {
    LogEntry e;
    e.kind = kind;
    e.endpoint = endpoint;
    e.value = value;
    e.result = result;
    record(std::move(e));
    return result;
}

IOReturn CameraDevice::open() {
    std::lock_guard lock(mutex_);
    IOReturn result = kIOReturnSuccess;
    if (!present_) {
        result = kIOReturnNoDevice;
    } else if (heldOpens_ > 0) {
        --heldOpens_;
        result = kIOReturnExclusiveAccess;
    } else if (open_) {
        result = kIOReturnExclusiveAccess;
    } else {
        open_ = true;
    }
    return recordRequest(LogEntry::Kind::Open, result);
}

IOReturn CameraDevice::close() {
    std::lock_guard lock(mutex_);
    const IOReturn result = open_ ? kIOReturnSuccess : kIOReturnNotOpen;
    open_ = false;
    return recordRequest(LogEntry::Kind::Close, result);
}

IOReturn CameraDevice::claim() {
    std::lock_guard lock(mutex_);
    const IOReturn result = !present_  ? kIOReturnNoDevice
                            : claimed_ ? kIOReturnExclusiveAccess
                                       : kIOReturnSuccess;
    if (result == kIOReturnSuccess) claimed_ = true;
    return recordRequest(LogEntry::Kind::Claim, result);
}

IOReturn CameraDevice::release_() {
    std::lock_guard lock(mutex_);
    const IOReturn result = claimed_ ? kIOReturnSuccess : kIOReturnNotOpen;
    claimed_ = false;
    return recordRequest(LogEntry::Kind::Release, result);
}

IOReturn CameraDevice::setConfiguration(std::uint8_t value) {
    std::lock_guard lock(mutex_);
    const IOReturn result = !present_    ? kIOReturnNoDevice
                            : value == 1 ? kIOReturnSuccess
                                         : kIOReturnBadArgument;
    if (result == kIOReturnSuccess) configuration_ = value;
    return recordRequest(LogEntry::Kind::SetConfiguration, result, 0, value);
}

IOReturn CameraDevice::setAlternate(std::uint8_t alternate) {
    std::lock_guard lock(mutex_);
    const IOReturn result = !present_   ? kIOReturnNoDevice
                            : !claimed_ ? kIOReturnNotOpen
                            // A device stalls a request for a setting it does not have.
                            : hasAlternate(alternate) ? kIOReturnSuccess
                                                      : kIOReturnPipeStalled;
    if (result == kIOReturnSuccess) alternate_ = alternate;
    return recordRequest(LogEntry::Kind::SetAlternate, result, 0, alternate);
}

std::vector<std::uint8_t> CameraDevice::stringDescriptor(std::uint8_t index) const {
    std::string text;
    if (index == 0) return {4, 3, 0x09, 0x04};  // English (US) only
    if (index == 1)
        text = "VoCam";
    else if (index == kStringProduct)
        text = config_.productName;
    else if (index == kStringSerial)
        text = std::to_string(config_.serial);
    else
        return {};
    std::vector<std::uint8_t> d = {
        static_cast<std::uint8_t>(std::min<std::size_t>(2 + 2 * text.size(), 254)), 3};
    for (std::size_t i = 0; i < text.size() && d.size() < 254; ++i)
        put16(d, static_cast<std::uint8_t>(text[i]));
    auto fault = stringFaults_.find(index);
    if (fault != stringFaults_.end()) switch (fault->second) {
            case StringFault::None:
                break;
            case StringFault::Empty:
                d = {0, 3};
                break;
            case StringFault::WrongType:
                d[1] = 2;
                break;
            case StringFault::OddLength:
                d[0] = static_cast<std::uint8_t>(d[0] - 1);
                break;
            // Claims more than it will ever send.
            case StringFault::Overlong:
                d[0] = static_cast<std::uint8_t>(std::min(254, d[0] + 20));
                break;
        }
    return d;
}

std::uint32_t CameraDevice::readRegister(std::uint16_t address) {
    if (address == kRegFpga) {
        if (fpgaPollsLeft_ > 0 && --fpgaPollsLeft_ == 0) {
            fpgaConfigured_ = true;
            config_.state = BootState::Ready;
        }
        return fpgaConfigured_ ? kFpgaConfigured : 0;
    }
    if (auto v = properties_.read(address)) return *v;
    if (address == kRegDataRateCount) rateCursor_ = 0;
    if (address == kRegDataRateArray) {
        // Each read hands out the next two entries of the list, low half first.
        auto entry = [&](std::size_t i) -> std::uint32_t {
            return i < config_.dataRates.size() ? config_.dataRates[i] : 0;
        };
        const std::uint32_t word = pack(entry(rateCursor_), entry(rateCursor_ + 1));
        rateCursor_ += 2;
        return word;
    }
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

void CameraDevice::writeRegister(std::uint16_t address, std::uint32_t value) {
    if (address == kRegFpga && config_.hasFpga) {
        if (value == wire::kFpgaBegin) {
            fpgaReceiving_ = true;
            fpgaConfigured_ = false;
            fpgaPollsLeft_ = 0;
            fpgaData_.clear();
        } else if (value == wire::kFpgaEnd && fpgaReceiving_) {
            // Only a whole image for this product configures the FPGA.
            fpgaReceiving_ = false;
            if (checkFpgaImage(fpgaData_, config_.product))
                fpgaPollsLeft_ = std::max(1, config_.fpgaPolls);
            fpgaData_.clear();
        }
        return;
    }
    if (properties_.write(address, value)) return;
    const bool videoStarts =
        address == kRegVideo && (value & kVideoOn) != 0 && (registers_[kRegVideo] & kVideoOn) == 0;
    registers_[address] = value;
    // Switched on, the camera begins its first exposure: no frame comes
    // sooner than a frame period later.
    if (videoStarts) nextFrame_ = std::chrono::steady_clock::now() + frameInterval();
    if (address == kRegVideo) wake_.notify_all();
}

// The controller's built-in load request: writes its RAM and its CPU control
// register. Releasing the CPU starts whatever the RAM holds.
IOReturn CameraDevice::firmwareLoad(const Setup &setup, const std::uint8_t *data,
                                    std::optional<std::optional<CameraConfig>> &reenumerate) {
    if (setup.wValue == wire::kFx2CpuControl && setup.wLength >= 1) {
        const bool hold = data[0] & 1;
        if (!hold && cpuHeld_ && config_.state == BootState::Boot) {
            if (checkFirmwareImage(ram_.data(), ram_.size(), config_.vendor, config_.product)) {
                CameraConfig next = config_;
                next.state = config_.hasFpga ? BootState::Fpga : BootState::Ready;
                reenumerate = next;
            } else {
                reenumerate = std::optional<CameraConfig>();
            }
        }
        cpuHeld_ = hold;
        return kIOReturnSuccess;
    }
    if (static_cast<std::size_t>(setup.wValue) + setup.wLength > wire::kFx2RamSize)
        return kIOReturnPipeStalled;
    std::memcpy(ram_.data() + setup.wValue, data, setup.wLength);
    return kIOReturnSuccess;
}

IOReturn CameraDevice::vendorRequest(const Setup &setup, std::uint8_t *data, std::uint32_t &done,
                                     std::optional<std::optional<CameraConfig>> &reenumerate) {
    if (setup.bRequest == wire::kFirmwareLoadRequest && !(setup.bmRequestType & 0x80)) {
        const IOReturn r = firmwareLoad(setup, data, reenumerate);
        if (r == kIOReturnSuccess) done = setup.wLength;
        return r;
    }
    // Registers are answered by the camera firmware, which a controller still
    // in its boot code does not have.
    if (setup.bRequest != wire::kRegisterRequest || config_.state == BootState::Boot)
        return kIOReturnPipeStalled;
    const bool in = setup.bmRequestType & 0x80;
    const std::uint32_t words = (setup.wLength + 3u) / 4u;
    for (std::uint32_t w = 0; w < words; ++w) {
        const auto address = static_cast<std::uint16_t>(setup.wIndex + 4 * w);
        const std::uint32_t bytes = std::min<std::uint32_t>(4, setup.wLength - 4 * w);
        std::uint8_t le[4];
        if (in) {
            const std::uint32_t v = readRegister(address);
            for (int b = 0; b < 4; ++b) le[b] = static_cast<std::uint8_t>(v >> (8 * b));
            std::memcpy(data + 4 * w, le, bytes);
        } else {
            std::uint32_t v = bytes == 4 ? 0 : readRegister(address);
            for (std::uint32_t b = 0; b < bytes; ++b) {
                v &= ~(0xFFu << (8 * b));
                v |= static_cast<std::uint32_t>(data[4 * w + b]) << (8 * b);
            }
            writeRegister(address, v);
        }
    }
    done = setup.wLength;
    return kIOReturnSuccess;
}

IOReturn CameraDevice::control(const Setup &setup, void *data, std::uint32_t &done,
                               std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs,
                               bool deviceLevel) {
    std::optional<std::optional<CameraConfig>> reenumerate;
    Reenumerate callback;
    IOReturn result;
    {
        std::lock_guard lock(mutex_);
        result = controlLocked(setup, data, done, noDataTimeoutMs, completionTimeoutMs, deviceLevel,
                               reenumerate);
        if (reenumerate) callback = reenumerate_;
    }
    if (callback) callback(*reenumerate);
    return result;
}

IOReturn CameraDevice::controlLocked(const Setup &setup, void *data, std::uint32_t &done,
                                     std::uint32_t noDataTimeoutMs,
                                     std::uint32_t completionTimeoutMs, bool deviceLevel,
                                     std::optional<std::optional<CameraConfig>> &reenumerate) {
    auto *bytes = static_cast<std::uint8_t *>(data);
    const bool in = setup.bmRequestType & 0x80;
    LogEntry e;
    e.kind = LogEntry::Kind::Control;
    e.deviceLevel = deviceLevel;
    e.setup = setup;
    e.length = setup.wLength;
    e.noDataTimeoutMs = noDataTimeoutMs;
    e.completionTimeoutMs = completionTimeoutMs;
    done = 0;
    if (!in && bytes) e.data.assign(bytes, bytes + setup.wLength);
    // An armed fault lets its first requests through.
    const bool letThrough = present_ && controlFaultCount_ > 0 && controlFaultAfter_ > 0;
    if (letThrough) --controlFaultAfter_;
    if (!present_) {
        e.result = kIOReturnNoDevice;
    } else if (setup.wLength > 0 && bytes == nullptr) {
        e.result = kIOReturnBadArgument;
    } else if (controlFaultCount_ > 0 && !letThrough && controlFault_ != kIOReturnOverrun) {
        --controlFaultCount_;
        e.result = controlFault_;
    } else if ((setup.bmRequestType & 0x60) == 0x40) {
        e.result = vendorRequest(setup, bytes, done, reenumerate);
    } else if (setup.bmRequestType == wire::kStandardIn && setup.bRequest == wire::kGetDescriptor) {
        // GET_DESCRIPTOR: send at most what was asked for.
        const std::uint8_t type = setup.wValue >> 8, index = setup.wValue & 0xFF;
        std::vector<std::uint8_t> d = type == 1                   ? deviceDescriptor()
                                      : type == 2                 ? configurationDescriptor()
                                      : type == wire::kStringType ? stringDescriptor(index)
                                                                  : std::vector<std::uint8_t>{};
        if (d.empty()) {
            e.result = kIOReturnPipeStalled;
        } else {
            // An overlong string descriptor announces more than it carries.
            std::size_t carried = d.size();
            if (type == wire::kStringType && stringFaults_.count(index) &&
                stringFaults_.at(index) == StringFault::Overlong)
                carried = std::min<std::size_t>(carried, 2 + 2 * 4);
            done = static_cast<std::uint32_t>(std::min<std::size_t>(setup.wLength, carried));
            std::memcpy(bytes, d.data(), done);
            e.result = kIOReturnSuccess;
        }
    } else {
        e.result = kIOReturnPipeStalled;
    }
    if (e.result == kIOReturnSuccess && controlFaultCount_ > 0 && !letThrough &&
        controlFault_ == kIOReturnOverrun) {
        // The device sent more than asked: the data arrived, the status says overrun.
        --controlFaultCount_;
        e.result = kIOReturnOverrun;
    }
    if (e.result == kIOReturnSuccess && in && shortRead_ < done) {
        done = shortRead_;
        shortRead_ = UINT32_MAX;
    }
    if (in && bytes) e.data.assign(bytes, bytes + done);
    if (!in && e.result == kIOReturnSuccess) done = setup.wLength;
    e.done = done;
    record(std::move(e));
    return log_.back().result;
}

IOReturn CameraDevice::pipeStatus(std::uint8_t pipe) {
    std::lock_guard lock(mutex_);
    const std::uint8_t ep = endpointFor(pipe);
    const IOReturn result = !present_                ? kIOReturnNoDevice
                            : (pipe != 0 && ep == 0) ? kIOReturnBadArgument
                            : stalled_[ep]           ? kIOReturnPipeStalled
                                                     : kIOReturnSuccess;
    return recordRequest(LogEntry::Kind::PipeStatus, result, ep);
}

IOReturn CameraDevice::bulkOut(std::uint8_t pipe, const void *data, std::uint32_t length,
                               std::uint32_t timeoutMs, std::uint32_t completionTimeoutMs,
                               std::uint32_t *movedOut) {
    std::lock_guard lock(mutex_);
    const std::uint8_t ep = endpointFor(pipe);
    LogEntry e;
    e.kind = LogEntry::Kind::BulkOut;
    e.endpoint = ep;
    e.length = length;
    e.noDataTimeoutMs = timeoutMs;
    e.completionTimeoutMs = completionTimeoutMs;
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    std::uint32_t moved = length;
    if (!present_) {
        e.result = kIOReturnNoDevice;
        moved = 0;
    } else if (ep == 0 || (ep & 0x80)) {
        e.result = kIOReturnBadArgument;
        moved = 0;
    } else if (stalled_[ep]) {
        e.result = kIOReturnPipeStalled;
        moved = 0;
    } else if (bulkFaultCount_ > 0) {
        --bulkFaultCount_;
        e.result = bulkFault_;
        moved = std::min(length, bulkFaultBytes_);
    }
    bulkOut_.insert(bulkOut_.end(), bytes, bytes + moved);
    if (fpgaReceiving_ && alternate_ == 1) fpgaData_.insert(fpgaData_.end(), bytes, bytes + moved);
    e.done = moved;
    if (movedOut) *movedOut = moved;
    e.data.assign(bytes, bytes + std::min<std::size_t>(moved, kLoggedBulkBytes));
    record(std::move(e));
    return log_.back().result;
}

std::uint32_t CameraDevice::takeBulkIn(std::uint8_t *data, std::uint32_t size) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(size, bulkIn_.size()));
    std::copy_n(bulkIn_.begin(), n, data);
    bulkIn_.erase(bulkIn_.begin(), bulkIn_.begin() + n);
    return n;
}

IOReturn CameraDevice::bulkIn(std::uint8_t pipe, void *data, std::uint32_t &length,
                              std::uint32_t timeoutMs, std::uint32_t completionTimeoutMs) {
    std::lock_guard lock(mutex_);
    const std::uint8_t ep = endpointFor(pipe);
    LogEntry e;
    e.kind = LogEntry::Kind::BulkIn;
    e.endpoint = ep;
    e.length = length;
    e.noDataTimeoutMs = timeoutMs;
    e.completionTimeoutMs = completionTimeoutMs;
    auto *bytes = static_cast<std::uint8_t *>(data);
    std::uint32_t moved = 0;
    if (!present_) {
        e.result = kIOReturnNoDevice;
    } else if (ep == 0 || !(ep & 0x80)) {
        e.result = kIOReturnBadArgument;
    } else if (stalled_[ep]) {
        e.result = kIOReturnPipeStalled;
    } else if (bulkFaultCount_ > 0) {
        --bulkFaultCount_;
        moved = takeBulkIn(bytes, std::min(length, bulkFaultBytes_));
        e.result = bulkFault_;
    } else {
        moved = takeBulkIn(bytes, length);
        // Nothing to send within the time-out: the host gives up.
        e.result = moved == 0 && length > 0 ? kIOReturnTimeout : kIOReturnSuccess;
    }
    length = moved;
    e.done = moved;
    e.data.assign(bytes, bytes + std::min<std::size_t>(moved, kLoggedBulkBytes));
    record(std::move(e));
    return log_.back().result;
}

IOReturn CameraDevice::clearStall(std::uint8_t pipe) {
    std::lock_guard lock(mutex_);
    const std::uint8_t ep = endpointFor(pipe);
    if (present_) stalled_[ep] = false;
    return recordRequest(LogEntry::Kind::ClearStall,
                         present_ ? kIOReturnSuccess : kIOReturnNoDevice, ep);
}

IOReturn CameraDevice::abort(std::uint8_t pipe) {
    std::deque<PendingRead> aborted;
    IOReturn result;
    {
        std::lock_guard lock(mutex_);
        const std::uint8_t ep = endpointFor(pipe);
        LogEntry e;
        e.kind = LogEntry::Kind::Abort;
        e.endpoint = ep;
        e.result = !present_ ? kIOReturnNoDevice : kIOReturnSuccess;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->endpoint == ep) {
                aborted.push_back(std::move(*it));
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
        record(e);
        result = e.result;
    }
    for (auto &p : aborted) p.post(kIOReturnAborted, 0);
    return result;
}

IOReturn CameraDevice::submitRead(std::uint8_t pipe, void *buffer, std::uint32_t size, Post post,
                                  std::shared_ptr<void> keep) {
    std::lock_guard lock(mutex_);
    const std::uint8_t ep = endpointFor(pipe);
    if (!present_) return kIOReturnNoDevice;
    if (ep == 0 || !(ep & 0x80)) return kIOReturnBadArgument;
    pending_.push_back(
        {ep, static_cast<std::uint8_t *>(buffer), size, std::move(post), std::move(keep)});
    if (!worker_.joinable()) worker_ = std::thread([this] { worker(); });
    wake_.notify_all();
    return kIOReturnSuccess;
}

bool CameraDevice::withdrawRead(const void *buffer) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](const PendingRead &p) { return p.buffer == buffer; });
    if (it == pending_.end()) return false;
    pending_.erase(it);
    return true;
}

bool CameraDevice::bulkInAnswersNow(std::uint8_t pipe) const {
    std::lock_guard lock(mutex_);
    const std::uint8_t ep = endpointFor(pipe);
    if (!present_ || ep == 0 || !(ep & 0x80) || bulkFaultCount_ > 0 || !bulkIn_.empty())
        return true;
    auto stall = stalled_.find(ep);
    return stall != stalled_.end() && stall->second;
}

// Completes asynchronous reads in order, as the device produces data: bytes
// queued by a test first, else frames while video runs.
void CameraDevice::worker() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopping_) return;
        if (frameReadPending()) {
            const auto now = std::chrono::steady_clock::now();
            const auto interval = frameInterval();
            if (interval.count() > 0) {
                if (now < nextFrame_) {
                    wake_.wait_until(lock, nextFrame_);
                    continue;
                }
                // After an idle spell the camera starts a fresh frame period.
                nextFrame_ = now - nextFrame_ > interval ? now + interval : nextFrame_ + interval;
            }
            PendingRead read = std::move(pending_.front());
            pending_.pop_front();
            if (hangCount_ > 0) {
                --hangCount_;
                hung_.push_back(std::move(read));
                continue;
            }
            const VideoSettings settings = videoSettings();
            lock.unlock();
            std::uint32_t moved = 0;
            const IOReturn result = video_->deliver(settings, read.buffer, read.size, moved);
            read.post(result, moved);
            lock.lock();
            // A frame that took longer than a period (a new window is being
            // rendered) does not let the next one come early.
            if (const auto after = std::chrono::steady_clock::now();
                interval.count() > 0 && after > nextFrame_)
                nextFrame_ = after + interval;
            continue;
        }
        if (!pending_.empty() && (!bulkIn_.empty() || !present_)) {
            PendingRead read = std::move(pending_.front());
            pending_.pop_front();
            IOReturn result = kIOReturnSuccess;
            std::uint32_t moved = 0;
            if (!present_) {
                result = kIOReturnNoDevice;
            } else {
                moved = takeBulkIn(read.buffer, read.size);
                LogEntry e;
                e.kind = LogEntry::Kind::BulkIn;
                e.endpoint = read.endpoint;
                e.length = read.size;
                e.done = moved;
                e.result = result;
                record(std::move(e));
            }
            lock.unlock();
            read.post(result, moved);
            lock.lock();
            continue;
        }
        wake_.wait(lock);
    }
}

bool CameraDevice::frameReadPending() const {
    if (pending_.empty() || !present_ || !claimed_ || !bulkIn_.empty()) return false;
    if (pending_.front().endpoint != kBulkInEndpoint) return false;
    auto video = registers_.find(kRegVideo);
    if (video == registers_.end() || !(video->second & kVideoOn)) return false;
    // Frames flow on the streaming alternate setting only.
    if (alternate_ != (config_.hasFpga ? wire::kAlternateStream : wire::kAlternateStreamNoFpga))
        return false;
    return !video_->silent();
}

VideoSettings CameraDevice::videoSettings() {
    auto word = [&](std::uint16_t address) -> std::uint32_t {
        auto it = registers_.find(address);
        return it == registers_.end() ? 0 : it->second;
    };
    auto low = [](std::uint32_t w) { return static_cast<std::uint16_t>(w & 0xFFFF); };
    auto high = [](std::uint32_t w) { return static_cast<std::uint16_t>(w >> 16); };
    VideoSettings s;
    s.sensorWidth = config_.width;
    s.sensorHeight = config_.height;
    s.x = low(word(kRegPosition));
    s.y = high(word(kRegPosition));
    s.width = low(word(kRegSize));
    s.height = high(word(kRegSize));
    s.subX = std::max<std::uint16_t>(1, low(word(kRegSubsampling)));
    s.subY = std::max<std::uint16_t>(1, high(word(kRegSubsampling)));
    s.colorCode = config_.colorCode;
    // Exposure, gains and the tone curve as the property registers hold them.
    const PropertySnapshot p = properties_.snapshot();
    s.exposure = p.exposureUs;
    s.gain = p.gain;
    s.gainRed = p.gainRed;
    s.gainGreen1 = p.gainGreen1;
    s.gainGreen2 = p.gainGreen2;
    s.gainBlue = p.gainBlue;
    s.tone = p.toneCurve;
    if (lens_) s.blur = lens_->blur();
    return s;
}

void CameraDevice::attachLens(std::shared_ptr<SimLens> lens) {
    std::lock_guard lock(mutex_);
    lens_ = std::move(lens);
}

std::chrono::steady_clock::duration CameraDevice::frameInterval() {
    using namespace std::chrono;
    double fps = config_.fps;
    if (fps < 0) {
        // The data rate is in kilopixels per second.
        auto rate = registers_.find(kRegRate);
        auto word = [&](std::uint16_t address) -> std::uint32_t {
            auto it = registers_.find(address);
            return it == registers_.end() ? 0 : it->second;
        };
        VideoSettings window;
        window.width = static_cast<std::uint16_t>(word(kRegSize));
        window.height = static_cast<std::uint16_t>(word(kRegSize) >> 16);
        window.subX = std::max<std::uint16_t>(1, static_cast<std::uint16_t>(word(kRegSubsampling)));
        window.subY =
            std::max<std::uint16_t>(1, static_cast<std::uint16_t>(word(kRegSubsampling) >> 16));
        const double pixels = window.frameBytes();
        if (rate == registers_.end() || rate->second == 0 || pixels == 0)
            return steady_clock::duration::zero();
        // A frame is read out at the data rate, and none comes sooner than
        // its exposure after the last.
        const auto readout = duration<double>(pixels / (rate->second * 1000.0));
        const std::uint32_t us = properties_.snapshot().exposureUs;
        const auto exposure = duration<double>((us != 0 ? us : kNominalExposureUs) / 1e6);
        return duration_cast<steady_clock::duration>(std::max(readout, exposure));
    }
    if (fps <= 0) return steady_clock::duration::zero();
    return duration_cast<steady_clock::duration>(duration<double>(1.0 / fps));
}

void CameraDevice::unplug() {
    {
        std::lock_guard lock(mutex_);
        present_ = false;
        open_ = claimed_ = false;
    }
    wake_.notify_all();
}

void CameraDevice::onReenumerate(Reenumerate callback) {
    std::lock_guard lock(mutex_);
    reenumerate_ = std::move(callback);
}

bool CameraDevice::fpgaConfigured() const {
    std::lock_guard lock(mutex_);
    return fpgaConfigured_;
}

bool CameraDevice::present() const {
    std::lock_guard lock(mutex_);
    return present_;
}

std::vector<LogEntry> CameraDevice::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void CameraDevice::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

std::uint32_t CameraDevice::reg(std::uint16_t address) const {
    std::lock_guard lock(mutex_);
    if (auto v = properties_.peek(address)) return *v;
    auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

void CameraDevice::setReg(std::uint16_t address, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    if (properties_.poke(address, value)) return;
    registers_[address] = value;
}

void CameraDevice::failControl(IOReturn code, int count, int after) {
    std::lock_guard lock(mutex_);
    controlFault_ = code;
    controlFaultCount_ = count;
    controlFaultAfter_ = after;
}

void CameraDevice::shortControlRead(std::uint32_t delivered) {
    std::lock_guard lock(mutex_);
    shortRead_ = delivered;
}

void CameraDevice::setStringFault(std::uint8_t index, StringFault fault) {
    std::lock_guard lock(mutex_);
    stringFaults_[index] = fault;
}

void CameraDevice::holdByOtherClient(int opens) {
    std::lock_guard lock(mutex_);
    heldOpens_ = opens;
}

void CameraDevice::stallEndpoint(std::uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    stalled_[endpoint] = true;
}

void CameraDevice::hangReads(int count) {
    std::lock_guard lock(mutex_);
    hangCount_ = count;
}

std::size_t CameraDevice::hungReads() const {
    std::lock_guard lock(mutex_);
    return hung_.size();
}

void CameraDevice::releaseHungReads(std::uint8_t fill) {
    std::deque<PendingRead> released;
    {
        std::lock_guard lock(mutex_);
        released.swap(hung_);
    }
    for (auto &read : released) {
        std::memset(read.buffer, fill, read.size);
        read.post(kIOReturnSuccess, read.size);
    }
}

void CameraDevice::failBulk(IOReturn code, std::uint32_t bytesFirst, int count) {
    std::lock_guard lock(mutex_);
    bulkFault_ = code;
    bulkFaultBytes_ = bytesFirst;
    bulkFaultCount_ = count;
}

void CameraDevice::queueBulkIn(std::vector<std::uint8_t> bytes) {
    {
        std::lock_guard lock(mutex_);
        bulkIn_.insert(bulkIn_.end(), bytes.begin(), bytes.end());
    }
    wake_.notify_all();
}

std::vector<std::uint8_t> CameraDevice::bulkOutData() const {
    std::lock_guard lock(mutex_);
    return bulkOut_;
}

bool CameraDevice::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

std::uint8_t CameraDevice::alternate() const {
    std::lock_guard lock(mutex_);
    return alternate_;
}

}  // namespace vocam::sim
