// Raw frames saved beside their one-line description ("NAME.raw.txt"), and
// read back from them for conversion without a camera.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vocamapi.h"

namespace vocam::cli {

// The colour layout of VOCAM_LAYOUT_* flags as the description names it.
const char *layoutName(std::uint32_t flags);

// "width=W height=H bits=B layout=L bytes=N", and for 16-bit samples
// " order=lsb-first" or " order=msb-first".
std::string describeFrame(const _VOCAM_IMAGE_FORMAT &format);

// The image format a description stands for. Descriptions written before the
// byte order was recorded read as low byte first, the order of every 16-bit
// layout the library knows. Throws a Failure naming `path` for anything else
// than one well-formed line.
_VOCAM_IMAGE_FORMAT parseDescription(const std::string &text, const std::string &path);

struct RawFrame {
    _VOCAM_IMAGE_FORMAT format{};
    std::vector<std::uint8_t> bytes;
};

// `path` and its description; a file that is not exactly as long as its
// description says is refused, never read beyond.
RawFrame readRawFrame(const std::string &path);

}  // namespace vocam::cli
