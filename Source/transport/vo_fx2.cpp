// FX2 firmware download: finds controllers that run their boot code, loads
// their camera firmware from Intel HEX files and lets them re-enumerate.
#include "transport/vo_fx2.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "base/vo_log.h"
#include "device/vo_cameras.h"
#include "device/wire.h"
#include "transport/vo_files.h"
#include "transport/vo_usb.h"

using namespace vocam;
using namespace vocam::usbhost;

namespace {

namespace wire = vocam::wire;
constexpr std::uint32_t kControlTimeoutMs = 5000;
constexpr int kExclusiveAttempts = 5;
// Far more than any image for a 16 KiB RAM needs: refuses to read a file
// that cannot be firmware.
constexpr off_t kMaxHexFileSize = 1 << 20;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return VOCAM_EFAIL;
}

// A field of `digits` characters as base-16 text: conversion stops at the
// first character that is not a digit. False when the text ends first.
bool readField(hex_reader &r, int digits, std::uint32_t &value) {
    if (r.text.size() - r.at < static_cast<std::size_t>(digits)) return false;
    value = 0;
    bool stopped = false;
    for (int i = 0; i < digits; ++i) {
        const int d = hexDigit(r.text[r.at + i]);
        if (d < 0) stopped = true;
        if (!stopped) value = value * 16 + static_cast<std::uint32_t>(d);
    }
    r.at += digits;
    return true;
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

int hex_read_section(hex_reader &r, usb_firmware_header &header, std::uint8_t *data) {
    for (;;) {
        if (r.at >= r.text.size()) return 0;
        const char c = r.text[r.at++];
        if (c == ':') break;
        if (!isBlank(c)) return VOCAM_EFAIL;
    }
    std::uint32_t length, address, type, checksum, byte;
    if (!readField(r, 2, length) || !readField(r, 4, address) || !readField(r, 2, type))
        return VOCAM_EFAIL;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (!readField(r, 2, byte)) return VOCAM_EFAIL;
        data[i] = static_cast<std::uint8_t>(byte);
    }
    if (!readField(r, 2, checksum)) return VOCAM_EFAIL;
    header.length = static_cast<std::uint8_t>(length);
    header.address = static_cast<std::uint16_t>(address);
    header.type = static_cast<std::uint8_t>(type);
    header.checksum = static_cast<std::uint8_t>(checksum);
    return static_cast<int>(length);
}

int hex_validate(std::string_view text, std::string &reason) {
    int line = 0;
    bool ended = false;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view l = text.substr(at, end - at);
        at = end + 1;
        ++line;
        while (!l.empty() && isBlank(l.back())) l.remove_suffix(1);
        while (!l.empty() && isBlank(l.front())) l.remove_prefix(1);
        if (l.empty()) continue;
        auto bad = [&](const char *why) {
            reason = why;
            return line;
        };
        if (ended) return bad("data after the end record");
        if (l[0] != ':') return bad("a record must start with ':'");
        l.remove_prefix(1);
        if (l.size() < 10 || l.size() % 2 != 0) return bad("record too short or of odd length");
        std::uint8_t bytes[262];
        std::size_t n = l.size() / 2;
        if (n > sizeof bytes) return bad("record too long");
        for (std::size_t i = 0; i < n; ++i) {
            const int hi = hexDigit(l[2 * i]), lo = hexDigit(l[2 * i + 1]);
            if (hi < 0 || lo < 0) return bad("not a hexadecimal digit");
            bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
        }
        const std::size_t length = bytes[0];
        if (n != length + 5) return bad("length does not match the record");
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
        if (sum != 0) return bad("checksum mismatch");
        const std::uint32_t address = static_cast<std::uint32_t>(bytes[1]) << 8 | bytes[2];
        const std::uint8_t type = bytes[3];
        if (type == 1) {
            // The loader stops at the first empty record; an end record that
            // carries data would be written like any other, wherever it points.
            if (length != 0) return bad("end record with data");
            ended = true;
        } else if (type != 0) {
            return bad("unsupported record type");
        } else if (length == 0) {
            return bad("empty data record");
        } else if (address + length > wire::kFx2RamSize) {
            return bad("address outside the controller's RAM");
        }
    }
    if (!ended) {
        reason = "no end record";
        return line + 1;
    }
    return 0;
}

IOReturn usb_fx2_write(Device &device, std::uint16_t address, std::uint16_t count,
                       const std::uint8_t *data) {
    Setup setup;
    setup.bmRequestType = wire::kVendorOut;
    setup.bRequest = wire::kFirmwareLoadRequest;
    setup.wValue = address;
    setup.wIndex = 0;
    setup.wLength = count;
    std::uint32_t done = 0;
    return device.deviceRequest(setup, const_cast<std::uint8_t *>(data), done, kControlTimeoutMs,
                                0);
}

