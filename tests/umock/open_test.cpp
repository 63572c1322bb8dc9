// What only libusb sees of open: damaged descriptors, refused and busy
// requests, and a second client, with a libusb context of its own, finding
// a camera held. The rest of start-up runs on libusb as umock_bringup_test,
// the simulated bus's suite built once more; a departed device's file as
// umock_transport_test.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "device/vo_cameras.h"
#include "support/Stderr.h"
#include "support/umock/Camera.h"
#include "support/umock/OnLibusb.h"
#include "support/umock/Testbed.h"
#include "transport/vo_usb.h"
#include "usbhost/libusb/LibusbHost.h"
#include "vo_cam/vo_cam.h"

using namespace vocam;
using test::umock::Testbed;

namespace {

using test::umock::requestCount;

class LibusbOpen : public test::umock::OnLibusb {
  protected:
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
    EXPECT_EQ(requestCount(requests, "SETCONFIGURATION"), 0);
    EXPECT_GE(requestCount(requests, "SETINTERFACE"), 1);  // the log is live
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

// Another process closing the camera holds its claim a moment longer.
TEST_F(LibusbOpen, ABusyClaimIsRetriedBeforeTheCameraIsSkipped) {
    auto camera = attach();
    for (const char *claim : {"CLAIMINTERFACE", "DISCONNECT_CLAIM"})
        Testbed::instance().failRequest(camera, claim, EBUSY, 2);
    _vocam *cam = open();
    ASSERT_NE(cam, nullptr);
    EXPECT_TRUE(camera->isOpen());
    vocam_camera_close(&cam);
}

TEST_F(LibusbOpen, AnotherClientFindsTheCameraHeldUntilItIsClosed) {
    ASSERT_TRUE(
        Testbed::instance().configure("model_02:state=ready,model_02:state=ready:serial=77"));
    test::umock::waitForDevices(usbhost::host(), {kCameraVendorA, std::uint16_t{0x00A1}, {}}, 2);
    _vocam *cam = nullptr;
    vocam_version wanted{0, 0x00A1, 77, 0, 0, 0};
    ASSERT_EQ(vocam_camera_open(&cam, &wanted), 0);
    ASSERT_NE(cam, nullptr);

    // A second client, with its own libusb context, finds the camera held.
    auto other = usbhost::makeLibusbHost();
    auto found =
        test::umock::waitForDevices(*other, {kCameraVendorA, std::uint16_t{0x00A1}, {}}, 2);
    std::shared_ptr<usbhost::DeviceRef> same;
    for (auto &ref : found) {
        std::unique_ptr<usbhost::Device> probe;
        ASSERT_EQ(ref->createDevice(probe), 0);
        const usbhost::IOReturn r = probe->open();
        if (r == usbhost::kIOReturnExclusiveAccess) same = ref;
    }
    ASSERT_TRUE(same) << "no device refused the second client";
    // Closed (the camera's own side of the close is the start-up suite's).
    EXPECT_EQ(vocam_camera_close(&cam), 0);
    std::unique_ptr<usbhost::Device> later;
    ASSERT_EQ(same->createDevice(later), 0);
    EXPECT_EQ(later->open(), 0);
}

}  // namespace
