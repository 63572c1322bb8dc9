// Finding cameras on the bus, opening one into a handle and closing it.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "device/vo_cameras.h"
#include "transport/vo_usb.h"

using namespace vocam;
using namespace vocam::usbhost;
namespace wire = vocam::wire;

namespace {

constexpr const char *kOpen = "usb_open_device";

// A device held by another client is tried this often, this far apart.
constexpr int kBusyAttempts = 5;
constexpr auto kBusyPause = std::chrono::milliseconds(100);

// No camera lists more than a few dozen rates. A count beyond this is a
// damaged or hostile register, and reading it would mean tens of thousands of
// requests for a list nobody can choose from.
constexpr std::uint32_t kMaxDataRates = 256;

// The longest sensor side a frame buffer is allocated for; a camera that
// reports more is damaged, not large.
constexpr std::uint16_t kMaxSensorSide = 16384;

using wire::kFlagOn;
using wire::kFlagPresent;

void readFailed(const wire::Register &reg) {
    vo::logf(vo::LogKind::Error, "error: unable to read param '%s'\n", reg.name);
}
void writeFailed(const wire::Register &reg) {
    vo::logf(vo::LogKind::Error, "error: unable to write param '%s'\n", reg.name);
}

// Fails the open after releasing what it had acquired, so the device can be
// opened again.
int failOpen(vo::UsbCamera *record, int code) {
    usb_close_device(record);
    return code;
}

}  // namespace

int usb_init_cameras_by_vid_and_pid(Host &host, std::uint16_t vendor_id, std::uint16_t product_id,
                                    UsbDeviceAction action, void *context) {
    Match what;
    what.vendor = vendor_id;
    if (product_id != kMatchBootSubclass)
        what.product = product_id;
    else
        what.subclass = wire::kBootSubclass;
    UsbDevices devices;
    const IOReturn r = host.match(what, devices);
    if (r != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "error: unable to find matching services: err=%08X\n", r);
        return VOCAM_ENOMATCH;
    }
    action(context, devices);
    return 0;
}

void usb_version_record(const vo::CameraState &camera, vocam_version *out) {
    out->zero = 0;
    out->product_id = camera.product_id;
    out->serial_number = camera.serial_number;
    out->release_number = camera.release_number;
    out->firmware_version = camera.firmware_version;
    out->high_speed = camera.device_speed == vocam::usbhost::kSpeedHigh ? 1 : 0;
}

void usb_enum_camera(void *context, UsbDevices &devices) {
    auto &ctx = *static_cast<usb_enum_context *>(context);
    for (auto &device : devices) {
        vo::UsbCamera record;
        if (usb_open_device(&record, device) != 0) {
            vo::logs(vo::LogKind::Error, "error: unable to open USB device during enumeration\n");
            continue;
        }
        if (ctx.count < ctx.capacity) usb_version_record(record.camera, &ctx.records[ctx.count]);
        ++ctx.count;
        usb_close_device(&record);
    }
}

// Selects the setting frames arrive on and checks that it has them: a camera
// that cannot stream is refused at open, with the reason, rather than at the
// first start with a vaguer one.
bool selectStreamingSetting(vo::UsbCamera *h) {
    const std::uint8_t alternate = h->camera.model->fpga_file != nullptr
                                       ? wire::kAlternateStream
                                       : wire::kAlternateStreamNoFpga;
    const IOReturn r = h->usb.interface_if->setAlternate(alternate);
    if (r != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "error: unable to select alternate setting %d: %s\n",
                 alternate, resultName(r));
        return false;
    }
    PipeProperties pipe;
    if (h->usb.interface_if->pipeProperties(wire::kDataPipe, pipe) != kIOReturnSuccess ||
        !pipe.in || pipe.type != PipeType::Bulk) {
        vo::logf(vo::LogKind::Error,
                 "error: alternate setting %d has no bulk IN endpoint for frames\n", alternate);
        return false;
    }
    return true;
}

