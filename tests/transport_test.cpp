// Control, bulk and asynchronous transfers, the register protocol and the
// identity reads: what goes on the wire, what comes back, what is logged,
// when a pipe is reset and where completions run. One suite for both
// backends: built as transport_test on the simulated bus, and as
// umock_transport_test on libusb with the kernel's USB device interface
// emulated by umockdev, against the same camera model.
//
// Where the backends differ:
//   case                         simulated bus              libusb (usbfs)
//   time-outs, device level      logged with the request    kept by libusb
//   stalled control write        pipe 0 cleared, aborted    nothing (no halt on pipe 0)
//   device not responding        kIOReturnNotResponding     protocol error: kIOReturnIOError
//   failed bulk write            cleared, then aborted      cleared (no transfer to abort)
//   request never answered       fails at once              waits its time-out, URB discarded
//   interface closed, reads out  left to the pipe's abort   completed as aborted
//   closing a departed camera    kIOReturnNotOpen           success
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/Stderr.h"
#include "transport/vo_usb.h"

#ifdef VOCAM_TEST_LIBUSB
#include "support/umock/Camera.h"
#include "support/umock/Testbed.h"
using vocam::test::umock::Testbed;
using Camera = vocam::test::umock::LibusbCamera;
constexpr bool kLibusb = true;
#else
#include "support/SimCamera.h"
using Camera = vocam::test::SimCamera;
constexpr bool kLibusb = false;
#endif

using vocam::sim::LogEntry;
using vocam::sim::StringFault;
using namespace vocam::usbhost;
using namespace std::chrono_literals;

namespace {

using Kind = LogEntry::Kind;
using Kinds = std::vector<Kind>;
using Clock = std::chrono::steady_clock;

Kinds kinds(const std::vector<LogEntry> &log) {
    Kinds out;
    for (const auto &e : log) out.push_back(e.kind);
    return out;
}

// A device that does not handshake.
constexpr IOReturn kNotRespondingSeen = kLibusb ? kIOReturnIOError : kIOReturnNotResponding;
const std::string kNotRespondingCode = kLibusb ? "0xE00002CA -536870198" : "0xE00002ED -536870163";

class Transport : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Camera::available()) GTEST_SKIP() << "needs umockdev-wrapper";
        cam.emplace();
    }
    void TearDown() override { cam.reset(); }
    // A camera of another description in place of the default one.
    void use(const std::string &description) {
        cam.reset();
        cam.emplace(description);
    }
    _vocam *h() { return cam->handle(); }
    std::optional<Camera> cam;
    vocam::test::StderrCapture err;
};

