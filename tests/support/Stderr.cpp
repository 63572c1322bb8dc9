#include "support/Stderr.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace vocam::test {

StderrCapture::StderrCapture(int fd) : fd_(fd) {
    fflush(nullptr);  // every output stream, standard output and error among them
    char name[] = "/tmp/vocam-stderr-XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0) throw std::runtime_error("mkstemp");
    unlink(name);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

StderrCapture::~StderrCapture() {
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
}

std::string StderrCapture::take() {
    fflush(nullptr);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = pread(file_, chunk, sizeof chunk, consumed_)) > 0; consumed_ += n)
        text.append(chunk, static_cast<size_t>(n));
    return text;
}

}  // namespace vocam::test
