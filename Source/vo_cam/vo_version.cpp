#include <cstdint>

#include "base/vo_guard.h"
#include "vocamapi.h"

extern "C" VOCAM_API std::uint32_t vocam_library_version(void) {
    // The library's own copy of the macros, fixed when it was built.
    return vo::guard(__func__, []() -> std::uint32_t { return VOCAM_VERSION; });
}
