// Captures what the library writes to standard error during a scope.
#pragma once

#include <string>

namespace vocam::test {

class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    // Everything written since construction or the last take().
    std::string take();

  private:
    int saved_ = -1;
    int file_ = -1;
    long consumed_ = 0;
};

}  // namespace vocam::test
