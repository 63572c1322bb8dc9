// Camera API: identity queries on an open handle.
#include "vo_cam/vo_cam.h"
#include "vo_cam/entry.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "device/vo_cameras.h"
#include "transport/vo_usb.h"
#include "usbhost/registry/Backends.h"

extern "C" {

VOCAM_API int vocam_get_version(_vocam *handle, vocam_version *out) {
    return vo::api::call(__func__, handle, 0, [&]() -> int {
        // A null record is refused silently, as every argument check of the API is.
        if (out == nullptr) return 0;
        usb_version_record(handle->camera, out);
        return 0;
    });
}

VOCAM_API int vocam_get_model_name(_vocam *handle, char *dst, int dst_size) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&]() -> int {
        if (dst == nullptr) return VOCAM_EINVAL;
        const size_t length =
            strnlen(handle->camera.model_name, sizeof handle->camera.model_name - 1);
        if (dst_size < 0 || static_cast<size_t>(dst_size) < length + 1) {
            vo::logs(vo::LogKind::Error, "error: provided string is too small for model name");
            return VOCAM_EINVAL;
        }
        memcpy(dst, handle->camera.model_name, length);
        dst[length] = '\0';
        return 0;
    });
}

VOCAM_API int vocam_is_color(_vocam *handle) {
    return vo::api::call(__func__, handle, 0, [&]() -> int { return handle->camera.is_color; });
}

}  // extern "C"

// ---- Start-up, enumeration, open and close ----

namespace {

using vocam::usbhost::Host;

std::string &resourceRootStorage() {
    static std::string root = VOCAM_DEFAULT_RESOURCE_ROOT;
    return root;
}

bool broughtUp = false;

}  // namespace

void vo_forget_bring_up() {
    broughtUp = false;
}

namespace {

// The host, or null after reporting that USB cannot be reached.
Host *reachHost() {
    Host &host = vocam::usbhost::host();
    if (const auto status = host.status(); status != 0) {
        vo::logf(vo::LogKind::Error, "ERR: Couldn't create a master IOKit Port(%08x)\n", status);
        return nullptr;
    }
    return &host;
}

// Cameras vocam_camera_open_any lists in one pass; more take a second.
constexpr std::size_t kOpenAnyGuess = 16;

// Every distinct (vendor, product) of the model table, in table order; runs of
// entries for one product with different releases count once.
template <typename Visit>
int forEachProduct(Visit visit) {
    for (std::uint32_t i = 0; i < camera_id_count; ++i) {
        const model_table_entry &e = camera_ids[i];
        if (i > 0 && camera_ids[i - 1].vendor_id == e.vendor_id &&
            camera_ids[i - 1].product_id == e.product_id)
            continue;
        if (const int r = visit(e); r < 0) return r;
    }
    return 0;
}

}  // namespace

char *RESOURCE_FILE_ROOT = resourceRootStorage().data();

namespace {

// The data folder when vocam_init is given none: where an installed tree has
// it relative to this library's own file, so the tree may be moved; else the
// folder fixed when the library was configured. Simulated devices take the
// simulated cameras' images, which live in a folder of their own.
std::string defaultResourceRoot(bool simulated) {
    const char *fromLibrary =
        simulated ? VOCAM_SIMULATED_FROM_LIBRARY : VOCAM_RESOURCE_FROM_LIBRARY;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&vocam_init), &self) != 0 && self.dli_fname != nullptr) {
        std::error_code ignored;
        const auto library = std::filesystem::canonical(self.dli_fname, ignored);
        if (!library.empty()) {
            const auto folder = (library.parent_path() / fromLibrary).lexically_normal();
            if (std::filesystem::is_directory(folder, ignored)) return folder.string();
        }
    }
    return simulated ? VOCAM_SIMULATED_RESOURCE_ROOT : VOCAM_DEFAULT_RESOURCE_ROOT;
}

}  // namespace

const char *vo_resource_root() {
    return RESOURCE_FILE_ROOT;
}

namespace {

int cam_enum_cameras(vocam_version *records, std::uint32_t *count) {
    if (count == nullptr) return VOCAM_EINVAL;
    Host *host = reachHost();
    if (host == nullptr) return VOCAM_EFAIL;
    usb_enum_context context{records, records != nullptr ? static_cast<std::int32_t>(*count) : 0,
                             0};
    const int r = forEachProduct([&](const model_table_entry &e) {
        return usb_init_cameras_by_vid_and_pid(*host, e.vendor_id, e.product_id, usb_enum_camera,
                                               &context);
    });
    if (r < 0) return r;
    *count = static_cast<std::uint32_t>(context.count);
    return context.count;
}

int cam_open_camera(_vocam **handle_out, vocam_version *wanted) {
    if (wanted == nullptr || handle_out == nullptr) return VOCAM_EFAIL;
    Host *host = reachHost();
    if (host == nullptr) return VOCAM_EFAIL;
    const model_table_entry *entry =
        vo_camera_find(static_cast<std::uint16_t>(wanted->product_id), vocam::kAnyRelease);
    if (entry == nullptr) return VOCAM_EFAIL;
    std::unique_ptr<vo::UsbCamera> handle;
    usb_find_context context{
        &handle, wanted, [] { return std::unique_ptr<vo::UsbCamera>(new (std::nothrow) _vocam); }};
    const int r = usb_init_cameras_by_vid_and_pid(*host, entry->vendor_id, entry->product_id,
                                                  usb_find_and_open_camera, &context);
    if (r < 0) return r;
    // The transport made the camera with this file's maker: a handle.
    *handle_out = static_cast<_vocam *>(handle.release());
    return 0;
}

}  // namespace

