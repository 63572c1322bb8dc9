// Transfers, the register protocol and the identity reads, through libusb and
// the kernel's USB device interface (emulated by umockdev), against the same
// camera model the simulated-bus tests use. Where libusb cannot behave as the
// simulated bus does, the test says what it does instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/Stderr.h"
#include "support/umock/Camera.h"
#include "support/umock/Testbed.h"
#include "vo_usb/vo_usb.h"

using vocam::sim::LogEntry;
using vocam::sim::StringFault;
using vocam::test::umock::LibusbCamera;
using vocam::test::umock::Testbed;
using namespace vocam::usbhost;

namespace {

using Kind = LogEntry::Kind;
using Clock = std::chrono::steady_clock;

std::vector<Kind> kinds(const std::vector<LogEntry> &log) {
    std::vector<Kind> out;
    for (const auto &e : log) out.push_back(e.kind);
    return out;
}

bool contains(const std::vector<std::string> &requests, const std::string &name) {
    return std::find(requests.begin(), requests.end(), name) != requests.end();
}

class UmockTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { unsetenv("VOCAM_SIM"); }
    void SetUp() override {
        if (!Testbed::active()) GTEST_SKIP() << "needs umockdev-wrapper";
        Testbed::instance();
    }
};

class Transport : public UmockTest {
  protected:
    void SetUp() override {
        UmockTest::SetUp();
        if (IsSkipped()) return;
        cam = std::make_unique<LibusbCamera>();
    }
    void TearDown() override { cam.reset(); }
    std::unique_ptr<LibusbCamera> cam;
    vocam::test::StderrCapture err;
};

