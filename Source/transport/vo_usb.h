// Transport internals: device getters and identity reads used by device open.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "device/wire.h"
#include "vo_cam/vo_cam.h"
#include "vocamusb.h"

// Reads string descriptor `index` as 8-bit characters (the low byte of each
// UTF-16 unit). 0, -1, or a platform code (0xE00002E9 for a malformed one).
int usb_get_string_descriptor(_vocam *handle, std::uint8_t index, char *out, int capacity,
                              std::uint16_t language);
int usb_get_device_model_name(_vocam *handle);
int usb_get_device_serial_number(_vocam *handle);
int usb_get_device_firmware_version(_vocam *handle);

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

struct usb_find_context {
    std::unique_ptr<_vocam> *handle;
    const vocam_version *wanted;
};
void usb_find_and_open_camera(void *context, UsbDevices &devices);

// Opens a device into a fresh record. A failure releases what it acquired.
int usb_open_device(_vocam *record, const std::shared_ptr<vocam::usbhost::DeviceRef> &device);
int usb_open_interface(_vocam *record);
int usb_close_device(_vocam *record);
int usb_init_geometry(_vocam *handle);
int usb_init_temperature(_vocam *handle);
// First record of `tag` in the handle's model data: 0, -14 or -22.
int usb_get_model_data(_vocam *handle, std::uint32_t tag, const std::uint8_t **payload,
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
int usb_fpga_configured(_vocam *handle);

// The resource root every download reads its files below.
const char *vo_resource_root();

// ---- Streaming ----

// How long the end of a stream waits for the read in flight before
// cancelling it, and again for the cancelled read to come back.
inline constexpr double kStreamDrainSeconds = 1.0;

void usb_stream_thread_callback(_vocam *handle);
// Both with the stream's data lock held: 0, or negative when no read could
// be started.
int usb_stream_buffer_read_next(_vocam *handle) VO_REQUIRES(handle->stream.lock);
int usb_stream_schedule_read(_vocam *handle, int index) VO_REQUIRES(handle->stream.lock);
void usb_stream_buffer_ready_callback(void *handle, vocam::usbhost::IOReturn result,
                                      std::uint32_t bytes);
// The camera's exposure (microseconds) or data rate (kilopixels per second)
// as a call has just set or read it: a stream's silence limit follows them.
void usb_stream_report_exposure(_vocam *handle, std::uint32_t microseconds);
void usb_stream_report_rate(_vocam *handle, std::uint32_t kps);
// For closing a handle: wakes every waiter, ends a running stream, waits for
// every call still inside the library on the handle and frees the ring.
void usb_stream_shutdown(_vocam *handle);

// A caller inside the library on a handle: a close waits for it to leave,
// and refuses it (false) once the close has begun.
class StreamCall {
  public:
    explicit StreamCall(_vocam *handle);
    ~StreamCall();
    StreamCall(const StreamCall &) = delete;
    StreamCall &operator=(const StreamCall &) = delete;
    explicit operator bool() const { return admitted_; }

  private:
    vo::Stream &stream_;
    bool admitted_ = false;
};

// The way into a call that changes the stream's life or the window, with
// `call` registered: true with the control lock held (and, when `reap`, a
// stream thread that ended on its own joined); false with nothing held once
// a close has begun.
bool usb_stream_enter_control(_vocam *handle, const StreamCall &call, bool reap = true)
    VO_TRY_ACQUIRE(true, handle->stream.control) VO_EXCLUDES(handle->stream.lock);

// The window as vocam_get_video_format reports it, without its line: the
// library's own frequent readers (the automatic calls) would fill the log.
void cam_read_format(_vocam *handle, _vocam_frame_format *out);

// Creates the handle's colour engine on first need (vo_usb_create_votf
// without taking the lock): 0, or why it could not be created.
int vo_create_votf_locked(_vocam *handle) VO_REQUIRES(handle->convert_lock);

// The body of an exported call on a handle, registered as a caller so that a
// close waits for it to leave; `refused` for a null handle or once a close
// has begun.
template <class Result, class Body>
Result usb_handle_call(_vocam *handle, Result refused, Body &&body) {
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
    FramePin(_vocam *handle, const std::uint8_t *src);
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
    _vocam *handle_;
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
StreamProbe usb_stream_probe(_vocam *handle);
