// The library's own lines, routed into GStreamer's debug log (category
// "vocam"), with the last error kept for the element's error messages.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <string>

namespace vocam::gst {

GST_DEBUG_CATEGORY_EXTERN(vocam_library_debug);

// Installs the handler once per process.
void routeLibraryLog();
// A count that grows with every error line of the library.
std::uint64_t libraryErrorCount();
// The library's last error line when one came after `count` was taken;
// empty otherwise.
std::string libraryErrorSince(std::uint64_t count);

}  // namespace vocam::gst
