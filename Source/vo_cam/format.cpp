// Camera API: the sensor window, the layout of delivered frames, data rates
// and notification slots.
#include <cstdio>
#include <mutex>

#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "device/wire.h"
#include "transport/vo_usb.h"
#include "vo_cam/convert.h"
#include "vo_cam/entry.h"
#include "vo_cam/vo_cam.h"
#include "votf/votf.h"

namespace {

namespace wire = vocam::wire;

int writeFailed(const wire::Register &reg, int status) {
    vo::logf(vo::LogKind::Error, "error: unable to write param '%s'\n", reg.name);
    return status;
}

// Layout flags of a colour id; false for ids with no known layout.
bool layoutFlags(std::uint32_t color_id, std::uint32_t &flags) {
    switch (color_id) {
        case 0:
        case 5:
        case 6:
            flags = VOCAM_LAYOUT_MONO;
            return true;
        case 8:
        case 12:
        case 19:
        case 23:
            flags = 0;
            return true;
        case 9:
        case 13:
        case 18:
        case 22:
            flags = VOCAM_LAYOUT_GREEN_FIRST;
            return true;
        case 10:
        case 14:
        case 17:
        case 21:
            flags = VOCAM_LAYOUT_GREEN_FIRST | VOCAM_LAYOUT_BLUE_ROW;
            return true;
        case 11:
        case 15:
        case 16:
        case 20:
            flags = VOCAM_LAYOUT_BLUE_ROW;
            return true;
        // 16-bit variants, stored low byte first.
        case 24:
        case 31:
            flags = VOCAM_LAYOUT_LSB_FIRST;
            return true;
        case 25:
        case 30:
            flags = VOCAM_LAYOUT_LSB_FIRST | VOCAM_LAYOUT_GREEN_FIRST;
            return true;
        case 26:
        case 29:
            flags = VOCAM_LAYOUT_LSB_FIRST | VOCAM_LAYOUT_GREEN_FIRST | VOCAM_LAYOUT_BLUE_ROW;
            return true;
        case 27:
        case 28:
            flags = VOCAM_LAYOUT_LSB_FIRST | VOCAM_LAYOUT_BLUE_ROW;
            return true;
        default:
            return false;
    }
}

// The window must lie on the sensor and subsampling must leave pixels and
// stay within what the camera offers: anything else would have the camera
// send frames of a size nobody allocated, or empty ones. -22 with one line,
// or 0.
int checkWindow(const vo::UsbCamera *handle, const _vocam_frame_format &in) {
    const std::uint64_t right = std::uint64_t{in.xOffset} + in.width;
    const std::uint64_t bottom = std::uint64_t{in.yOffset} + in.height;
    if (right > handle->camera.max_width || bottom > handle->camera.max_height) {
        vo::logf(vo::LogKind::Error, "error: window %ux%u at %u,%u lies outside the %ux%u sensor\n",
                 in.width, in.height, in.xOffset, in.yOffset, handle->camera.max_width,
                 handle->camera.max_height);
        return VOCAM_EINVAL;
    }
    const unsigned most = handle->camera.max_subsample > 1 ? handle->camera.max_subsample : 1;
    if (in.subSampleX > most || in.subSampleY > most) {
        vo::logf(vo::LogKind::Error, "error: subsampling %ux%u is above the camera's maximum %u\n",
                 in.subSampleX, in.subSampleY, most);
        return VOCAM_EINVAL;
    }
    if (in.width / in.subSampleX == 0 || in.height / in.subSampleY == 0) {
        vo::logf(vo::LogKind::Error, "error: window %ux%u subsampled %ux%u leaves no pixels\n",
                 in.width, in.height, in.subSampleX, in.subSampleY);
        return VOCAM_EINVAL;
    }
    return 0;
}

}  // namespace

void cam_read_format(vo::UsbCamera *handle, _vocam_frame_format *out) {
    {
        vo::Lock lock(handle->stream.lock);
        out->subSampleX = handle->camera.subsample_x;
        out->subSampleY = handle->camera.subsample_y;
        out->width = static_cast<std::uint32_t>(handle->camera.width) * handle->camera.subsample_x;
        out->height =
            static_cast<std::uint32_t>(handle->camera.height) * handle->camera.subsample_y;
        out->xOffset = handle->camera.x_offset;
        out->yOffset = handle->camera.y_offset;
    }
    out->pixelFormat = 0;
    out->reservedX = 0;
    out->reservedY = 0;
}

