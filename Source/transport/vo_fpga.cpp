// FPGA configuration: loads each camera's bitstream unless its FPGA already
// reports itself configured.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "device/vo_cameras.h"
#include "transport/vo_files.h"
#include "transport/vo_usb.h"

using namespace vocam;
using namespace vocam::usbhost;

namespace {

constexpr const char *kLoad = "usb_load_fpga";
namespace wire = vocam::wire;
using wire::kFpgaBegin;
using wire::kFpgaConfigured;
using wire::kFpgaEnd;
constexpr std::int32_t kRegFpga = wire::kFpga.address;
constexpr int kPolls = 10;
// No configuration image comes near this; a larger "size" is a damaged or
// wrong file, not something to allocate for.
constexpr off_t kMaxFpgaFileSize = 64 << 20;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool readFpgaRegister(vo::UsbCamera *h, std::uint32_t &value) {
    std::uint8_t b[4];
    if (usb_read_bytes(h, kRegFpga, b, 4) != 0) return false;
    value = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
            static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return true;
}

// Loads and sends one camera's image; false when the camera is to be skipped.
bool configure(vo::UsbCamera *h) {
    std::uint32_t status = 0;
    if (!readFpgaRegister(h, status)) {
        vo::logf(vo::LogKind::Error, "%s: unable to read register: %m\n", kLoad);
        return false;
    }
    if (status & kFpgaConfigured) return false;
    if (h->usb.interface_if->setAlternate(wire::kAlternateFpgaLoad) != kIOReturnSuccess) {
        vo::logf(vo::LogKind::Error, "%s: unable to set alternate interface: %m\n", kLoad);
        return false;
    }
    h->usb.interface_if->clearPipeStallBothEnds(wire::kDataPipe);
    if (usb_write_u32(h, kRegFpga, kFpgaBegin) != 0) {
        vo::logf(vo::LogKind::Error, "%s: unable to write register: %m\n", kLoad);
        return false;
    }
    vo::logs(vo::LogKind::Info, "loading FPGA binary from disk\n");
    std::uint8_t *image = nullptr;
    std::uint32_t size = 0;
    if (usb_fpga_image(h->camera.vendor_id, h->camera.product_id, h->camera.device_release, &image,
                       &size) != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to load FPGA\n");
    } else {
        vo::logs(vo::LogKind::Info, "sending FPGA binary to camera\n");
        // The end write and the poll follow either way: they tell whether
        // the FPGA took the image.
        if (usb_bulk_write(h, wire::kDataPipe, image, size) == static_cast<std::int32_t>(size))
            vo::logs(vo::LogKind::Info, "sent FPGA binary to camera\n");
        else
            vo::logs(vo::LogKind::Error, "error: unable to send FPGA binary to camera\n");
        std::free(image);
        sleepMs(20);
    }
    if (usb_write_u32(h, kRegFpga, kFpgaEnd) != 0) {
        vo::logf(vo::LogKind::Error, "%s: unable to write register: %m\n", kLoad);
        return false;
    }
    std::uint32_t last = kFpgaEnd;
    for (int poll = 0; poll < kPolls; ++poll) {
        sleepMs(10);
        if (readFpgaRegister(h, status)) {
            last = status;
            if (status & kFpgaConfigured) break;
        }
    }
    if (!(last & kFpgaConfigured)) {
        vo::logf(vo::LogKind::Error, "%s: unable to load FPGA: timeout\n", kLoad);
        return false;
    }
    vo::logs(vo::LogKind::Info, "FPGA loaded\n");
    h->usb.interface_if->setAlternate(wire::kAlternateIdle);
    return true;
}

}  // namespace

int usb_fpga_image(std::uint16_t vendor_id, std::uint16_t product_id, std::uint16_t release,
                   std::uint8_t **buffer, std::uint32_t *size) {
    (void)vendor_id;
    if (buffer == nullptr || size == nullptr) return VOCAM_EFAIL;
    const model_table_entry *model = vo_camera_find(product_id, release);
    if (model == nullptr || model->fpga_file == nullptr) {
        vo::logs(vo::LogKind::Error, "error: unable to find specified camera");
        return VOCAM_EFAIL;
    }
    const std::optional<std::string> found = vo_resource_path(model->fpga_file, release);
    if (!found) return VOCAM_EFAIL;
    const char *path = found->c_str();
    ResourceFile file(*found);
    if (file.status() == ResourceFile::Status::OpenFailed) {
        vo::logf(vo::LogKind::Error, "error: unable to open fpga file %s: %s\n", path,
                 std::strerror(file.error()));
        return VOCAM_EFAIL;
    }
    if (file.status() == ResourceFile::Status::NotRegular) {
        vo::logf(vo::LogKind::Error, "error: fpga file %s is not a regular file\n", path);
        return VOCAM_EFAIL;
    }
    const off_t length = file.size();
    if (length > kMaxFpgaFileSize) {
        vo::logf(vo::LogKind::Error, "error: fpga file %s is larger than %lld bytes\n", path,
                 static_cast<long long>(kMaxFpgaFileSize));
        return VOCAM_EFAIL;
    }
    auto *data =
        static_cast<std::uint8_t *>(std::malloc(length > 0 ? static_cast<std::size_t>(length) : 1));
    if (data == nullptr) {
        vo::logf(vo::LogKind::Error, "error: unable to allocate buffer: %m\n");
        return VOCAM_EFAIL;
    }
    if (!file.read(data, static_cast<std::size_t>(length))) {
        vo::logf(vo::LogKind::Error, "error: unable to read file: %m\n");
        std::free(data);
        return VOCAM_EFAIL;
    }
    *buffer = data;
    *size = static_cast<std::uint32_t>(length);
    return 0;
}

void usb_load_fpga(void *, UsbDevices &devices) {
    for (auto &device : devices) {
        vo::UsbCamera record;
        if (usb_open_device(&record, device) != 0) {
            vo::logs(vo::LogKind::Error, "error: unable to open usb device\n");
            continue;
        }
        if (record.camera.model->fpga_file != nullptr) configure(&record);
        usb_close_device(&record);
    }
}

int usb_init_camera_fpga(Host &host, std::uint16_t vendor_id, std::uint16_t product_id) {
    return usb_init_cameras_by_vid_and_pid(host, vendor_id, product_id, usb_load_fpga, nullptr);
}

int usb_fpga_configured(vo::UsbCamera *handle) {
    std::uint32_t status = 0;
    if (!readFpgaRegister(handle, status)) return VOCAM_EFAIL;
    return (status & kFpgaConfigured) != 0 ? 1 : 0;
}