TEST_F(Transport, ControlTransfersCarryTheVendorRequestAndItsData) {
    std::uint8_t data[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(vo_usb_control_write(h(), data, 5, 0x12, 0x0007, 0x1000), 0);
    std::uint8_t in[4] = {};
    EXPECT_EQ(vo_usb_control_read(h(), in, 4, 0x12, 0, 0x1000), 0);
    const auto log = cam->log();
    ASSERT_EQ(kinds(log), (Kinds{Kind::Control, Kind::Control}));
    const auto &w = log[0].setup;
    EXPECT_EQ(std::make_tuple(w.bmRequestType, w.bRequest, w.wValue, w.wIndex, w.wLength),
              std::make_tuple(0x40, 0x12, 0x0007, 0x1000, 5));
    EXPECT_EQ(log[0].data, std::vector<std::uint8_t>(data, data + 5));
    EXPECT_EQ(std::make_tuple(log[1].setup.bmRequestType, log[1].setup.wLength),
              std::make_tuple(0xC0, 4));
    if (!kLibusb) {  // a write waits for its data, a read for its completion too
        EXPECT_EQ(
            std::make_tuple(log[0].deviceLevel, log[0].noDataTimeoutMs, log[0].completionTimeoutMs,
                            log[1].noDataTimeoutMs, log[1].completionTimeoutMs),
            std::make_tuple(false, 5000u, 0u, 5000u, 5000u));
    }
    // The write changed the first word; its fifth byte went to the next one.
    EXPECT_EQ(std::vector<std::uint8_t>(in, in + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(cam->device().reg(0x1004) & 0xFF, 5u);
    EXPECT_EQ(err.take(), "");
}

// A failed control write resets pipe 0 (where there is a pipe 0 to reset),
// except for an overrun; a failed read never does, and an overrun on a read
// is success. The default pipe stays usable.
TEST_F(Transport, ControlFaultsAreReportedAndResetPipeZeroOnlyAfterAFailedWrite) {
    const struct {
        bool write;
        IOReturn fault;  // 0: the camera answers a read short
        int result;
        std::string code;  // as logged; empty: nothing is
        bool cleared;      // pipe 0 cleared, then aborted
    } cases[] = {
        {false, 0, -1, "0xFFFFFFFF -1", false},
        {false, kIOReturnOverrun, 0, "", false},
        {true, kIOReturnOverrun, kIOReturnOverrun, "0xE00002E8 -536870168", false},
        {true, kIOReturnPipeStalled, kIOReturnPipeStalled, "0xE000404F -536854449", !kLibusb},
        {false, kIOReturnNotResponding, kNotRespondingSeen, kNotRespondingCode, false},
    };
    for (const auto &c : cases) {
        const std::string pipe = c.write ? "VOXUSBWriteControlPipe" : "VOXUSBReadControlPipe";
        const std::string message = c.code.empty() ? "" : pipe + " Err " + c.code + "\n";
        cam->device().clearLog();
        c.fault ? cam->device().failControl(c.fault) : cam->device().shortControlRead(2);
        std::uint8_t data[4] = {9, 9, 9, 9};
        const auto call = c.write ? vo_usb_control_write : vo_usb_control_read;
        EXPECT_EQ(call(h(), data, 4, 0x12, 0, 0x1000), c.result) << message;
        EXPECT_EQ(err.take(), message);
        const auto log = cam->log();
        const Kinds cleared{Kind::Control, Kind::ClearStall, Kind::Abort};
        EXPECT_EQ(kinds(log), c.cleared ? cleared : Kinds{Kind::Control}) << message;
        for (std::size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].endpoint, 0);
        EXPECT_EQ(vo_usb_control_write(h(), data, 4, 0x12, 0, 0x0600), 0) << message;
    }
    EXPECT_EQ(cam->device().reg(0x0600), 0x09090909u);
}

TEST_F(Transport, AControlRequestTheDeviceNeverAnswersTimesOutAndTheNextIsAnswered) {
    cam->device().failControl(kIOReturnTimeout);
    std::uint8_t data[4] = {};
    vocam::usbhost::Setup s{0xC0, 0x12, 0, 0x1000, 4};
    std::uint32_t done = 99;

    const auto start = Clock::now();
    EXPECT_EQ(h()->usb.interface_if->controlRequest(s, data, done, 300, 0), kIOReturnTimeout);
    EXPECT_GE(Clock::now() - start, kLibusb ? 250ms : 0ms);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(done, 0u);
    // The next request is answered normally.
    EXPECT_EQ(vo_usb_control_read(h(), data, 4, 0x12, 0, 0x1000), 0);
    EXPECT_EQ(data[0] | data[1] << 8, 1280);  // model_02's sensor width
}

TEST_F(Transport, MissingArgumentsSendNothing) {
    std::uint8_t data[4] = {};
    for (auto call : {vo_usb_control_write, vo_usb_control_read}) {
        EXPECT_EQ(call(h(), data, 0, 0x12, 0, 0), -1);
        EXPECT_EQ(call(h(), nullptr, 4, 0x12, 0, 0), -1);
        EXPECT_EQ(call(nullptr, data, 4, 0x12, 0, 0), -1);
    }
    for (auto call : {vo_usb_bulk_write, vo_usb_bulk_read}) {
        EXPECT_EQ(call(h(), 1, data, 0), -1);
        EXPECT_EQ(call(h(), 1, nullptr, 4), -1);
        EXPECT_EQ(call(nullptr, 1, data, 4), -1);
    }
    EXPECT_TRUE(cam->log().empty());
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
        Transport::SetUp();
        if (IsSkipped()) return;
        // Alternate setting 1 of a model with an FPGA: pipe 1 is bulk OUT 0x02.
        ASSERT_EQ(h()->usb.interface_if->setAlternate(1), 0);
        cam->device().clearLog();
    }
    // Alternate setting 2: pipe 1 is bulk IN 0x86.
    void readSide() {
        ASSERT_EQ(h()->usb.interface_if->setAlternate(2), 0);
        cam->device().clearLog();
    }
};

TEST_F(Bulk, AWriteChecksThePipeThenSendsEverythingInOrder) {
    std::vector<std::uint8_t> data(8u << 20);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
    EXPECT_EQ(vo_usb_bulk_write(h(), 1, data.data(), static_cast<std::uint32_t>(data.size())),
              static_cast<std::int32_t>(data.size()));
    const auto log = cam->log();
    ASSERT_EQ(kinds(log), (Kinds{Kind::PipeStatus, Kind::BulkOut}));
    EXPECT_EQ(std::make_tuple(log[0].endpoint, log[1].endpoint), std::make_tuple(0x02, 0x02));
    if (!kLibusb) {
        EXPECT_EQ(std::make_tuple(log[1].noDataTimeoutMs, log[1].completionTimeoutMs),
                  std::make_tuple(5000u, 0u));
    }
    EXPECT_TRUE(cam->device().bulkOutData() == data);
}

TEST_F(Bulk, AHaltedPipeIsReportedAndNotUsedUntilCleared) {
    cam->device().stallEndpoint(0x02);
    std::uint8_t data[16] = {};
    EXPECT_EQ(vo_usb_bulk_write(h(), 1, data, sizeof data), -1);
    EXPECT_EQ(err.take(), "pipe is not ready: status=E000404F\n");
    EXPECT_EQ(kinds(cam->log()), Kinds{Kind::PipeStatus});

    EXPECT_EQ(h()->usb.interface_if->clearPipeStallBothEnds(1), 0);
    EXPECT_EQ(vo_usb_bulk_write(h(), 1, data, sizeof data), 16);
}

TEST_F(Bulk, AFailedWriteResetsThePipeAndReportsTheFailure) {
    // Also after part of the data went: a write is whole or failed.
    cam->device().failBulk(kIOReturnNotResponding, 100);
    std::uint8_t data[512] = {};
    EXPECT_EQ(vo_usb_bulk_write(h(), 1, data, sizeof data), kNotRespondingSeen);
    EXPECT_EQ(err.take(), "myUSBReadBulkPipe WritePipeTO failed " + kNotRespondingCode + "\n");
    const auto log = cam->log();
    Kinds expected{Kind::PipeStatus, Kind::BulkOut, Kind::ClearStall, Kind::Abort};
    if (kLibusb) expected.pop_back();
    EXPECT_EQ(kinds(log), expected);
    EXPECT_EQ(log.at(2).endpoint, 0x02);
}

TEST_F(Bulk, ReadsReportWhatArrivedEvenAfterAFailure) {
    readSide();
    std::vector<std::uint8_t> sent(300);
    std::iota(sent.begin(), sent.end(), std::uint8_t{0});
    cam->device().queueBulkIn(sent);
    std::uint8_t data[1024] = {};
    EXPECT_EQ(vo_usb_bulk_read(h(), 1, data, sizeof data), 300);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), data));

    cam->device().queueBulkIn(std::vector<std::uint8_t>(300, 1));
    cam->device().failBulk(kIOReturnNotResponding, 100);
    cam->device().clearLog();
    EXPECT_EQ(vo_usb_bulk_read(h(), 1, data, sizeof data), 100);
    EXPECT_EQ(data[99], 1);
    EXPECT_EQ(err.take(), "myUSBReadBulkPipe WritePipeTO failed " + kNotRespondingCode + "\n");
    const auto log = cam->log();
    Kinds expected{Kind::PipeStatus, Kind::BulkIn, Kind::ClearStall, Kind::Abort};
    if (kLibusb) expected.pop_back();
    ASSERT_EQ(kinds(log), expected);
    EXPECT_EQ(std::make_tuple(log[1].done, log[2].endpoint), std::make_tuple(100u, 0x86));

    // Nothing arrived: the failure itself is reported.
    cam->device().failBulk(kIOReturnNotResponding, 0);
    EXPECT_EQ(vo_usb_bulk_read(h(), 1, data, sizeof data), kNotRespondingSeen);
}

