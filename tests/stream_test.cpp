// The streaming engine on the simulated camera: the ring's order and the
// newest-frame rule, held buffers, state errors, frame integrity against the
// camera's own log, start/stop under a blocked waiter, and every video fault.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "support/OpenCamera.h"
#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "vo_usb/vo_usb.h"

using namespace std::chrono_literals;
using vocam::sim::frameHash;
using vocam::test::countOf;
using vocam::test::nextFrame;
using vocam::test::StderrCapture;

namespace {

// Fails the program rather than let a hang eat the suite's time.
class Watchdog {
  public:
    Watchdog(std::chrono::seconds limit, const char *what)
        : thread_(std::async(std::launch::async, [limit, what, done = done_.get_future()] {
              if (done.wait_for(limit) == std::future_status::ready) return;
              std::fprintf(stderr, "watchdog: %s did not finish\n", what);
              std::_Exit(3);
          })) {}
    ~Watchdog() { done_.set_value(); }

  private:
    std::promise<void> done_;
    std::future<void> thread_;
};

class Stream : public ::testing::Test {
  protected:
    // A small window keeps hashing thousands of frames cheap.
    void open(const char *description = "model_02:state=ready:fps=0", bool small = true) {
        cam.emplace(description);
        h = cam->handle();
        auto f = vocam::test::window(64, 32, 640, 480, 2, 2);
        if (small) {
            ASSERT_EQ(vocam_set_video_format(h, &f), 0);
        }
    }
    void start() {
        ASSERT_EQ(vocam_enable_streaming(h), 0);
        ASSERT_EQ(vocam_start_streaming(h), 0);
    }
    void finish() {
        EXPECT_EQ(vocam_stop_streaming(h), 0);
        EXPECT_EQ(vocam_disable_streaming(h), 0);
    }
    void takeOne() {
        const int r = nextFrame(h);
        EXPECT_GE(r, 0);
        vocam_release_buffer(h, r);
    }
    template <class Done>
    void waitUntil(Done done) {
        for (;; std::this_thread::sleep_for(1ms)) {
            std::lock_guard lock(h->stream_lock);
            if (done()) return;
        }
    }
    template <class Read>
    auto locked(Read read) {
        std::lock_guard lock(h->stream_lock);
        return read();
    }
    StderrCapture err;
    std::optional<vocam::test::OpenCamera> cam;
    _vocam *h = nullptr;
};

TEST_F(Stream, StateErrorsAreRefusedWithTheirCodes) {
    open("model_02:state=ready:fps=0", false);
    EXPECT_EQ(vocam_get_video_frame_size(h), 0u);
    EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -96);
    EXPECT_EQ(vocam_start_streaming(h), -1);  // nothing to stream into
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    err.take();

    ASSERT_EQ(vocam_enable_streaming(h), 0);
    EXPECT_EQ(err.take(), "vocam_enable_streaming: number of bytes expected: 1310720\n");
    EXPECT_EQ(vocam_get_video_frame_size(h), 1310720u);
    EXPECT_EQ(vocam_get_buffer_count(h), 3);
    EXPECT_NE(vocam_get_buffer_address(h, 0), nullptr);
    for (int bad : {3, -1}) EXPECT_EQ(vocam_get_buffer_address(h, bad), nullptr);
    EXPECT_EQ(vocam_get_buffer_status(h, 0), -78);
    EXPECT_EQ(vocam_get_buffer_acquired_size(h, 0), -78);
    EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -96);
    EXPECT_EQ(err.take(), "stream is not running - no data to wait for...\n");

    ASSERT_EQ(vocam_start_streaming(h), 0);
    EXPECT_EQ(vocam_start_streaming(h), -22);
    EXPECT_EQ(vocam_enable_streaming(h), -1);
    EXPECT_EQ(vocam_disable_streaming(h), -1);
    EXPECT_EQ(err.take(),
              "error: stream is already running\nerror: stream is already running\n"
              "error: unable to disable stream while stream is running\n");
    const int index = vocam_wait_for_capture_to_buffer(h);
    ASSERT_GE(index, 0);
    for (int bad : {3, -1, (index + 1) % 3}) EXPECT_EQ(vocam_release_buffer(h, bad), -22);
    EXPECT_EQ(vocam_release_buffer(h, index), 0);
    EXPECT_EQ(vocam_release_buffer(h, index), -22);  // no longer held

    EXPECT_EQ(vocam_stop_streaming(h), 0);
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -96);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_EQ(vocam_get_buffer_address(h, 0), nullptr);
    EXPECT_EQ(cam->device().reg(0x0214), 0u);  // video is off again
}

