// Transfers on an open camera, the register protocol and identity reads.
#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "device/wire.h"
#include "transport/vo_usb.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

using namespace vocam::usbhost;
namespace wire = vocam::wire;

namespace {

constexpr std::uint32_t kControlTimeoutMs = 5000;
constexpr std::uint32_t kMinimumBulkTimeoutMs = 5000;

Setup vendorSetup(std::uint8_t direction, std::uint8_t request, std::uint16_t value,
                  std::uint16_t index, std::uint32_t length) {
    Setup s;
    s.bmRequestType = direction;
    s.bRequest = request;
    s.wValue = value;
    s.wIndex = index;
    s.wLength = static_cast<std::uint16_t>(length);
    return s;
}

void resetPipe(Interface &interface, std::uint8_t pipe) {
    interface.clearPipeStallBothEnds(pipe);
    interface.abortPipe(pipe);
}

bool transferred(IOReturn r) {
    return r == kIOReturnSuccess || r == kIOReturnOverrun;
}

std::uint16_t registerAddress(std::int32_t reg) {
    return static_cast<std::uint16_t>(reg & 0xFFFF);
}

// The checks before a bulk transfer: its arguments and a pipe that is ready.
// The interface to use, or null when the transfer must not be issued.
Interface *readyBulkPipe(vo::UsbCamera *handle, std::uint8_t pipe, const std::uint8_t *data,
                         std::uint32_t length) {
    if (handle == nullptr || data == nullptr || length == 0 || !handle->usb.interface_if)
        return nullptr;
    const IOReturn status = handle->usb.interface_if->pipeStatus(pipe);
    if (status != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "pipe is not ready: status=%02X\n", status);
        return nullptr;
    }
    return handle->usb.interface_if.get();
}

void bulkFailed(Interface &interface, std::uint8_t pipe, IOReturn r) {
    resetPipe(interface, pipe);
    vo::logf(vo::LogKind::Error, "myUSBReadBulkPipe WritePipeTO failed 0x%X %d\n", r, r);
}

}  // namespace

std::uint32_t usb_bulk_timeout_ms(std::uint32_t length) {
    // Allows for a quarter of the bus's usable bulk rate, never less than 5 s.
    const double seconds = static_cast<double>(length) / 1024.0 / 468750.0;
    const double ms = 1000.0 * seconds;
    const std::uint32_t timeout = static_cast<std::uint32_t>(ms) * 4u;
    return timeout < kMinimumBulkTimeoutMs ? kMinimumBulkTimeoutMs : timeout;
}

std::int32_t usb_control_write(vo::UsbCamera *handle, std::uint8_t *data, std::uint32_t length,
                               std::uint8_t request, std::uint16_t value, std::uint16_t index) {
    if (handle == nullptr || data == nullptr || length == 0 || !handle->usb.interface_if)
        return VOCAM_EFAIL;
    Interface &interface = *handle->usb.interface_if;
    std::uint32_t done = 0;
    const IOReturn r =
        interface.controlRequest(vendorSetup(wire::kVendorOut, request, value, index, length), data,
                                 done, kControlTimeoutMs, 0);
    // An overrun leaves the pipe usable, so only real failures reset it; the
    // caller still sees the overrun, since a write cannot have overrun safely.
    if (!transferred(r)) resetPipe(interface, wire::kControlPipe);
    if (r != kIOReturnSuccess)
        vo::logf(vo::LogKind::Error, "VOXUSBWriteControlPipe Err 0x%X %d\n", r, r);
    return r;
}

std::int32_t usb_control_read(vo::UsbCamera *handle, std::uint8_t *data, std::uint32_t length,
                              std::uint8_t request, std::uint16_t value, std::uint16_t index) {
    if (handle == nullptr || data == nullptr || length == 0 || !handle->usb.interface_if)
        return VOCAM_EFAIL;
    std::uint32_t done = length;
    IOReturn r = handle->usb.interface_if->controlRequest(
        vendorSetup(wire::kVendorIn, request, value, index, length), data, done, kControlTimeoutMs,
        kControlTimeoutMs);
    if (r == kIOReturnSuccess && done != length) r = -1;  // short read
    if (!transferred(r)) vo::logf(vo::LogKind::Error, "VOXUSBReadControlPipe Err 0x%X %d\n", r, r);
    return r == kIOReturnOverrun ? 0 : r;
}

