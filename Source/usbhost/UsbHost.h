// The USB host interface: the only way the library reaches a device.
//
// It offers the operations the transport and bring-up code relies on, with the
// result codes those callers test by value. Two backends implement it: libusb
// for real devices (usbhost/libusb/) and the simulated camera bus
// (Simulator/); the registry (usbhost/registry/Backends.h) picks one per process. Code
// above this interface never knows which one runs, and this header knows
// neither.
//
// Every operation below states its contract: who calls it and when, on which
// thread, and what it may return. "Caller's thread" is the thread of the
// library call that needs it (start-up, enumeration, open, properties,
// transfers); "stream thread" is the thread a streaming camera runs its frames
// on. Unless said otherwise an operation returns kIOReturnSuccess or a
// failure code, kIOReturnNoDevice once the device has left the bus, and
// never blocks longer than the time-outs it is given.
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

// Completion of an asynchronous bulk read. Runs on the stream thread, inside
// EventLoop::runOnce() of the loop the interface's event source is attached
// to, never inside the call that started the read; `result` is
// kIOReturnSuccess, kIOReturnAborted after abortPipe(), kIOReturnNoDevice
// after an unplug, or the transfer's failure.
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
// event loop it is attached to. Made by the stream thread as a stream starts
// and dropped as it ends; completions that arrive while it is attached to no
// loop are held for the next one that attaches.
class EventSource {
  public:
    virtual ~EventSource() = default;
};

// The stream thread's event loop: made, run and dropped by that thread.
class EventLoop {
  public:
    virtual ~EventLoop() = default;
    // Stream thread, as a stream starts (attach) and ends (detach). After
    // detach no completion of the source runs on this loop.
    virtual void attach(EventSource &source) = 0;
    virtual void detach(EventSource &source) = 0;
    // Runs completions until stop() is called. Not used by the library's
    // stream, which runs the loop in bounded steps.
    virtual void run() = 0;
    // Stream thread: runs for at most `seconds`, returning after the first
    // completion handled (true) or when the time is up or stop() was called
    // (false). Completions run here, on this thread.
    virtual bool runOnce(double seconds) = 0;
    // Any thread (a stop or close on the caller's thread, a completion on the
    // stream thread): ends run() or runOnce() at once. Remembered when the loop
    // is not running, so the next run returns at once; never blocks.
    virtual void stop() = 0;
};

// A claimed (or claimable) interface of an open device; pipe 0 is the default
// control pipe, pipe N the N-th endpoint of the alternate setting in force.
class Interface {
  public:
    virtual ~Interface() = default;
    // Caller's thread, by the open (claim) and the close (release) of a
    // camera. open() fails (kIOReturnExclusiveAccess, kIOReturnNotPrivileged)
    // when the interface cannot be claimed.
    virtual IOReturn open() = 0;
    virtual IOReturn close() = 0;
    // Caller's thread: at open (the streaming setting), around an FPGA
    // download and at close (setting 0). kIOReturnBadArgument or
    // kIOReturnNotFound for a setting the device does not have.
    virtual IOReturn setAlternate(std::uint8_t alternate) = 0;
    // Control transfer on pipe 0; `done` is the count transferred. Caller's
    // thread (registers, properties) and the stream thread (video on and off)
    // may overlap: the backend serialises them. Returns kIOReturnOverrun when
    // the device sent more than asked, kIOReturnTimeout after noDataTimeoutMs
    // (completionTimeoutMs 0: no limit of its own), kIOReturnPipeStalled for a
    // request the device refuses.
    virtual IOReturn controlRequest(const Setup &setup, void *data, std::uint32_t &done,
                                    std::uint32_t noDataTimeoutMs,
                                    std::uint32_t completionTimeoutMs) = 0;
    // Caller's thread, before a bulk transfer: 0 when the pipe is ready,
    // kIOReturnPipeStalled while it is stalled. No traffic beyond the query.
    virtual IOReturn pipeStatus(std::uint8_t pipe) = 0;
    // Caller's thread, at open: direction and type of a pipe of the alternate
    // setting in force; kIOReturnBadArgument when the setting has no such
    // pipe. No traffic.
    virtual IOReturn pipeProperties(std::uint8_t pipe, PipeProperties &out) = 0;
    // Caller's thread: synchronous bulk transfers (the FPGA image out, raw
    // reads in). Block until done or a time-out (kIOReturnTimeout); `length`
    // of readPipe is in/out: the size asked for, then the count read, also
    // after a failure.
    virtual IOReturn writePipe(std::uint8_t pipe, const void *data, std::uint32_t length,
                               std::uint32_t noDataTimeoutMs,
                               std::uint32_t completionTimeoutMs) = 0;
    virtual IOReturn readPipe(std::uint8_t pipe, void *data, std::uint32_t &length,
                              std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs) = 0;
    // Pipe recovery: caller's thread after a failed transfer, and the stream
    // thread as a stream starts and ends. abortPipe() cancels every transfer
    // in flight on the pipe: each asynchronous read still completes, with
    // kIOReturnAborted, through its event source.
    virtual IOReturn clearPipeStallBothEnds(std::uint8_t pipe) = 0;
    virtual IOReturn abortPipe(std::uint8_t pipe) = 0;
    // Stream thread, with the stream's own lock held: starts a bulk read and
    // returns at once, so it must neither block nor run `done` itself. `done`
    // runs later on the event loop of this interface's event source, also
    // when the read is aborted; a completion that arrives after its source
    // was detached is dropped. `keep` (the buffer's owner, or empty) is held
    // for as long as the device may still write into `buffer`, whether or not
    // `done` is ever run, so a read given up on can never write into freed
    // memory. Returns kIOReturnNoDevice once the device has gone, and a
    // failure when no read could be started.
    virtual IOReturn readPipeAsync(std::uint8_t pipe, void *buffer, std::uint32_t size,
                                   ReadCompletion done, void *context,
                                   std::shared_ptr<void> keep) = 0;
    IOReturn readPipeAsync(std::uint8_t pipe, void *buffer, std::uint32_t size, ReadCompletion done,
                           void *context) {
        return readPipeAsync(pipe, buffer, size, done, context, nullptr);
    }
    // Stream thread, as a stream starts: the source its completions arrive
    // through. kIOReturnNotOpen on an interface that is not claimed.
    virtual IOReturn createAsyncEventSource(std::unique_ptr<EventSource> &out) = 0;
};