void usb_find_and_open_camera(void *context, UsbDevices &devices) {
    auto &ctx = *static_cast<usb_find_context *>(context);
    for (auto &device : devices) {
        std::unique_ptr<vo::UsbCamera> record = ctx.make();
        if (!record) return;  // the handle stays absent
        if (usb_open_device(record.get(), device) != 0) {
            vo::logs(vo::LogKind::Error, "error: unable to open usb device\n");
            continue;
        }
        if (ctx.wanted->serial_number != 0 &&
            ctx.wanted->serial_number != record->camera.serial_number) {
            usb_close_device(record.get());
            continue;
        }
        if (!selectStreamingSetting(record.get())) {
            usb_close_device(record.get());
            continue;
        }
        vo::UsbCamera *h = record.get();
        *ctx.handle = std::move(record);
        if (usb_write_u32(h, wire::kVideo.address, 0) != 0)
            vo::logs(vo::LogKind::Error, "error: unable to send stop video command\n");
        h->usb.interface_if->clearPipeStallBothEnds(wire::kDataPipe);
        return;
    }
}

int usb_open_interface(vo::UsbCamera *record) {
    IOReturn r = record->usb.interface->createInterface(record->usb.interface_if);
    if (r != kIOReturnSuccess || !record->usb.interface_if) {
        if (r == kIOReturnSuccess) r = -100;
        vo::logf(vo::LogKind::Error,
                 "IOCreatePlugInInterfaceForService usb_interface Err 0x%x %d\n", r, r);
        return r;
    }
    r = record->usb.interface_if->open();
    if (r != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "USBInterfaceOpen(ref->usb_interface_if Err 0x%x %d\n", r, r);
        record->usb.interface_if.reset();
    }
    return r;
}

int usb_open_device(vo::UsbCamera *record, const std::shared_ptr<DeviceRef> &device) {
    record->usb.device = device;
    IOReturn r = device->createDevice(record->usb.device_if);
    if (r != kIOReturnSuccess || !record->usb.device_if) {
        if (r == kIOReturnSuccess) r = -10;
        vo::logf(vo::LogKind::Error, "IOCreatePlugInInterfaceForService(usb_device Err 0x%x %d\n",
                 r, r);
        return failOpen(record, r);
    }
    Device &dev = *record->usb.device_if;
    if (dev.vendor(record->camera.vendor_id) != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "%s: get device vendor error: %m\n", kOpen);
        return failOpen(record, VOCAM_EFAIL);
    }
    if (dev.product(record->camera.product_id) != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "%s: get device product error: %m\n", kOpen);
        return failOpen(record, VOCAM_EFAIL);
    }
    if (dev.release(record->camera.device_release) != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "%s: get device release error: %m\n", kOpen);
        return failOpen(record, VOCAM_EFAIL);
    }
    IOReturn opened = dev.open();
    // Another client that is closing the device holds it a moment longer:
    // wait for it as the firmware loader does, before giving the device up.
    for (int attempt = 1; opened == kIOReturnExclusiveAccess && attempt < kBusyAttempts;
         ++attempt) {
        std::this_thread::sleep_for(kBusyPause);
        opened = dev.open();
    }
    if (opened != kIOReturnSuccess) {
        // The two reasons a user can act on get words of their own; errno
        // says nothing of them on every host.
        if (opened == kIOReturnExclusiveAccess)
            vo::logf(vo::LogKind::Error,
                     "%s: usb device open error: camera 0x%04X is in use by another program\n",
                     kOpen, record->camera.product_id);
        else if (opened == kIOReturnNotPrivileged)
            vo::logf(vo::LogKind::Error,
                     "%s: usb device open error: no permission to open camera 0x%04X\n", kOpen,
                     record->camera.product_id);
        else
            vo::logf(vo::LogKind::Error, "%s: usb device open error: %m\n", kOpen);
        record->usb.device_if.reset();  // nothing was opened, so nothing to close
        return failOpen(record, VOCAM_EFAIL);
    }
    std::vector<std::uint8_t> configuration;
    if (dev.configurationDescriptor(0, configuration) != kIOReturnSuccess ||
        configuration.size() < 9) {
        vo::logf(vo::LogKind::Error, "%s: usb get config descriptor error: %m\n", kOpen);
        return failOpen(record, VOCAM_EFAIL);
    }
    if (dev.setConfiguration(configuration[5]) != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "%s: usb set config error: %m\n", kOpen);
        return failOpen(record, VOCAM_EFAIL);
    }
    std::vector<std::shared_ptr<InterfaceRef>> interfaces;
    if (dev.interfaces(interfaces) != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "%s: usb create interface iterator error: %m\n", kOpen);
        return failOpen(record, VOCAM_EFAIL);
    }
    for (auto &interface : interfaces) {
        record->usb.interface = interface;
        if (usb_open_interface(record) == kIOReturnSuccess) break;
        record->usb.interface.reset();
    }
    if (!record->usb.interface_if) {
        vo::logf(vo::LogKind::Error, "%s: unable to create usb interface: %m\n", kOpen);
        return failOpen(record, VOCAM_EFAIL);
    }

    record->camera.model = vo_camera_find(record->camera.product_id, record->camera.device_release);
    if (record->camera.model == nullptr) {
        // Without a model entry there are no data rates, files or matrices to
        // drive the camera with.
        vo::logf(vo::LogKind::Error, "error: unsupported camera: product 0x%04X, release 0x%04X\n",
                 record->camera.product_id, record->camera.device_release);
        return failOpen(record, VOCAM_EFAIL);
    }

    usb_get_device_serial_number(record);
    usb_read_device_release_number(record);
    usb_get_device_firmware_version(record);
    usb_read_device_speed(record);
    usb_get_device_model_name(record);
    usb_init_temperature(record);
    vo::logf(vo::LogKind::Info, "sn=%lu, rel=%lu, fw=%08X, speed=%d\n",
             static_cast<unsigned long>(record->camera.serial_number),
             static_cast<unsigned long>(record->camera.release_number),
             record->camera.firmware_version, record->camera.device_speed);

    const int result = usb_init_geometry(record);
    return result == 0 ? 0 : failOpen(record, result);
}