int usb_fx2_send_firmware(Device &device, std::uint16_t vendor_id, std::uint16_t product_id,
                          std::uint16_t release) {
    (void)vendor_id;
    std::vector<std::uint8_t> configuration;
    IOReturn r = device.configurationDescriptor(0, configuration);
    if (r != kIOReturnSuccess || configuration.size() < 9) {
        vo::logf(vo::LogKind::Error, "unable to get config descriptor for index %d (err = %08x)\n",
                 0, r);
        return VOCAM_EFAIL;
    }
    r = device.setConfiguration(configuration[5]);
    if (r != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "unable to set configuration to value %d (err=%08x)\n",
                 configuration[5], r);
        return VOCAM_EFAIL;
    }
    const model_table_entry *model = vo_camera_find(product_id, release);
    if (model == nullptr) {
        vo::logs(vo::LogKind::Error, "error: unable to find specified camera");
        return VOCAM_EFAIL;
    }
    const std::optional<std::string> found = vo_resource_path(model->firmware_file, release);
    if (!found) return VOCAM_EFAIL;
    const char *path = found->c_str();
    ResourceFile file(*found);
    if (file.status() == ResourceFile::Status::OpenFailed) {
        vo::logf(vo::LogKind::Error, "error: unable to open firmware file %s\n", path);
        return VOCAM_EFAIL;
    }
    if (file.status() == ResourceFile::Status::NotRegular) {
        vo::logf(vo::LogKind::Error, "error: firmware file %s is not a regular file\n", path);
        return VOCAM_EFAIL;
    }
    if (file.size() > kMaxHexFileSize) {
        vo::logf(vo::LogKind::Error, "error: firmware file %s is larger than %lld bytes\n", path,
                 static_cast<long long>(kMaxHexFileSize));
        return VOCAM_EFAIL;
    }
    std::string text(static_cast<std::size_t>(file.size()), '\0');
    if (!file.read(text.data(), text.size())) {
        vo::logf(vo::LogKind::Error, "error: unable to read firmware file %s: %m\n", path);
        return VOCAM_EFAIL;
    }
    // A damaged image must never reach a controller whose CPU we hold.
    std::string reason;
    if (const int line = hex_validate(text, reason); line != 0) {
        vo::logf(vo::LogKind::Error, "error: damaged firmware file %s: line %d: %s\n", path, line,
                 reason.c_str());
        return VOCAM_EFAIL;
    }

    const std::uint8_t hold = 1, run = 0;
    if (usb_fx2_write(device, wire::kFx2CpuControl, 1, &hold) < 0) {
        vo::logs(vo::LogKind::Error, "error: unable to write data to FX2\n");
        return VOCAM_EFAIL;
    }
    vo::logs(vo::LogKind::Info, "myAnchorFX2WriteFirmWare reset FX2 successfully\n");
    sleepMs(250);
    hex_reader reader{text};
    usb_firmware_header header{};
    std::uint8_t data[256];
    while (hex_read_section(reader, header, data) > 0) {
        if (usb_fx2_write(device, header.address, header.length, data) < 0) {
            vo::logs(vo::LogKind::Error, "error: unable to write data to FX2\n");
            return VOCAM_EFAIL;
        }
    }
    if (usb_fx2_write(device, wire::kFx2CpuControl, 1, &run) < 0) {
        vo::logs(vo::LogKind::Error, "error: unable to write data to FX2\n");
        return VOCAM_EFAIL;
    }
    vo::logs(vo::LogKind::Info, "myAnchorFX2WriteFirmWare reset FX2 successfully\n");
    sleepMs(250);
    return 0;
}

void usb_load_firmware(void *context, UsbDevices &devices) {
    auto *downloads = static_cast<std::uint32_t *>(context);
    for (auto &ref : devices) {
        vo::logs(vo::LogKind::Info, "Raw device added.\n");
        std::unique_ptr<Device> device;
        IOReturn r = ref->createDevice(device);
        if (r != kIOReturnSuccess || !device) {
            vo::logf(vo::LogKind::Error, "unable to create a plugin (%08x)\n", r);
            continue;
        }
        std::uint16_t vendor = 0, product = 0, release = 0;
        if ((r = device->vendor(vendor)) != kIOReturnSuccess) {
            vo::logf(vo::LogKind::Error, "GetDeviceVendor err %d\n", r);
            continue;
        }
        vo::logf(vo::LogKind::Info, "VID = 0x%X\n", vendor);
        if ((r = device->product(product)) != kIOReturnSuccess) {
            vo::logf(vo::LogKind::Error, "GetDeviceProduct  err %d\n", r);
            continue;
        }
        vo::logf(vo::LogKind::Info, "PID = 0x%X\n", product);
        if ((r = device->release(release)) != kIOReturnSuccess)
            vo::logf(vo::LogKind::Error, "GetDeviceReleaseNumber err %d\n", r);
        vo::logf(vo::LogKind::Info, "DID = 0x%X\n", release);

        r = device->open();
        for (int attempts = 1; r == kIOReturnExclusiveAccess; ++attempts) {
            vo::logf(vo::LogKind::Info, "Exclusive access err, sleeping on it %d\n", attempts);
            if (attempts == kExclusiveAttempts) break;  // no use waiting after the last
            sleepMs(100);
            r = device->open();
        }
        if (r != kIOReturnSuccess) {
            vo::logf(vo::LogKind::Error, "unable to open device: %08x\n", r);
            continue;
        }
        const int result = usb_fx2_send_firmware(*device, vendor, product, release);
        if (result == 0) {
            vo::logs(vo::LogKind::Info, "FW was downloaded to device\n");
            ++*downloads;
        } else {
            vo::logf(vo::LogKind::Error, "unable to download to device: %d %08x\n", result, result);
        }
        device->close();
    }
}

int usb_init_camera_firmware(Host &host, std::uint16_t vendor_id, std::uint32_t *downloads) {
    return usb_init_cameras_by_vid_and_pid(host, vendor_id, kMatchBootSubclass, usb_load_firmware,
                                           downloads);
}
