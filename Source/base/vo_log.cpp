#include "base/vo_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace vo {
namespace {

// Held while the handler runs: calls to it never overlap, so a handler needs
// no locking of its own, and once vocam_set_log_handler has returned no
// thread is still inside the handler it replaced (its context may be freed).
std::mutex handler_lock;
vocam_log_handler handler = nullptr;
void *handler_context = nullptr;

// A handler that calls back into the library must not wait for the lock it
// already holds; its own lines go to the default stream instead.
thread_local bool inside_handler = false;

void writeDefault(LogKind kind, const char *text, std::size_t length) {
    // One fwrite per line: stdio locks the stream for the call, so lines
    // written at once by several threads never interleave.
    std::FILE *out = kind == LogKind::Trace ? stdout : stderr;
    std::fwrite(text, 1, length, out);
    if (kind == LogKind::Trace) std::fflush(out);
}

void deliver(LogKind kind, const char *text, std::size_t length) {
    if (!inside_handler) {
        std::lock_guard lock(handler_lock);
        if (handler != nullptr) {
            // Cleared on the way out even if a C++ handler throws, so the
            // thread's later lines still reach the handler.
            struct Inside {
                Inside() { inside_handler = true; }
                ~Inside() { inside_handler = false; }
            } inside;
            handler(static_cast<int>(kind), text, handler_context);
            return;
        }
    }
    writeDefault(kind, text, length);
}

}  // namespace

void logf(LogKind kind, const char *format, ...) {
    const int saved_errno = errno;
    char small[512];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        errno = saved_errno;
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        va_end(again);
        deliver(kind, small, static_cast<std::size_t>(length));
    } else {
        try {
            std::string line(static_cast<std::size_t>(length) + 1, '\0');
            errno = saved_errno;  // "%m" reads it again
            std::vsnprintf(line.data(), line.size(), format, again);
            va_end(again);
            deliver(kind, line.c_str(), static_cast<std::size_t>(length));
        } catch (const std::bad_alloc &) {
            va_end(again);
            // Better the first part of the line than none of it.
            deliver(kind, small, sizeof small - 1);
        }
    }
    errno = saved_errno;
}

void logs(LogKind kind, const char *text) {
    const int saved_errno = errno;
    deliver(kind, text, std::strlen(text));
    errno = saved_errno;
}

void setLogHandler(vocam_log_handler new_handler, void *context) {
    std::lock_guard lock(handler_lock);
    handler = new_handler;
    handler_context = context;
}

}  // namespace vo