// An interface object found on a device, before it is opened.
class InterfaceRef {
  public:
    virtual ~InterfaceRef() = default;
    // Caller's thread, while a camera is opened: the interface's object, not
    // yet claimed.
    virtual IOReturn createInterface(std::unique_ptr<Interface> &out) = 0;
};

// The device-level access to a matched device. Every operation runs on the
// caller's thread: enumeration, open, bring-up (firmware and FPGA) and close.
class Device {
  public:
    virtual ~Device() = default;
    // Identity from the device descriptor; no exclusive open needed.
    virtual IOReturn vendor(std::uint16_t &out) = 0;
    virtual IOReturn product(std::uint16_t &out) = 0;
    virtual IOReturn release(std::uint16_t &out) = 0;
    // kSpeedLow, kSpeedFull or kSpeedHigh.
    virtual IOReturn speed(std::uint8_t &out) = 0;
    // Exclusive: kIOReturnExclusiveAccess while another client holds the
    // device, kIOReturnNotPrivileged when the user may not open it. The open
    // and the firmware loader retry the first, a few times, a while apart.
    virtual IOReturn open() = 0;
    virtual IOReturn close() = 0;
    // The raw bytes of configuration descriptor `index`, and selecting a
    // configuration by its bConfigurationValue; both need the device open.
    virtual IOReturn configurationDescriptor(std::uint8_t index,
                                             std::vector<std::uint8_t> &out) = 0;
    virtual IOReturn setConfiguration(std::uint8_t value) = 0;
    // Every interface and alternate-setting object of the current configuration.
    virtual IOReturn interfaces(std::vector<std::shared_ptr<InterfaceRef>> &out) = 0;
    // String indexes from the device descriptor: 0 when there is none.
    virtual IOReturn productStringIndex(std::uint8_t &out) = 0;
    virtual IOReturn serialStringIndex(std::uint8_t &out) = 0;
    // Control transfer on the device's default pipe (string descriptors, the
    // controller's firmware load). Returns as controlRequest() does; a
    // controller that re-enumerates after its CPU is released may answer
    // kIOReturnNoDevice to what follows.
    virtual IOReturn deviceRequest(const Setup &setup, void *data, std::uint32_t &done,
                                   std::uint32_t noDataTimeoutMs,
                                   std::uint32_t completionTimeoutMs) = 0;
};

// A device present on the bus, as matching yields it.
class DeviceRef {
  public:
    virtual ~DeviceRef() = default;
    // Caller's thread: the device-level access, without opening the device.
    // kIOReturnNoDevice when it has left the bus since it was matched.
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
    // Caller's thread, before start-up, enumeration and open: 0 when the
    // host is usable, the failure that made it unusable otherwise (a machine
    // without USB). Never changes once the host exists.
    virtual IOReturn status() const = 0;
    // Caller's thread: every present device that matches, in bus order. A
    // non-zero result when the bus could not be listed; no device is no
    // failure.
    virtual IOReturn match(const Match &what, std::vector<std::shared_ptr<DeviceRef>> &out) = 0;
    // Stream thread, as a stream starts: a loop of its own for that thread.
    // Null (or std::bad_alloc) when none can be made.
    virtual std::unique_ptr<EventLoop> createEventLoop() = 0;
    virtual const char *name() const = 0;
    // True when the devices are simulated: they take the simulated cameras'
    // firmware and FPGA images, never a real camera's.
    virtual bool simulated() const { return false; }
};

}  // namespace vocam::usbhost