std::int32_t usb_bulk_write(vo::UsbCamera *handle, std::uint8_t pipe, std::uint8_t *data,
                            std::uint32_t length) {
    Interface *interface = readyBulkPipe(handle, pipe, data, length);
    if (interface == nullptr) return VOCAM_EFAIL;
    const IOReturn r = interface->writePipe(pipe, data, length, usb_bulk_timeout_ms(length), 0);
    if (!transferred(r)) {
        bulkFailed(*interface, pipe, r);
        // A write that did not go through is a failure, not a count.
        return r;
    }
    return static_cast<std::int32_t>(length);
}

std::int32_t usb_bulk_read(vo::UsbCamera *handle, std::uint8_t pipe, std::uint8_t *data,
                           std::uint32_t length) {
    Interface *interface = readyBulkPipe(handle, pipe, data, length);
    if (interface == nullptr) return VOCAM_EFAIL;
    std::uint32_t count = length;
    const IOReturn r = interface->readPipe(pipe, data, count, usb_bulk_timeout_ms(length), 0);
    if (!transferred(r)) {
        bulkFailed(*interface, pipe, r);
        // Bytes that arrived before the failure are still reported; a read
        // that brought nothing reports why.
        if (count == 0) return r;
    }
    return static_cast<std::int32_t>(count);
}

std::int32_t usb_read_bytes(vo::UsbCamera *handle, std::int32_t reg, std::uint8_t *data,
                            std::uint32_t length) {
    return usb_control_read(handle, data, length, wire::kRegisterRequest, 0, registerAddress(reg));
}

std::int32_t usb_write_bytes(vo::UsbCamera *handle, std::int32_t reg, std::uint8_t *data,
                             std::uint32_t length) {
    return usb_control_write(handle, data, length, wire::kRegisterRequest, 0, registerAddress(reg));
}

std::int32_t usb_read_array(vo::UsbCamera *handle, std::int32_t reg, std::uint32_t *words,
                            std::uint32_t count) {
    if (handle == nullptr) {
        vo::logs(vo::LogKind::Error, "error: camera reference cannot be NULL\n");
        return VOCAM_EFAIL;
    }
    // Read straight into the caller's words, then bring each into host order.
    auto *bytes = reinterpret_cast<std::uint8_t *>(words);
    if (usb_read_bytes(handle, reg, bytes, count * 4u) != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to read register from camera\n");
        return VOCAM_EFAIL;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t *b = bytes + 4 * i;
        words[i] = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                   static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    }
    return 0;
}

