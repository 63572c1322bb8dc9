// The exported auto calls: each is the way in (vo_cam/entry.h) over the
// algorithm it names (vo_cam/auto.h), which the auto algorithms define.
#include "vo_cam/auto.h"

#include "vo_cam/entry.h"
#include "vo_cam/properties.h"
#include "vo_cam/vo_cam.h"
#include "vocamapi.h"

using namespace vocam::autoalg;

int Camera::propertyRange(std::uint32_t id, int *min, int *max, int *value, std::uint32_t *flags) {
    return cam_property_get_range(&handle_, id, min, max, value, flags);
}

int Camera::setProperty(std::uint32_t id, int value, std::uint32_t flags) {
    return cam_property_set(&handle_, id, value, flags);
}

int Camera::unitProperty(std::uint32_t id, float *value, std::uint32_t *flags) {
    return cam_float_property_get(&handle_, id, value, flags);
}

int Camera::setUnitProperty(std::uint32_t id, float value, int flags) {
    return cam_float_property_set(&handle_, id, value, flags);
}

int Camera::unitPropertyRange(std::uint32_t id, float *min, float *max, float *value,
                              std::uint32_t *flags) {
    return cam_float_property_range(&handle_, id, min, max, value, flags);
}

int Camera::adjustWhiteBalance(double red, double green, double blue) {
    return cam_adjust_white_balance(handle_.colour, handle_.camera, red, green, blue);
}

vo::UsbCamera &Camera::transport() {
    return handle_;
}

vo::AutoPart &Camera::own() {
    return handle_.algorithms;
}

extern "C" {

VOCAM_API int vocam_whitebalance_step_ex(_vocam *handle, const std::uint8_t *frame, int x, int y,
                                         int width, int height, float target_red_ratio,
                                         float target_blue_ratio) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return whitebalance_step(Camera(*handle), frame, x, y, width, height, target_red_ratio,
                                 target_blue_ratio);
    });
}

VOCAM_API int vocam_whitebalance_step(_vocam *handle, const std::uint8_t *frame, int x, int y,
                                      int width, int height) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return whitebalance_step(Camera(*handle), frame, x, y, width, height, 1.0f, 1.0f);
    });
}

VOCAM_API int vocam_oneshot_autowhitebalance_ex(_vocam *handle, const std::uint8_t *frame, int x,
                                                int y, int width, int height,
                                                float target_red_ratio, float target_blue_ratio) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return oneshot_whitebalance(Camera(*handle), frame, x, y, width, height, target_red_ratio,
                                    target_blue_ratio);
    });
}

VOCAM_API int vocam_oneshot_autowhitebalance(_vocam *handle, const std::uint8_t *frame, int x,
                                             int y, int width, int height) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return oneshot_whitebalance(Camera(*handle), frame, x, y, width, height, 1.0f, 1.0f);
    });
}

VOCAM_API int AdjustWhiteBalanceForRGBvalues(_vocam *handle, double red, double green,
                                             double blue) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return cam_adjust_white_balance(handle->colour, handle->camera, red, green, blue);
    });
}

VOCAM_API int vocam_digital_whitebalance_ex(_vocam *handle, const std::uint8_t *frame, int x, int y,
                                            int width, int height, float target_red_ratio,
                                            float target_blue_ratio) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return digital_whitebalance(Camera(*handle), frame, x, y, width, height, target_red_ratio,
                                    target_blue_ratio);
    });
}

VOCAM_API int vocam_digital_whitebalance(_vocam *handle, const std::uint8_t *frame, int x, int y,
                                         int width, int height) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return digital_whitebalance(Camera(*handle), frame, x, y, width, height, 1.0f, 1.0f);
    });
}

VOCAM_API int vocam_oneshot_autoexposure(_vocam *handle, std::uint32_t target,
                                         const std::uint8_t *frame, int x, int y, int width,
                                         int height, double /*ignored*/) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return oneshot(Control::Exposure, Camera(*handle), target, frame, x, y, width, height);
    });
}

VOCAM_API int vocam_oneshot_autogain(_vocam *handle, std::uint32_t target,
                                     const std::uint8_t *frame, int x, int y, int width,
                                     int height) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return oneshot(Control::Gain, Camera(*handle), target, frame, x, y, width, height);
    });
}

VOCAM_API int vocam_oneshot_autoiris(_vocam *handle, std::uint32_t target,
                                     const std::uint8_t *frame, int x, int y, int width,
                                     int height) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        return oneshot(Control::Iris, Camera(*handle), target, frame, x, y, width, height);
    });
}

VOCAM_API int vocam_autofocus_start(_vocam *handle, int x, int y, int width, int height) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL,
                         [&] { return autofocus_start(Camera(*handle), x, y, width, height); });
}

VOCAM_API int vocam_autofocus_process(_vocam *handle, const std::uint8_t *frame) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL,
                         [&] { return autofocus_process(Camera(*handle), frame); });
}

VOCAM_API int fill_FrameDesc(_vocam *handle, int /*ignored*/, _FrameDesc *fd, int x, int y,
                             int width, int height, int border) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL,
                         [&] { return describe_region(handle, fd, x, y, width, height, border); });
}

VOCAM_API int BayerOrMonoComputeSums(const _FrameDesc *fd, const std::uint8_t *frame,
                                     std::uint32_t /*ignored*/, std::uint32_t sums[4]) {
    return vo::guard(__func__, [&] { return cell_sums(fd, frame, sums); });
}

VOCAM_API double vocam_autofocus_calculation(const _FrameDesc *fd, const std::uint8_t *frame) {
    return vo::guard(__func__, [&] { return sharpness(fd, frame); });
}

}  // extern "C"
