// The way into an exported call on a camera handle, in one place: the entry
// guard (no C++ exception crosses the C boundary: base/vo_guard.h) and the
// caller's admission (a close waits for the call to leave, and a call that
// arrives once the close has begun gets `refused`, as a null handle does).
//
//     VOCAM_API int vocam_something(_vocam *handle, ...) {
//         return vo::api::call(__func__, handle, -22, [&]() -> int { ... });
//     }
#pragma once

#include <utility>

#include "base/vo_guard.h"
#include "transport/vo_usb.h"
#include "vo_cam/vo_cam.h"

namespace vo::api {

template <class Result, class Body>
Result call(const char *name, _vocam *handle, Result refused, Body &&body) noexcept {
    return guard(name, [&]() -> Result {
        return usb_handle_call(handle, refused, std::forward<Body>(body));
    });
}

}  // namespace vo::api