std::int32_t usb_write_array(vo::UsbCamera *handle, std::int32_t reg, const std::uint32_t *words,
                             std::uint32_t count) {
    if (handle == nullptr) {
        vo::logs(vo::LogKind::Error, "error: camera reference cannot be NULL\n");
        return VOCAM_EFAIL;
    }
    std::vector<std::uint8_t> wire(static_cast<std::size_t>(count) * 4);
    for (std::uint32_t i = 0; i < count; ++i)
        for (int b = 0; b < 4; ++b)
            wire[4 * i + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
    if (usb_write_bytes(handle, reg, wire.data(), count * 4u) != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to write register to camera\n");
        return VOCAM_EFAIL;
    }
    return 0;
}

std::int32_t usb_read_u32(vo::UsbCamera *handle, std::int32_t reg, std::uint32_t *word) {
    return usb_read_array(handle, reg, word, 1);
}

std::int32_t usb_write_u32(vo::UsbCamera *handle, std::int32_t reg, std::uint32_t word) {
    return usb_write_array(handle, reg, &word, 1);
}

std::int32_t usb_read_two_u16(vo::UsbCamera *handle, std::int32_t reg, std::uint16_t *low,
                              std::uint16_t *high) {
    std::uint32_t word = 0;
    const std::int32_t r = usb_read_u32(handle, reg, &word);
    if (r == 0) {
        *low = static_cast<std::uint16_t>(word & 0xFFFF);
        *high = static_cast<std::uint16_t>(word >> 16);
    }
    return r;
}

std::int32_t usb_write_two_u16(vo::UsbCamera *handle, std::int32_t reg, std::uint16_t low,
                               std::uint16_t high) {
    return usb_write_u32(handle, reg, static_cast<std::uint32_t>(high) << 16 | (low & 0xFFFFu));
}

// ---- The stream's port: what the stream reaches of its camera.

vocam::usbhost::Interface *vo::UsbCamera::interface() {
    return usb.interface_if.get();
}

int vo::UsbCamera::readRegister(std::int32_t reg, std::uint32_t *word) {
    return usb_read_u32(this, reg, word);
}

int vo::UsbCamera::writeRegister(std::int32_t reg, std::uint32_t word) {
    return usb_write_u32(this, reg, word);
}

std::uint16_t vo::UsbCamera::windowWidth() {
    return camera.width;
}

std::uint16_t vo::UsbCamera::windowHeight() {
    return camera.height;
}

int usb_read_device_speed(vo::UsbCamera *handle) {
    if (handle == nullptr || !handle->usb.device_if ||
        handle->usb.device_if->speed(handle->camera.device_speed) != kIOReturnSuccess) {
        vo::logs(vo::LogKind::Error, "error: unable to read camera's device speed\n");
        return VOCAM_EIO;
    }
    return 0;
}

int usb_read_device_release_number(vo::UsbCamera *handle) {
    if (handle == nullptr || !handle->usb.device_if ||
        handle->usb.device_if->release(handle->camera.release_number) != kIOReturnSuccess) {
        vo::logs(vo::LogKind::Error, "error: unable to read camera's device release number\n");
        return VOCAM_EFAIL;
    }
    return 0;
}

int usb_get_string_descriptor(vo::UsbCamera *handle, std::uint8_t index, char *out, int capacity,
                              std::uint16_t language) {
    if (capacity <= 1 || !handle->usb.device_if) return VOCAM_EFAIL;
    Device &device = *handle->usb.device_if;
    std::uint8_t buffer[256];
    buffer[0] = buffer[1] = 0;
    Setup setup;
    setup.bmRequestType = wire::kStandardIn;
    setup.bRequest = wire::kGetDescriptor;
    setup.wValue = static_cast<std::uint16_t>(wire::kStringDescriptor | index);
    setup.wIndex = language;
    setup.wLength = 2;
    std::uint32_t done = 0;
    IOReturn r = device.deviceRequest(setup, buffer, done, kControlTimeoutMs, 0);
    if (!transferred(r)) return VOCAM_EFAIL;
    if (buffer[0] == 0) {
        out[0] = '\0';
        return 0;
    }
    auto malformed = [&] { return buffer[1] != wire::kStringType || (buffer[0] & 1) != 0; };
    if (malformed()) return kIOReturnDeviceError;

    // Ask again for the whole descriptor; whatever the device leaves unsent
    // reads as zero.
    const std::uint8_t announced = buffer[0];
    std::memset(buffer, 0, announced);
    setup.wLength = announced;
    r = device.deviceRequest(setup, buffer, done, kControlTimeoutMs, 0);
    if (r != kIOReturnSuccess) return r;
    if (malformed()) return kIOReturnDeviceError;
    int n = buffer[0] >= 2 ? (buffer[0] - 2) / 2 : 0;
    if (n > capacity - 1) n = capacity - 1;
    for (int i = 0; i < n; ++i) out[i] = static_cast<char>(buffer[2 + 2 * i]);
    out[n] = '\0';
    return 0;
}

int usb_get_device_model_name(vo::UsbCamera *handle) {
    std::uint8_t index = 0;
    if (!handle->usb.device_if ||
        handle->usb.device_if->productStringIndex(index) != kIOReturnSuccess || index == 0) {
        vo::logs(vo::LogKind::Error, "error: unable to get camera's model name\n");
        return VOCAM_EFAIL;
    }
    if (usb_get_string_descriptor(handle, index, handle->camera.model_name,
                                  sizeof handle->camera.model_name, 0) != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to read camera's model name\n");
        return VOCAM_EFAIL;
    }
    vo::logf(vo::LogKind::Info, "model name: '%s'\n", handle->camera.model_name);
    return 0;
}

std::uint32_t usb_parse_serial_number(const char *text) {
    std::uint32_t serial = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        const int c = static_cast<signed char>(*p);
        serial = serial * 10u + static_cast<std::uint32_t>((c - 48) % 10);
    }
    return serial;
}

int usb_get_device_serial_number(vo::UsbCamera *handle) {
    std::uint8_t index = 0;
    if (!handle->usb.device_if ||
        handle->usb.device_if->serialStringIndex(index) != kIOReturnSuccess || index == 0) {
        vo::logs(vo::LogKind::Error, "error: unable to get camera's serial number\n");
        return VOCAM_EFAIL;
    }
    char text[32];
    if (usb_get_string_descriptor(handle, index, text, sizeof text, 0) != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to read camera's serial number\n");
        return VOCAM_EFAIL;
    }
    handle->camera.serial_number = usb_parse_serial_number(text);
    return 0;
}

int usb_get_device_firmware_version(vo::UsbCamera *handle) {
    return usb_read_u32(handle, wire::kFirmwareVersion.address, &handle->camera.firmware_version);
}
