// SER: a 178-byte header, the frames one after the other, then a trailer of
// each frame's UTC time. Numbers are little-endian; times count 100 ns
// ticks from 0001-01-01.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "astro.h"
#include "common.h"

namespace vocam::cli {

namespace {

constexpr std::size_t kHeaderBytes = 178;
constexpr std::uint64_t kFrameCountAt = 38;
constexpr std::uint64_t kDatesAt = 162;
constexpr std::size_t kNameBytes = 40;
// Ticks from 0001-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochTicks = 621355968000000000;

void put32(std::uint8_t *at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put64(std::uint8_t *at, std::int64_t value) {
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
}

std::int64_t ticks(std::int64_t unixNs) {
    return kUnixEpochTicks + unixNs / 100;
}

// The format's colour codes for a one-plane mosaic, by the frame's own phase.
std::uint32_t colourId(std::uint32_t flags) {
    if (flags & VOCAM_LAYOUT_MONO) return 0;
    const bool blue = flags & VOCAM_LAYOUT_BLUE_ROW, green = flags & VOCAM_LAYOUT_GREEN_FIRST;
    if (blue) return green ? 10 : 11;  // GBRG, BGGR
    return green ? 9 : 8;              // GRBG, RGGB
}

bool outOfSpace(int error) {
    return error == ENOSPC || error == EFBIG || error == EDQUOT;
}

}  // namespace

SerWriter::SerWriter(const std::string &path, const _VOCAM_IMAGE_FORMAT &format,
                     const std::string &instrument)
    : path_(path), frameBytes_(format.ImageSize) {
    std::uint8_t header[kHeaderBytes] = {};
    std::memcpy(header, "LUCAM-RECORDER", 14);
    put32(header + 18, colourId(format.VocamReserved[0]));
    const bool wide = format.PixelFormat == 1;
    // 16-bit samples stay in the camera's byte order. The readers and writers
    // of the format take this field the opposite way from its description
    // (0 for low byte first), and the files must agree with them.
    put32(header + 22, wide && !(format.VocamReserved[0] & VOCAM_LAYOUT_LSB_FIRST) ? 1 : 0);
    put32(header + 26, format.Width);
    put32(header + 30, format.Height);
    put32(header + 34, wide ? 16 : 8);
    std::memcpy(header + 82, instrument.data(), std::min(instrument.size(), kNameBytes));
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw Failure("error: cannot write '" + path + "': " + std::strerror(errno));
    if (!writeAt(header, sizeof header, 0)) {
        const int why = errno;
        close(fd_);
        fd_ = -1;
        unlink(path.c_str());
        throw Failure("error: cannot write '" + path + "': " + std::strerror(why));
    }
}

SerWriter::~SerWriter() {
    finish();
}

bool SerWriter::writeAt(const void *data, std::size_t size, std::uint64_t offset) {
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    while (size > 0) {
        const ssize_t n = pwrite(fd_, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// The file shrunk to its first `frames` frames: the count goes down before
// the bytes, so the header never counts a frame that is not there.
void SerWriter::cutTo(std::uint64_t frames) {
    std::uint8_t count[4];
    put32(count, static_cast<std::uint32_t>(frames));
    writeAt(count, sizeof count, kFrameCountAt);
    if (ftruncate(fd_, static_cast<off_t>(kHeaderBytes + frames * frameBytes_)) != 0 && error_ == 0)
        error_ = errno;
}

bool SerWriter::add(const std::uint8_t *frame, std::int64_t startUtcNs) {
    if (fd_ < 0 || error_ != 0) return false;
    const std::uint64_t n = times_.size();
    if (!writeAt(frame, frameBytes_, kHeaderBytes + n * frameBytes_)) {
        error_ = errno;
        cutTo(n);
        return false;
    }
    times_.push_back(ticks(startUtcNs));
    if (n == 0) {
        // The recording's start, in local time and in UTC.
        const auto seconds = static_cast<std::time_t>(startUtcNs / 1000000000);
        std::tm local{};
        localtime_r(&seconds, &local);
        std::uint8_t dates[16];
        put64(dates, times_[0] + static_cast<std::int64_t>(local.tm_gmtoff) * 10000000);
        put64(dates + 8, times_[0]);
        writeAt(dates, sizeof dates, kDatesAt);
    }
    std::uint8_t count[4];
    put32(count, static_cast<std::uint32_t>(n + 1));
    if (!writeAt(count, sizeof count, kFrameCountAt)) {
        error_ = errno;
        times_.pop_back();
        cutTo(n);
        return false;
    }
    return true;
}

void SerWriter::finish() {
    if (fd_ < 0) return;
    while (!times_.empty()) {
        std::vector<std::uint8_t> trailer(8 * times_.size());
        for (std::size_t i = 0; i < times_.size(); ++i) put64(trailer.data() + 8 * i, times_[i]);
        if (writeAt(trailer.data(), trailer.size(), kHeaderBytes + times_.size() * frameBytes_))
            break;
        const int why = errno;
        if (error_ == 0) error_ = why;
        cutTo(times_.size());
        if (!outOfSpace(why)) break;
        // The times of every frame kept are worth the last frame.
        times_.pop_back();
        ++droppedForTrailer_;
        cutTo(times_.size());
    }
    if (close(fd_) != 0 && error_ == 0) error_ = errno;
    fd_ = -1;
}

}  // namespace vocam::cli
