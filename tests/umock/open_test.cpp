// What only libusb sees of open: damaged descriptors and refused requests.
// The rest of start-up runs on libusb as umock_bringup_test, the simulated
// bus's suite built once more (a camera held by another client among it); a
// departed device's file as umock_transport_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "support/Stderr.h"
#include "support/umock/Camera.h"
#include "support/umock/Testbed.h"
#include "transport/vo_usb.h"
#include "usbhost/registry/Backends.h"
#include "vo_cam/vo_cam.h"

using namespace vocam;
using test::umock::Testbed;

namespace {

// Each test starts and ends with an empty bus.
class LibusbOpen : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { unsetenv("VOCAM_SIM"); }
    void SetUp() override {
        if (!Testbed::active()) GTEST_SKIP() << "needs umockdev-wrapper";
        // Before the library's first call starts libusb.
        Testbed::instance().clear();
        ASSERT_STREQ(usbhost::host().name(), "libusb");
    }
    void TearDown() override {
        if (Testbed::active()) Testbed::instance().clear();
    }
    // A ready model_02 (streams on alternate 2), as libusb lists it.
    std::shared_ptr<sim::CameraDevice> attach(std::vector<std::uint8_t> configuration = {}) {
        sim::CameraConfig config = sim::defaultCameraConfig(1);
        config.state = sim::BootState::Ready;
        config.configuration = std::move(configuration);
        auto camera = Testbed::instance().attach(config);
        test::umock::waitForDevices(usbhost::host(), {camera->vendor(), camera->product(), {}});
        Testbed::instance().takeRequests();
        return camera;
    }
    _vocam *open() {
        _vocam *cam = nullptr;
        EXPECT_EQ(vocam_camera_open_by_pid(&cam, 0x00A1), 0);
        return cam;
    }
    test::StderrCapture err;
};

// Configuration descriptors open must refuse, with a line and no crash:
// one that ends inside an endpoint list (libusb announces endpoints it has
// no descriptors for), and one whose streaming setting has only an
// isochronous IN, which the backend must never use as bulk.
TEST_F(LibusbOpen, ConfigurationsWithoutABulkStreamEndpointRefuseTheCamera) {
    const std::vector<std::uint8_t> head = {9, 2, 0, 0, 1, 1,    0, 0x80, 250,  // configuration
                                            9, 4, 0, 0, 0, 0xFF, 0, 0,    0};   // alternate 0
    const struct {
        std::vector<std::uint8_t> rest;
        std::string line;  // empty: any line, by how far libusb parsed
    } cases[] = {
        {{9, 4, 0,    1, 2,    0xFF, 0, 0, 0,   // alternate 1: two endpoints ...
          7, 5, 0x02, 2, 0x00, 0x02, 0,         // ... of which one came
          9, 4, 0,    2, 2,    0xFF, 0, 0, 0},  // alternate 2: none came
         ""},
        {{9, 4, 0,    1, 1,    0xFF, 0, 0, 0,  //
          7, 5, 0x02, 2, 0x00, 0x02, 0,        //
          9, 4, 0,    2, 1,    0xFF, 0, 0, 0,  //
          7, 5, 0x86, 1, 0x00, 0x02, 1},       // isochronous IN
         "error: alternate setting 2 has no bulk IN endpoint for frames\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::uint8_t> d = head;
        d.insert(d.end(), c.rest.begin(), c.rest.end());
        d[2] = static_cast<std::uint8_t>(d.size());
        auto camera = attach(d);
        EXPECT_EQ(open(), nullptr) << c.line;
        const std::string log = err.take();
        EXPECT_TRUE(c.line.empty() ? !log.empty() : log.find(c.line) != std::string::npos) << log;
        EXPECT_FALSE(camera->isOpen());
        Testbed::instance().clear();
    }
}

// On real hardware a repeated SET_CONFIGURATION resets the device: open
// sends none when the configuration it wants is already in force.
TEST_F(LibusbOpen, OpenSendsNoSetConfigurationForTheConfigurationInForce) {
    auto camera = attach();
    _vocam *cam = open();
    ASSERT_NE(cam, nullptr);
    const auto requests = Testbed::instance().takeRequests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "SETCONFIGURATION"), 0);
    EXPECT_GE(std::count(requests.begin(), requests.end(), "SETINTERFACE"), 1);  // the log is live
    vocam_camera_close(&cam);
}

// The first SET_INTERFACE of an open is the streaming setting's.
TEST_F(LibusbOpen, ARefusedSetInterfaceIsReportedAtOpen) {
    auto camera = attach();
    Testbed::instance().failRequest(camera, "SETINTERFACE", EPIPE);
    EXPECT_EQ(open(), nullptr);
    EXPECT_NE(err.take().find("error: unable to select alternate setting 2: "), std::string::npos);
    EXPECT_FALSE(camera->isOpen());

    // Nothing of the failure stays: the next open takes the camera.
    _vocam *cam = open();
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(camera->alternate(), 2);
    vocam_camera_close(&cam);
}

}  // namespace
