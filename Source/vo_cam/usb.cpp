// The exported transfer, register and bring-up calls of vocamusb.h: each is
// the entry guard over the transport's own function. The library's own code
// calls those functions, never these.
#include "base/vo_guard.h"
#include "transport/vo_usb.h"
#include "vo_cam/vo_cam.h"
#include "vocamusb.h"

extern "C" {

VOCAM_API std::int32_t vo_usb_control_write(_vocam *handle, std::uint8_t *data,
                                            std::uint32_t length, std::uint8_t request,
                                            std::uint16_t value, std::uint16_t index) {
    return vo::guard(__func__, [&]() -> std::int32_t {
        return usb_control_write(handle, data, length, request, value, index);
    });
}

VOCAM_API std::int32_t vo_usb_control_read(_vocam *handle, std::uint8_t *data, std::uint32_t length,
                                           std::uint8_t request, std::uint16_t value,
                                           std::uint16_t index) {
    return vo::guard(__func__, [&]() -> std::int32_t {
        return usb_control_read(handle, data, length, request, value, index);
    });
}

VOCAM_API std::int32_t vo_usb_bulk_write(_vocam *handle, std::uint8_t pipe, std::uint8_t *data,
                                         std::uint32_t length) {
    return vo::guard(__func__,
                     [&]() -> std::int32_t { return usb_bulk_write(handle, pipe, data, length); });
}

VOCAM_API std::int32_t vo_usb_bulk_read(_vocam *handle, std::uint8_t pipe, std::uint8_t *data,
                                        std::uint32_t length) {
    return vo::guard(__func__,
                     [&]() -> std::int32_t { return usb_bulk_read(handle, pipe, data, length); });
}

VOCAM_API std::int32_t vo_usb_read_vocam_bytes(_vocam *handle, std::int32_t reg, std::uint8_t *data,
                                               std::uint32_t length) {
    return vo::guard(__func__,
                     [&]() -> std::int32_t { return usb_read_bytes(handle, reg, data, length); });
}

VOCAM_API std::int32_t vo_usb_write_vocam_bytes(_vocam *handle, std::int32_t reg,
                                                std::uint8_t *data, std::uint32_t length) {
    return vo::guard(__func__,
                     [&]() -> std::int32_t { return usb_write_bytes(handle, reg, data, length); });
}

VOCAM_API std::int32_t vo_usb_read_vocam_array(_vocam *handle, std::int32_t reg,
                                               std::uint32_t *words, std::uint32_t count) {
    return vo::guard(__func__,
                     [&]() -> std::int32_t { return usb_read_array(handle, reg, words, count); });
}

VOCAM_API std::int32_t vo_usb_write_vocam_array(_vocam *handle, std::int32_t reg,
                                                const std::uint32_t *words, std::uint32_t count) {
    return vo::guard(__func__,
                     [&]() -> std::int32_t { return usb_write_array(handle, reg, words, count); });
}

VOCAM_API std::int32_t vo_usb_read_vocam_u32(_vocam *handle, std::int32_t reg,
                                             std::uint32_t *word) {
    return vo::guard(__func__, [&]() -> std::int32_t { return usb_read_u32(handle, reg, word); });
}

VOCAM_API std::int32_t vo_usb_write_vocam_u32(_vocam *handle, std::int32_t reg,
                                              std::uint32_t word) {
    return vo::guard(__func__, [&]() -> std::int32_t { return usb_write_u32(handle, reg, word); });
}

VOCAM_API std::int32_t vo_usb_read_vocam_two_u16(_vocam *handle, std::int32_t reg,
                                                 std::uint16_t *low, std::uint16_t *high) {
    return vo::guard(__func__,
                     [&]() -> std::int32_t { return usb_read_two_u16(handle, reg, low, high); });
}

VOCAM_API std::int32_t vo_usb_write_vocam_two_u16(_vocam *handle, std::int32_t reg,
                                                  std::uint16_t low, std::uint16_t high) {
    return vo::guard(__func__,
                     [&]() -> std::int32_t { return usb_write_two_u16(handle, reg, low, high); });
}

VOCAM_API int usb_get_device_speed(_vocam *handle) {
    return vo::guard(__func__, [&]() -> int { return usb_read_device_speed(handle); });
}

VOCAM_API int usb_get_device_release_number(_vocam *handle) {
    return vo::guard(__func__, [&]() -> int { return usb_read_device_release_number(handle); });
}

VOCAM_API int vo_usb_reload_kps(_vocam *handle) {
    return vo::guard(__func__, [&]() -> int { return usb_reload_rates(handle); });
}

VOCAM_API int usb_load_fpga_contents(std::uint16_t vendor_id, std::uint16_t product_id,
                                     std::uint16_t release, std::uint8_t **buffer,
                                     std::uint32_t *size) {
    return vo::guard(__func__, [&]() -> int {
        return usb_fpga_image(vendor_id, product_id, release, buffer, size);
    });
}

}  // extern "C"
