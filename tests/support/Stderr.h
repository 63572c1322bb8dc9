// Captures what the library writes to standard error (or, given its
// descriptor, standard output) during a scope.
#pragma once

#include <string>

namespace vocam::test {

class StderrCapture {
public:
    explicit StderrCapture(int fd = 2);
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    // Everything written since construction or the last take().
    std::string take();

private:
    int fd_ = 2;
    int saved_ = -1;
    int file_ = -1;
    long consumed_ = 0;
};

}  // namespace vocam::test
