// Captures what the library writes to standard error (or, given its
// descriptor, standard output) during a scope.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace vocam::test {

class StderrCapture {
  public:
    explicit StderrCapture(int fd = 2) : fd_(fd) {
        fflush(nullptr);  // every output stream, standard output and error among them
        char name[] = "/tmp/vocam-stderr-XXXXXX";
        file_ = mkstemp(name);
        if (file_ < 0) throw std::runtime_error("mkstemp");
        unlink(name);
        saved_ = dup(fd_);
        dup2(file_, fd_);
    }
    ~StderrCapture() {
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        close(file_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    // Everything written since construction or the last take().
    std::string take() {
        fflush(nullptr);
        std::string text;
        char chunk[4096];
        for (ssize_t n; (n = pread(file_, chunk, sizeof chunk, consumed_)) > 0; consumed_ += n)
            text.append(chunk, static_cast<size_t>(n));
        return text;
    }

  private:
    int fd_ = 2;
    int saved_ = -1;
    int file_ = -1;
    long consumed_ = 0;
};

}  // namespace vocam::test
