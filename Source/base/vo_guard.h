// The one way an exported call runs its body: no C++ exception may cross the
// C boundary, since a C caller cannot catch it and the process would end.
//
//     VOCAM_API int vocam_something(_vocam *handle) {
//         return vo::guard(__func__, [&]() -> int { ... });
//     }
//
// std::bad_alloc becomes -12; any other exception becomes VOCAM_EINTERNAL, the library's own
// internal-failure code. Either way one line names the call. Calls whose
// result is not a status still never throw: a pointer comes back null, an
// unsigned count 0, a float NaN.
#pragma once

#include <limits>
#include <type_traits>
#include <utility>

namespace vo {

// The status of an exception escaping an exported call's body, after writing
// its one line. Only valid inside a catch handler.
int translate_current_exception(const char *call) noexcept;

template <typename Body>
auto guard(const char *call, Body &&body) noexcept -> decltype(std::forward<Body>(body)()) {
    using Result = decltype(std::forward<Body>(body)());
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        const int code = translate_current_exception(call);
        if constexpr (std::is_void_v<Result>) {
            return;
        } else if constexpr (std::is_pointer_v<Result>) {
            return nullptr;
        } else if constexpr (std::is_floating_point_v<Result>) {
            return std::numeric_limits<Result>::quiet_NaN();
        } else if constexpr (std::is_signed_v<Result>) {
            return static_cast<Result>(code);
        } else {
            return Result{};
        }
    }
}

// For calls whose contract has a failure value other than a status (the
// compatibility calls answer 1 or 0): `failed` is returned instead.
template <typename Body, typename Result>
Result guard(const char *call, Body &&body, Result failed) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        translate_current_exception(call);
        return failed;
    }
}

}  // namespace vo
