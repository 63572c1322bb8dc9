// Resource files below the resource root: their paths, and opening them
// without trusting what the path names.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

// The path of a model's file: the resource root, a slash and `pattern`
// formatted with the release number, built to its full length. Nothing
// (after one line naming it) when it is longer than the system takes.
std::optional<std::string> vo_resource_path(const char *pattern, std::uint16_t release);

// A file opened for reading whole. A FIFO or a device would block the
// caller or hand over an endless stream, and a directory has no contents
// to send: only a regular file is taken.
class ResourceFile {
  public:
    enum class Status { Ok, OpenFailed, NotRegular };

    explicit ResourceFile(const std::string &path);
    ~ResourceFile();
    ResourceFile(const ResourceFile &) = delete;
    ResourceFile &operator=(const ResourceFile &) = delete;

    Status status() const { return status_; }
    // errno of a failed open.
    int error() const { return error_; }
    off_t size() const { return size_; }
    // Reads `length` bytes from the start; false (errno set) when fewer came.
    bool read(void *into, std::size_t length);

  private:
    int fd_ = -1;
    Status status_ = Status::OpenFailed;
    int error_ = 0;
    off_t size_ = 0;
};
