// Camera API: identity queries on an open handle.
#include "vo_cam.h"

#include <cstdio>
#include <cstring>

extern "C" {

VOCAM_API int vocam_get_version(_vocam *handle, vocam_version *out) {
    // A null record is refused silently, as every argument check of the API is.
    if (handle == nullptr || out == nullptr) return 0;
    out->zero = 0;
    out->product_id = handle->product_id;
    out->serial_number = handle->serial_number;
    out->release_number = handle->release_number;
    out->firmware_version = handle->firmware_version;
    out->high_speed = handle->device_speed == vocam::usbhost::kSpeedHigh ? 1 : 0;
    return 0;
}

VOCAM_API int vocam_get_model_name(_vocam *handle, char *dst, int dst_size) {
    if (handle == nullptr || dst == nullptr) return -22;
    const size_t length = strnlen(handle->model_name, sizeof handle->model_name - 1);
    if (dst_size < 0 || static_cast<size_t>(dst_size) < length + 1) {
        fputs("error: provided string is too small for model name", stderr);
        return -22;
    }
    memcpy(dst, handle->model_name, length);
    dst[length] = '\0';
    return 0;
}

VOCAM_API int vocam_is_color(_vocam *handle) { return handle != nullptr ? handle->is_color : 0; }

}  // extern "C"
