// The streaming engine on the simulated camera: the ring's order and the
// newest-frame rule, held buffers, state errors, frame integrity against the
// camera's own log, start/stop under a blocked waiter, and every video fault.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <thread>
#include <vector>

#include "support/OpenCamera.h"
#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "vo_usb/vo_usb.h"

using namespace std::chrono_literals;
using vocam::sim::frameHash;
using vocam::test::OpenCamera;
using vocam::test::StderrCapture;

namespace {

// Fails the program rather than let a hang eat the suite's time.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit, const char *what)
        : thread_([this, limit, what] {
              std::unique_lock lock(mutex_);
              if (!cond_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: %s did not finish\n", what);
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cond_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool done_ = false;
    std::thread thread_;
};

// A small window keeps hashing thousands of frames cheap.
void smallWindow(_vocam *h) {
    _vocam_frame_format f{};
    f.width = 640;
    f.height = 480;
    f.xOffset = 64;
    f.yOffset = 32;
    f.subSampleX = f.subSampleY = 2;
    ASSERT_EQ(vocam_set_video_format(h, &f), 0);
}

int countOf(const std::string &text, const std::string &line) {
    int count = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

std::uint32_t sequenceOf(_vocam *h, int index) {
    std::lock_guard lock(h->stream_lock);
    return h->buffers[index].sequence;
}

class Stream : public ::testing::Test {
  protected:
    void start(OpenCamera &cam) {
        ASSERT_EQ(vocam_enable_streaming(cam.handle()), 0);
        ASSERT_EQ(vocam_start_streaming(cam.handle()), 0);
    }
    void finish(OpenCamera &cam) {
        EXPECT_EQ(vocam_stop_streaming(cam.handle()), 0);
        EXPECT_EQ(vocam_disable_streaming(cam.handle()), 0);
    }
    StderrCapture err;
};

TEST_F(Stream, StateErrorsAreRefusedWithTheirCodes) {
    OpenCamera cam;
    _vocam *h = cam.handle();
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
    EXPECT_EQ(vocam_get_buffer_address(h, 3), nullptr);
    EXPECT_EQ(vocam_get_buffer_address(h, -1), nullptr);
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
    EXPECT_EQ(vocam_release_buffer(h, 3), -22);
    EXPECT_EQ(vocam_release_buffer(h, -1), -22);
    EXPECT_EQ(vocam_release_buffer(h, (index + 1) % 3), -22);  // not held
    EXPECT_EQ(vocam_release_buffer(h, index), 0);
    EXPECT_EQ(vocam_release_buffer(h, index), -22);

    EXPECT_EQ(vocam_stop_streaming(h), 0);
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -96);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_EQ(vocam_get_buffer_address(h, 0), nullptr);
    // Video is off again once the stream has ended.
    EXPECT_EQ(cam.device().reg(0x0214), 0u);
}

TEST_F(Stream, FirstWaitGetsBufferZeroWithSequenceOne) {
    OpenCamera cam("model_02:state=ready:fps=4");
    _vocam *h = cam.handle();
    start(cam);
    const int index = vocam_wait_for_capture_to_buffer(h);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(sequenceOf(h, 0), 1u);
    vocam_release_buffer(h, index);
    finish(cam);
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
        StderrCapture err;
        EXPECT_EQ(usb_stream_schedule_read(h, (c.expected + 1) % 3), -22);
        EXPECT_EQ(err.take(), "attempting to read " + std::to_string((c.expected + 1) % 3) +
                                  " when in progress of reading " + std::to_string(c.expected));
    }
    h->buffers[0].hold_count = h->buffers[1].hold_count = h->buffers[2].hold_count = 1;
    StderrCapture err;
    EXPECT_EQ(usb_stream_buffer_read_next(h), -22);
    EXPECT_EQ(err.take(), "all buffers are in use - unable to stream data\n");
    h->usb_interface_if->abortPipe(kStreamPipe);
}

TEST_F(Stream, EachWaitGetsTheNewestFrameAndNeverTheSameTwice) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    smallWindow(h);
    start(cam);
    std::uint32_t last = 0;
    for (int i = 0; i < 200; ++i) {
        const int index = vocam_wait_for_capture_to_buffer(h);
        ASSERT_GE(index, 0);
        {
            std::lock_guard lock(h->stream_lock);
            // The held buffer carries the newest completed frame.
            EXPECT_EQ(h->buffers[index].sequence, h->delivered_sequence);
            EXPECT_GT(h->buffers[index].sequence, last);
            last = h->buffers[index].sequence;
        }
        if (i % 50 == 0) std::this_thread::sleep_for(5ms);  // frames complete meanwhile
        ASSERT_EQ(vocam_release_buffer(h, index), 0);
    }
    finish(cam);
}

TEST_F(Stream, TwoHeldBuffersLeaveNoFrameToTake) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    smallWindow(h);
    start(cam);
    const int a = vocam_wait_for_capture_to_buffer(h);
    ASSERT_GE(a, 0);
    int b;
    do b = vocam_wait_for_capture_to_buffer(h);
    while (b == -22);
    ASSERT_GE(b, 0);
    ASSERT_NE(a, b);
    // The one free buffer is re-armed before a waiter wakes, so the newest
    // frame is always already being overwritten.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -22);
    EXPECT_EQ(vocam_release_buffer(h, a), 0);
    int c;
    do c = vocam_wait_for_capture_to_buffer(h);
    while (c == -22);
    EXPECT_GE(c, 0);
    EXPECT_NE(c, b);
    vocam_release_buffer(h, b);
    vocam_release_buffer(h, c);
    finish(cam);
}

