// The layout of what vocam_convert_frame_to_rgb writes, so that a caller can
// size its picture before the first conversion. It follows the converter's
// choice of kernel for 24-bit output: only the grey one-pass kernels pad
// their rows (to 4 bytes); every other kernel writes 3 x width bytes a row.
#include <cstdint>
#include <cstring>

#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "transport/vo_usb.h"
#include "vo_cam/entry.h"
#include "vo_cam/vo_cam.h"
#include "votf/layout.h"
#include "votf/votf.h"

namespace {

constexpr std::uint32_t kShortParamsBytes = 12;
constexpr std::uint32_t kFullParamsBytes = sizeof(struct conversion_params);

int refuse(int code, const char *why) {
    vo::logf(vo::LogKind::Error, "error: vocam_get_rgb_frame_size: %s\n", why);
    return code;
}

std::uint32_t le32(const void *p) {
    const auto *b = static_cast<const std::uint8_t *>(p);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

enum class Row { Padded, Packed, None };

// The rows the converter's 24-bit kernel for this frame writes, or None when
// no kernel serves the combination (the conversion then answers -14).
Row rowsFor(bool mono, bool wideSamples, bool deinterlace, std::uint32_t method) {
    // Monochrome frames and method 0 go to the grey kernels: one pass with
    // padded rows, or the two-pass weave with packed ones.
    if (mono || method == 0) return deinterlace ? Row::Packed : Row::Padded;
    switch (method) {
        case 1:
        case 2:
        case 3:
        case 8:
            return Row::Packed;
        case 9:
            // The four-plane kernel is 32-bit only; 24-bit falls back on the
            // 2x2-block kernel, which has no weave for 8-bit samples.
            return wideSamples || !deinterlace ? Row::Packed : Row::None;
        default:
            return Row::None;
    }
}

}  // namespace

extern "C" {

VOCAM_API int vocam_get_rgb_frame_size(_vocam *handle, const void *image_format,
                                       const void *conversion_params, std::uint32_t *stride,
                                       std::size_t *bytes) {
    return vo::api::call(__func__, handle, VOCAM_EINVAL, [&]() -> int {
        if (bytes == nullptr) return refuse(VOCAM_EINVAL, "missing argument");
        vo::FrameLayout l;
        if (image_format == nullptr) {
            _VOCAM_IMAGE_FORMAT current{};
            if (const int r = cam_image_format(handle, &current); r != 0) return r;
            vo::decodeImageFormat(&current, l);
        } else if (!vo::decodeImageFormat(image_format, l)) {
            return refuse(VOCAM_EINVAL, "image format of the wrong size");
        }
        const std::uint32_t width = l.width, height = l.height, pixelFormat = l.pixelFormat;
        const bool deinterlace = l.deinterlace != 0;
        if (pixelFormat > 1) return refuse(VOCAM_EUNSUPPORTED, "pixel format not converted");
        // The frame sizes the converter refuses (-22 there too).
        if (width < 4 || height < 4 || width % 2 != 0 || height % 2 != 0)
            return refuse(VOCAM_EINVAL, "frame size not converted");

        std::uint32_t method = 0;
        if (conversion_params != nullptr) {
            const std::uint32_t size = le32(conversion_params);
            if (size != kShortParamsBytes && size != kFullParamsBytes)
                return refuse(VOCAM_EINVAL, "conversion record of the wrong size");
            method = le32(static_cast<const std::uint8_t *>(conversion_params) + 4);
        } else {
            // Without a record the conversion uses the engine's own method.
            vo::Lock turn(handle->colour.lock);
            if (const int r = vo_create_votf_locked(handle->colour, handle->camera); r != 0)
                return r;
            unsigned m = 0;
            handle->colour.converter->DemosaicMethodGet(&m);
            method = m;
        }
        const Row rows = rowsFor(l.mono(), pixelFormat == 1, deinterlace, method);
        if (rows == Row::None) return refuse(VOCAM_EUNSUPPORTED, "no kernel for this conversion");
        const std::uint64_t packed = 3ull * width;
        const std::uint64_t rowBytes = rows == Row::Padded ? (packed + 3) & ~3ull : packed;
        if (rowBytes > UINT32_MAX || height > SIZE_MAX / rowBytes)
            return refuse(VOCAM_EINVAL, "picture too large");
        if (stride != nullptr) *stride = static_cast<std::uint32_t>(rowBytes);
        *bytes = static_cast<std::size_t>(rowBytes * height);
        return 0;
    });
}

}  // extern "C"
