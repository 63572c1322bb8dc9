// The transport's part of an open camera: the USB device, what the camera
// says it is and how it is set, and the stream. The camera handle
// (vo_cam/vo_cam.h) is built on it; the transport sees this part only.
#pragma once

#include <cstdint>
#include <memory>

#include "transport/vo_usb/stream.h"
#include "usbhost/UsbHost.h"

struct model_table_entry;

namespace vo {

// The USB host layer's objects of one open camera: the matched device, its
// device-level access, the interface object in use and the opened interface.
// Transfers and bring-up go through these.
struct UsbDevice {
    std::shared_ptr<vocam::usbhost::DeviceRef> device;
    std::unique_ptr<vocam::usbhost::Device> device_if;
    std::shared_ptr<vocam::usbhost::InterfaceRef> interface;
    std::unique_ptr<vocam::usbhost::Interface> interface_if;
};

// What the camera is and how it is set: its identity, its window, its
// cooling and its data rates, as read at open and changed by the calls that
// set them.
struct CameraState {
    // Identity.
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::uint16_t device_release = 0;
    const model_table_entry *model = nullptr;
    std::uint32_t serial_number = 0;
    std::uint16_t release_number = 0;
    std::uint32_t firmware_version = 0;
    std::uint8_t device_speed = 0;
    char model_name[32] = {};
    std::uint8_t is_color = 0;
    std::uint32_t color_id = 0;
    std::uint32_t pixel_format = 0;

    // Geometry. The window is guarded by the stream's control lock against a
    // change while a stream is being set up.
    std::uint16_t max_width = 0, max_height = 0;
    std::uint16_t unit_width = 0, unit_height = 0;
    std::uint16_t width = 0, height = 0;
    std::uint16_t x_offset = 0, y_offset = 0;
    std::uint16_t subsample_x = 0, subsample_y = 0;
    std::uint8_t subsampling_available = 0;
    // The largest factor the camera offers (its subsampling inquiry).
    std::uint8_t max_subsample = 1;

    // Cooling.
    std::uint8_t temperature_supported = 0;
    std::uint8_t fan_present = 0;
    std::int32_t temperature_min = 0, temperature_max = 0;
    std::uint8_t temperature_on = 0;
    std::uint8_t fan_on = 0;
    std::int32_t temperature_target = 0;

    // Data rates (kilopixels per second) the camera offers in its window.
    std::uint16_t data_rate_count = 0;
    std::unique_ptr<std::uint16_t[]> data_rates;
};

// The transport's part of an open camera, as parts each of its own: the USB
// device, the camera's state and the stream. The stream reaches the other two
// only through the port this part gives it (vo_usb/transfer.cpp).
struct UsbCamera : private StreamPort {
    UsbCamera() = default;
    UsbCamera(const UsbCamera &) = delete;
    UsbCamera &operator=(const UsbCamera &) = delete;
    // The open camera is handed up as this part (usb_find_context).
    virtual ~UsbCamera() = default;

    UsbDevice usb;
    CameraState camera;
    // The stream: its state, ring and thread, and the lock that serialises
    // the calls changing its life.
    vo::Stream stream{static_cast<StreamPort &>(*this)};

  private:
    vocam::usbhost::Interface *interface() override;
    int readRegister(std::int32_t reg, std::uint32_t *word) override;
    int writeRegister(std::int32_t reg, std::uint32_t word) override;
    std::uint16_t windowWidth() override;
    std::uint16_t windowHeight() override;
};

}  // namespace vo
