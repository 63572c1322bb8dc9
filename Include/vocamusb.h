/* VoCamSDK lower-level calls: raw transfers and register access on an open
 * camera. Most applications need only vocamapi.h. */
#ifndef VOCAMUSB_H
#define VOCAMUSB_H

#include "vocamapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One camera model: its USB product, firmware and FPGA files (patterns below
 * the resource root, formatted with the release number) and its calibration
 * data (tagged records: u32 tag, u32 length, payload; tag 0 ends). */
typedef struct model_table_entry {
    uint16_t product_id;
    uint16_t vendor_id;
    uint16_t release_key; /* 0xFFFF: any release */
    uint16_t subsampling; /* 1 when the model may be subsampled */
    const char *firmware_file;
    const char *fpga_file; /* NULL when the model has no FPGA to load */
    const uint8_t *model_data;
    uint64_t model_data_size;
} model_table_entry;

VOCAM_API extern const model_table_entry camera_ids[];
VOCAM_API extern const uint32_t camera_id_count;

/* Vendor control transfers on the default pipe. Return 0 or a platform code
 * (negative as a signed number); -1 for a missing handle or buffer, or a
 * length of 0, in which case nothing is sent. */
VOCAM_API int32_t vo_usb_control_write(_vocam *handle, uint8_t *data, uint32_t length,
                                       uint8_t request, uint16_t value, uint16_t index);
VOCAM_API int32_t vo_usb_control_read(_vocam *handle, uint8_t *data, uint32_t length,
                                      uint8_t request, uint16_t value, uint16_t index);

/* Bulk transfers. The write returns length on success; the read returns the
 * count received. Both return -1 for bad arguments or a pipe that is not ready,
 * and the platform code when the transfer failed (the read only when no byte
 * arrived). */
VOCAM_API int32_t vo_usb_bulk_write(_vocam *handle, uint8_t pipe, uint8_t *data, uint32_t length);
VOCAM_API int32_t vo_usb_bulk_read(_vocam *handle, uint8_t pipe, uint8_t *data, uint32_t length);

/* Read the device's bus speed (0 low, 1 full, 2 high) and release number
 * (bcdDevice) from the USB stack into the handle, where vocam_get_version and
 * the open sequence find them. 0, or -5 (speed) and -1 (release) with one
 * line when the stack cannot tell. */
VOCAM_API int usb_get_device_speed(_vocam *handle);
VOCAM_API int usb_get_device_release_number(_vocam *handle);

/* Register access: 16-bit addresses (the low 16 bits of reg are sent) of
 * 32-bit little-endian words. */
VOCAM_API int32_t vo_usb_read_vocam_bytes(_vocam *handle, int32_t reg, uint8_t *data, uint32_t length);
VOCAM_API int32_t vo_usb_write_vocam_bytes(_vocam *handle, int32_t reg, uint8_t *data, uint32_t length);
VOCAM_API int32_t vo_usb_read_vocam_array(_vocam *handle, int32_t reg, uint32_t *words, uint32_t count);
VOCAM_API int32_t vo_usb_write_vocam_array(_vocam *handle, int32_t reg, const uint32_t *words, uint32_t count);
VOCAM_API int32_t vo_usb_read_vocam_u32(_vocam *handle, int32_t reg, uint32_t *word);
VOCAM_API int32_t vo_usb_write_vocam_u32(_vocam *handle, int32_t reg, uint32_t word);
VOCAM_API int32_t vo_usb_read_vocam_two_u16(_vocam *handle, int32_t reg, uint16_t *low, uint16_t *high);
VOCAM_API int32_t vo_usb_write_vocam_two_u16(_vocam *handle, int32_t reg, uint16_t low, uint16_t high);

/* The firmware download's two steps, sending a whole image to one controller
 * and one load request to it, are internal: both act on a controller that is
 * held open only for the length of the firmware pass, through a device object
 * of the USB stack that has no C form. vocam_init runs the pass. */

/* Reads a model's FPGA configuration image below the resource root into a
 * buffer the caller frees with free(): 0 or -1. */
VOCAM_API int usb_load_fpga_contents(uint16_t vendor_id, uint16_t product_id, uint16_t release,
                                     uint8_t **buffer, uint32_t *size);

/* Reloads the data-rate list and writes the current rate: 0 or negative. */
VOCAM_API int vo_usb_reload_kps(_vocam *handle);

/* Creates the camera's colour engine, if it has none yet, and loads the
 * model's correction matrices into it: 0, -12, or the model data's failure
 * (the engine then stays, without matrices, and the next call answers 0). */
VOCAM_API int vo_usb_create_votf(_vocam *handle);

#ifdef __cplusplus
}
#endif

#endif /* VOCAMUSB_H */
