// The exported stream calls: each is the way in (vo_cam/entry.h) over the
// stream's own function (transport/vo_usb/stream.cpp). A call that changes
// the stream's life is refused with -1 once a close has begun, a wait with
// -96: for either the stream is over.
#include "transport/vo_usb.h"
#include "vo_cam/entry.h"
#include "vo_cam/vo_cam.h"
#include "vocamapi.h"

extern "C" {

VOCAM_API int vocam_enable_streaming(_vocam *h) {
    return vo::api::call(__func__, h, VOCAM_EINVAL, VOCAM_EFAIL,
                         [&] { return h->stream.enable(); });
}

VOCAM_API int vocam_disable_streaming(_vocam *h) {
    return vo::api::call(__func__, h, VOCAM_EINVAL, VOCAM_EFAIL,
                         [&] { return h->stream.disable(); });
}

VOCAM_API int vocam_start_streaming(_vocam *h) {
    return vo::api::call(__func__, h, VOCAM_EINVAL, VOCAM_EFAIL, [&] { return h->stream.start(); });
}

VOCAM_API int vocam_stop_streaming(_vocam *h) {
    return vo::api::call(__func__, h, VOCAM_EINVAL, VOCAM_EFAIL, [&] { return h->stream.stop(); });
}

VOCAM_API int vocam_wait_for_capture_to_buffer(_vocam *h) {
    return vo::api::call(__func__, h, VOCAM_EINVAL, VOCAM_ENODATA,
                         [&] { return h->stream.wait(); });
}

VOCAM_API int vocam_wait_for_capture_to_buffer_timeout(_vocam *h, std::uint32_t milliseconds) {
    return vo::api::call(__func__, h, VOCAM_EINVAL, VOCAM_ENODATA,
                         [&] { return h->stream.waitFor(milliseconds); });
}

VOCAM_API int vocam_release_buffer(_vocam *h, std::int32_t index) {
    return vo::api::call(__func__, h, VOCAM_EINVAL, [&] { return h->stream.release(index); });
}

VOCAM_API int vocam_get_buffer_count(_vocam *) {
    return vo::kRingSize;
}

VOCAM_API std::uint8_t *vocam_get_buffer_address(_vocam *h, std::int32_t index) {
    return vo::api::call(__func__, h, nullptr, [&] { return h->stream.bufferAddress(index); });
}

VOCAM_API int vocam_get_buffer_status(_vocam *, std::int32_t) {
    return VOCAM_ENOTIMPL;
}

VOCAM_API int vocam_get_buffer_acquired_size(_vocam *, std::int32_t) {
    return VOCAM_ENOTIMPL;
}

VOCAM_API std::uint32_t vocam_get_video_frame_size(_vocam *h) {
    return vo::api::call(__func__, h, 0, [&] { return h->stream.frameBytes(); });
}

VOCAM_API int vocam_get_buffer_info(_vocam *h, std::int32_t index, vocam_frame_info *info) {
    return vo::api::call(__func__, h, VOCAM_EINVAL,
                         [&] { return h->stream.bufferInfo(index, info); });
}

VOCAM_API int vocam_get_stream_stats(_vocam *h, vocam_stream_stats *stats) {
    return vo::api::call(__func__, h, VOCAM_EINVAL, [&] { return h->stream.stats(stats); });
}

}  // extern "C"
