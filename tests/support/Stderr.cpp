#include "support/Stderr.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace vocam::test {

StderrCapture::StderrCapture(int fd) : fd_(fd) {
    fflush(stdout);
    fflush(stderr);
    char name[] = "/tmp/vocam-stderr-XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0) throw std::runtime_error("mkstemp");
    unlink(name);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

StderrCapture::~StderrCapture() {
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
}

std::string StderrCapture::take() {
    fflush(stdout);
    fflush(stderr);
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = pread(file_, chunk, sizeof chunk, consumed_);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
        consumed_ += n;
    }
    return text;
}

}  // namespace vocam::test
