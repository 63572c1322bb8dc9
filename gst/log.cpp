#include "log.h"

#include <mutex>

#include "vocamapi.h"

namespace vocam::gst {

GST_DEBUG_CATEGORY(vocam_library_debug);

namespace {

std::mutex lastLock;
std::string lastError;
std::uint64_t errors = 0;

// The library calls this from whichever thread wrote the line, never two at
// a time.
void handler(int kind, const char *line, void *) {
    std::string text = line != nullptr ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    switch (kind) {
        case VOCAM_LOG_ERROR: {
            GST_CAT_WARNING(vocam_library_debug, "%s", text.c_str());
            std::lock_guard lock(lastLock);
            lastError = text;
            ++errors;
            break;
        }
        case VOCAM_LOG_INFO:
            GST_CAT_INFO(vocam_library_debug, "%s", text.c_str());
            break;
        default:
            GST_CAT_LOG(vocam_library_debug, "%s", text.c_str());
            break;
    }
}

}  // namespace

void routeLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { vocam_set_log_handler(handler, nullptr); });
}

std::uint64_t libraryErrorCount() {
    std::lock_guard lock(lastLock);
    return errors;
}

std::string libraryErrorSince(std::uint64_t count) {
    std::lock_guard lock(lastLock);
    return errors > count ? lastError : std::string();
}

}  // namespace vocam::gst
