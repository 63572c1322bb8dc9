// What only libusb sees of start-up and open: the device file a controller
// leaves behind at re-enumeration, and a second client, with a libusb
// context of its own, finding a camera held. The rest of start-up runs on
// libusb as umock_bringup_test, the simulated bus's suite built once more.
#include <gtest/gtest.h>

#include <string>

#include "device/vo_cameras.h"
#include "support/Resources.h"
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

class BringUp : public test::umock::OnLibusb {
  protected:
    void SetUp() override {
        OnLibusb::SetUp();
        if (ready()) vo_forget_bring_up();
    }
    test::TempResources files;
};

TEST_F(BringUp, TheControllerLeavesAndItsSuccessorArrivesAtANewAddress) {
    ASSERT_TRUE(Testbed::instance().configure("model_16"));
    auto host = usbhost::makeLibusbHost();
    const usbhost::Match boot{kCameraVendorB, std::uint16_t{0x83AD}, {}};
    const usbhost::Match ready{kCameraVendorB, std::uint16_t{0x03AD}, {}};
    auto found = test::umock::waitForDevices(*host, boot);
    ASSERT_EQ(found.size(), 1u);
    std::unique_ptr<usbhost::Device> device;
    ASSERT_EQ(found[0]->createDevice(device), 0);
    ASSERT_EQ(device->open(), 0);
    test::StderrCapture err;
    std::string root = files.root();
    char *const saved = RESOURCE_FILE_ROOT;
    RESOURCE_FILE_ROOT = root.data();
    const int sent = usb_fx2_send_firmware(*device, kCameraVendorB, 0x03AD, 2);
    RESOURCE_FILE_ROOT = saved;
    ASSERT_EQ(sent, 0) << err.take();
    // Gone from the bus: its transfers fail and it can no longer be opened.
    std::uint8_t hold = 1;
    usbhost::Setup s{0x40, 0xA0, 0xE600, 0, 1};
    std::uint32_t done = 0;

    EXPECT_EQ(device->deviceRequest(s, &hold, done, 1000, 0), usbhost::kIOReturnNoDevice);
    EXPECT_EQ(device->close(), 0);
    std::unique_ptr<usbhost::Device> again;
    ASSERT_EQ(found[0]->createDevice(again), 0);
    EXPECT_EQ(again->open(), usbhost::kIOReturnNoDevice);
    // Its successor is listed under the camera's own product ID.
    found = test::umock::waitForDevices(*host, ready);
    ASSERT_EQ(found.size(), 1u);
    std::vector<std::shared_ptr<usbhost::DeviceRef>> old;
    EXPECT_EQ(host->match(boot, old), 0);
    EXPECT_TRUE(old.empty());
    std::unique_ptr<usbhost::Device> camera;
    ASSERT_EQ(found[0]->createDevice(camera), 0);
    EXPECT_EQ(camera->open(), 0);
}

TEST_F(BringUp, AnotherClientFindsTheCameraHeldUntilItIsClosed) {
    ASSERT_TRUE(
        Testbed::instance().configure("model_02:state=ready,model_02:state=ready:serial=77"));
    test::StderrCapture err;
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
