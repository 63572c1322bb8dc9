#include "rawframe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <sstream>

#include "common.h"

namespace vocam::cli {

namespace {

// A description is one short line; anything longer is not one of ours.
constexpr std::size_t kLongestDescription = 4096;

[[noreturn]] void damaged(const std::string &path, const std::string &why) {
    throw Failure("error: '" + path + "': " + why +
                  " (expected the .raw and .raw.txt that vocam grab writes)");
}

// The whole of a regular file of at most `limit` bytes; nothing for a longer
// one (`size` tells its length). A file that cannot be read is a failure line.
std::vector<std::uint8_t> readFile(const std::string &path, std::uint64_t limit,
                                   std::uint64_t *size = nullptr) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw Failure("error: cannot read '" + path + "': " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        throw Failure("error: cannot read '" + path + "': not a regular file");
    }
    const auto length = static_cast<std::uint64_t>(st.st_size);
    if (size != nullptr) *size = length;
    if (length > limit) {
        close(fd);
        return {};
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            throw Failure("error: cannot read '" + path + "': " + std::strerror(error));
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    // A file that shrank under us is as damaged as a short one.
    bytes.resize(done);
    return bytes;
}

bool number(const std::string &text, std::uint32_t &out) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        (text[0] == '0' && text.size() > 1))
        return false;
    out = value;
    return true;
}

}  // namespace

const char *layoutName(std::uint32_t flags) {
    if (flags & VOCAM_LAYOUT_MONO) return "mono";
    const bool blue = flags & VOCAM_LAYOUT_BLUE_ROW, green = flags & VOCAM_LAYOUT_GREEN_FIRST;
    if (blue) return green ? "GBRG" : "BGGR";
    return green ? "GRBG" : "RGGB";
}

std::string describeFrame(const _VOCAM_IMAGE_FORMAT &format) {
    const bool wide = format.PixelFormat == 1;
    std::string line = "width=" + std::to_string(format.Width) +
                       " height=" + std::to_string(format.Height) + " bits=" + (wide ? "16" : "8") +
                       " layout=" + layoutName(format.VocamReserved[0]) +
                       " bytes=" + std::to_string(format.ImageSize);
    if (wide)
        line += (format.VocamReserved[0] & VOCAM_LAYOUT_LSB_FIRST) ? " order=lsb-first"
                                                                   : " order=msb-first";
    return line;
}

_VOCAM_IMAGE_FORMAT parseDescription(const std::string &text, const std::string &path) {
    std::string line = text;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.empty()) damaged(path, "empty description");
    // Only printable characters: the line is quoted back in failure lines.
    const bool printable =
        std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c <= '~'; });
    if (!printable || line.size() > kLongestDescription)
        damaged(path, "the description is not one line of text");
    std::map<std::string, std::string> fields;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        const auto eq = word.find('=');
        if (eq == std::string::npos || eq == 0) damaged(path, "'" + word + "' is not KEY=VALUE");
        if (!fields.emplace(word.substr(0, eq), word.substr(eq + 1)).second)
            damaged(path, "'" + word.substr(0, eq) + "' given twice");
    }
    const auto field = [&](const char *key) -> const std::string & {
        const auto it = fields.find(key);
        if (it == fields.end()) damaged(path, std::string("no ") + key + "= in the description");
        return it->second;
    };
    std::uint32_t width = 0, height = 0, bits = 0, bytes = 0;
    if (!number(field("width"), width) || !number(field("height"), height) || width == 0 ||
        height == 0 || width > 0xFFFF || height > 0xFFFF)
        damaged(path, "bad frame size");
    if (!number(field("bits"), bits) || (bits != 8 && bits != 16))
        damaged(path, "bits must be 8 or 16");
    if (!number(field("bytes"), bytes) ||
        std::uint64_t{bytes} != std::uint64_t{width} * height * (bits / 8))
        damaged(path, "bytes= does not match width x height x " + std::to_string(bits / 8));
    static const std::map<std::string, std::uint32_t> layouts = {
        {"mono", VOCAM_LAYOUT_MONO},
        {"RGGB", 0},
        {"GRBG", VOCAM_LAYOUT_GREEN_FIRST},
        {"GBRG", VOCAM_LAYOUT_GREEN_FIRST | VOCAM_LAYOUT_BLUE_ROW},
        {"BGGR", VOCAM_LAYOUT_BLUE_ROW}};
    const auto layout = layouts.find(field("layout"));
    if (layout == layouts.end()) damaged(path, "unknown layout '" + field("layout") + "'");
    std::uint32_t flags = layout->second;
    if (const auto order = fields.find("order"); order != fields.end()) {
        if (order->second == "lsb-first")
            flags |= VOCAM_LAYOUT_LSB_FIRST;
        else if (order->second != "msb-first")
            damaged(path, "order must be lsb-first or msb-first");
    } else if (bits == 16) {
        flags |= VOCAM_LAYOUT_LSB_FIRST;
    }
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    format.Width = width;
    format.Height = height;
    format.PixelFormat = bits == 16 ? 1 : 0;
    format.ImageSize = bytes;
    format.VocamReserved[0] = flags;
    return format;
}

RawFrame readRawFrame(const std::string &path) {
    // The frame first: a missing frame is named as such, not by its description.
    std::uint64_t size = 0;
    readFile(path, 0, &size);
    const std::string sidecar = path + ".txt";
    std::uint64_t sidecarSize = 0;
    const auto text = readFile(sidecar, kLongestDescription, &sidecarSize);
    if (sidecarSize > kLongestDescription)
        damaged(sidecar, "the description is not one line of text");
    RawFrame frame;
    frame.format = parseDescription(std::string(text.begin(), text.end()), sidecar);
    frame.bytes = readFile(path, frame.format.ImageSize, &size);
    if (size != frame.format.ImageSize || frame.bytes.size() != frame.format.ImageSize)
        damaged(path, "the frame holds " + std::to_string(size) + " bytes, its description says " +
                          std::to_string(frame.format.ImageSize));
    return frame;
}

}  // namespace vocam::cli
