// The base of the suites that run the library on libusb against the testbed:
// each test starts and ends with an empty bus.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/umock/Testbed.h"
#include "usbhost/registry/Backends.h"

namespace vocam::test::umock {

class OnLibusb : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { unsetenv("VOCAM_SIM"); }
    // Derived set-ups go on only when this one neither skipped nor failed.
    void SetUp() override {
        if (!Testbed::active()) GTEST_SKIP() << "needs umockdev-wrapper";
        // Before the library's first call starts libusb.
        Testbed::instance().clear();
        ASSERT_STREQ(usbhost::host().name(), "libusb");
    }
    void TearDown() override {
        if (Testbed::active()) Testbed::instance().clear();
    }
    bool ready() const { return !IsSkipped() && !HasFatalFailure(); }
};

// How many of the usbfs requests are of this name.
inline long requestCount(const std::vector<std::string> &requests, const std::string &name) {
    return std::count(requests.begin(), requests.end(), name);
}

}  // namespace vocam::test::umock
