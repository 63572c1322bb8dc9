// Asynchronous bulk reads through libusb and the emulated device file: where
// their completions run, what abort and close do to them, and what a camera
// pulled from the bus does to a read that is waiting.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "support/umock/Camera.h"
#include "support/umock/OnLibusb.h"
#include "support/umock/Testbed.h"

using vocam::test::umock::LibusbCamera;
using vocam::test::umock::Testbed;
using namespace vocam::usbhost;
using namespace std::chrono_literals;

namespace {

struct Completion {
    IOReturn result = 0;
    std::uint32_t bytes = 0;
    std::thread::id thread;
};

// Collects completions; each read's context is its slot number.
class Reads {
  public:
    static void done(void *context, IOReturn result, std::uint32_t bytes) {
        auto *slot = static_cast<Slot *>(context);
        std::lock_guard guard(slot->owner->lock_);
        slot->owner->completions_.push_back(
            {slot->index, {result, bytes, std::this_thread::get_id()}});
        slot->owner->changed_.notify_all();
    }
    void *slot(int index) {
        slots_.push_back(std::make_unique<Slot>(Slot{this, index}));
        return slots_.back().get();
    }
    // Waits for `count` completions in all; false on time-out.
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = 3000ms) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, limit, [&] { return completions_.size() >= count; });
    }
    std::vector<std::pair<int, Completion>> taken() {
        std::lock_guard guard(lock_);
        return completions_;
    }

  private:
    struct Slot {
        Reads *owner;
        int index;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::pair<int, Completion>> completions_;
    std::vector<std::unique_ptr<Slot>> slots_;
};

class AsyncRead : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("VOCAM_SIM");
        if (!Testbed::active()) GTEST_SKIP() << "needs umockdev-wrapper";
        cam = std::make_unique<LibusbCamera>();
        interface = cam->handle()->usb_interface_if.get();
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
        cam.reset();
    }

    std::unique_ptr<LibusbCamera> cam;
    Interface *interface = nullptr;
    std::unique_ptr<EventSource> source;
    std::unique_ptr<EventLoop> loop;
    std::thread runner;
    std::thread::id loopThread;
    Reads reads;
};

TEST_F(AsyncRead, FramesCompleteInOrderOnTheLoopThread) {
    std::vector<std::vector<std::uint8_t>> buffers(3, std::vector<std::uint8_t>(4096));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(interface->readPipeAsync(1, buffers[i].data(), 4096, &Reads::done, reads.slot(i)),
                  0);
    EXPECT_FALSE(reads.waitFor(1, 100ms));  // nothing has arrived yet
    for (std::uint8_t frame = 1; frame <= 3; ++frame)
        cam->device().queueBulkIn(std::vector<std::uint8_t>(4096, frame));
    ASSERT_TRUE(reads.waitFor(3));
    const auto done = reads.taken();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(done[i].first, i);
        EXPECT_EQ(done[i].second.result, 0);
        EXPECT_EQ(done[i].second.bytes, 4096u);
        EXPECT_EQ(done[i].second.thread, loopThread);
        EXPECT_EQ(buffers[i][0], i + 1);
        EXPECT_EQ(buffers[i][4095], i + 1);
    }
}

TEST_F(AsyncRead, AbortCompletesTheReadAndLosesNoData) {
    std::vector<std::uint8_t> buffer(1024);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 1024, &Reads::done, reads.slot(0)), 0);
    EXPECT_EQ(interface->abortPipe(1), 0);
    ASSERT_TRUE(reads.waitFor(1));
    EXPECT_EQ(reads.taken()[0].second.result, kIOReturnAborted);
    EXPECT_EQ(reads.taken()[0].second.bytes, 0u);

    cam->device().queueBulkIn({5, 6, 7});
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 1024, &Reads::done, reads.slot(1)), 0);
    ASSERT_TRUE(reads.waitFor(2));
    EXPECT_EQ(reads.taken()[1].second.result, 0);
    EXPECT_EQ(reads.taken()[1].second.bytes, 3u);
    EXPECT_EQ(buffer[0], 5);
}

