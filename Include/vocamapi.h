/* VoCamSDK: cameras built around an FX2 USB controller and an FPGA.
 *
 * Flat C interface. Every call returns a signed status: 0 (or a count, index
 * or slot) on success, a negative errno-style number or a negative platform
 * code on failure. Failures also write one line to standard error.
 */
#ifndef VOCAMAPI_H
#define VOCAMAPI_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VOCAM_API __attribute__((visibility("default")))
#else
#define VOCAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One opened camera. Allocated by the open calls, freed by vocam_camera_close. */
typedef struct _vocam _vocam;

/* Identity of a camera: filled by vocam_get_version and by enumeration, and
 * taken as the request of vocam_camera_open. */
typedef struct vocam_version {
    uint32_t zero;             /* always 0 */
    uint32_t product_id;       /* USB idProduct */
    uint32_t serial_number;    /* 0 in an open request means "any" */
    uint32_t release_number;   /* USB bcdDevice */
    uint32_t firmware_version; /* firmware in the low 16 bits, FPGA in the high 16 */
    uint32_t high_speed;       /* 1 when the camera runs at USB high speed */
} vocam_version;

/* Folder below which firmware and FPGA images are looked up. */
VOCAM_API extern char *RESOURCE_FILE_ROOT;

/* Brings every attached camera up once per process: FX2 firmware, then FPGA
 * configuration. `resource_root` (NULL: the installed data folder) replaces
 * the resource root on every call. */
VOCAM_API int vocam_init(const char *resource_root);

/* Lists the attached cameras. *count is the capacity of records on entry and
 * the number of cameras found on return (also beyond the capacity). */
VOCAM_API int vocam_enum_cameras(vocam_version *records, uint32_t *count);

/* Opens the camera of product wanted->product_id and serial
 * wanted->serial_number (0: any). A result of 0 with *handle_out NULL means
 * that no such camera is attached. */
VOCAM_API int vocam_camera_open(_vocam **handle_out, vocam_version *wanted);
VOCAM_API int vocam_camera_open_by_pid(_vocam **handle_out, uint32_t product_id);
/* Opens the first camera found; -1 when there is none. */
VOCAM_API int vocam_camera_open_any(_vocam **handle_out);
/* Closes and frees the camera; *handle_ref becomes NULL. Always 0. */
VOCAM_API int vocam_camera_close(_vocam **handle_ref);

/* 1 when the camera's model may be subsampled. */
VOCAM_API int vocam_supports_subsampling(_vocam *handle);

/* Fills the six words from the handle; always 0. */
VOCAM_API int vocam_get_version(_vocam *handle, vocam_version *out);

/* Copies the USB product name; -22 when dst cannot hold it and its terminator. */
VOCAM_API int vocam_get_model_name(_vocam *handle, char *dst, int dst_size);

/* 1 for a Bayer colour sensor, 0 for monochrome. */
VOCAM_API int vocam_is_color(_vocam *handle);

#ifdef __cplusplus
}
#endif

#endif /* VOCAMAPI_H */
