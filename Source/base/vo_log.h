// The one way the library writes a line. By default each line goes to the
// stream it always went to (diagnostics to standard error, the white
// balance's trace to standard output); an application can take them over
// with vocam_set_log_handler.
#pragma once

#include "vocamapi.h"

namespace vo {

enum class LogKind { Error = VOCAM_LOG_ERROR, Trace = VOCAM_LOG_TRACE, Info = VOCAM_LOG_INFO };

// printf-style; "%m" is the text of errno as the caller left it.
void logf(LogKind kind, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A line that needs no formatting.
void logs(LogKind kind, const char *text);
// What vocam_set_log_handler does: every line from now on goes to
// `new_handler` (null: back to the default streams).
void setLogHandler(vocam_log_handler new_handler, void *context);

}  // namespace vo