int usb_close_device(vo::UsbCamera *record) {
    if (record == nullptr || !record->usb.device) return 0;
    if (record->usb.device_if) {
        if (record->usb.interface_if) {
            record->usb.interface_if->setAlternate(wire::kAlternateIdle);
            record->usb.interface_if->close();
            record->usb.interface_if.reset();
        }
        record->usb.interface.reset();
        record->usb.device_if->close();
        record->usb.device_if.reset();
    }
    record->usb.device.reset();
    return 0;
}

int usb_init_temperature(vo::UsbCamera *handle) {
    std::uint32_t block[wire::kBlockWords];
    int r = usb_read_array(handle, wire::kTemperature.address, block, wire::kBlockWords);
    if (r != 0) return r;
    std::uint32_t fan = 0;
    r = usb_read_u32(handle, wire::kFan.address, &fan);
    if (r != 0) {
        readFailed(wire::kFan);
        return r;
    }
    handle->camera.temperature_supported = (block[0] & kFlagPresent) != 0;
    handle->camera.fan_present = (fan & kFlagPresent) != 0;
    handle->camera.temperature_on = (block[0] & kFlagOn) != 0;
    handle->camera.fan_on = (fan & kFlagOn) != 0;
    handle->camera.temperature_target = static_cast<std::int32_t>(block[1]);
    handle->camera.temperature_min = static_cast<std::int32_t>(block[2]);
    handle->camera.temperature_max = static_cast<std::int32_t>(block[3]);
    // The fan follows the cooler.
    if (handle->camera.temperature_supported && handle->camera.fan_present &&
        handle->camera.temperature_on != handle->camera.fan_on) {
        handle->camera.fan_on = handle->camera.temperature_on;
        const std::uint32_t word = handle->camera.fan_on ? (fan | kFlagOn) : (fan & ~kFlagOn);
        r = usb_write_u32(handle, wire::kFan.address, word);
        if (r != 0) {
            writeFailed(wire::kFan);
            return r;
        }
    }
    return 0;
}