// Each read goes into the free buffer holding the oldest frame (never-filled
// buffers first, ties to the lowest index).
TEST(StreamRing, NextReadTakesTheOldestFreeBuffer) {
    vocam::test::SimCamera cam;
    _vocam *h = cam.handle();
    h->width = 16;
    h->height = 4;
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    ASSERT_EQ(h->usb_interface_if->setAlternate(2), 0);  // the streaming endpoints
    std::unique_ptr<vocam::usbhost::EventSource> source;
    ASSERT_EQ(h->usb_interface_if->createAsyncEventSource(source), 0);
    struct Case {
        std::uint32_t seq[3];
        std::uint8_t hold[3];
        int expected;
    } cases[] = {
        {{0, 0, 0}, {0, 0, 0}, 0}, {{1, 0, 0}, {0, 0, 0}, 1}, {{1, 2, 0}, {0, 0, 0}, 2},
        {{4, 2, 3}, {0, 0, 0}, 1}, {{4, 2, 3}, {0, 1, 0}, 2}, {{4, 2, 3}, {0, 1, 1}, 0},
        {{5, 5, 5}, {0, 0, 0}, 0},
    };
    StderrCapture err;
    std::lock_guard lock(h->stream_lock);
    for (const Case &c : cases) {
        for (int i = 0; i < 3; ++i) {
            h->buffers[i].sequence = c.seq[i];
            h->buffers[i].hold_count = c.hold[i];
        }
        h->reading_index = -1;
        ASSERT_EQ(usb_stream_buffer_read_next(h), 0);
        EXPECT_EQ(h->reading_index, c.expected) << c.seq[0] << "," << c.seq[1] << "," << c.seq[2];
        EXPECT_EQ(h->buffers[c.expected].sequence, 0u);
        // A second read into another buffer is refused while one is in flight.
        const int other = (c.expected + 1) % 3;
        EXPECT_EQ(usb_stream_schedule_read(h, other), -22);
        EXPECT_EQ(err.take(), "attempting to read " + std::to_string(other) +
                                  " when in progress of reading " + std::to_string(c.expected));
    }
    for (auto &b : h->buffers) b.hold_count = 1;
    EXPECT_EQ(usb_stream_buffer_read_next(h), -22);
    EXPECT_EQ(err.take(), "all buffers are in use - unable to stream data\n");
    h->usb_interface_if->abortPipe(kStreamPipe);
}

TEST_F(Stream, EachWaitGetsTheNewestFrameOnceAndNeverTheLastFreeBuffer) {
    open();
    start();
    std::uint32_t last = 0;
    for (int i = 0; i < 200; ++i) {
        const int index = vocam_wait_for_capture_to_buffer(h);
        ASSERT_GE(index, 0);
        locked([&] {
            // The held buffer carries the newest completed frame.
            EXPECT_EQ(h->buffers[index].sequence, h->delivered_sequence);
            EXPECT_GT(h->buffers[index].sequence, last);
            last = h->buffers[index].sequence;
        });
        if (i % 50 == 0) std::this_thread::sleep_for(5ms);  // frames complete meanwhile
        ASSERT_EQ(vocam_release_buffer(h, index), 0);
    }

    // With two buffers held there is no frame to take: the one free buffer is
    // re-armed before a waiter wakes, so the newest frame is always already
    // being overwritten.
    const int a = vocam_wait_for_capture_to_buffer(h);
    const int b = nextFrame(h);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_NE(a, b);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -22);
    EXPECT_EQ(vocam_release_buffer(h, a), 0);
    const int c = nextFrame(h);
    EXPECT_GE(c, 0);
    EXPECT_NE(c, b);
    vocam_release_buffer(h, b);
    vocam_release_buffer(h, c);
    finish();
}