TEST_F(AsyncRead, PullingTheCameraCompletesAWaitingReadWithNoDevice) {
    std::vector<std::uint8_t> buffer(1024);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 1024, &Reads::done, reads.slot(0)), 0);
    EXPECT_FALSE(reads.waitFor(1, 100ms));
    const auto start = std::chrono::steady_clock::now();
    Testbed::instance().unplug(cam->shared());
    ASSERT_TRUE(reads.waitFor(1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(reads.taken()[0].second.result, kIOReturnNoDevice);
    EXPECT_EQ(reads.taken()[0].second.thread, loopThread);
    // A new read is refused at once rather than left waiting.
    EXPECT_EQ(interface->readPipeAsync(1, buffer.data(), 1024, &Reads::done, reads.slot(1)),
              kIOReturnNoDevice);
    // Selecting an alternate setting is refused without asking libusb, whose
    // handle would otherwise abort the process when it is closed.
    EXPECT_EQ(interface->setAlternate(0), kIOReturnNoDevice);
    // Closing a departed camera neither hangs nor leaves a read behind.
    EXPECT_EQ(interface->close(), 0);
    EXPECT_FALSE(reads.waitFor(2, 200ms));
}

TEST_F(AsyncRead, ClosingTheInterfaceCompletesItsReadsAsAborted) {
    std::vector<std::uint8_t> a(512), b(512);
    ASSERT_EQ(interface->readPipeAsync(1, a.data(), 512, &Reads::done, reads.slot(0)), 0);
    ASSERT_EQ(interface->readPipeAsync(1, b.data(), 512, &Reads::done, reads.slot(1)), 0);
    EXPECT_EQ(interface->close(), 0);
    ASSERT_TRUE(reads.waitFor(2));
    for (const auto &[slot, c] : reads.taken()) {
        EXPECT_EQ(c.result, kIOReturnAborted) << slot;
        EXPECT_EQ(c.thread, loopThread);
    }
}

// A stalled stream read reaches its owner after the halt was cleared, once;
// an over-long completion is clamped to the buffer.
TEST_F(AsyncRead, AStalledReadIsClearedOnceBeforeItIsReported) {
    auto clears = [] {
        return vocam::test::umock::requestCount(Testbed::instance().takeRequests(), "CLEAR_HALT");
    };
    clears();
    std::vector<std::uint8_t> buffer(256);
    cam->device().queueBulkIn(std::vector<std::uint8_t>(256, 1));
    Testbed::instance().overrideUrbs(cam->shared(), -EPIPE, 0);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 256, &Reads::done, reads.slot(0)), 0);
    ASSERT_TRUE(reads.waitFor(1));
    EXPECT_EQ(reads.taken()[0].second.result, kIOReturnPipeStalled);
    EXPECT_EQ(clears(), 1);

    cam->device().queueBulkIn(std::vector<std::uint8_t>(256, 2));
    Testbed::instance().overrideUrbs(cam->shared(), 0, 100000);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 256, &Reads::done, reads.slot(1)), 0);
    ASSERT_TRUE(reads.waitFor(2));
    EXPECT_EQ(reads.taken()[1].second.result, kIOReturnOverrun);
    EXPECT_EQ(reads.taken()[1].second.bytes, 256u);
    EXPECT_EQ(clears(), 0);
}

TEST_F(AsyncRead, RunOnceReturnsAfterOneCompletion) {
    loop->stop();
    runner.join();
    std::vector<std::uint8_t> buffer(64);
    ASSERT_EQ(interface->readPipeAsync(1, buffer.data(), 64, &Reads::done, reads.slot(0)), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop->runOnce(0.3));  // nothing to deliver: returns at the bound
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    cam->device().queueBulkIn(std::vector<std::uint8_t>(64, 9));
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(loop->runOnce(1.0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    ASSERT_EQ(reads.taken().size(), 1u);
    EXPECT_EQ(reads.taken()[0].second.thread, std::this_thread::get_id());
    EXPECT_EQ(buffer[63], 9);
}

}  // namespace
