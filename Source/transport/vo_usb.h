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
int usb_get_model_data(vo::UsbCamera *handle, std::uint32_t tag, const std::uint8_t **payload,
                       std::uint32_t *length);

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

// How long the end of a stream waits for the read in flight before
// cancelling it, and again for the cancelled read to come back.
inline constexpr double kStreamDrainSeconds = 1.0;

void usb_stream_thread_callback(vo::UsbCamera *handle);
// Both with the stream's data lock held: 0, or negative when no read could
// be started.
int usb_stream_buffer_read_next(vo::UsbCamera *handle) VO_REQUIRES(handle->stream.lock);
int usb_stream_schedule_read(vo::UsbCamera *handle, int index) VO_REQUIRES(handle->stream.lock);
void usb_stream_buffer_ready_callback(void *handle, vocam::usbhost::IOReturn result,
                                      std::uint32_t bytes);
// The camera's exposure (microseconds) or data rate (kilopixels per second)
// as a call has just set or read it: a stream's silence limit follows them.
void usb_stream_report_exposure(vo::UsbCamera *handle, std::uint32_t microseconds);
void usb_stream_report_rate(vo::UsbCamera *handle, std::uint32_t kps);
// For closing a handle: wakes every waiter, ends a running stream, waits for
// every call still inside the library on the handle and frees the ring.
void usb_stream_shutdown(vo::UsbCamera *handle);

// A caller inside the library on a handle: a close waits for it to leave,
// and refuses it (false) once the close has begun.
class StreamCall {
  public:
    explicit StreamCall(vo::UsbCamera *handle);
    ~StreamCall();
    StreamCall(const StreamCall &) = delete;
    StreamCall &operator=(const StreamCall &) = delete;
    explicit operator bool() const { return admitted_; }

  private:
    vo::Stream &stream_;
    bool admitted_ = false;
};

// The way into a call that changes the stream's life or the window, on a
// caller already admitted (usb_handle_call): true with the control lock held
// (and, when `reap`, a stream thread that ended on its own joined); false
// with nothing held once a close has begun.
bool usb_stream_enter_control(vo::UsbCamera *handle, bool reap = true)
    VO_TRY_ACQUIRE(true, handle->stream.control) VO_EXCLUDES(handle->stream.lock);

// The body of an exported call on a handle, registered as a caller so that a
// close waits for it to leave; `refused` for a null handle or once a close
// has begun.
template <class Result, class Body>
Result usb_handle_call(vo::UsbCamera *handle, Result refused, Body &&body) {
    if (handle == nullptr) return refused;
    StreamCall call(handle);
    if (!call) return refused;
    return body();
}

// A frame a caller hands back to the library. A ring buffer is kept from
// being freed or refilled while the call reads it, and carries the window
// the ring was enabled for; any other memory is the caller's, of whatever
// size the caller says. False when no stream is running.
class FramePin {
  public:
    FramePin(vo::UsbCamera *handle, const std::uint8_t *src);
    ~FramePin();
    FramePin(const FramePin &) = delete;
    FramePin &operator=(const FramePin &) = delete;
    explicit operator bool() const { return running_; }
    bool ring() const { return index_ >= 0; }
    // A ring buffer's frame: delivered pixels, one byte each.
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    std::uint32_t bytes() const { return bytes_; }

  private:
    vo::UsbCamera *handle_;
    int index_ = -1;
    bool running_ = false;
    std::uint32_t width_ = 0, height_ = 0, bytes_ = 0;
};

// The stream's state as the tests see it.
struct StreamProbe {
    vo::StreamState state;
    int reads_pending;
    int reading_index;
    std::uint32_t callers;
};
StreamProbe usb_stream_probe(vo::UsbCamera *handle);

// What the exported stream calls of the same names do (vocamapi.h), on a
// caller already admitted (usb_handle_call): the camera API's entry refuses a
// null handle and one being closed.
int usb_stream_enable(vo::UsbCamera *h);
int usb_stream_disable(vo::UsbCamera *h);
int usb_stream_start(vo::UsbCamera *h);
int usb_stream_stop(vo::UsbCamera *h);
// The newest frame not yet handed out, held for the caller: 0 with `frame`
// set, or what the waits answer (-96 once the stream has ended, -22 while
// every buffer is held, VOCAM_WAIT_TIMED_OUT past the deadline).
int usb_stream_acquire(vo::UsbCamera *h,
                       std::optional<std::chrono::steady_clock::time_point> deadline,
                       vo::Frame &frame);
int usb_stream_wait(vo::UsbCamera *h);
int usb_stream_wait_timeout(vo::UsbCamera *h, std::uint32_t milliseconds);
int usb_stream_release(vo::UsbCamera *h, std::int32_t index);
std::uint8_t *usb_stream_buffer_address(vo::UsbCamera *h, std::int32_t index);
std::uint32_t usb_stream_frame_size(vo::UsbCamera *h);
int usb_stream_buffer_info(vo::UsbCamera *h, std::int32_t index, vocam_frame_info *info);
int usb_stream_stats(vo::UsbCamera *h, vocam_stream_stats *stats);