TEST_F(Bulk, AReadTimesOutWithoutLosingWhatComesNext) {
    readSide();
    std::uint8_t data[1024] = {};
    std::uint32_t count = sizeof data;
    EXPECT_EQ(h()->usb.interface_if->readPipe(1, data, count, 300, 0), kIOReturnTimeout);
    EXPECT_EQ(count, 0u);
    // A read left in flight would take these bytes.
    cam->device().queueBulkIn({7, 8, 9});
    EXPECT_EQ(vo_usb_bulk_read(h(), 1, data, sizeof data), 3);
    EXPECT_EQ(std::make_tuple(data[0], data[2]), std::make_tuple(7, 9));
}

#ifdef VOCAM_TEST_LIBUSB
// A count beyond the buffer is clamped and called an overrun; the transfer
// call counts an overrun as data, and never more than asked.
TEST_F(Bulk, ACountBeyondTheBufferIsClampedAndCalledAnOverrun) {
    readSide();
    cam->device().queueBulkIn(std::vector<std::uint8_t>(128, 5));
    Testbed::instance().overrideUrbs(cam->shared(), 0, 4160, 2);
    std::uint8_t data[64 + 16] = {};
    std::uint32_t count = 64;
    EXPECT_EQ(h()->usb.interface_if->readPipe(1, data, count, 1000, 0), kIOReturnOverrun);
    EXPECT_EQ(count, 64u);
    EXPECT_EQ(vo_usb_bulk_read(h(), 1, data, 64), 64);
    EXPECT_EQ(data[64], 0);
}
#endif

