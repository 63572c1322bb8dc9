#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "support/Stderr.h"
#include "usbhost/libusb/LibusbErrors.h"
#include "usbhost/libusb/LibusbHost.h"

using namespace std::chrono_literals;

namespace {

using namespace vocam::usbhost;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every failure gets its own negative code, and none of them may be taken for
// the device-error code, which means a malformed descriptor to our callers.
TEST(LibusbErrors, EveryCodeAndTransferStatusHasItsOwnPlatformCode) {
    std::set<IOReturn> codes, statuses;
    for (int code :
         {LIBUSB_ERROR_IO, LIBUSB_ERROR_INVALID_PARAM, LIBUSB_ERROR_ACCESS, LIBUSB_ERROR_NO_DEVICE,
          LIBUSB_ERROR_NOT_FOUND, LIBUSB_ERROR_BUSY, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_OVERFLOW,
          LIBUSB_ERROR_PIPE, LIBUSB_ERROR_INTERRUPTED, LIBUSB_ERROR_NO_MEM,
          LIBUSB_ERROR_NOT_SUPPORTED, LIBUSB_ERROR_OTHER}) {
        const IOReturn mapped = fromLibusb(code);
        EXPECT_LT(mapped, 0) << libusb_error_name(code);
        EXPECT_NE(mapped, kIOReturnDeviceError) << libusb_error_name(code);
        EXPECT_TRUE(codes.insert(mapped).second) << libusb_error_name(code) << " shares a code";
    }
    for (int status :
         {LIBUSB_TRANSFER_ERROR, LIBUSB_TRANSFER_TIMED_OUT, LIBUSB_TRANSFER_CANCELLED,
          LIBUSB_TRANSFER_STALL, LIBUSB_TRANSFER_NO_DEVICE, LIBUSB_TRANSFER_OVERFLOW}) {
        EXPECT_LT(fromLibusbTransfer(status), 0) << status;
        EXPECT_TRUE(statuses.insert(fromLibusbTransfer(status)).second) << status;
    }
    // The codes the umockdev suites cannot provoke; the others they see end
    // to end (overrun, abort, stall, time-out, no device, I/O error, and a
    // busy claim in the start-up suite).
    EXPECT_EQ(fromLibusb(LIBUSB_SUCCESS), kIOReturnSuccess);
    EXPECT_EQ(fromLibusb(512), kIOReturnSuccess);  // a byte count
    EXPECT_EQ(fromLibusbTransfer(LIBUSB_TRANSFER_COMPLETED), kIOReturnSuccess);
}

TEST(LibusbTimeout, TighterOfTheLimitsThatAreSet) {
    const unsigned cases[][3] = {
        {5000, 0, 5000}, {5000, 1200, 1200}, {1200, 5000, 1200}, {0, 700, 700}, {0, 0, 0}};
    for (auto [a, b, tighter] : cases) EXPECT_EQ(effectiveTimeout(a, b), tighter) << a << " " << b;
}

int failingInit(libusb_context **) {
    return LIBUSB_ERROR_OTHER;
}

TEST(LibusbHost, FailedInitialisationIsReportedAndContained) {
    vocam::test::StderrCapture err;
    auto host = makeLibusbHostWith(&failingInit);
    EXPECT_EQ(host->status(), kIOReturnError);
    EXPECT_NE(err.take().find("libusb_init failed: LIBUSB_ERROR_OTHER"), std::string::npos);

    std::vector<std::shared_ptr<DeviceRef>> found(1);
    EXPECT_EQ(host->match(Match{0x1234, 0x5678, {}}, found), kIOReturnError);
    EXPECT_TRUE(found.empty());
}

// The event loop runs on a libusb context, or on the context-less fallback
// (which waits on a condition variable) where libusb could not start; the
// contract is the same.
class EventLoopTest : public ::testing::TestWithParam<bool> {
  protected:
    vocam::test::StderrCapture quiet;
    std::unique_ptr<Host> host = GetParam() ? makeLibusbHost() : makeLibusbHostWith(&failingInit);
    std::unique_ptr<EventLoop> loop = host->createEventLoop();
    std::unique_ptr<LibusbEventSource> source = LibusbEventSource::create();
};

INSTANTIATE_TEST_SUITE_P(ContextAndFallback, EventLoopTest, ::testing::Bool());

TEST_P(EventLoopTest, TimeBoundsAndStopsFromEitherSide) {
    auto start = Clock::now();
    EXPECT_FALSE(loop->runOnce(0.2));
    EXPECT_GE(secondsSince(start), 0.19);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_FALSE(loop->runOnce(0.0));

    auto running = std::async(std::launch::async, [&] { loop->run(); });
    EXPECT_EQ(running.wait_for(100ms), std::future_status::timeout);
    // Well inside the loop's one-second safety slice: the stop wakes it.
    loop->stop();
    EXPECT_EQ(running.wait_for(500ms), std::future_status::ready);

    // A stop before run is remembered, once.
    loop->stop();
    start = Clock::now();
    loop->run();
    loop->stop();
    EXPECT_FALSE(loop->runOnce(5.0));
    EXPECT_LT(secondsSince(start), 0.5);
    start = Clock::now();
    EXPECT_FALSE(loop->runOnce(0.1));
    EXPECT_GE(secondsSince(start), 0.09);
}

struct Delivered {
    std::atomic<int> calls{0};
    IOReturn result = 0;
    std::uint32_t bytes = 0;
    std::thread::id thread;
};

void record(void *context, IOReturn result, std::uint32_t bytes) {
    auto *d = static_cast<Delivered *>(context);
    d->result = result;
    d->bytes = bytes;
    d->thread = std::this_thread::get_id();
    d->calls++;
}

TEST_P(EventLoopTest, CompletionsRunOnTheLoopThreadOnePerRunOnce) {
    loop->attach(*source);
    Delivered first, second;
    std::thread poster([&] {
        std::this_thread::sleep_for(50ms);
        source->post(&record, &first, kIOReturnAborted, 17);
        source->post(&record, &second, kIOReturnSuccess, 4096);
    });
    const auto start = Clock::now();
    EXPECT_TRUE(loop->runOnce(5.0));
    EXPECT_LT(secondsSince(start), 0.5);  // woken, not found at a time-out
    poster.join();
    EXPECT_EQ(std::make_tuple(first.calls.load(), first.result, first.bytes, first.thread),
              std::make_tuple(1, kIOReturnAborted, 17u, std::this_thread::get_id()));
    EXPECT_EQ(second.calls, 0);
    EXPECT_TRUE(loop->runOnce(1.0));
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(second.bytes, 4096u);
}

TEST_P(EventLoopTest, CompletionsWaitForAnAttachedLoop) {
    Delivered d;
    source->post(&record, &d, kIOReturnSuccess, 1);
    EXPECT_FALSE(loop->runOnce(0.05));
    EXPECT_EQ(d.calls, 0);

    loop->attach(*source);
    EXPECT_TRUE(loop->runOnce(1.0));
    EXPECT_EQ(d.calls, 1);

    loop->detach(*source);
    source->post(&record, &d, kIOReturnSuccess, 2);
    EXPECT_FALSE(loop->runOnce(0.05));
    EXPECT_EQ(d.calls, 1);

    // A source that goes away leaves the loop cleanly.
    loop->attach(*source);
    source.reset();
    EXPECT_FALSE(loop->runOnce(0.05));
    EXPECT_EQ(d.calls, 1);
}

// Two loops of one host share libusb's event handling: one of them waits
// while the other polls, as the stream thread does while another thread runs
// a synchronous transfer. Wake-ups must reach whichever one is waiting.
TEST_P(EventLoopTest, LoopsSharingAContextWakePromptly) {
    auto other = host->createEventLoop();
    auto otherRunning = std::async(std::launch::async, [&] { other->run(); });
    loop->attach(*source);
    Delivered d;
    auto running = std::async(std::launch::async, [&] { loop->run(); });
    for (int round = 0; round < 5; ++round) {
        std::this_thread::sleep_for(20ms);
        const auto start = Clock::now();
        source->post(&record, &d, kIOReturnSuccess, 1);
        while (d.calls <= round && secondsSince(start) < 2.0) std::this_thread::sleep_for(1ms);
        EXPECT_LT(secondsSince(start), 0.5) << "round " << round;
    }
    EXPECT_EQ(d.calls, 5);
    EXPECT_NE(d.thread, std::this_thread::get_id());  // run() delivered them
    loop->stop();
    EXPECT_EQ(running.wait_for(500ms), std::future_status::ready);
    other->stop();
    EXPECT_EQ(otherRunning.wait_for(500ms), std::future_status::ready);
}

TEST(LibusbDescriptor, RebuildKeepsEveryDescriptorInPlace) {
    const unsigned char classSpecific[] = {4, 0x24, 0x01, 0x02};
    const libusb_endpoint_descriptor out1{
        7, LIBUSB_DT_ENDPOINT, 0x02, LIBUSB_TRANSFER_TYPE_BULK, 0x0200, 0, 0, 0, nullptr, 0};
    const libusb_endpoint_descriptor in2{
        7, LIBUSB_DT_ENDPOINT, 0x86, LIBUSB_TRANSFER_TYPE_BULK, 0x0200, 0, 0, 0, classSpecific, 4};
    // Length, type, number, alternate, endpoints, class, subclass, protocol, name.
    libusb_interface_descriptor alts[2] = {
        {9, LIBUSB_DT_INTERFACE, 0, 0, 1, 0xFF, 0, 0, 0, &out1, nullptr, 0},
        {9, LIBUSB_DT_INTERFACE, 0, 1, 1, 0xFF, 0, 0, 5, &in2, nullptr, 0}};
    libusb_interface interface { alts, 2 };
    const libusb_config_descriptor config{0, 0, 0, 1, 1, 0, 0x80, 250, &interface, nullptr, 0};

    const std::vector<std::uint8_t> expected = {
        9, 2, 45,   0, 1,    1,    0, 0x80, 250,                // configuration
        9, 4, 0,    0, 1,    0xFF, 0, 0,    0,                  // alternate 0
        7, 5, 0x02, 2, 0x00, 0x02, 0,                           // bulk OUT
        9, 4, 0,    1, 1,    0xFF, 0, 0,    5,                  // alternate 1
        7, 5, 0x86, 2, 0x00, 0x02, 0, 4,    0x24, 0x01, 0x02};  // bulk IN + its extra
    EXPECT_EQ(rebuildConfigurationDescriptor(config), expected);

    // A descriptor that ended inside a setting's endpoint list: libusb keeps
    // the count and has no endpoints to show for it.
    alts[1].endpoint = nullptr;
    EXPECT_FALSE(configurationWellFormed(config));
    EXPECT_TRUE(rebuildConfigurationDescriptor(config).empty());
    alts[1].endpoint = &in2;
    interface.altsetting = nullptr;
    EXPECT_FALSE(configurationWellFormed(config));
    interface.altsetting = alts;
    EXPECT_TRUE(configurationWellFormed(config));
}

}  // namespace
