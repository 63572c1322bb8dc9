// The libusb backend of the USB host interface, and the internals of it that
// the tests reach directly.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "usbhost/UsbHost.h"

namespace vocam::usbhost {

// The libusb backend.
std::unique_ptr<Host> makeLibusbHost();

// Creates the host with a given context initialiser, so that a machine on
// which libusb cannot start can be reproduced anywhere.
using LibusbInit = int (*)(libusb_context **);
std::unique_ptr<Host> makeLibusbHostWith(LibusbInit init);

// The time-out handed to libusb for a transfer with a no-data and a
// completion time-out: the shorter of the two that are set, 0 for none.
unsigned int effectiveTimeout(std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs);

// False when libusb's parsed form announces settings or endpoints it has no
// descriptors for (the device sent a truncated configuration descriptor).
bool configurationWellFormed(const libusb_config_descriptor &config);
// The raw bytes of a configuration descriptor, rebuilt from libusb's parsed
// form (class-specific descriptors included, in their original places);
// empty for a descriptor that is not well formed.
std::vector<std::uint8_t> rebuildConfigurationDescriptor(const libusb_config_descriptor &config);

// An interface's completion queue. libusb may run a transfer's callback on any
// thread that happens to handle events (a synchronous transfer on another
// thread does), so callbacks only queue the completion here; the event loop
// the source is attached to delivers it on its own thread.
class LibusbEventSource final : public EventSource {
  public:
    struct Core;
    static std::unique_ptr<LibusbEventSource> create();
    explicit LibusbEventSource(std::shared_ptr<Core> core);
    ~LibusbEventSource() override;
    LibusbEventSource(const LibusbEventSource &) = delete;
    LibusbEventSource &operator=(const LibusbEventSource &) = delete;

    // Queues a completion and wakes the attached loop; safe from any thread.
    void post(ReadCompletion done, void *context, IOReturn result, std::uint32_t bytesRead);
    const std::shared_ptr<Core> &core() const { return core_; }

  private:
    std::shared_ptr<Core> core_;
};

}  // namespace vocam::usbhost