using Registers = Transport;

// The device answers a register request whatever its value field says, so
// only the requests show that it stays zero.
TEST_F(Registers, AWordTravelsAsTheRegisterRequestWithItsAddressAsIndex) {
    EXPECT_EQ(vo_usb_write_vocam_u32(h(), 0x30604, 0x12345678), 0);
    std::uint32_t word = 0;
    EXPECT_EQ(vo_usb_read_vocam_u32(h(), 0x0604, &word), 0);
    EXPECT_EQ(word, 0x12345678u);
    const auto log = cam->log();
    ASSERT_EQ(log.size(), 2u);
    for (const auto &[entry, type] : {std::pair{log[0], 0x40}, std::pair{log[1], 0xC0}}) {
        const auto &s = entry.setup;
        EXPECT_EQ(std::make_tuple(s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength),
                  std::make_tuple(type, 0x12, 0, 0x0604, 4));
    }
}

TEST_F(Registers, FailuresAreReportedAndLeaveOutputsAlone) {
    std::uint32_t word = 7;
    EXPECT_EQ(vo_usb_read_vocam_array(h(), 0x1000, &word, 0), -1);
    EXPECT_EQ(vo_usb_write_vocam_array(h(), 0x1000, &word, 0), -1);
    EXPECT_EQ(err.take(),
              "error: unable to read register from camera\n"
              "error: unable to write register to camera\n");
    EXPECT_TRUE(cam->log().empty());

    EXPECT_EQ(vo_usb_read_vocam_u32(nullptr, 0x1000, &word), -1);
    EXPECT_EQ(vo_usb_write_vocam_u32(nullptr, 0x1000, 1), -1);
    EXPECT_EQ(err.take(),
              "error: camera reference cannot be NULL\n"
              "error: camera reference cannot be NULL\n");

    cam->device().failControl(kIOReturnPipeStalled);
    std::uint16_t low = 1, high = 2;
    EXPECT_EQ(vo_usb_read_vocam_two_u16(h(), 0x1000, &low, &high), -1);
    EXPECT_EQ(std::make_tuple(low, high), std::make_tuple(1, 2));  // left alone
    EXPECT_EQ(err.take(),
              "VOXUSBReadControlPipe Err 0xE000404F -536854449\n"
              "error: unable to read register from camera\n");
}

