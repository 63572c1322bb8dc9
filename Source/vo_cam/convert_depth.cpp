// Pictures of a chosen depth: 24-bit as the stream's own conversion gives,
// 32-bit (the same pixels with a fourth byte, as four-byte video formats lay
// them out), or 48-bit (three 16-bit samples a pixel) from a camera's 16-bit
// frames, which a 24-bit picture would cut to their top 8 bits. The second call
// converts a frame that lives outside any stream (read back from a file), so
// it is told the sizes of both buffers and checks them before it reads.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "transport/vo_usb.h"
#include "vo_cam/convert.h"
#include "vo_cam/entry.h"
#include "vo_cam/vo_cam.h"
#include "votf/layout.h"
#include "votf/votf.h"

namespace {

int refuse(const char *call, int code, const char *why) {
    vo::logf(vo::LogKind::Error, "error: %s: %s\n", call, why);
    return code;
}

// The records a conversion reads, checked before anything touches the
// pixels: the frame's bytes and the picture's bytes for `bits`.
struct Layout {
    vo::FrameLayout frame;  // the image format, decoded
    std::size_t frameBytes = 0, pictureBytes = 0;
};

int layoutOf(const char *call, const void *imageFormat, const void *params, std::uint32_t bits,
             Layout &out) {
    if (imageFormat == nullptr) return refuse(call, VOCAM_EINVAL, "missing image format");
    vo::FrameLayout &l = out.frame;
    if (!vo::decodeImageFormat(imageFormat, l))
        return refuse(call, VOCAM_EINVAL, "image format of the wrong size");
    const std::uint64_t width = l.width, height = l.height, pixelFormat = l.pixelFormat;
    if (pixelFormat > 1) return refuse(call, VOCAM_EUNSUPPORTED, "pixel format not converted");
    if (bits == 48 && pixelFormat != 1)
        return refuse(call, VOCAM_EUNSUPPORTED, "48-bit pictures need 16-bit samples");
    if (width < 4 || height < 4 || width % 2 != 0 || height % 2 != 0)
        return refuse(call, VOCAM_EINVAL, "frame size not converted");
    if (params != nullptr) {
        std::uint32_t size = 0;
        std::memcpy(&size, params, sizeof size);
        if (size != kConversionParamsShort && size != kConversionParamsFull)
            return refuse(call, VOCAM_EINVAL, "conversion record of the wrong size");
    }
    out.frameBytes = static_cast<std::size_t>(width * height * (pixelFormat == 1 ? 2 : 1));
    if (bits == 48 || bits == 32) {
        // Rows of whole pixels, never padded.
        out.pictureBytes = static_cast<std::size_t>(bits / 8 * width * height);
        return 0;
    }
    // The 24-bit layout vocam_get_rgb_frame_size describes: only grey
    // pictures not woven from two fields pad their rows.
    // Without a record the engine's own method decides; asking for the
    // padded rows of method 0 then covers whichever it is.
    conversion_params method{};
    method.size = kConversionParamsShort;
    if (params != nullptr) std::memcpy(&method, params, kConversionParamsShort);
    const bool mono = l.mono();
    const bool deinterlace = l.deinterlace != 0;
    const bool padded = !deinterlace && (mono || method.demosaicMethod == 0);
    const std::uint64_t stride = padded ? (3 * width + 3) & ~std::uint64_t{3} : 3 * width;
    out.pictureBytes = static_cast<std::size_t>(stride * height);
    return 0;
}

// The frame an image format describes must be the ring buffer's: a format
// kept from before a change of window, or one claiming 16-bit samples of an
// 8-bit frame, would have the conversion read past the buffer. Frames the
// engine refuses anyway (none described, a pixel format it does not convert)
// are left to it.
int checkRingFrame(const char *call, const vo::FrameLayout *layout, std::uint32_t ringBytes) {
    if (layout == nullptr || layout->pixelFormat > 1) return 0;
    const std::uint64_t bytes = layout->frameBytes();
    if (bytes == ringBytes) return 0;
    vo::logf(vo::LogKind::Error,
             "error: %s: the image format's frame (%llu bytes) is not the ring buffer's (%u "
             "bytes)\n",
             call, static_cast<unsigned long long>(bytes), ringBytes);
    return VOCAM_EINVAL;
}

}  // namespace

int vo_convert_stream_frame(const char *call, vo::Stream &stream, vo::ColourPart &colour,
                            const vo::CameraState &camera, std::uint8_t *dst,
                            const std::uint8_t *src, const vo::FrameLayout *layout,
                            const void *conversion_params, std::uint32_t bits) {
    // Frames exist only while the stream runs; a ring buffer being converted
    // is neither refilled nor freed until the conversion ends.
    FramePin pin(stream, src);
    if (!pin) return VOCAM_EINVAL;
    if (pin.ring())
        if (const int r = checkRingFrame(call, layout, pin.bytes()); r != 0) return r;
    vo::Lock turn(colour.lock);
    if (const int r = vo_create_votf_locked(colour, camera); r != 0) return r;
    return colour.converter->ConvertToRgb(dst, src, bits, layout, conversion_params);
}

extern "C" {

VOCAM_API int vocam_convert_frame_to_rgb_bits(_vocam *handle, std::uint8_t *dst,
                                              const std::uint8_t *src, const void *image_format,
                                              const void *conversion_params, std::uint32_t bits) {
    constexpr const char *kCall = "vocam_convert_frame_to_rgb_bits";
    return vo::api::call(kCall, handle, VOCAM_EINVAL, [&]() -> int {
        if (dst == nullptr || src == nullptr) return VOCAM_EINVAL;
        if (bits != 24 && bits != 32 && bits != 48)
            return refuse(kCall, VOCAM_EINVAL, "bits must be 24, 32 or 48");
        Layout layout;
        if (const int r = layoutOf(kCall, image_format, conversion_params, bits, layout); r != 0)
            return r;
        return vo_convert_stream_frame(kCall, handle->stream, handle->colour, handle->camera, dst,
                                       src, &layout.frame, conversion_params, bits);
    });
}

VOCAM_API int vocam_convert_raw_to_rgb(std::uint8_t *dst, std::size_t dst_bytes,
                                       const std::uint8_t *src, std::size_t src_bytes,
                                       const void *image_format, const void *conversion_params,
                                       std::uint32_t bits, std::uint32_t threads) {
    constexpr const char *kCall = "vocam_convert_raw_to_rgb";
    return vo::guard(kCall, [&]() -> int {
        if (dst == nullptr || src == nullptr) return VOCAM_EINVAL;
        if (bits != 24 && bits != 32 && bits != 48)
            return refuse(kCall, VOCAM_EINVAL, "bits must be 24, 32 or 48");
        Layout layout;
        if (const int r = layoutOf(kCall, image_format, conversion_params, bits, layout); r != 0)
            return r;
        if (src_bytes < layout.frameBytes)
            return refuse(kCall, VOCAM_EINVAL, "the frame is shorter than its image format");
        if (dst_bytes < layout.pictureBytes)
            return refuse(kCall, VOCAM_EINVAL, "the picture buffer is too small");
        auto engine = std::make_unique<CVotf>();
        if (const int r = engine->SetConversionThreads(threads); r != 0) return r;
        return engine->ConvertToRgb(dst, src, bits, &layout.frame, conversion_params);
    });
}

}  // extern "C"
