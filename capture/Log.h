// The application's log: every line goes to the system log under the
// program's name, and to standard error as well when that is a terminal.
#pragma once

#include <functional>
#include <string>

namespace vocapture {

// printf-style; a trailing newline is not needed.
void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Opens the system log under `name` and decides whether standard error
// echoes the lines. Lines logged before this go to the system log under the
// process's default identity.
void openLog(const char *name);

// Lines are also handed to `sink` while one is set (for checks of what the
// application reports); an empty function removes it.
void setLogSink(std::function<void(const std::string &)> sink);

}  // namespace vocapture
