// The USB host interface: the only way the library reaches a device.
//
// It offers the operations the transport and bring-up code relies on, with the
// result codes those callers test by value. Two implementations exist: libusb
// for real devices and the simulated camera bus (selected by VOCAM_SIM). Code
// above this interface never knows which one runs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vocam::usbhost {

// Platform result: 0 for success; failures have the top bit set, so they are
// negative as signed 32-bit numbers and pass through the C API unchanged.
using IOReturn = std::int32_t;

constexpr IOReturn platformCode(std::uint32_t raw) {
    return static_cast<IOReturn>(raw);
}

inline constexpr IOReturn kIOReturnSuccess = 0;
// Tested by value by the transfer and bring-up code.
inline constexpr IOReturn kIOReturnOverrun = platformCode(0xE00002E8);
inline constexpr IOReturn kIOReturnDeviceError = platformCode(0xE00002E9);
inline constexpr IOReturn kIOReturnExclusiveAccess = platformCode(0xE00002C5);
// Every other failure has a code of its own, so a log line tells them apart.
inline constexpr IOReturn kIOReturnError = platformCode(0xE00002BC);
inline constexpr IOReturn kIOReturnNoMemory = platformCode(0xE00002BD);
inline constexpr IOReturn kIOReturnNoResources = platformCode(0xE00002BE);
inline constexpr IOReturn kIOReturnNoDevice = platformCode(0xE00002C0);
inline constexpr IOReturn kIOReturnNotPrivileged = platformCode(0xE00002C1);
inline constexpr IOReturn kIOReturnBadArgument = platformCode(0xE00002C2);
inline constexpr IOReturn kIOReturnUnsupported = platformCode(0xE00002C7);
inline constexpr IOReturn kIOReturnIOError = platformCode(0xE00002CA);
inline constexpr IOReturn kIOReturnNotOpen = platformCode(0xE00002CD);
inline constexpr IOReturn kIOReturnNotFound = platformCode(0xE00002F0);
inline constexpr IOReturn kIOReturnBusy = platformCode(0xE00002D5);
inline constexpr IOReturn kIOReturnTimeout = platformCode(0xE00002D6);
inline constexpr IOReturn kIOReturnNotResponding = platformCode(0xE00002ED);
inline constexpr IOReturn kIOReturnAborted = platformCode(0xE00002EB);
inline constexpr IOReturn kIOReturnInterrupted = platformCode(0xE00002EE);
inline constexpr IOReturn kIOReturnPipeStalled = platformCode(0xE000404F);

// A readable name for a code, for log lines.
const char *resultName(IOReturn code);

// The eight bytes of a control transfer's setup stage.
struct Setup {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

// Bus-speed codes as the callers store them.
inline constexpr std::uint8_t kSpeedLow = 0;
inline constexpr std::uint8_t kSpeedFull = 1;
inline constexpr std::uint8_t kSpeedHigh = 2;

// Completion of an asynchronous bulk read, run on the thread that runs the
// event loop the interface's event source is attached to.
using ReadCompletion = void (*)(void *context, IOReturn result, std::uint32_t bytesRead);

class Interface;

// What a pipe of the alternate setting in force is, from its endpoint's
// descriptor.
enum class PipeType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };
struct PipeProperties {
    bool in = false;
    PipeType type = PipeType::Bulk;
    std::uint16_t maxPacketSize = 0;
};

// An event source delivers one interface's asynchronous completions to the
// event loop it is attached to.
class EventSource {
  public:
    virtual ~EventSource() = default;
};

// The stream thread's event loop.
class EventLoop {
  public:
    virtual ~EventLoop() = default;
    virtual void attach(EventSource &source) = 0;
    virtual void detach(EventSource &source) = 0;
    // Runs completions until stop() is called.
    virtual void run() = 0;
    // Runs for at most `seconds`, returning after the first completion handled.
    // True when a completion was handled.
    virtual bool runOnce(double seconds) = 0;
    // Ends run() or runOnce(); safe from any thread, and remembered when the
    // loop is not running so the next run returns at once.
    virtual void stop() = 0;
};

