#include "Log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vocapture {

namespace {
std::mutex logMutex;
std::function<void(const std::string &)> logSink;
bool echoToTerminal = isatty(STDERR_FILENO) != 0;
}  // namespace

void openLog(const char *name) {
    // syslog keeps the pointer, so the identity must outlive the program's use.
    static std::string identity;
    std::lock_guard lock(logMutex);
    identity = name;
    openlog(identity.c_str(), LOG_PID, LOG_USER);
    echoToTerminal = isatty(STDERR_FILENO) != 0;
}

void setLogSink(std::function<void(const std::string &)> sink) {
    std::lock_guard lock(logMutex);
    logSink = std::move(sink);
}

void logLine(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard lock(logMutex);
    syslog(LOG_NOTICE, "%s", text);
    if (echoToTerminal) std::fprintf(stderr, "%s\n", text);
    if (logSink) logSink(text);
}

}  // namespace vocapture
