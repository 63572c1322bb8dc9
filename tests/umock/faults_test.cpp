// What a misbehaving device or kernel does to the libusb backend and to open:
// damaged descriptors, refused requests, and stalled and over-long URBs.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "device/vo_cameras.h"
#include "support/Stderr.h"
#include "support/umock/Camera.h"
#include "support/umock/OnLibusb.h"
#include "support/umock/Testbed.h"
#include "transport/vo_usb.h"
#include "vo_cam/vo_cam.h"

using namespace vocam;
using test::umock::Testbed;
using usbhost::IOReturn;

namespace {

using test::umock::requestCount;

class Faults : public test::umock::OnLibusb {
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

// A configuration descriptor that ends inside the streaming setting's
// endpoint list: libusb announces endpoints it has no descriptors for.
TEST_F(Faults, ATruncatedConfigurationDescriptorRefusesTheCamera) {
    std::vector<std::uint8_t> d = {
        9, 2, 0,    0, 1,    1,    0, 0x80, 250,  // configuration
        9, 4, 0,    0, 0,    0xFF, 0, 0,    0,    // alternate 0
        9, 4, 0,    1, 2,    0xFF, 0, 0,    0,    // alternate 1: two endpoints
        7, 5, 0x02, 2, 0x00, 0x02, 0,             // ... of which one came
        9, 4, 0,    2, 2,    0xFF, 0, 0,    0};   // alternate 2: none came
    d[2] = static_cast<std::uint8_t>(d.size());
    auto camera = attach(d);
    EXPECT_EQ(open(), nullptr);
    // Refused at the descriptor or at the setting that lacks its endpoints,
    // depending on how far libusb parsed: either way with a line, no crash.
    EXPECT_NE(err.take(), "");
    EXPECT_FALSE(camera->isOpen());
}

// On real hardware a repeated SET_CONFIGURATION resets the device: open
// sends none when the configuration it wants is already in force.
TEST_F(Faults, OpenSendsNoSetConfigurationForTheConfigurationInForce) {
    auto camera = attach();
    _vocam *cam = open();
    ASSERT_NE(cam, nullptr);
    const auto requests = Testbed::instance().takeRequests();
    EXPECT_EQ(requestCount(requests, "SETCONFIGURATION"), 0);
    EXPECT_GE(requestCount(requests, "SETINTERFACE"), 1);  // the log is live
    vocam_camera_close(&cam);
}

// The first SET_INTERFACE of an open is the streaming setting's.
TEST_F(Faults, ARefusedSetInterfaceIsReportedAtOpen) {
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
TEST_F(Faults, ABusyClaimIsRetriedBeforeTheCameraIsSkipped) {
    auto camera = attach();
    for (const char *claim : {"CLAIMINTERFACE", "DISCONNECT_CLAIM"})
        Testbed::instance().failRequest(camera, claim, EBUSY, 2);
    _vocam *cam = open();
    ASSERT_NE(cam, nullptr);
    EXPECT_TRUE(camera->isOpen());
    vocam_camera_close(&cam);
}

// URB-level faults at the interface, below the transfer calls.
class UrbFaults : public Faults {
  protected:
    void SetUp() override {
        Faults::SetUp();
        if (!ready()) return;
        cam = std::make_unique<test::umock::LibusbCamera>();
        interface = cam->handle()->usb.interface_if.get();
        ASSERT_EQ(interface->setAlternate(2), 0);  // pipe 1: bulk IN 0x86
        Testbed::instance().takeRequests();
    }
    void TearDown() override {
        cam.reset();
        Faults::TearDown();
    }
    std::unique_ptr<test::umock::LibusbCamera> cam;
    usbhost::Interface *interface = nullptr;
};

TEST_F(UrbFaults, ACountBeyondTheBufferIsClampedAndCalledAnOverrun) {
    cam->device().queueBulkIn(std::vector<std::uint8_t>(64, 5));
    Testbed::instance().overrideUrbs(cam->shared(), 0, 4160);
    std::uint8_t data[64 + 16] = {};
    std::uint32_t count = 64;
    EXPECT_EQ(interface->readPipe(1, data, count, 1000, 0), usbhost::kIOReturnOverrun);
    EXPECT_EQ(count, 64u);
    // The transfer call counts an overrun as data, and never more than asked.
    cam->device().queueBulkIn(std::vector<std::uint8_t>(64, 6));
    Testbed::instance().overrideUrbs(cam->shared(), 0, 4160);
    EXPECT_EQ(vo_usb_bulk_read(cam->handle(), 1, data, 64), 64);
    EXPECT_EQ(data[64], 0);
}

// Transfers a kernel would refuse: the backend never sends them.
TEST_F(Faults, AnIsochronousEndpointIsNotUsedAsBulk) {
    std::vector<std::uint8_t> d = {9, 2, 0,    0, 1,    1,    0, 0x80, 250,  //
                                   9, 4, 0,    0, 0,    0xFF, 0, 0,    0,    //
                                   9, 4, 0,    1, 1,    0xFF, 0, 0,    0,    //
                                   7, 5, 0x02, 2, 0x00, 0x02, 0,             //
                                   9, 4, 0,    2, 1,    0xFF, 0, 0,    0,    //
                                   7, 5, 0x86, 1, 0x00, 0x02, 1};            // isochronous IN
    d[2] = static_cast<std::uint8_t>(d.size());
    auto camera = attach(d);
    EXPECT_EQ(open(), nullptr);  // refused: no bulk IN for frames
    EXPECT_NE(err.take().find("error: alternate setting 2 has no bulk IN endpoint for frames\n"),
              std::string::npos);
}

}  // namespace
