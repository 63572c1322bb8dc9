#include "transport/vo_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "base/vo_log.h"
#include "transport/vo_usb.h"

std::optional<std::string> vo_resource_path(const char *pattern, std::uint16_t release) {
    const int needed = std::snprintf(nullptr, 0, pattern, release);
    if (needed < 0) return std::nullopt;
    std::string name(static_cast<std::size_t>(needed) + 1, '\0');
    std::snprintf(name.data(), name.size(), pattern, release);
    name.pop_back();
    std::string path = std::string(vo_resource_root()) + "/" + name;
    if (path.size() >= PATH_MAX) {
        vo::logf(vo::LogKind::Error,
                 "error: path of %zu characters is longer than the system takes: %s\n", path.size(),
                 path.c_str());
        return std::nullopt;
    }
    return path;
}

ResourceFile::ResourceFile(const std::string &path) {
    // Not blocking: opening a FIFO for reading would wait for a writer.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        error_ = errno;
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        status_ = Status::NotRegular;
        return;
    }
    size_ = st.st_size;
    status_ = Status::Ok;
}

ResourceFile::~ResourceFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool ResourceFile::read(void *into, std::size_t length) {
    if (status_ != Status::Ok) {
        errno = EBADF;
        return false;
    }
    auto *bytes = static_cast<char *>(into);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd_, bytes + got, length - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // the file shrank under us
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}