extern "C" {

VOCAM_API void vocam_set_log_handler(vocam_log_handler new_handler, void *context) {
    return vo::guard(__func__, [&]() -> void { vo::setLogHandler(new_handler, context); });
}

VOCAM_API int vocam_init(const char *resource_root) {
    return vo::guard(__func__, [&]() -> int {
        resourceRootStorage() = resource_root != nullptr
                                    ? resource_root
                                    : defaultResourceRoot(vocam::usbhost::host().simulated());
        RESOURCE_FILE_ROOT = resourceRootStorage().data();
        if (broughtUp) return 0;
        broughtUp = true;
        Host *host = reachHost();
        if (host == nullptr) return VOCAM_EFAIL;

        std::uint32_t downloads = 0;
        for (std::uint16_t vendor :
             {vocam::kCameraVendorA, vocam::kCameraVendorB, vocam::kFx2ControllerVendor}) {
            const int r = usb_init_camera_firmware(*host, vendor, &downloads);
            if (r < 0) {
                vo::logf(vo::LogKind::Error, "Error: could not find cameras using PID 0x%08X\n",
                         vendor);
                return r;
            }
        }
        // Downloaded controllers leave the bus and come back as cameras.
        if (downloads > 0) usleep(2500000);
        return forEachProduct([&](const model_table_entry &e) {
            const int r = usb_init_camera_fpga(*host, e.vendor_id, e.product_id);
            if (r < 0)
                vo::logf(vo::LogKind::Error, "Error: could not find camera using PID 0x%08X\n",
                         e.product_id);
            return r;
        });
    });
}

VOCAM_API int vocam_enum_cameras(vocam_version *records, std::uint32_t *count) {
    return vo::guard(__func__, [&]() -> int { return cam_enum_cameras(records, count); });
}

VOCAM_API int vocam_enum_boot_controllers(vocam_version *records, std::uint32_t *count) {
    return vo::guard(__func__, [&]() -> int {
        if (count == nullptr) return VOCAM_EINVAL;
        Host *host = reachHost();
        if (host == nullptr) return VOCAM_EFAIL;
        struct Listing {
            vocam_version *records;
            std::uint32_t capacity;
            std::uint32_t count;
        } listing{records, records != nullptr ? *count : 0, 0};
        // Only the device descriptor is read: a controller in its boot code
        // has no serial number and is not opened, so listing never disturbs
        // a download another process may be running.
        const UsbDeviceAction list = [](void *context, UsbDevices &devices) {
            auto &l = *static_cast<Listing *>(context);
            for (auto &ref : devices) {
                std::unique_ptr<vocam::usbhost::Device> device;
                if (ref->createDevice(device) != vocam::usbhost::kIOReturnSuccess || !device)
                    continue;
                std::uint16_t product = 0, release = 0;
                std::uint8_t speed = 0;
                if (device->product(product) != vocam::usbhost::kIOReturnSuccess) continue;
                device->release(release);
                device->speed(speed);
                if (l.count < l.capacity) {
                    l.records[l.count] = vocam_version{};
                    l.records[l.count].product_id = product;
                    l.records[l.count].release_number = release;
                    l.records[l.count].high_speed = speed == vocam::usbhost::kSpeedHigh ? 1 : 0;
                }
                ++l.count;
            }
        };
        for (std::uint16_t vendor :
             {vocam::kCameraVendorA, vocam::kCameraVendorB, vocam::kFx2ControllerVendor})
            if (const int r = usb_init_cameras_by_vid_and_pid(*host, vendor, kMatchBootSubclass,
                                                              list, &listing);
                r < 0)
                return r;
        *count = listing.count;
        return static_cast<int>(listing.count);
    });
}

VOCAM_API int vocam_camera_open(_vocam **handle_out, vocam_version *wanted) {
    return vo::guard(__func__, [&]() -> int { return cam_open_camera(handle_out, wanted); });
}

VOCAM_API int vocam_camera_open_by_pid(_vocam **handle_out, std::uint32_t product_id) {
    return vo::guard(__func__, [&]() -> int {
        vocam_version wanted{};
        wanted.product_id = product_id;
        return cam_open_camera(handle_out, &wanted);
    });
}

VOCAM_API int vocam_camera_open_any(_vocam **handle_out) {
    return vo::guard(__func__, [&]() -> int {
        if (handle_out == nullptr) return VOCAM_EFAIL;
        *handle_out = nullptr;
        // Another caller may take a camera between the listing and the open:
        // every camera listed is tried in turn, so a free one is never missed.
        // Listing opens every camera, so it runs once unless the bus holds
        // more cameras than a first guess.
        std::vector<vocam_version> cameras(kOpenAnyGuess);
        std::uint32_t count = 0;
        int r;
        do {
            cameras.resize(std::max<std::size_t>(cameras.size(), count));
            count = static_cast<std::uint32_t>(cameras.size());
            r = cam_enum_cameras(cameras.data(), &count);
            if (r < 0) return r;
        } while (count > cameras.size());
        cameras.resize(count);
        if (cameras.empty()) return VOCAM_EFAIL;
        for (vocam_version &camera : cameras) {
            r = cam_open_camera(handle_out, &camera);
            if (r < 0 || *handle_out != nullptr) return r;
        }
        return 0;
    });
}

VOCAM_API int vocam_camera_close(_vocam **handle_ref) {
    return vo::guard(__func__, [&]() -> int {
        if (handle_ref == nullptr || *handle_ref == nullptr) return 0;
        std::unique_ptr<_vocam> handle(*handle_ref);
        *handle_ref = nullptr;
        // A stream left running would outlive the handle it writes into.
        handle->stream.shutdown();
        usb_close_device(handle.get());
        return 0;
    });
}

VOCAM_API int vocam_supports_subsampling(_vocam *handle) {
    return vo::api::call(__func__, handle, 0, [&]() -> int {
        return handle->camera.model != nullptr ? handle->camera.model->subsampling : 0;
    });
}

}  // extern "C"