int usb_init_geometry(vo::UsbCamera *handle) {
    if (handle == nullptr) {
        vo::logs(vo::LogKind::Error, "error: camera reference cannot be NULL\n");
        return VOCAM_EFAIL;
    }
    struct Pair {
        const wire::Register &reg;
        std::uint16_t *low, *high;
    } pairs[] = {
        {wire::kMaxSize, &handle->camera.max_width, &handle->camera.max_height},
        {wire::kUnitSize, &handle->camera.unit_width, &handle->camera.unit_height},
        {wire::kPosition, &handle->camera.x_offset, &handle->camera.y_offset},
        {wire::kSize, &handle->camera.width, &handle->camera.height},
        {wire::kSubsampling, &handle->camera.subsample_x, &handle->camera.subsample_y},
    };
    for (const Pair &p : pairs) {
        const int r = usb_read_two_u16(handle, p.reg.address, p.low, p.high);
        if (r != 0) {
            readFailed(p.reg);
            return r;
        }
    }
    vo::logf(vo::LogKind::Info, "params: size=%dx%d, max_size=%dx%d, position=%dx%d\n",
             handle->camera.width, handle->camera.height, handle->camera.max_width,
             handle->camera.max_height, handle->camera.x_offset, handle->camera.y_offset);
    handle->camera.pixel_format = 0;
    if (handle->camera.max_width == 0 || handle->camera.max_height == 0 ||
        handle->camera.max_width > kMaxSensorSide || handle->camera.max_height > kMaxSensorSide) {
        vo::logf(vo::LogKind::Error, "error: camera reports a %ux%u sensor: camera refused\n",
                 handle->camera.max_width, handle->camera.max_height);
        return VOCAM_EFAIL;
    }
    // The ring is sized from the window the camera reports; one beyond its
    // own sensor (or of no pixels) is a damaged register, not a frame size.
    if (handle->camera.width == 0 || handle->camera.height == 0 ||
        handle->camera.x_offset + handle->camera.width > handle->camera.max_width ||
        handle->camera.y_offset + handle->camera.height > handle->camera.max_height) {
        vo::logf(vo::LogKind::Error,
                 "error: camera reports a %ux%u window at %u,%u on its %ux%u sensor: camera "
                 "refused\n",
                 handle->camera.width, handle->camera.height, handle->camera.x_offset,
                 handle->camera.y_offset, handle->camera.max_width, handle->camera.max_height);
        return VOCAM_EFAIL;
    }
    // The size register holds the window in sensor pixels, as a format
    // change writes it; the handle keeps the delivered size, so a camera
    // reopened while subsampled reads back the format it was given.
    if (handle->camera.subsample_x == 0 || handle->camera.subsample_y == 0 ||
        handle->camera.width / handle->camera.subsample_x == 0 ||
        handle->camera.height / handle->camera.subsample_y == 0) {
        vo::logf(vo::LogKind::Error, "error: camera reports subsampling %ux%u: camera refused\n",
                 handle->camera.subsample_x, handle->camera.subsample_y);
        return VOCAM_EFAIL;
    }
    handle->camera.width =
        static_cast<std::uint16_t>(handle->camera.width / handle->camera.subsample_x);
    handle->camera.height =
        static_cast<std::uint16_t>(handle->camera.height / handle->camera.subsample_y);

    std::uint32_t code = 0;
    int r = usb_read_u32(handle, wire::kColorInquiry.address, &code);
    if (r != 0) {
        readFailed(wire::kColorInquiry);
        return r;
    }
    switch (code) {
        case 0:
        case 5:
        case 6:
            handle->camera.is_color = 0;
            handle->camera.color_id = 0;
            break;
        case 8:
        case 12:
        case 24:
            vo::logs(vo::LogKind::Info, "format: rggb\n");
            handle->camera.is_color = 1;
            handle->camera.color_id = 8;
            break;
        case 9:
        case 13:
        case 25:
            vo::logs(vo::LogKind::Info, "format: grbg\n");
            handle->camera.is_color = 1;
            handle->camera.color_id = 9;
            break;
        case 10:
        case 14:
        case 26:
            vo::logs(vo::LogKind::Info, "format: gbrg\n");
            handle->camera.is_color = 1;
            handle->camera.color_id = 10;
            break;
        case 11:
        case 15:
        case 27:
            vo::logs(vo::LogKind::Info, "format: bggr\n");
            handle->camera.is_color = 1;
            handle->camera.color_id = 11;
            break;
        default:
            vo::logf(vo::LogKind::Error, "error: unsupported image format %X\n", code);
            break;
    }

    std::uint32_t inquiry = 0;
    r = usb_read_u32(handle, wire::kSubsamplingInquiry.address, &inquiry);
    if (r != 0) {
        readFailed(wire::kSubsamplingInquiry);
        return r;
    }
    if ((inquiry & 0xFF) > 1) {
        vo::logf(vo::LogKind::Info, "subsampling is available: max=%d\n",
                 static_cast<int>(inquiry & 0xFF));
        handle->camera.subsampling_available = 1;
        handle->camera.max_subsample = static_cast<std::uint8_t>(inquiry & 0xFF);
    } else {
        vo::logs(vo::LogKind::Info, "subsampling is not available\n");
        handle->camera.subsampling_available = 0;
        handle->camera.max_subsample = 1;
    }
    r = usb_write_u32(handle, wire::kColorId.address, handle->camera.color_id);
    if (r != 0) {
        writeFailed(wire::kColorId);
        return r;
    }
    return usb_reload_rates(handle);
}

