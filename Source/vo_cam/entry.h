// The way into an exported call on a camera handle, in one place: the entry
// guard (no C++ exception crosses the C boundary: base/vo_guard.h) and the
// caller's admission (a close waits for the call to leave, and a call that
// arrives once the close has begun is refused, as a null handle is).
//
//     VOCAM_API int vocam_something(_vocam *handle, ...) {
//         return vo::api::call(__func__, handle, VOCAM_EINVAL, [&]() -> int { ... });
//     }
//
// The result's type is the body's; the refusal is converted to it, so a call
// answering a pointer or a count is refused with null or 0. Only exported
// calls enter here: the library's own code calls the internal functions the
// bodies call, on a caller already admitted.
#pragma once

#include <type_traits>
#include <utility>

#include "base/vo_guard.h"
#include "transport/vo_usb.h"
#include "vo_cam/vo_cam.h"

namespace vo::api {

// One refusal for a null handle and for a handle being closed.
template <class Body, class Result = std::invoke_result_t<Body &>>
Result call(const char *name, _vocam *handle, std::type_identity_t<Result> refused,
            Body &&body) noexcept {
    return guard(name, [&]() -> Result { return usb_handle_call(handle, refused, body); });
}

// A call whose answer to a handle being closed differs from its answer to a
// null handle (a stream call: the stream is over).
template <class Body, class Result = std::invoke_result_t<Body &>>
Result call(const char *name, _vocam *handle, std::type_identity_t<Result> null_handle,
            std::type_identity_t<Result> closing, Body &&body) noexcept {
    return guard(name, [&]() -> Result {
        if (handle == nullptr) return null_handle;
        return usb_handle_call(handle, closing, body);
    });
}

// The compatibility calls' contract: 1 or 0, also for an exception.
template <class Body>
int compat(const char *name, _vocam *handle, Body &&body) noexcept {
    return guard(
        name, [&]() -> int { return usb_handle_call(handle, 0, body); }, 0);
}

}  // namespace vo::api