namespace {

struct StateListing {
    vocam_camera_state *records;
    std::uint32_t capacity;
    std::uint32_t count;
    void add(std::uint16_t product, std::uint16_t release, std::uint32_t serial, int state) {
        if (count < capacity) records[count] = {product, release, serial, state};
        ++count;
    }
};

// Controllers still in their boot code: only the device descriptor is read,
// so a download another process runs is not disturbed.
void listWaitingForFirmware(void *context, UsbDevices &devices) {
    auto &listing = *static_cast<StateListing *>(context);
    for (auto &ref : devices) {
        std::unique_ptr<vocam::usbhost::Device> device;
        if (ref->createDevice(device) != vocam::usbhost::kIOReturnSuccess || !device) continue;
        std::uint16_t product = 0, release = 0;
        if (device->product(product) != vocam::usbhost::kIOReturnSuccess) continue;
        device->release(release);
        listing.add(product, release, 0, VOCAM_STATE_NO_FIRMWARE);
    }
}

void listCameras(void *context, UsbDevices &devices) {
    auto &listing = *static_cast<StateListing *>(context);
    for (auto &device : devices) {
        _vocam record;
        if (usb_open_device(&record, device) != 0) {
            // Held by another client, or not ours to open: what it is cannot
            // be told without opening it.
            std::unique_ptr<vocam::usbhost::Device> plain;
            std::uint16_t product = 0, release = 0;
            if (device->createDevice(plain) == vocam::usbhost::kIOReturnSuccess && plain) {
                plain->product(product);
                plain->release(release);
            }
            listing.add(product, release, 0, VOCAM_STATE_UNREACHABLE);
            continue;
        }
        int state = VOCAM_STATE_READY;
        if (record.camera.model->fpga_file != nullptr) {
            const int configured = usb_fpga_configured(&record);
            state = configured > 0    ? VOCAM_STATE_READY
                    : configured == 0 ? VOCAM_STATE_NO_FPGA
                                      : VOCAM_STATE_UNREACHABLE;
        }
        listing.add(record.camera.product_id, record.camera.device_release,
                    record.camera.serial_number, state);
        usb_close_device(&record);
    }
}

}  // namespace

extern "C" {

VOCAM_API int vocam_get_camera_states(vocam_camera_state *records, std::uint32_t *count) {
    return vo::guard(__func__, [&]() -> int {
        if (count == nullptr) return VOCAM_EINVAL;
        Host *host = reachHost();
        if (host == nullptr) return VOCAM_EFAIL;
        StateListing listing{records, records != nullptr ? *count : 0, 0};
        for (std::uint16_t vendor :
             {vocam::kCameraVendorA, vocam::kCameraVendorB, vocam::kFx2ControllerVendor})
            if (const int r = usb_init_cameras_by_vid_and_pid(*host, vendor, kMatchBootSubclass,
                                                              listWaitingForFirmware, &listing);
                r < 0)
                return r;
        if (const int r = forEachProduct([&](const model_table_entry &e) {
                return usb_init_cameras_by_vid_and_pid(*host, e.vendor_id, e.product_id,
                                                       listCameras, &listing);
            });
            r < 0)
            return r;
        *count = listing.count;
        return static_cast<int>(listing.count);
    });
}

}  // extern "C"
