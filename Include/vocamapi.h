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