int usb_reload_rates(vo::UsbCamera *handle) {
    if (handle == nullptr) {
        vo::logs(vo::LogKind::Error, "error: camera reference cannot be NULL\n");
        return VOCAM_EFAIL;
    }
    std::uint16_t low = 0, high = 0;
    int r = usb_read_two_u16(handle, wire::kRateMinMax.address, &low, &high);
    if (r != 0) {
        readFailed(wire::kRateMinMax);
        return r;
    }
    vo::logf(vo::LogKind::Info, "kps: min=%d, max=%d\n", low, high);
    std::uint32_t count = 0;
    r = usb_read_u32(handle, wire::kRateCount.address, &count);
    if (r != 0) {
        readFailed(wire::kRateCount);
        return r;
    }
    vo::logf(vo::LogKind::Info, "kps count: %d\n", static_cast<int>(count));
    if (count > kMaxDataRates) {
        vo::logf(vo::LogKind::Error, "error: data-rate count %u is above %u: camera refused\n",
                 count, kMaxDataRates);
        return VOCAM_EFAIL;
    }
    handle->camera.data_rates.reset();
    handle->camera.data_rate_count = static_cast<std::uint16_t>(count);
    const std::uint32_t n = count;
    if (n == 0) return 0;  // nothing to choose from: the camera keeps its current rate
    handle->camera.data_rates.reset(new (std::nothrow) std::uint16_t[n]());
    if (!handle->camera.data_rates) {
        handle->camera.data_rate_count = 0;
        vo::logf(vo::LogKind::Error, "error: unable to allocate memory: %m\n");
        return VOCAM_EFAIL;
    }
    for (std::uint32_t i = 0; i < n; i += 2) {
        std::uint16_t first = 0, second = 0;
        r = usb_read_two_u16(handle, wire::kRateArray.address, &first, &second);
        if (r != 0) {
            readFailed(wire::kRateArray);
            return r;
        }
        handle->camera.data_rates[i] = first;
        if (i + 1 < n) handle->camera.data_rates[i + 1] = second;
    }
    const bool hasFpga =
        handle->camera.model != nullptr && handle->camera.model->fpga_file != nullptr;
    const std::uint16_t current =
        hasFpga ? handle->camera.data_rates[n - 1] : handle->camera.data_rates[0];
    r = usb_write_u32(handle, wire::kRate.address, current);
    if (r != 0) {
        writeFailed(wire::kRate);
        return r;
    }
    vo::logf(vo::LogKind::Info, "current kps: %d\n", current);
    return 0;
}

int usb_get_model_data(const vo::CameraState &camera, std::uint32_t tag,
                       const std::uint8_t **payload, std::uint32_t *length) {
    if (camera.model == nullptr) {
        vo::logs(vo::LogKind::Error, "error: device info cannot be NULL\n");
        return VOCAM_EINVAL;
    }
    return vo_find_model_record(camera.model, tag, payload, length);
}