TEST(SerialNumber, DigitsCountAndOtherCharactersDoNotStopTheParse) {
    // A space is 32: (32 - 48) % 10 is -6, and the sum wraps as unsigned.
    const std::pair<const char *, std::uint32_t> cases[] = {
        {"0012", 12u}, {"12A", 127u}, {"", 0u}, {"1 ", 10u - 6u}, {"4294967296", 0u}};
    for (auto [text, value] : cases) EXPECT_EQ(usb_parse_serial_number(text), value) << text;
}

using Identity = Transport;

TEST_F(Identity, ModelNameSerialAndFirmwareVersionComeFromTheCamera) {
    use("model_16:state=ready:release=0105:serial=4711:name=" + std::string(40, 'N'));
    EXPECT_EQ(usb_get_device_model_name(h()), 0);
    EXPECT_EQ(h()->camera.model_name, std::string(31, 'N'));
    EXPECT_EQ(usb_get_device_serial_number(h()), 0);
    EXPECT_EQ(h()->camera.serial_number, 4711u);

    // Two requests: the header first, then the whole descriptor.
    const auto log = cam->log();
    ASSERT_EQ(log.size(), 4u);
    const auto &s = log[0].setup;
    EXPECT_EQ(std::make_tuple(s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength),
              std::make_tuple(0x80, 6, 0x0302, 0, 2));
    if (!kLibusb) {
        EXPECT_EQ(
            std::make_tuple(log[0].deviceLevel, log[0].noDataTimeoutMs, log[0].completionTimeoutMs),
            std::make_tuple(true, 5000u, 0u));
    }
    EXPECT_EQ(log[1].setup.wLength, 2 + 2 * 40);

    cam->device().setReg(0x000C, 0x00030102);
    usb_get_device_firmware_version(h());
    EXPECT_EQ(h()->camera.firmware_version, 0x00030102u);

    // Speed and release come from the device descriptors.
    EXPECT_EQ(usb_get_device_speed(h()), 0);
    EXPECT_EQ(h()->camera.device_speed, kSpeedHigh);
    EXPECT_EQ(usb_get_device_release_number(h()), 0);
    EXPECT_EQ(h()->camera.release_number, 0x0105);
    err.take();
    cam->unplug();
    EXPECT_EQ(usb_get_device_speed(h()), -5);
    EXPECT_EQ(usb_get_device_release_number(h()), -1);
    EXPECT_EQ(err.take(),
              "error: unable to read camera's device speed\n"
              "error: unable to read camera's device release number\n");
}

// Malformed descriptors are refused and leave the output alone. An empty
// one, or one announcing more than it sends (a short control read, which is
// no error), stays inside the buffer: what never arrived reads as the end.
TEST_F(Identity, StringDescriptorsAreRefusedWhenMalformedAndStayInsideTheBuffer) {
    use("model_02:state=ready:name=ABCDEFGHIJ");
    const std::tuple<StringFault, IOReturn, const char *> cases[] = {
        {StringFault::WrongType, kIOReturnDeviceError, "untouched"},
        {StringFault::OddLength, kIOReturnDeviceError, "untouched"},
        {StringFault::Empty, 0, ""},
        {StringFault::Overlong, 0, "ABCD"}};
    char out[32];
    for (auto [fault, result, text] : cases) {
        cam->device().setStringFault(2, fault);
        std::strcpy(out, "untouched");
        EXPECT_EQ(usb_get_string_descriptor(h(), 2, out, sizeof out, 0), result);
        EXPECT_STREQ(out, text);
        if (result != 0) {
            EXPECT_EQ(usb_get_device_model_name(h()), -1);
            EXPECT_EQ(err.take(), "error: unable to read camera's model name\n");
            EXPECT_EQ(h()->camera.model_name[0], '\0');
        }
    }
    EXPECT_EQ(usb_get_string_descriptor(h(), 2, out, 1, 0), -1);  // no room past the end

    // A failed first request leaves the output alone too; a serial number
    // that cannot be read is none.
    cam->device().failControl(kIOReturnPipeStalled);
    std::strcpy(out, "untouched");
    EXPECT_EQ(usb_get_string_descriptor(h(), 3, out, sizeof out, 0), -1);
    EXPECT_STREQ(out, "untouched");
    err.take();
    cam->device().failControl(kIOReturnNotResponding);
    EXPECT_EQ(usb_get_device_serial_number(h()), -1);
    EXPECT_EQ(err.take(), "error: unable to read camera's serial number\n");
    EXPECT_EQ(h()->camera.serial_number, 0u);
}

