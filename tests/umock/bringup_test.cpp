// Start-up, enumeration and open through the library's own calls, with the
// process on libusb: firmware download and the re-enumeration that follows
// it (the device leaves the bus and a new one arrives), FPGA configuration,
// and a camera another client holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "Simulator/SimImages.h"
#include "device/vo_cameras.h"
#include "support/Resources.h"
#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "support/umock/Camera.h"
#include "support/umock/OnLibusb.h"
#include "support/umock/Testbed.h"
#include "transport/vo_usb.h"
#include "usbhost/libusb/LibusbHost.h"
#include "vo_cam/vo_cam.h"

using namespace vocam;
using sim::LogEntry;
using test::umock::Testbed;

namespace {

std::shared_ptr<sim::CameraDevice> withSerial(std::uint32_t serial) {
    for (auto &d : Testbed::instance().devices())
        if (d->config().serial == serial) return d;
    return nullptr;
}

class BringUp : public test::umock::OnLibusb {
  protected:
    void SetUp() override {
        OnLibusb::SetUp();
        if (ready()) vo_forget_bring_up();
    }
    test::TempResources files;
};

TEST_F(BringUp, FirmwareReenumeratesTheControllerAndTheFpgaIsConfigured) {
    ASSERT_TRUE(Testbed::instance().configure("model_02,model_16"));
    const auto bootA = withSerial(1000), bootB = withSerial(1001);
    test::StderrCapture err;
    EXPECT_EQ(vocam_init(files.root().c_str()), 0);
    const std::string log = err.take();
    EXPECT_EQ(test::countOf(log, "FW was downloaded to device\n"), 2) << log;
    EXPECT_EQ(test::countOf(log, "FPGA loaded\n"), 1) << log;  // model_16 has no FPGA

    // The controllers left the bus; new devices came back in their place.
    EXPECT_FALSE(bootA->present());
    EXPECT_FALSE(bootB->present());
    const auto readyA = withSerial(1000), readyB = withSerial(1001);
    ASSERT_TRUE(readyA && readyB);
    EXPECT_NE(readyA, bootA);
    EXPECT_EQ(readyA->config().state, sim::BootState::Ready);
    EXPECT_EQ(readyA->product() & 0x8000, 0);
    EXPECT_TRUE(readyA->fpgaConfigured());
    EXPECT_EQ(readyB->config().state, sim::BootState::Ready);
    EXPECT_FALSE(readyA->isOpen());
    EXPECT_FALSE(readyB->isOpen());

    // Every record reached the controller (what each carries is the simulated
    // bus's case; the transfer suite shows control data crossing libusb whole).
    const auto image = sim::makeFirmwareImage(kCameraVendorB, 0x03AD);
    std::size_t loads = 0;
    for (const auto &e : bootB->log())
        loads += e.kind == LogEntry::Kind::Control && e.setup.bRequest == 0xA0;
    EXPECT_EQ(loads, (image.size() + 15) / 16 + 2);
    // The bitstream went out on the FPGA's bulk endpoint, framed by the begin and end writes.
    std::size_t out = 0;
    for (const auto &e : readyA->log())
        if (e.kind == LogEntry::Kind::BulkOut) {
            EXPECT_EQ(e.endpoint, 0x02);
            out += e.done;
        }
    EXPECT_EQ(out, sim::makeFpgaImage(0x00A1).size());
}

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
    usbhost::Setup s;
    s.bmRequestType = 0x40;
    s.bRequest = 0xA0;
    s.wValue = 0xE600;
    s.wLength = 1;
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

TEST_F(BringUp, ABusyControllerIsRetriedAndThenLeftAlone) {
    ASSERT_TRUE(Testbed::instance().configure("model_16"));
    Testbed::instance().devices().at(0)->holdByOtherClient(5);
    test::StderrCapture err;
    EXPECT_EQ(vocam_init(files.root().c_str()), 0);
    const std::string log = err.take();
    // The kernel answers another client's claim with EBUSY, which libusb
    // reports as busy and the backend as exclusive access.
    EXPECT_NE(log.find("Exclusive access err, sleeping on it 1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Exclusive access err, sleeping on it 5\nunable to open device: e00002c5\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(test::countOf(log, "FW was downloaded to device\n"), 0);
    EXPECT_EQ(Testbed::instance().devices().at(0)->config().state, sim::BootState::Boot);
}

TEST_F(BringUp, EnumerationOpenAndAnotherClientFindingTheCameraHeld) {
    ASSERT_TRUE(
        Testbed::instance().configure("model_02:state=ready,model_02:state=ready:serial=77,"
                                      "model_16:state=ready"));
    test::StderrCapture err;
    // libusb learns of the devices through its hotplug monitor.
    test::umock::waitForDevices(usbhost::host(), {kCameraVendorA, std::uint16_t{0x00A1}, {}}, 2);
    vocam_version records[3];
    std::uint32_t count = 3;
    EXPECT_EQ(vocam_enum_cameras(records, &count), 3);
    for (auto &d : Testbed::instance().devices()) EXPECT_FALSE(d->isOpen());

    _vocam *cam = nullptr;
    vocam_version wanted{0, 0x00A1, 77, 0, 0, 0};
    ASSERT_EQ(vocam_camera_open(&cam, &wanted), 0);
    ASSERT_NE(cam, nullptr);
    auto device = withSerial(77);
    EXPECT_TRUE(device->isOpen());
    EXPECT_EQ(device->alternate(), 2);
    EXPECT_EQ(std::string(cam->model_name), "VoCam model_02");
    EXPECT_EQ(cam->max_width, device->config().width);

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
    EXPECT_EQ(vocam_camera_close(&cam), 0);
    EXPECT_FALSE(device->isOpen());
    EXPECT_EQ(device->alternate(), 0);
    std::unique_ptr<usbhost::Device> later;
    ASSERT_EQ(same->createDevice(later), 0);
    EXPECT_EQ(later->open(), 0);
}

TEST_F(BringUp, ACameraPulledWhileOpenStillClosesCleanly) {
    ASSERT_TRUE(Testbed::instance().configure("model_02:state=ready"));
    test::umock::waitForDevices(usbhost::host(), {kCameraVendorA, std::uint16_t{0x00A1}, {}});
    test::StderrCapture err;
    _vocam *cam = nullptr;
    ASSERT_EQ(vocam_camera_open_by_pid(&cam, 0x00A1), 0);
    ASSERT_NE(cam, nullptr);
    Testbed::instance().unplug(Testbed::instance().devices().at(0));
    std::uint32_t word = 0;
    EXPECT_EQ(vo_usb_read_vocam_u32(cam, 0x1000, &word), -1);
    EXPECT_NE(err.take().find("VOXUSBReadControlPipe Err 0xE00002C0"),
              std::string::npos);  // no device
    EXPECT_EQ(vocam_camera_close(&cam), 0);
    EXPECT_EQ(cam, nullptr);
}

}  // namespace