int cam_write_format(vo::UsbCamera *handle, const _vocam_frame_format *format) {
    {
        // Written under the stream's control lock (the caller's) and its data
        // lock, so readers holding either see the whole window.
        vo::Lock lock(handle->stream.lock);
        handle->camera.subsample_x = format->subSampleX;
        handle->camera.subsample_y = format->subSampleY;
        handle->camera.width = static_cast<std::uint16_t>(format->width / format->subSampleX);
        handle->camera.height = static_cast<std::uint16_t>(format->height / format->subSampleY);
        handle->camera.x_offset = static_cast<std::uint16_t>(format->xOffset);
        handle->camera.y_offset = static_cast<std::uint16_t>(format->yOffset);
    }
    vo::logf(vo::LogKind::Info, "%s: subsample=%ux%d, size=%ux%d, position=%ux%d\n",
             "cam_write_format", handle->camera.subsample_x, handle->camera.subsample_y,
             handle->camera.width, handle->camera.height, handle->camera.x_offset,
             handle->camera.y_offset);
    int r =
        usb_write_two_u16(handle, wire::kSize.address, static_cast<std::uint16_t>(format->width),
                          static_cast<std::uint16_t>(format->height));
    if (r != 0) return writeFailed(wire::kSize, r);
    r = usb_write_two_u16(handle, wire::kPosition.address, handle->camera.x_offset,
                          handle->camera.y_offset);
    if (r != 0) return writeFailed(wire::kPosition, r);
    r = usb_write_two_u16(handle, wire::kSubsampling.address, format->subSampleX,
                          format->subSampleY);
    if (r != 0) return writeFailed(wire::kSubsampling, r);
    return 0;
}

int cam_image_format(vo::UsbCamera *handle, _VOCAM_IMAGE_FORMAT *out) {
    if (out == nullptr) return VOCAM_EINVAL;
    out->Size = sizeof(_VOCAM_IMAGE_FORMAT);
    {
        vo::Lock lock(handle->stream.lock);
        out->Width = handle->camera.width;
        out->Height = handle->camera.height;
    }
    out->PixelFormat = handle->camera.pixel_format;
    const std::uint32_t bytesPerPixel = handle->camera.pixel_format == 1   ? 2
                                        : handle->camera.pixel_format == 2 ? 3
                                                                           : 1;
    out->ImageSize = out->Width * out->Height * bytesPerPixel;
    std::uint32_t flags = 0;
    if (!layoutFlags(handle->camera.color_id, flags)) return VOCAM_EFAIL;
    out->VocamReserved[0] = flags;
    out->VocamReserved[4] = 0;
    return 0;
}

extern "C" {

VOCAM_API int vocam_get_video_format(_vocam *handle, _vocam_frame_format *out) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&]() -> int {
        if (out == nullptr) return VOCAM_EINVAL;
        cam_read_format(handle, out);
        vo::logf(vo::LogKind::Info, "%s: subsample=%ux%d, size=%ux%d, position=%ux%d\n",
                 "vocam_get_video_format", out->subSampleX, out->subSampleY, out->width,
                 out->height, out->xOffset, out->yOffset);
        return 0;
    });
}

VOCAM_API int vocam_set_video_format(_vocam *handle, const _vocam_frame_format *in) {
    // Refused with -1 once a close has begun, as every call that changes
    // the stream's life is.
    return vo::api::call(__func__, handle, VOCAM_EINVAL, VOCAM_EFAIL, [&]() -> int {
        if (in == nullptr) return VOCAM_EINVAL;
        if ((in->subSampleX & 0xFF) == 0 || (in->subSampleY & 0xFF) == 0 || in->width == 0 ||
            in->height == 0)
            return VOCAM_EINVAL;
        const bool subsampled = in->subSampleX > 1 || in->subSampleY > 1;
        if (subsampled &&
            (handle->camera.model == nullptr || handle->camera.model->subsampling == 0))
            return VOCAM_EINVAL;
        if (const int r = checkWindow(handle, *in); r != 0) return r;
        // Held across the change, so no enable reads half a window, and no
        // stream starts with frames of a size its ring was not allocated for.
        if (!handle->stream.enterControl()) return VOCAM_EFAIL;
        vo::Lock control(handle->stream.control, std::adopt_lock);
        {
            vo::Lock lock(handle->stream.lock);
            if (handle->stream.active()) {
                vo::logs(vo::LogKind::Error,
                         "error: unable to change the video format while the stream is running\n");
                return VOCAM_EFAIL;
            }
        }
        if (const int r = cam_write_format(handle, in); r != 0) return r;
        return usb_reload_rates(handle);
    });
}