// Waits never take the last free buffer (it is always being read into), so a
// full ring comes only from holds the stream started with; a release must
// still get frames flowing again.
TEST_F(Stream, ReleaseRearmsARingThatWasFull) {
    open();
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    locked([&] {
        for (auto &b : h->buffers) b.hold_count = 1;
    });
    ASSERT_EQ(vocam_start_streaming(h), 0);
    EXPECT_EQ(locked([&] { return h->reads_pending; }), 0);
    EXPECT_EQ(locked([&] { return h->reading_index; }), -1);
    EXPECT_GE(countOf(err.take(), "all buffers are in use - unable to stream data\n"), 1);
    auto next = std::async(std::launch::async, [this] { return nextFrame(h); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(next.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(vocam_release_buffer(h, 1), 0);
    // Frames flow into the released buffer again...
    Watchdog watchdog(30s, "frames after a release");
    waitUntil([&] { return h->frame_sequence > 0; });
    // ...and with a second buffer free the waiter gets one.
    EXPECT_EQ(vocam_release_buffer(h, 0), 0);
    ASSERT_EQ(next.wait_for(10s), std::future_status::ready);
    const int got = next.get();
    EXPECT_TRUE(got == 0 || got == 1) << got;
    EXPECT_EQ(vocam_release_buffer(h, got), 0);
    EXPECT_EQ(vocam_release_buffer(h, 2), 0);
    finish();
}

// Every frame the client gets is one the camera sent, whole: the ring never
// hands out a buffer a read is writing into.
TEST_F(Stream, ThousandsOfFramesArriveWholeAndInOrder) {
    open();
    cam->device().video().clearFrameLog();
    start();
    const std::uint32_t bytes = vocam_get_video_frame_size(h);
    ASSERT_EQ(bytes, 320u * 240u);
    std::vector<std::uint64_t> hashes;
    while (hashes.size() < 3000) {
        const int index = nextFrame(h);
        ASSERT_GE(index, 0);
        hashes.push_back(frameHash(vocam_get_buffer_address(h, index), bytes));
        ASSERT_EQ(vocam_release_buffer(h, index), 0);
    }
    finish();
    std::map<std::uint64_t, std::uint64_t> sent;  // hash -> camera's frame number
    for (const auto &f : cam->device().video().frameLog()) sent[f.hash] = f.sequence;
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        auto it = sent.find(hashes[i]);
        ASSERT_NE(it, sent.end()) << "frame " << i << " is not one the camera sent";
        EXPECT_GT(it->second, previous);
        previous = it->second;
    }
    EXPECT_EQ(err.take().find("error"), std::string::npos);
}

TEST_F(Stream, ThousandStartStopCyclesWithABlockedWaiter) {
    open();
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    Watchdog watchdog(240s, "start/stop cycles");
    std::atomic<bool> done{false};
    std::atomic<int> frames{0}, ended{0};
    std::thread waiter([&] {
        while (!done) {
            const int r = vocam_wait_for_capture_to_buffer(h);
            if (r >= 0) ++frames, vocam_release_buffer(h, r);
            if (r == -96) ++ended, std::this_thread::yield();
        }
    });
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(vocam_start_streaming(h), 0) << "cycle " << i;
        if (i % 100 == 0) std::this_thread::sleep_for(2ms);
        ASSERT_EQ(vocam_stop_streaming(h), 0) << "cycle " << i;
    }
    done = true;
    waiter.join();
    EXPECT_GT(frames.load(), 0);
    EXPECT_GT(ended.load(), 0);
    EXPECT_FALSE(locked([&] { return h->streaming; }));
    EXPECT_EQ(locked([&] { return h->reads_pending; }), 0);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
}

TEST_F(Stream, EveryBlockedWaiterReturnsAtTheEndOfTheStream) {
    open();
    start();
    takeOne();  // the window's picture is ready, so frames are quick
    cam->device().video().setSilent(true);
    // Let the frame in flight (if any) land, so the waiters really block.
    std::this_thread::sleep_for(20ms);
    waitUntil([&] {
        return std::exchange(h->delivered_sequence, h->frame_sequence) == h->frame_sequence;
    });
    std::vector<std::future<int>> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(
            std::async(std::launch::async, [this] { return vocam_wait_for_capture_to_buffer(h); }));
    std::this_thread::sleep_for(20ms);
    for (auto &w : waiters) EXPECT_EQ(w.wait_for(0s), std::future_status::timeout);
    auto stop = std::async(std::launch::async, [this] { return vocam_stop_streaming(h); });
    ASSERT_EQ(stop.wait_for(20s), std::future_status::ready)
        << "stop hangs on a read that never completes";
    EXPECT_EQ(stop.get(), 0);
    for (auto &w : waiters) {
        ASSERT_EQ(w.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(w.get(), -96);
    }
    // The read the silent camera never answered was cancelled.
    EXPECT_GE(countOf(err.take(), "error: stream read did not complete - cancelling it\n"), 1);
    EXPECT_EQ(locked([&] { return h->reads_pending; }), 0);
    cam->device().video().setSilent(false);
    start();  // the camera speaks again: the next stream runs as before
    takeOne();
    finish();
}

// Paced, so the first whole frame is still the newest when the waiter wakes.
TEST_F(Stream, FailedReadsAreRetriedIntoTheSameBuffer) {
    open("model_02:state=ready:fps=4");
    cam->device().video().failReads(vocam::usbhost::kIOReturnIOError, 3);
    start();
    const int index = vocam_wait_for_capture_to_buffer(h);
    EXPECT_EQ(index, 0);  // the first frame, after the retries, is in buffer 0
    EXPECT_EQ(locked([&] { return h->buffers[0].sequence; }), 1u);
    vocam_release_buffer(h, index);
    finish();
    const auto line =
        "error: read async returned " + std::to_string(vocam::usbhost::kIOReturnIOError) + "\n";
    EXPECT_EQ(countOf(err.take(), line), 3);
}

TEST_F(Stream, ShortFramesAreReadAgainAndNeverDelivered) {
    open("model_02:state=ready:fps=4");
    cam->device().video().clearFrameLog();
    cam->device().video().shortFrames(1000, 2);
    start();
    ASSERT_EQ(vocam_wait_for_capture_to_buffer(h), 0);
    const std::uint64_t hash =
        frameHash(vocam_get_buffer_address(h, 0), vocam_get_video_frame_size(h));
    EXPECT_EQ(locked([&] { return h->buffers[0].acquired_size; }), 320u * 240u);
    EXPECT_EQ(locked([&] { return h->reads_pending; }), 1);
    const auto log = cam->device().video().frameLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].hash, hash);  // the first whole frame, not a short one
    vocam_release_buffer(h, 0);
    finish();
    EXPECT_EQ(countOf(err.take(), "error: read async only read 1000/76800 bytes\n"), 2);
}