struct Completion {
    IOReturn result;
    std::uint32_t bytes;
    std::thread::id thread;
};

// Collects completions; every read's context is the collector.
struct Reads {
    static void done(void *context, IOReturn result, std::uint32_t bytes) {
        auto *self = static_cast<Reads *>(context);
        std::lock_guard guard(self->lock);
        self->completions.push_back({result, bytes, std::this_thread::get_id()});
        self->changed.notify_all();
    }
    // Waits for `count` completions in all; false on time-out.
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = 3000ms) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, limit, [&] { return completions.size() >= count; });
    }
    std::vector<Completion> taken() {
        std::lock_guard guard(lock);
        return completions;
    }
    // The i-th completion's result and count.
    std::tuple<IOReturn, std::uint32_t> at(std::size_t i) {
        const Completion c = taken().at(i);
        return {c.result, c.bytes};
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<Completion> completions;
};

// Asynchronous reads: where their completions run, what abort and close do to
// them, and what a camera pulled from the bus does to a read that is waiting.
class AsyncRead : public Transport {
  protected:
    void SetUp() override {
        Transport::SetUp();
        if (IsSkipped()) return;
        interface = h()->usb.interface_if.get();
        ASSERT_EQ(interface->setAlternate(2), 0);  // pipe 1: the video stream's bulk IN
        ASSERT_EQ(interface->createAsyncEventSource(source), 0);
        loop = cam->host().createEventLoop();
        loop->attach(*source);
        runner = std::thread([this] {
            loopThread = std::this_thread::get_id();
            loop->run();
        });
    }
    void TearDown() override {
        if (loop) loop->stop();
        if (runner.joinable()) runner.join();
        if (loop && source) loop->detach(*source);
        Transport::TearDown();
    }

    Interface *interface = nullptr;
    std::unique_ptr<EventSource> source;
    std::unique_ptr<EventLoop> loop;
    std::thread runner;
    std::thread::id loopThread;
    Reads reads;
};

TEST_F(AsyncRead, AbortCompletesTheReadAsAborted) {
    std::vector<std::uint8_t> buffer(1024);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 1024, &Reads::done, &reads), 0);
    EXPECT_EQ(interface->abortPipe(1), 0);
    ASSERT_TRUE(reads.waitFor(1));
    EXPECT_EQ(reads.at(0), std::make_tuple(kIOReturnAborted, 0u));
}