TEST_F(Transport, ControlTransfersCarryTheVendorRequestAndItsData) {
    std::uint8_t data[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(vo_usb_control_write(cam->handle(), data, 5, 0x12, 0x0007, 0x1000), 0);
    std::uint8_t in[4] = {};
    EXPECT_EQ(vo_usb_control_read(cam->handle(), in, 4, 0x12, 0, 0x1000), 0);
    const auto log = cam->log();
    ASSERT_EQ(kinds(log), (std::vector<Kind>{Kind::Control, Kind::Control}));
    EXPECT_EQ(log[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(log[0].setup.bRequest, 0x12);
    EXPECT_EQ(log[0].setup.wValue, 0x0007);
    EXPECT_EQ(log[0].setup.wIndex, 0x1000);
    EXPECT_EQ(log[0].setup.wLength, 5);
    EXPECT_EQ(log[0].data, std::vector<std::uint8_t>(data, data + 5));
    EXPECT_EQ(log[1].setup.bmRequestType, 0xC0);
    EXPECT_EQ(log[1].setup.wLength, 4);
    // The write changed the first word; its fifth byte went to the next one.
    EXPECT_EQ(std::vector<std::uint8_t>(in, in + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(cam->device().reg(0x1004) & 0xFF, 5u);
    // Every transfer is one URB on the device file.
    EXPECT_EQ(Testbed::instance().takeRequests(),
              (std::vector<std::string>{"SUBMITURB", "SUBMITURB"}));
    EXPECT_EQ(err.take(), "");
}

TEST_F(Transport, ShortReadsAndOverrunsMapAsOnTheSimulatedBus) {
    std::uint8_t data[4] = {};
    cam->device().shortControlRead(2);
    EXPECT_EQ(vo_usb_control_read(cam->handle(), data, 4, 0x12, 0, 0x1000), -1);
    EXPECT_EQ(err.take(), "VOXUSBReadControlPipe Err 0xFFFFFFFF -1\n");

    // The kernel reports an overflowing data stage as -EOVERFLOW; libusb
    // calls it an overflow and the backend the overrun code.
    cam->device().failControl(kIOReturnOverrun);
    EXPECT_EQ(vo_usb_control_read(cam->handle(), data, 4, 0x12, 0, 0x1000), 0);
    cam->device().failControl(kIOReturnOverrun);
    EXPECT_EQ(vo_usb_control_write(cam->handle(), data, 4, 0x12, 0, 0x1000), kIOReturnOverrun);
    const std::string log = err.take();
    EXPECT_NE(log.find("VOXUSBWriteControlPipe Err 0xE00002E8 -536870168\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("VOXUSBReadControlPipe"), std::string::npos) << log;
    EXPECT_EQ(kinds(cam->log()), (std::vector<Kind>{Kind::Control, Kind::Control, Kind::Control}));
}

TEST_F(Transport, AStalledControlWriteFailsAndTheDefaultPipeStaysUsable) {
    std::uint8_t data[4] = {9, 9, 9, 9};
    cam->device().failControl(kIOReturnPipeStalled);
    EXPECT_EQ(vo_usb_control_write(cam->handle(), data, 4, 0x12, 0, 0x1000), kIOReturnPipeStalled);
    EXPECT_NE(err.take().find("VOXUSBWriteControlPipe Err 0xE000404F -536854449\n"),
              std::string::npos);
    // usbfs has no halt to clear on the default pipe (the next setup packet
    // clears it) and no pending control transfer to abort: the recovery
    // reaches the device as nothing at all.
    EXPECT_EQ(kinds(cam->log()), std::vector<Kind>{Kind::Control});
    EXPECT_EQ(vo_usb_control_write(cam->handle(), data, 4, 0x12, 0, 0x0600), 0);
    EXPECT_EQ(cam->device().reg(0x0600), 0x09090909u);

    // A device that does not handshake: the host controller reports a
    // protocol error, which libusb and the backend call an I/O error.
    cam->device().failControl(kIOReturnNotResponding);
    EXPECT_EQ(vo_usb_control_read(cam->handle(), data, 4, 0x12, 0, 0x1000), kIOReturnIOError);
    EXPECT_NE(err.take().find("VOXUSBReadControlPipe Err 0xE00002CA"), std::string::npos);
}

TEST_F(Transport, AControlRequestTheDeviceNeverAnswersTimesOutAndIsWithdrawn) {
    cam->device().failControl(kIOReturnTimeout);
    std::uint8_t data[4] = {};
    vocam::usbhost::Setup s;
    s.bmRequestType = 0xC0;
    s.bRequest = 0x12;
    s.wIndex = 0x1000;
    s.wLength = 4;
    std::uint32_t done = 99;
    const auto start = Clock::now();
    EXPECT_EQ(cam->handle()->usb_interface_if->controlRequest(s, data, done, 300, 0),
              kIOReturnTimeout);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 0.25);
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(contains(Testbed::instance().takeRequests(), "DISCARDURB"));
    // The next request is answered normally.
    EXPECT_EQ(vo_usb_control_read(cam->handle(), data, 4, 0x12, 0, 0x1000), 0);
    EXPECT_EQ(data[0] | data[1] << 8, 1280);
}

class Bulk : public Transport {
  protected:
    void SetUp() override {
        Transport::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(cam->handle()->usb_interface_if->setAlternate(1), 0);  // pipe 1: bulk OUT 0x02
        EXPECT_EQ(cam->device().alternate(), 1);
        cam->device().clearLog();
        Testbed::instance().takeRequests();
    }
};

TEST_F(Bulk, AWriteChecksThePipeThenSendsEverythingInOrder) {
    std::vector<std::uint8_t> data(8u << 20);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
    EXPECT_EQ(
        vo_usb_bulk_write(cam->handle(), 1, data.data(), static_cast<std::uint32_t>(data.size())),
        static_cast<std::int32_t>(data.size()));
    const auto log = cam->log();
    ASSERT_EQ(kinds(log), (std::vector<Kind>{Kind::PipeStatus, Kind::BulkOut}));
    EXPECT_EQ(log[0].endpoint, 0x02);
    EXPECT_EQ(log[1].endpoint, 0x02);
    EXPECT_TRUE(cam->device().bulkOutData() == data);
}

TEST_F(Bulk, AHaltedPipeIsReportedAndNotUsedUntilCleared) {
    cam->device().stallEndpoint(0x02);
    std::uint8_t data[16] = {};
    EXPECT_EQ(vo_usb_bulk_write(cam->handle(), 1, data, sizeof data), -1);
    EXPECT_EQ(err.take(), "pipe is not ready: status=E000404F\n");
    EXPECT_EQ(kinds(cam->log()), std::vector<Kind>{Kind::PipeStatus});

    // Clearing goes to the kernel as CLEAR_HALT on the endpoint.
    EXPECT_EQ(cam->handle()->usb_interface_if->clearPipeStallBothEnds(1), 0);
    EXPECT_TRUE(contains(Testbed::instance().takeRequests(), "CLEAR_HALT"));
    EXPECT_EQ(vo_usb_bulk_write(cam->handle(), 1, data, sizeof data), 16);
}

TEST_F(Bulk, AFailedWriteClearsTheHaltAndReportsTheFailure) {
    cam->device().failBulk(kIOReturnPipeStalled, 0);
    std::uint8_t data[512] = {};
    EXPECT_EQ(vo_usb_bulk_write(cam->handle(), 1, data, sizeof data), kIOReturnPipeStalled);
    EXPECT_EQ(err.take(), "myUSBReadBulkPipe WritePipeTO failed 0xE000404F -536854449\n");
    // The abort has no transfer to cancel, so only the clear reaches the device.
    const auto log = cam->log();
    EXPECT_EQ(kinds(log), (std::vector<Kind>{Kind::PipeStatus, Kind::BulkOut, Kind::ClearStall}));
    EXPECT_EQ(log[2].endpoint, 0x02);
}

TEST_F(Bulk, ReadsReportWhatArrivedAndTimeOutWithoutLosingData) {
    ASSERT_EQ(cam->handle()->usb_interface_if->setAlternate(2), 0);  // pipe 1: bulk IN 0x86
    std::vector<std::uint8_t> sent(300);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i);
    cam->device().queueBulkIn(sent);
    std::uint8_t data[1024] = {};
    EXPECT_EQ(vo_usb_bulk_read(cam->handle(), 1, data, sizeof data), 300);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), data));

    // Nothing to send: the URB waits until the host gives up and withdraws it.
    std::uint32_t count = sizeof data;
    const auto start = Clock::now();
    EXPECT_EQ(cam->handle()->usb_interface_if->readPipe(1, data, count, 300, 0), kIOReturnTimeout);
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 0.25);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(contains(Testbed::instance().takeRequests(), "DISCARDURB"));
    // The withdrawn read took nothing: what the camera sends next arrives whole.
    cam->device().queueBulkIn({7, 8, 9});
    EXPECT_EQ(vo_usb_bulk_read(cam->handle(), 1, data, sizeof data), 3);
    EXPECT_EQ(data[0], 7);
    EXPECT_EQ(data[2], 9);
}

TEST_F(Bulk, AFailedReadResetsThePipeAndReportsWhatArrived) {
    ASSERT_EQ(cam->handle()->usb_interface_if->setAlternate(2), 0);
    cam->device().queueBulkIn(std::vector<std::uint8_t>(300, 1));
    cam->device().failBulk(kIOReturnNotResponding, 100);
    cam->device().clearLog();
    std::uint8_t data[1024] = {};
    // A protocol error after 100 bytes: libusb still counts them.
    EXPECT_EQ(vo_usb_bulk_read(cam->handle(), 1, data, sizeof data), 100);
    EXPECT_EQ(data[99], 1);
    EXPECT_EQ(err.take(), "myUSBReadBulkPipe WritePipeTO failed 0xE00002CA -536870198\n");
    const auto log = cam->log();
    ASSERT_EQ(kinds(log), (std::vector<Kind>{Kind::PipeStatus, Kind::BulkIn, Kind::ClearStall}));
    EXPECT_EQ(log[1].done, 100u);
    EXPECT_EQ(log[2].endpoint, 0x86);
}

TEST_F(Bulk, AReadWaitingWhenTheCameraIsPulledEndsAtOnceWithNoDevice) {
    ASSERT_EQ(cam->handle()->usb_interface_if->setAlternate(2), 0);
    std::thread puller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Testbed::instance().unplug(cam->shared());
    });
    std::uint8_t data[1024] = {};
    const auto start = Clock::now();
    // Not after the five-second time-out: the kernel ends the URB at the disconnect.
    EXPECT_EQ(vo_usb_bulk_read(cam->handle(), 1, data, sizeof data), kIOReturnNoDevice);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
    puller.join();
    EXPECT_NE(err.take().find("myUSBReadBulkPipe WritePipeTO failed 0xE00002C0"),
              std::string::npos);
}