// Waits never take the last free buffer (it is always being read into), so a
// full ring comes only from holds the stream started with; a release must
// still get frames flowing again.
TEST_F(Stream, ReleaseRearmsARingThatWasFull) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    smallWindow(h);
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    {
        std::lock_guard lock(h->stream_lock);
        for (auto &b : h->buffers) b.hold_count = 1;
    }
    ASSERT_EQ(vocam_start_streaming(h), 0);
    {
        std::lock_guard lock(h->stream_lock);
        EXPECT_EQ(h->reads_pending, 0);
        EXPECT_EQ(h->reading_index, -1);
    }
    EXPECT_NE(err.take().find("all buffers are in use - unable to stream data\n"),
              std::string::npos);
    auto next = std::async(std::launch::async, [h] {
        int r;
        do r = vocam_wait_for_capture_to_buffer(h);
        while (r == -22);
        return r;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(next.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(vocam_release_buffer(h, 1), 0);
    // Frames flow into the released buffer again...
    Watchdog watchdog(30s, "frames after a release");
    for (;;) {
        {
            std::lock_guard lock(h->stream_lock);
            if (h->frame_sequence > 0) break;
        }
        std::this_thread::sleep_for(1ms);
    }
    // ...and with a second buffer free the waiter gets one.
    EXPECT_EQ(vocam_release_buffer(h, 0), 0);
    ASSERT_EQ(next.wait_for(10s), std::future_status::ready);
    const int got = next.get();
    EXPECT_TRUE(got == 0 || got == 1) << got;
    EXPECT_EQ(vocam_release_buffer(h, got), 0);
    EXPECT_EQ(vocam_release_buffer(h, 2), 0);
    finish(cam);
}

// Every frame the client gets is one the camera sent, whole: the ring never
// hands out a buffer a read is writing into.
TEST_F(Stream, ThousandsOfFramesArriveWholeAndInOrder) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    smallWindow(h);
    cam.device().video().clearFrameLog();
    start(cam);
    const std::uint32_t bytes = vocam_get_video_frame_size(h);
    ASSERT_EQ(bytes, 320u * 240u);
    std::vector<std::uint64_t> hashes;
    int frames = 0;
    while (frames < 3000) {
        const int index = vocam_wait_for_capture_to_buffer(h);
        if (index == -22) continue;
        ASSERT_GE(index, 0);
        hashes.push_back(frameHash(vocam_get_buffer_address(h, index), bytes));
        ASSERT_EQ(vocam_release_buffer(h, index), 0);
        ++frames;
    }
    finish(cam);
    std::map<std::uint64_t, std::uint64_t> sent;  // hash -> camera's frame number
    for (const auto &f : cam.device().video().frameLog()) sent[f.hash] = f.sequence;
    EXPECT_GE(sent.size(), hashes.size());
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
    OpenCamera cam;
    _vocam *h = cam.handle();
    smallWindow(h);
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    Watchdog watchdog(240s, "start/stop cycles");
    std::atomic<bool> done{false};
    std::atomic<int> frames{0}, ended{0};
    std::thread waiter([&] {
        while (!done) {
            const int r = vocam_wait_for_capture_to_buffer(h);
            if (r >= 0) {
                ++frames;
                vocam_release_buffer(h, r);
            } else if (r == -96) {
                ++ended;
                std::this_thread::yield();
            }
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
    {
        std::lock_guard lock(h->stream_lock);
        EXPECT_EQ(h->streaming, 0);
        EXPECT_EQ(h->reads_pending, 0);
    }
    EXPECT_EQ(vocam_disable_streaming(h), 0);
}

TEST_F(Stream, EveryBlockedWaiterReturnsAtTheEndOfTheStream) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    smallWindow(h);
    start(cam);
    // One frame first, so the window's picture is ready and frames are quick.
    const int first = vocam_wait_for_capture_to_buffer(h);
    ASSERT_GE(first, 0);
    vocam_release_buffer(h, first);
    cam.device().video().setSilent(true);
    // Let the frame in flight (if any) land, so the waiters really block.
    std::this_thread::sleep_for(20ms);
    while (true) {
        std::lock_guard lock(h->stream_lock);
        if (h->frame_sequence == h->delivered_sequence) break;
        h->delivered_sequence = h->frame_sequence;
    }
    std::vector<std::future<int>> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(
            std::async(std::launch::async, [h] { return vocam_wait_for_capture_to_buffer(h); }));
    std::this_thread::sleep_for(20ms);
    for (auto &w : waiters) EXPECT_EQ(w.wait_for(0s), std::future_status::timeout);
    auto stop = std::async(std::launch::async, [h] { return vocam_stop_streaming(h); });
    ASSERT_EQ(stop.wait_for(20s), std::future_status::ready)
        << "stop hangs on a read that never completes";
    EXPECT_EQ(stop.get(), 0);
    for (auto &w : waiters) {
        ASSERT_EQ(w.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(w.get(), -96);
    }
    // The read the silent camera never answered was cancelled.
    const std::string text = err.take();
    EXPECT_NE(text.find("error: stream read did not complete - cancelling it\n"), std::string::npos)
        << text;
    {
        std::lock_guard lock(h->stream_lock);
        EXPECT_EQ(h->reads_pending, 0);
    }
    cam.device().video().setSilent(false);
    // The camera speaks again: the next stream runs as before.
    start(cam);
    const int r = vocam_wait_for_capture_to_buffer(h);
    EXPECT_GE(r, 0);
    vocam_release_buffer(h, r);
    finish(cam);
}

TEST_F(Stream, FailedReadsAreRetriedIntoTheSameBuffer) {
    OpenCamera cam("model_02:state=ready:fps=4");
    _vocam *h = cam.handle();
    smallWindow(h);
    // Paced, so the first whole frame is still the newest when the waiter wakes.
    cam.device().video().failReads(vocam::usbhost::kIOReturnIOError, 3);
    start(cam);
    const int index = vocam_wait_for_capture_to_buffer(h);
    EXPECT_EQ(index, 0);  // the retries went into buffer 0
    EXPECT_EQ(sequenceOf(h, 0), 1u);
    vocam_release_buffer(h, index);
    finish(cam);
    const std::string line =
        "error: read async returned " + std::to_string(vocam::usbhost::kIOReturnIOError) + "\n";
    EXPECT_EQ(countOf(err.take(), line), 3);
}

TEST_F(Stream, ShortFramesAreReadAgainAndNeverDelivered) {
    OpenCamera cam("model_02:state=ready:fps=4");  // paced: frame 1 stays the newest
    _vocam *h = cam.handle();
    smallWindow(h);
    cam.device().video().clearFrameLog();
    cam.device().video().shortFrames(1000, 2);
    start(cam);
    const int index = vocam_wait_for_capture_to_buffer(h);
    ASSERT_EQ(index, 0);
    const std::uint64_t hash =
        frameHash(vocam_get_buffer_address(h, 0), vocam_get_video_frame_size(h));
    {
        std::lock_guard lock(h->stream_lock);
        EXPECT_EQ(h->buffers[0].acquired_size, 320u * 240u);
        EXPECT_EQ(h->reads_pending, 1);
    }
    const auto log = cam.device().video().frameLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].hash, hash);  // the first whole frame, not a short one
    vocam_release_buffer(h, index);
    finish(cam);
    EXPECT_EQ(countOf(err.take(), "error: read async only read 1000/76800 bytes\n"), 2);
}

TEST_F(Stream, ACameraThatLeavesTheBusEndsTheStream) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    smallWindow(h);
    start(cam);
    for (int i = 0; i < 10; ++i) {
        const int r = vocam_wait_for_capture_to_buffer(h);
        if (r >= 0) vocam_release_buffer(h, r);
    }
    Watchdog watchdog(60s, "end of stream after unplug");
    auto waiter = std::async(std::launch::async, [h] {
        int r;
        do {
            r = vocam_wait_for_capture_to_buffer(h);
            if (r >= 0) vocam_release_buffer(h, r);
        } while (r != -96);
        return r;
    });
    cam.device().unplug();
    EXPECT_EQ(waiter.get(), -96);
    // The thread ends on its own; a stop then finds nothing running.
    for (;;) {
        {
            std::lock_guard lock(h->stream_lock);
            if (!h->streaming) break;
        }
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_NE(err.take().find("error: camera has left the bus - ending the stream\n"),
              std::string::npos);
}

TEST_F(Stream, StartFailsWhenVideoCannotBeEnabled) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    smallWindow(h);
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    cam.device().failControl(vocam::usbhost::kIOReturnIOError, 2);
    Watchdog watchdog(30s, "start with failing video");
    EXPECT_LT(vocam_start_streaming(h), 0);
    EXPECT_NE(err.take().find("error: unable to enable video\n"), std::string::npos);
    EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -96);
    // Nothing is left running, and the camera works again afterwards.
    start(cam);
    const int r = vocam_wait_for_capture_to_buffer(h);
    EXPECT_GE(r, 0);
    vocam_release_buffer(h, r);
    finish(cam);
}

TEST_F(Stream, StartFailsOnACameraThatHasLeft) {
    OpenCamera cam;
    _vocam *h = cam.handle();
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    cam.device().unplug();
    Watchdog watchdog(30s, "start on an unplugged camera");
    EXPECT_LT(vocam_start_streaming(h), 0);
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
}

TEST_F(Stream, ClosingARunningStreamEndsIt) {
    auto cam = std::make_unique<OpenCamera>();
    auto device = vocam::sim::Bus::instance().devices().at(0);
    smallWindow(cam->handle());
    start(*cam);
    EXPECT_EQ(device->reg(0x0214), 0x80u);
    cam.reset();                         // closes the handle with the stream running
    EXPECT_EQ(device->reg(0x0214), 0u);  // the stream thread stopped video and ended
}

}  // namespace
