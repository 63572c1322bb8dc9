#include "base/vo_guard.h"

#include <exception>
#include <new>

#include "base/vo_log.h"
#include "vocamapi.h"

namespace vo {

int translate_current_exception(const char *call) noexcept {
    // Formatting here must not allocate: memory may be what ran out.
    try {
        throw;
    } catch (const std::bad_alloc &) {
        logf(LogKind::Error, "error: %s: out of memory\n", call);
        return VOCAM_ENOMEM;
    } catch (const std::exception &e) {
        logf(LogKind::Error, "error: %s: internal failure: %s\n", call, e.what());
    } catch (...) {
        logf(LogKind::Error, "error: %s: internal failure\n", call);
    }
    return VOCAM_EINTERNAL;
}

}  // namespace vo