TEST_F(Transport, SpeedAndReleaseComeFromTheDeviceDescriptors) {
    EXPECT_EQ(usb_get_device_speed(cam->handle()), 0);
    EXPECT_EQ(cam->handle()->device_speed, kSpeedHigh);
    EXPECT_EQ(usb_get_device_release_number(cam->handle()), 0);
    EXPECT_EQ(cam->handle()->release_number, cam->device().release());

    // libusb remembers both from the listing; a departed camera still fails.
    Testbed::instance().unplug(cam->shared());
    EXPECT_EQ(usb_get_device_speed(cam->handle()), -5);
    EXPECT_EQ(usb_get_device_release_number(cam->handle()), -1);
    EXPECT_EQ(err.take(),
              "error: unable to read camera's device speed\n"
              "error: unable to read camera's device release number\n");
}

class Registers : public Transport {};

TEST_F(Registers, AFailedReadLeavesTheOutputsAlone) {
    cam->device().failControl(kIOReturnPipeStalled);
    std::uint16_t low = 1, high = 2;
    EXPECT_EQ(vo_usb_read_vocam_two_u16(cam->handle(), 0x1000, &low, &high), -1);
    EXPECT_EQ(low, 1);
    EXPECT_EQ(high, 2);
    EXPECT_EQ(err.take(),
              "VOXUSBReadControlPipe Err 0xE000404F -536854449\n"
              "error: unable to read register from camera\n");
}