TEST_F(Stream, ACameraThatLeavesTheBusEndsTheStream) {
    open();
    start();
    for (int i = 0; i < 10; ++i) takeOne();
    Watchdog watchdog(60s, "end of stream after unplug");
    auto waiter = std::async(std::launch::async, [this] {
        int r;
        while ((r = vocam_wait_for_capture_to_buffer(h)) != -96)
            if (r >= 0) vocam_release_buffer(h, r);
        return r;
    });
    cam->device().unplug();
    EXPECT_EQ(waiter.get(), -96);
    // The thread ends on its own; a stop then finds nothing running.
    waitUntil([&] { return !h->streaming; });
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_GE(countOf(err.take(), "error: camera has left the bus - ending the stream\n"), 1);
}

TEST_F(Stream, StartFailsWithoutHangingWhenVideoCannotBeEnabledOrTheCameraLeft) {
    open();
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    cam->device().failControl(vocam::usbhost::kIOReturnIOError, 2);
    Watchdog watchdog(30s, "start with failing video");
    EXPECT_LT(vocam_start_streaming(h), 0);
    EXPECT_GE(countOf(err.take(), "error: unable to enable video\n"), 1);
    EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -96);
    // Nothing is left running, and the camera works again afterwards.
    ASSERT_EQ(vocam_start_streaming(h), 0);
    takeOne();
    EXPECT_EQ(vocam_stop_streaming(h), 0);

    cam->device().unplug();
    EXPECT_LT(vocam_start_streaming(h), 0);
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
}

TEST_F(Stream, ClosingARunningStreamEndsIt) {
    open();
    auto device = vocam::sim::Bus::instance().devices().at(0);
    start();
    EXPECT_EQ(device->reg(0x0214), 0x80u);
    cam.reset();                         // closes the handle with the stream running
    EXPECT_EQ(device->reg(0x0214), 0u);  // the stream thread stopped video and ended
}

}  // namespace