VOCAM_API int vocam_get_image_format(_vocam *handle, _VOCAM_IMAGE_FORMAT *out) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL,
                         [&] { return cam_image_format(handle, out); });
}

VOCAM_API int vocam_count_available_data_rates(_vocam *handle) {
    return vo::api::call(__func__, handle, 0,
                         [&]() -> int { return handle->camera.data_rate_count; });
}

VOCAM_API int vocam_enum_available_data_rates(_vocam *handle, std::uint32_t *rates, int capacity) {
    return vo::api::call(__func__, handle, 0, [&]() -> int {
        if (capacity <= 0 || rates == nullptr) return 0;
        // The list is replaced by a format change, under the control lock.
        vo::Lock control(handle->stream.control);
        const int n =
            capacity < handle->camera.data_rate_count ? capacity : handle->camera.data_rate_count;
        for (int i = 0; i < n; ++i) rates[i] = handle->camera.data_rates[i];
        return n;
    });
}

VOCAM_API int vocam_set_data_rate(_vocam *handle, std::uint32_t rate) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        const int r = usb_write_u32(handle, wire::kRate.address, rate);
        if (r != 0) return writeFailed(wire::kRate, r);
        // A stream waits for frames as long as their readout takes.
        handle->stream.reportRate(rate);
        return 0;
    });
}

VOCAM_API int vocam_get_data_rate(_vocam *handle, std::uint32_t *rate) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&]() -> int {
        if (rate == nullptr) return VOCAM_EINVAL;
        const int r = usb_read_u32(handle, wire::kRate.address, rate);
        if (r != 0)
            vo::logf(vo::LogKind::Error, "error: unable to read param '%s'\n", wire::kRate.name);
        else
            handle->stream.reportRate(*rate);
        return r;
    });
}

VOCAM_API int vocam_convert_frame_to_rgb(_vocam *handle, std::uint8_t *dst, const std::uint8_t *src,
                                         const void *image_format, const void *conversion_params) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&]() -> int {
        if (dst == nullptr || src == nullptr) return VOCAM_EINVAL;
        // Without a record the engine refuses: it knows no frame size of its own.
        vo::FrameLayout layout;
        if (image_format != nullptr && !vo::decodeImageFormat(image_format, layout))
            return VOCAM_EINVAL;
        return vo_convert_stream_frame(
            "vocam_convert_frame_to_rgb", handle->stream, handle->colour, handle->camera, dst, src,
            image_format != nullptr ? &layout : nullptr, conversion_params, 24);
    });
}

VOCAM_API int vocam_set_conversion_threads(_vocam *handle, std::uint32_t threads) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&] {
        vo::Lock turn(handle->colour.lock);
        if (const int r = vo_create_votf_locked(handle->colour, handle->camera); r != 0) return r;
        return handle->colour.converter->SetConversionThreads(threads);
    });
}

VOCAM_API int vocam_enable_callback_notification(_vocam *handle, std::uint32_t type,
                                                 vocam_callback callback, void *context) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&]() -> int {
        // Type 0 marks a free slot, so it could never be found again.
        if (type == 0) return VOCAM_EINVAL;
        vo::Lock lock(handle->stream.lock);
        for (int slot = 0; slot < 4; ++slot) {
            auto &s = handle->callbacks[slot];
            if (s.type != 0) continue;
            s.callback = callback;
            s.context = context;
            s.type = type;
            return slot;
        }
        return VOCAM_ENOSLOT;
    });
}

VOCAM_API int vocam_disable_callback_notification(_vocam *handle, int slot) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&]() -> int {
        vo::Lock lock(handle->stream.lock);
        if (slot < 0 || slot > 3 || handle->callbacks[slot].type == 0) {
            vo::logf(vo::LogKind::Error,
                     "error: invalid callback ID '%d' when disabling callback\n", slot);
            return VOCAM_EINVAL;
        }
        handle->callbacks[slot] = {};
        return 0;
    });
}

}  // extern "C"
