// Control and bulk transfers: what goes on the wire, what comes back, what is
// logged, and when a pipe is reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "vo_usb/vo_usb.h"

using vocam::sim::LogEntry;
using namespace vocam::usbhost;

namespace {

using Kind = LogEntry::Kind;

std::vector<Kind> kinds(const std::vector<LogEntry> &log) {
    std::vector<Kind> out;
    for (const auto &e : log) out.push_back(e.kind);
    return out;
}

class Transport : public ::testing::Test {
  protected:
    vocam::test::SimCamera cam;
    vocam::test::StderrCapture err;
};

TEST_F(Transport, ControlWriteSendsAVendorRequestWithItsData) {
    std::uint8_t data[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(vo_usb_control_write(cam.handle(), data, 5, 0x12, 0x0007, 0x1000), 0);
    const auto log = cam.log();
    ASSERT_EQ(log.size(), 1u);
    const LogEntry &e = log[0];
    EXPECT_EQ(
        std::make_tuple(e.deviceLevel, e.setup.bmRequestType, e.setup.bRequest, e.setup.wValue,
                        e.setup.wIndex, e.setup.wLength, e.noDataTimeoutMs, e.completionTimeoutMs),
        std::make_tuple(false, 0x40, 0x12, 0x0007, 0x1000, 5, 5000u, 0u));
    EXPECT_EQ(e.data, std::vector<std::uint8_t>(data, data + 5));
    EXPECT_EQ(err.take(), "");
}

TEST_F(Transport, ControlReadUsesBothTimeOuts) {
    std::uint8_t data[4] = {};
    EXPECT_EQ(vo_usb_control_read(cam.handle(), data, 4, 0x12, 0, 0x1000), 0);
    const LogEntry e = cam.log().at(0);
    EXPECT_EQ(std::make_tuple(e.setup.bmRequestType, e.setup.wLength, e.noDataTimeoutMs,
                              e.completionTimeoutMs),
              std::make_tuple(0xC0, 4, 5000u, 5000u));
    EXPECT_EQ(data[0] | data[1] << 8, 1280);  // model_02's sensor width
}

// A failed control write resets pipe 0, except for an overrun; a failed read
// never does, and an overrun on a read is success.
TEST(ControlFaults, AreReportedAndResetPipeZeroOnlyAfterAFailedWrite) {
    const struct {
        bool write;
        IOReturn fault;  // 0: the camera answers a read short
        int result;
        const char *message;
        std::vector<Kind> traffic;
    } cases[] = {
        {false, 0, -1, "VOXUSBReadControlPipe Err 0xFFFFFFFF -1\n", {Kind::Control}},
        {false, kIOReturnOverrun, 0, "", {Kind::Control}},
        {true,
         kIOReturnOverrun,
         kIOReturnOverrun,
         "VOXUSBWriteControlPipe Err 0xE00002E8 -536870168\n",
         {Kind::Control}},
        {true,
         kIOReturnPipeStalled,
         kIOReturnPipeStalled,
         "VOXUSBWriteControlPipe Err 0xE000404F -536854449\n",
         {Kind::Control, Kind::ClearStall, Kind::Abort}},
        {false,
         kIOReturnTimeout,
         kIOReturnTimeout,
         "VOXUSBReadControlPipe Err 0xE00002D6 -536870186\n",
         {Kind::Control}},
    };
    for (const auto &c : cases) {
        vocam::test::SimCamera cam;
        vocam::test::StderrCapture err;
        c.fault ? cam.device().failControl(c.fault) : cam.device().shortControlRead(2);
        std::uint8_t data[4] = {};
        const auto call = c.write ? vo_usb_control_write : vo_usb_control_read;
        EXPECT_EQ(call(cam.handle(), data, 4, 0x12, 0, 0x1000), c.result) << c.message;
        EXPECT_EQ(err.take(), c.message);
        const auto log = cam.log();
        EXPECT_EQ(kinds(log), c.traffic) << c.message;
        for (std::size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].endpoint, 0);
    }
}

TEST_F(Transport, MissingArgumentsSendNothing) {
    std::uint8_t data[4] = {};
    _vocam *h = cam.handle();
    for (auto call : {vo_usb_control_write, vo_usb_control_read}) {
        EXPECT_EQ(call(h, data, 0, 0x12, 0, 0), -1);
        EXPECT_EQ(call(h, nullptr, 4, 0x12, 0, 0), -1);
        EXPECT_EQ(call(nullptr, data, 4, 0x12, 0, 0), -1);
    }
    for (auto call : {vo_usb_bulk_write, vo_usb_bulk_read}) {
        EXPECT_EQ(call(h, 1, data, 0), -1);
        EXPECT_EQ(call(h, 1, nullptr, 4), -1);
        EXPECT_EQ(call(nullptr, 1, data, 4), -1);
    }
    EXPECT_TRUE(cam.log().empty());
    EXPECT_EQ(err.take(), "");
}

TEST(BulkTimeout, QuadrupleTheTransferTimeButAtLeastFiveSeconds) {
    const std::uint32_t cases[][2] = {
        {1, 5000}, {8u << 20, 5000}, {600479999u, 5000}, {600480000u, 5004}, {4000000000u, 33332}};
    for (auto [bytes, ms] : cases) EXPECT_EQ(usb_bulk_timeout_ms(bytes), ms) << bytes;
}

class Bulk : public Transport {
  protected:
    void SetUp() override {
        // Alternate setting 1 of a model with an FPGA: pipe 1 is bulk OUT.
        ASSERT_EQ(cam.handle()->usb_interface_if->setAlternate(1), 0);
        cam.device().clearLog();
    }
};

TEST_F(Bulk, WriteChecksThePipeThenSendsEverything) {
    std::vector<std::uint8_t> data(8u << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(
        vo_usb_bulk_write(cam.handle(), 1, data.data(), static_cast<std::uint32_t>(data.size())),
        static_cast<std::int32_t>(data.size()));
    const auto log = cam.log();
    ASSERT_EQ(kinds(log), (std::vector<Kind>{Kind::PipeStatus, Kind::BulkOut}));
    EXPECT_EQ(std::make_tuple(log[1].endpoint, log[1].noDataTimeoutMs, log[1].completionTimeoutMs),
              std::make_tuple(0x02, 5000u, 0u));
    EXPECT_EQ(cam.device().bulkOutData(), data);
}

TEST_F(Bulk, APipeThatIsNotReadyIsNotUsed) {
    cam.device().stallEndpoint(0x02);
    std::uint8_t data[16] = {};
    EXPECT_EQ(vo_usb_bulk_write(cam.handle(), 1, data, sizeof data), -1);
    EXPECT_EQ(err.take(), "pipe is not ready: status=E000404F\n");
    EXPECT_EQ(kinds(cam.log()), std::vector<Kind>{Kind::PipeStatus});
}

TEST_F(Bulk, FailedWriteResetsThePipeAndReportsTheFailure) {
    cam.device().failBulk(kIOReturnNotResponding, 100);
    std::uint8_t data[512] = {};
    EXPECT_EQ(vo_usb_bulk_write(cam.handle(), 1, data, sizeof data), kIOReturnNotResponding);
    EXPECT_EQ(err.take(), "myUSBReadBulkPipe WritePipeTO failed 0xE00002ED -536870163\n");
    const auto log = cam.log();
    EXPECT_EQ(kinds(log),
              (std::vector<Kind>{Kind::PipeStatus, Kind::BulkOut, Kind::ClearStall, Kind::Abort}));
    EXPECT_EQ(log[2].endpoint, 0x02);
}

TEST_F(Bulk, ReadReportsWhatArrivedEvenAfterAFailure) {
    ASSERT_EQ(cam.handle()->usb_interface_if->setAlternate(2), 0);  // pipe 1 is bulk IN
    std::vector<std::uint8_t> sent(300);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i);
    cam.device().queueBulkIn(sent);
    std::uint8_t data[1024] = {};
    EXPECT_EQ(vo_usb_bulk_read(cam.handle(), 1, data, sizeof data), 300);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), data));

    cam.device().queueBulkIn(sent);
    cam.device().failBulk(kIOReturnNotResponding, 100);
    EXPECT_EQ(vo_usb_bulk_read(cam.handle(), 1, data, sizeof data), 100);
    EXPECT_EQ(err.take(), "myUSBReadBulkPipe WritePipeTO failed 0xE00002ED -536870163\n");

    // Nothing arrived: the failure itself is reported.
    cam.device().failBulk(kIOReturnNotResponding, 0);
    EXPECT_EQ(vo_usb_bulk_read(cam.handle(), 1, data, sizeof data), kIOReturnNotResponding);
    err.take();
    auto log = cam.log();
    EXPECT_EQ(log.back().kind, Kind::Abort);
    EXPECT_EQ(log.back().endpoint, 0x86);
}

TEST(DeviceGetters, SpeedAndReleaseNumber) {
    vocam::test::SimCamera cam("model_16:state=ready:release=0105");
    EXPECT_EQ(usb_get_device_speed(cam.handle()), 0);
    EXPECT_EQ(cam.handle()->device_speed, kSpeedHigh);
    EXPECT_EQ(usb_get_device_release_number(cam.handle()), 0);
    EXPECT_EQ(cam.handle()->release_number, 0x0105);

    cam.device().unplug();
    vocam::test::StderrCapture err;
    EXPECT_EQ(usb_get_device_speed(cam.handle()), -5);
    EXPECT_EQ(usb_get_device_release_number(cam.handle()), -1);
    EXPECT_EQ(err.take(),
              "error: unable to read camera's device speed\n"
              "error: unable to read camera's device release number\n");
}

}  // namespace
