// The transport: transfers and the register protocol on an open camera,
// identity reads, discovery and open, firmware and FPGA bring-up, and the
// stream. Everything here works on the transport's part of a camera
// (transport/camera.h); the exported calls over it live with the camera API.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "device/wire.h"
#include "transport/camera.h"
#include "vocamusb.h"

// ---- Transfers and registers ----

// What the exported calls of the same names (vocamusb.h) do, without their
// entry guard.
std::int32_t usb_control_write(vo::UsbCamera *handle, std::uint8_t *data, std::uint32_t length,
                               std::uint8_t request, std::uint16_t value, std::uint16_t index);
std::int32_t usb_control_read(vo::UsbCamera *handle, std::uint8_t *data, std::uint32_t length,
                              std::uint8_t request, std::uint16_t value, std::uint16_t index);
std::int32_t usb_bulk_write(vo::UsbCamera *handle, std::uint8_t pipe, std::uint8_t *data,
                            std::uint32_t length);
std::int32_t usb_bulk_read(vo::UsbCamera *handle, std::uint8_t pipe, std::uint8_t *data,
                           std::uint32_t length);
std::int32_t usb_read_bytes(vo::UsbCamera *handle, std::int32_t reg, std::uint8_t *data,
                            std::uint32_t length);
std::int32_t usb_write_bytes(vo::UsbCamera *handle, std::int32_t reg, std::uint8_t *data,
                             std::uint32_t length);
std::int32_t usb_read_array(vo::UsbCamera *handle, std::int32_t reg, std::uint32_t *words,
                            std::uint32_t count);
std::int32_t usb_write_array(vo::UsbCamera *handle, std::int32_t reg, const std::uint32_t *words,
                             std::uint32_t count);
std::int32_t usb_read_u32(vo::UsbCamera *handle, std::int32_t reg, std::uint32_t *word);
std::int32_t usb_write_u32(vo::UsbCamera *handle, std::int32_t reg, std::uint32_t word);
std::int32_t usb_read_two_u16(vo::UsbCamera *handle, std::int32_t reg, std::uint16_t *low,
                              std::uint16_t *high);
std::int32_t usb_write_two_u16(vo::UsbCamera *handle, std::int32_t reg, std::uint16_t low,
                               std::uint16_t high);
// usb_get_device_speed and usb_get_device_release_number.
int usb_read_device_speed(vo::UsbCamera *handle);
int usb_read_device_release_number(vo::UsbCamera *handle);
// vo_usb_reload_kps: the camera's data rates read again.
int usb_reload_rates(vo::UsbCamera *handle);
// usb_load_fpga_contents: a model's FPGA image, read from its file.
int usb_fpga_image(std::uint16_t vendor_id, std::uint16_t product_id, std::uint16_t release,
                   std::uint8_t **buffer, std::uint32_t *size);
// The identity record vocam_get_version fills in.
void usb_version_record(const vo::CameraState &camera, vocam_version *out);

// Reads string descriptor `index` as 8-bit characters (the low byte of each
// UTF-16 unit). 0, -1, or a platform code (0xE00002E9 for a malformed one).
int usb_get_string_descriptor(vo::UsbCamera *handle, std::uint8_t index, char *out, int capacity,
                              std::uint16_t language);
int usb_get_device_model_name(vo::UsbCamera *handle);
int usb_get_device_serial_number(vo::UsbCamera *handle);
int usb_get_device_firmware_version(vo::UsbCamera *handle);

// The serial number a string spells; non-digits do not stop the parse.
std::uint32_t usb_parse_serial_number(const char *text);

// The time-out of a bulk transfer of `length` bytes.
std::uint32_t usb_bulk_timeout_ms(std::uint32_t length);

// ---- Discovery and open ----

using UsbDevices = std::vector<std::shared_ptr<vocam::usbhost::DeviceRef>>;
// A per-device action: walks every device a matching pass found.
using UsbDeviceAction = void (*)(void *context, UsbDevices &devices);

// Product ID that asks for the boot code's device subclass instead (an FX2
// without firmware).
inline constexpr std::uint16_t kMatchBootSubclass = 255;

// Matches devices of `vendor_id` and `product_id` and runs `action` over them:
// 0, or -3 when matching failed.
int usb_init_cameras_by_vid_and_pid(vocam::usbhost::Host &host, std::uint16_t vendor_id,
                                    std::uint16_t product_id, UsbDeviceAction action,
                                    void *context);

struct usb_enum_context {
    vocam_version *records;
    std::int32_t capacity;
    std::int32_t count;
};
void usb_enum_camera(void *context, UsbDevices &devices);

// The camera found is made by `make` (the camera API's handle, of which the
// transport knows its own part) and handed over in *handle.
struct usb_find_context {
    std::unique_ptr<vo::UsbCamera> *handle;
    const vocam_version *wanted;
    std::unique_ptr<vo::UsbCamera> (*make)();
};
void usb_find_and_open_camera(void *context, UsbDevices &devices);

// Opens a device into a fresh record. A failure releases what it acquired.
int usb_open_device(vo::UsbCamera *record,
                    const std::shared_ptr<vocam::usbhost::DeviceRef> &device);
int usb_open_interface(vo::UsbCamera *record);
int usb_close_device(vo::UsbCamera *record);
int usb_init_geometry(vo::UsbCamera *handle);
int usb_init_temperature(vo::UsbCamera *handle);
// First record of `tag` in the handle's model data: 0, -14 or -22.
int usb_get_model_data(const vo::CameraState &camera, std::uint32_t tag,
                       const std::uint8_t **payload, std::uint32_t *length);

// ---- Firmware (FX2) and FPGA bring-up ----

// One firmware-load request: `count` bytes to controller address `address`.
vocam::usbhost::IOReturn usb_fx2_write(vocam::usbhost::Device &device, std::uint16_t address,
                                       std::uint16_t count, const std::uint8_t *data);
// Downloads one controller: 0 or -1.
int usb_fx2_send_firmware(vocam::usbhost::Device &device, std::uint16_t vendor_id,
                          std::uint16_t product_id, std::uint16_t release);
// Firmware pass over the controllers of `vendor_id` that have no firmware yet.
int usb_init_camera_firmware(vocam::usbhost::Host &host, std::uint16_t vendor_id,
                             std::uint32_t *downloads);
void usb_load_firmware(void *downloads, UsbDevices &devices);

// FPGA pass over the cameras of one product.
int usb_init_camera_fpga(vocam::usbhost::Host &host, std::uint16_t vendor_id,
                         std::uint16_t product_id);
void usb_load_fpga(void *context, UsbDevices &devices);
// 1 when the open camera's FPGA reports itself configured, 0 when not,
// negative when it could not be read.
int usb_fpga_configured(vo::UsbCamera *handle);

// The resource root every download reads its files below.
const char *vo_resource_root();

// ---- Streaming ----
// The stream is the handle's own part (transport/vo_usb/stream.h), reached
// through it by the calls that need it.

// The body of an exported call on a handle, registered as a caller so that a
// close waits for it to leave; `refused` for a null handle or once a close
// has begun.
template <class Result, class Body>
Result usb_handle_call(vo::UsbCamera *handle, Result refused, Body &&body) {
    if (handle == nullptr) return refused;
    StreamCall call(handle->stream);
    if (!call) return refused;
    return body();
}