class Identity : public UmockTest {};

TEST_F(Identity, ModelNameAndSerialComeFromTheStringDescriptors) {
    LibusbCamera cam("model_16:state=ready:serial=4711:name=" + std::string(40, 'N'));
    vocam::test::StderrCapture err;
    EXPECT_EQ(usb_get_device_model_name(cam.handle()), 0);
    EXPECT_EQ(std::string(cam.handle()->model_name), std::string(31, 'N'));
    EXPECT_EQ(usb_get_device_serial_number(cam.handle()), 0);
    EXPECT_EQ(cam.handle()->serial_number, 4711u);
    const auto log = cam.log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0x80);
    EXPECT_EQ(log[0].setup.bRequest, 6);
    EXPECT_EQ(log[0].setup.wValue, 0x0302);
    EXPECT_EQ(log[0].setup.wLength, 2);
    EXPECT_EQ(log[1].setup.wLength, 2 + 2 * 40);
    EXPECT_EQ(log[3].setup.wValue, 0x0303);
}

TEST_F(Identity, OverlongDescriptorsAndStalledRequests) {
    LibusbCamera cam("model_02:state=ready:name=ABCDEFGHIJ");
    // How a descriptor is parsed is the same on every backend; what differs
    // is how a short answer and a stall reach it.
    char out[32] = "untouched";
    // Announces more than it sends: a short control read, which is no error.
    cam.device().setStringFault(2, StringFault::Overlong);
    EXPECT_EQ(usb_get_string_descriptor(cam.handle(), 2, out, sizeof out, 0), 0);
    EXPECT_STREQ(out, "ABCD");

    cam.device().failControl(kIOReturnPipeStalled);
    std::strcpy(out, "untouched");
    EXPECT_EQ(usb_get_string_descriptor(cam.handle(), 3, out, sizeof out, 0), -1);
    EXPECT_STREQ(out, "untouched");
}

}  // namespace