// A claimed (or claimable) interface of an open device; pipe 0 is the default
// control pipe, pipe N the N-th endpoint of the alternate setting in force.
class Interface {
  public:
    virtual ~Interface() = default;
    virtual IOReturn open() = 0;   // claim
    virtual IOReturn close() = 0;  // release
    virtual IOReturn setAlternate(std::uint8_t alternate) = 0;
    // Control transfer on pipe 0. `done` is the count transferred.
    virtual IOReturn controlRequest(const Setup &setup, void *data, std::uint32_t &done,
                                    std::uint32_t noDataTimeoutMs,
                                    std::uint32_t completionTimeoutMs) = 0;
    // 0 when the pipe is ready.
    virtual IOReturn pipeStatus(std::uint8_t pipe) = 0;
    // Direction and type of a pipe of the alternate setting in force;
    // kIOReturnBadArgument when the setting has no such pipe. No traffic.
    virtual IOReturn pipeProperties(std::uint8_t pipe, PipeProperties &out) = 0;
    virtual IOReturn writePipe(std::uint8_t pipe, const void *data, std::uint32_t length,
                               std::uint32_t noDataTimeoutMs,
                               std::uint32_t completionTimeoutMs) = 0;
    // `length` is in/out: the size asked for, then the count read.
    virtual IOReturn readPipe(std::uint8_t pipe, void *data, std::uint32_t &length,
                              std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs) = 0;
    virtual IOReturn clearPipeStallBothEnds(std::uint8_t pipe) = 0;
    virtual IOReturn abortPipe(std::uint8_t pipe) = 0;
    // Starts a bulk read and returns at once; `done` runs later on the event
    // loop of this interface's event source, also when the read is aborted.
    // A completion that arrives after its source was detached is dropped.
    // `keep` (the buffer's owner, or empty) is held for as long as the device
    // may still write into `buffer`, whether or not `done` is ever run, so
    // a read given up on can never write into freed memory.
    virtual IOReturn readPipeAsync(std::uint8_t pipe, void *buffer, std::uint32_t size,
                                   ReadCompletion done, void *context,
                                   std::shared_ptr<void> keep) = 0;
    IOReturn readPipeAsync(std::uint8_t pipe, void *buffer, std::uint32_t size, ReadCompletion done,
                           void *context) {
        return readPipeAsync(pipe, buffer, size, done, context, nullptr);
    }
    virtual IOReturn createAsyncEventSource(std::unique_ptr<EventSource> &out) = 0;
};

// An interface object found on a device, before it is opened.
class InterfaceRef {
  public:
    virtual ~InterfaceRef() = default;
    virtual IOReturn createInterface(std::unique_ptr<Interface> &out) = 0;
};

// The device-level access to a matched device.
class Device {
  public:
    virtual ~Device() = default;
    virtual IOReturn vendor(std::uint16_t &out) = 0;
    virtual IOReturn product(std::uint16_t &out) = 0;
    virtual IOReturn release(std::uint16_t &out) = 0;
    virtual IOReturn speed(std::uint8_t &out) = 0;
    // Exclusive: kIOReturnExclusiveAccess while another client holds the device.
    virtual IOReturn open() = 0;
    virtual IOReturn close() = 0;
    virtual IOReturn configurationDescriptor(std::uint8_t index,
                                             std::vector<std::uint8_t> &out) = 0;
    virtual IOReturn setConfiguration(std::uint8_t value) = 0;
    // Every interface and alternate-setting object of the current configuration.
    virtual IOReturn interfaces(std::vector<std::shared_ptr<InterfaceRef>> &out) = 0;
    virtual IOReturn productStringIndex(std::uint8_t &out) = 0;
    virtual IOReturn serialStringIndex(std::uint8_t &out) = 0;
    // Control transfer on the device's default pipe.
    virtual IOReturn deviceRequest(const Setup &setup, void *data, std::uint32_t &done,
                                   std::uint32_t noDataTimeoutMs,
                                   std::uint32_t completionTimeoutMs) = 0;
};

// A device present on the bus, as matching yields it.
class DeviceRef {
  public:
    virtual ~DeviceRef() = default;
    virtual IOReturn createDevice(std::unique_ptr<Device> &out) = 0;
};

// What to match: a vendor, and either a product or a device subclass.
struct Match {
    std::uint16_t vendor = 0;
    std::optional<std::uint16_t> product;
    std::optional<std::uint8_t> subclass;
};

class Host {
  public:
    virtual ~Host() = default;
    // 0 when the host is usable; a machine without USB gives a failure here.
    virtual IOReturn status() const = 0;
    // Every present device that matches; a non-zero result on failure.
    virtual IOReturn match(const Match &what, std::vector<std::shared_ptr<DeviceRef>> &out) = 0;
    virtual std::unique_ptr<EventLoop> createEventLoop() = 0;
    virtual const char *name() const = 0;
    // True when the devices are simulated: they take the simulated cameras'
    // firmware and FPGA images, never a real camera's.
    virtual bool simulated() const { return false; }
};

// The process's host: the simulated bus when VOCAM_SIM is set and not empty,
// libusb otherwise. The environment is read once, at the first call.
Host &host();

// The libusb implementation, reachable directly so it can be tested with the
// simulator selected.
std::unique_ptr<Host> makeLibusbHost();

}  // namespace vocam::usbhost