TEST_F(AsyncRead, PullingTheCameraCompletesAWaitingReadWithNoDevice) {
    std::vector<std::uint8_t> buffer(1024);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 1024, &Reads::done, &reads), 0);
    EXPECT_FALSE(reads.waitFor(1, 100ms));
    const auto start = Clock::now();
    cam->unplug();
    ASSERT_TRUE(reads.waitFor(1));
    EXPECT_LT(Clock::now() - start, 1s);
    const Completion c = reads.taken()[0];
    EXPECT_EQ(std::tie(c.result, c.thread), std::make_tuple(kIOReturnNoDevice, loopThread));
    // A new read is refused at once rather than left waiting.
    EXPECT_EQ(interface->readPipeAsync(1, buffer.data(), 1024, &Reads::done, &reads),
              kIOReturnNoDevice);
    // Selecting an alternate setting is refused without asking libusb, whose
    // handle would otherwise abort the process when it is closed.
    EXPECT_EQ(interface->setAlternate(0), kIOReturnNoDevice);
    // Closing a departed camera neither hangs nor leaves a read behind.
    EXPECT_EQ(interface->close(), kLibusb ? kIOReturnSuccess : kIOReturnNotOpen);
    EXPECT_FALSE(reads.waitFor(2, 200ms));
    // Its device answers no request, cannot be opened again, and is no longer listed.
    std::uint8_t descriptor[18];
    std::uint32_t done = 0;
    EXPECT_EQ(
        h()->usb.device_if->deviceRequest({0x80, 6, 0x0100, 0, 18}, descriptor, done, 1000, 0),
        kIOReturnNoDevice);
    std::unique_ptr<Device> again;
    const IOReturn reopened = h()->usb.device->createDevice(again);
    EXPECT_EQ(reopened != 0 ? reopened : again->open(), kIOReturnNoDevice);
    std::vector<std::shared_ptr<DeviceRef>> listed;
    EXPECT_EQ(cam->host().match({cam->device().vendor(), cam->device().product(), {}}, listed), 0);
    EXPECT_TRUE(listed.empty());
}

#ifdef VOCAM_TEST_LIBUSB
TEST_F(AsyncRead, ClosingTheInterfaceCompletesItsReadsAsAborted) {
    std::vector<std::uint8_t> a(512), b(512);
    ASSERT_EQ(interface->readPipeAsync(1, a.data(), 512, &Reads::done, &reads), 0);
    ASSERT_EQ(interface->readPipeAsync(1, b.data(), 512, &Reads::done, &reads), 0);
    EXPECT_EQ(interface->close(), 0);
    ASSERT_TRUE(reads.waitFor(2));
    for (const Completion &c : reads.taken())
        EXPECT_EQ(std::tie(c.result, c.thread), std::make_tuple(kIOReturnAborted, loopThread));
}

// A stalled stream read reaches its owner after the halt was cleared, once;
// an over-long completion is clamped to the buffer.
TEST_F(AsyncRead, AStalledReadIsClearedOnceBeforeItIsReported) {
    auto clears = [] {
        const auto requests = Testbed::instance().takeRequests();
        return std::count(requests.begin(), requests.end(), "CLEAR_HALT");
    };
    clears();
    std::vector<std::uint8_t> buffer(256);
    cam->device().queueBulkIn(std::vector<std::uint8_t>(256, 1));
    Testbed::instance().overrideUrbs(cam->shared(), -EPIPE, 0);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 256, &Reads::done, &reads), 0);
    ASSERT_TRUE(reads.waitFor(1));
    EXPECT_EQ(std::get<0>(reads.at(0)), kIOReturnPipeStalled);
    EXPECT_EQ(clears(), 1);

    cam->device().queueBulkIn(std::vector<std::uint8_t>(256, 2));
    Testbed::instance().overrideUrbs(cam->shared(), 0, 100000);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 256, &Reads::done, &reads), 0);
    ASSERT_TRUE(reads.waitFor(2));
    EXPECT_EQ(reads.at(1), std::make_tuple(kIOReturnOverrun, 256u));
    EXPECT_EQ(clears(), 0);
}
#endif

TEST_F(AsyncRead, RunOnceReturnsAfterOneCompletion) {
    loop->stop();
    runner.join();
    std::vector<std::uint8_t> buffer(64);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 64, &Reads::done, &reads), 0);
    auto start = Clock::now();
    EXPECT_FALSE(loop->runOnce(0.3));  // nothing to deliver: returns at the bound
    EXPECT_GE(Clock::now() - start, 250ms);
    cam->device().queueBulkIn(std::vector<std::uint8_t>(64, 9));
    start = Clock::now();
    EXPECT_TRUE(loop->runOnce(1.0));
    EXPECT_LT(Clock::now() - start, 900ms);
    ASSERT_EQ(reads.taken().size(), 1u);
    EXPECT_EQ(reads.taken()[0].thread, std::this_thread::get_id());

    EXPECT_EQ(buffer[63], 9);
    // A stop before run is remembered.
    loop->stop();
    loop->run();
}

}  // namespace
