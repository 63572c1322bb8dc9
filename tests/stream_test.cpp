// The streaming engine: the ring's order and the newest-frame rule, held
// buffers, state errors, frame integrity and frame records against the
// camera's own log, start/stop under a blocked waiter, close and disable
// under callers on other threads, and every video fault. Built as
// stream_test on the simulated bus; the cases before the simulated bus's own
// run once more as umock_stream_test, on libusb behind umockdev.
//
// Where the backends differ:
//   case                         simulated bus              libusb (usbfs)
//   frames checked, fast reader  3000                       300
//   slow reader                  overwrites frames          may keep up with the transfers
//   start/stop cycles            1000                       40 (each URB round trip is slow)
//   camera pulled while reading  the stream ends            the same, with at most two URBs
//                                                           submitted after the pull
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "support/Frames.h"
#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "support/Watchdog.h"
#include "transport/vo_usb.h"

#ifdef VOCAM_TEST_LIBUSB
#include "support/umock/Camera.h"
#include "support/umock/Testbed.h"
using Opened = vocam::test::umock::OpenCamera;
using vocam::test::umock::Testbed;
constexpr bool kLibusb = true;
#else
#include "support/OpenCamera.h"
using Opened = vocam::test::OpenCamera;
constexpr bool kLibusb = false;
#endif

using namespace std::chrono_literals;
using vocam::sim::frameHash;
using vocam::test::countOf;
using vocam::test::nextFrame;
using vocam::test::StderrCapture;
using vocam::test::Watchdog;
using Clock = std::chrono::steady_clock;

namespace {

vocam_frame_info infoOf(_vocam *h, int index) {
    vocam_frame_info info{};
    info.size = sizeof info;
    EXPECT_EQ(vocam_get_buffer_info(h, index, &info), 0);
    return info;
}

vocam_stream_stats statsOf(_vocam *h) {
    vocam_stream_stats stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(vocam_get_stream_stats(h, &stats), 0);
    return stats;
}

class Stream : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef VOCAM_TEST_LIBUSB
        if (!Testbed::active()) GTEST_SKIP() << "needs umockdev-wrapper";
#endif
    }
    // A small window keeps hashing thousands of frames cheap; stamped frames
    // let the log's hashes tell a torn or mixed frame.
    void open(const char *description = "model_02:state=ready:fps=0", bool small = true) {
        cam.emplace(std::string(description) + ":stamp=1");
        h = cam->handle();
        auto f = vocam::test::window(64, 32, 640, 480, 2, 2);
        ASSERT_EQ(small ? vocam_set_video_format(h, &f) : 0, 0);
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
        while (!done()) std::this_thread::sleep_for(1ms);
    }
    // `n` waits on other threads, each for one frame or the end of the stream;
    // with `untilEnd`, each takes and releases frames until the stream ends.
    std::vector<std::future<int>> waiters(int n, bool untilEnd = false) {
        std::vector<std::future<int>> out;
        for (int i = 0; i < n; ++i)
            out.push_back(std::async(std::launch::async, [this, untilEnd] {
                int r;
                while ((r = vocam_wait_for_capture_to_buffer(h)) != -96 && untilEnd)
                    if (r >= 0) vocam_release_buffer(h, r);
                return r;
            }));
        return out;
    }
    StderrCapture err;
    std::optional<Opened> cam;
    _vocam *h = nullptr;
};

// Every frame the client gets is one the camera sent, whole, under the number
// its record gives, also when the reader is slow and the ring overwrites
// frames; the counts account for every frame the camera sent.
TEST_F(Stream, FramesAndRecordsMatchTheCamerasLogAndTheCountsAddUp) {
    for (const bool slow : {false, true}) {
        SCOPED_TRACE(slow ? "slow reader" : "fast reader");
        open();
        cam->device().video().clearFrameLog();
        start();
        const std::uint32_t bytes = vocam_get_video_frame_size(h);
        struct Taken {
            std::uint64_t sequence, hash;
        };
        std::vector<Taken> taken;
        while (taken.size() < (slow || kLibusb ? 300u : 3000u)) {
            const int index = nextFrame(h);
            ASSERT_GE(index, 0);
            const vocam_frame_info before = infoOf(h, index);
            // Frames land meanwhile: one written into the held buffer fails the hash.
            if (slow) std::this_thread::sleep_for(200us);
            taken.push_back(
                {before.sequence, frameHash(vocam_get_buffer_address(h, index), bytes)});
            ASSERT_EQ(vocam_release_buffer(h, index), 0);
        }
        ASSERT_EQ(vocam_stop_streaming(h), 0);
        const auto log = cam->device().video().frameLog();
        const vocam_stream_stats stats = statsOf(h);
        // Frames the camera sent whole are the frames delivered, numbered alike.
        EXPECT_EQ(stats.delivered, log.size());
        EXPECT_EQ(stats.taken, taken.size());
        std::uint64_t previous = 0;
        std::set<std::uint64_t> seen;
        for (const Taken &t : taken) {
            ASSERT_TRUE(t.sequence >= 1 && t.sequence <= log.size()) << t.sequence;
            ASSERT_EQ(log[t.sequence - 1].hash, t.hash) << "frame " << t.sequence;
            ASSERT_GT(t.sequence, previous);
            previous = t.sequence;
            seen.insert(t.sequence);
        }
        // Frames never taken were overwritten, or are still in the ring.
        std::uint64_t untaken = 0;
        for (int i = 0; i < 3; ++i) {
            const std::uint64_t sequence = infoOf(h, i).sequence;
            untaken += sequence != 0 && seen.count(sequence) == 0;
        }
        EXPECT_EQ(stats.delivered, stats.taken + stats.overwritten + untaken);
        if (slow && !kLibusb) {
            EXPECT_GT(stats.overwritten, 0u);
        }
        EXPECT_EQ(vocam_disable_streaming(h), 0);
        EXPECT_EQ(cam->device().reg(0x0214), 0u);
        EXPECT_EQ(err.take().find("error"), std::string::npos);
        cam.reset();
    }
}

TEST_F(Stream, StartStopCyclesWithABlockedWaiter) {
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
    const int cycles = kLibusb ? 40 : 1000;
    for (int i = 0; i < cycles; ++i) {
        ASSERT_EQ(vocam_start_streaming(h), 0) << "cycle " << i;
        if (i % (cycles / 10) == 0) std::this_thread::sleep_for(20ms);  // frames flow meanwhile
        ASSERT_EQ(vocam_stop_streaming(h), 0) << "cycle " << i;
    }
    done = true;
    waiter.join();
    EXPECT_GT(frames.load(), 0);
    EXPECT_GT(ended.load(), 0);
    const vo::StreamProbe p = h->stream.probe();
    EXPECT_EQ(std::tie(p.state, p.reads_pending), std::make_tuple(vo::StreamState::Ready, 0));
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_EQ(err.take().find("did not"), std::string::npos);  // no read was left behind
}

TEST_F(Stream, ACameraThatLeavesTheBusEndsTheStream) {
    open();
    start();
    for (int i = 0; i < 10; ++i) takeOne();
    Watchdog watchdog(60s, "end of stream after unplug");
    auto untilEnd = waiters(2, true);
    cam->unplug();
#ifdef VOCAM_TEST_LIBUSB
    Testbed::instance().takeRequests();  // from here on, all meet a departed device
#endif
    for (auto &w : untilEnd) EXPECT_EQ(w.get(), -96);
    // The thread ends on its own, without retrying; a stop then finds nothing running.
    waitUntil([&] { return h->stream.probe().state == vo::StreamState::Ready; });
#ifdef VOCAM_TEST_LIBUSB
    // At most the read being re-armed as the camera left and the video-off write.
    const auto requests = Testbed::instance().takeRequests();
    EXPECT_LE(std::count(requests.begin(), requests.end(), "SUBMITURB"), 2);
#endif
    const std::string text = err.take();
    EXPECT_EQ(countOf(text, "error: camera has left the bus - ending the stream\n"), 1) << text;
    EXPECT_EQ(countOf(text, "read async returned"), 0) << text;
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
}

#ifndef VOCAM_TEST_LIBUSB  // the simulated bus's own cases

TEST_F(Stream, StateErrorsAreRefusedWithTheirCodes) {
    open("model_02:state=ready:fps=0", false);
    EXPECT_EQ(vocam_get_video_frame_size(h), 0u);
    EXPECT_EQ(vocam_start_streaming(h), -1);  // nothing to stream into
    err.take();
    // Frame records are refused without anything written to them.
    vocam_frame_info info{};
    vocam_stream_stats stats{};
    info.size = sizeof info;
    stats.size = sizeof stats;
    auto refused = [&](int r, const std::string &why) {
        EXPECT_EQ(r, -22);
        EXPECT_EQ(err.take(), "error: " + why + "\n");
    };
    refused(vocam_get_buffer_info(h, 0, &info), "vocam_get_buffer_info: streaming is not enabled");
    refused(vocam_get_stream_stats(h, &stats), "vocam_get_stream_stats: streaming is not enabled");

    ASSERT_EQ(vocam_enable_streaming(h), 0);
    EXPECT_EQ(err.take(), "vocam_enable_streaming: number of bytes expected: 1310720\n");
    EXPECT_EQ(vocam_get_video_frame_size(h), 1310720u);
    EXPECT_EQ(vocam_get_buffer_count(h), 3);
    EXPECT_NE(vocam_get_buffer_address(h, 0), nullptr);
    for (int bad : {3, -1}) EXPECT_EQ(vocam_get_buffer_address(h, bad), nullptr);
    EXPECT_EQ(vocam_get_buffer_status(h, 0), -78);
    EXPECT_EQ(vocam_get_buffer_acquired_size(h, 0), -78);

    EXPECT_EQ(vocam_wait_for_capture_to_buffer_timeout(h, 10), -96);
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
    // Again with a frame in the ring, so that a record written before its checks shows.
    refused(vocam_get_buffer_info(h, index, nullptr), "vocam_get_buffer_info: no record given");
    refused(vocam_get_stream_stats(h, nullptr), "vocam_get_stream_stats: no record given");
    for (int bad : {3, -1})
        refused(vocam_get_buffer_info(h, bad, &info),
                "vocam_get_buffer_info: buffer index outside 0 to 2");
    // Smaller and larger than the caller's record.
    for (std::uint32_t size : {std::uint32_t(sizeof info - 8), std::uint32_t(sizeof info + 8)}) {
        info.size = size;
        info.sequence = 77;
        refused(vocam_get_buffer_info(h, index, &info),
                "vocam_get_buffer_info: record of unknown size");
        EXPECT_EQ(info.sequence, 77u);
        stats.size = size;
        stats.delivered = 77;
        refused(vocam_get_stream_stats(h, &stats),
                "vocam_get_stream_stats: record of unknown size");
        EXPECT_EQ(stats.delivered, 77u);
    }

    // A held buffer keeps its ring: disable and a new enable are refused
    // until it is released.
    EXPECT_EQ(vocam_stop_streaming(h), 0);
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    err.take();
    EXPECT_EQ(vocam_disable_streaming(h), -1);
    EXPECT_EQ(vocam_enable_streaming(h), -1);
    EXPECT_EQ(err.take(),
              "error: unable to disable stream while a buffer is held\n"
              "error: unable to enable stream again while a buffer is held\n");
    EXPECT_NE(vocam_get_buffer_address(h, index), nullptr);
    EXPECT_EQ(vocam_release_buffer(h, index), 0);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_EQ(vocam_get_buffer_address(h, 0), nullptr);

    // A start after the frame size changed waits for a new enable.
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    auto smaller = vocam::test::window(0, 0, 320, 240, 2, 2);
    ASSERT_EQ(vocam_set_video_format(h, &smaller), 0);
    err.take();
    EXPECT_EQ(vocam_start_streaming(h), -1);
    EXPECT_EQ(err.take(),
              "error: the frame size changed since streaming was enabled - enable it again\n");
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    EXPECT_EQ(vocam_start_streaming(h), 0);

    // A start whose video cannot be enabled fails without hanging and
    // leaves nothing running: the next start works.
    ASSERT_EQ(vocam_stop_streaming(h), 0);
    cam->device().failControl(vocam::usbhost::kIOReturnIOError, 2);
    Watchdog watchdog(30s, "start with failing video");
    EXPECT_LT(vocam_start_streaming(h), 0);
    EXPECT_GE(countOf(err.take(), "error: unable to enable video\n"), 1);
    ASSERT_EQ(vocam_start_streaming(h), 0);
    takeOne();
    finish();
}

// Paced, so each frame is taken before the next lands: with at most one
// buffer held, reads go round the ring (each into the free buffer with the
// oldest frame) and every wait gets the newest frame, once, with its record.
TEST_F(Stream, FramesGoRoundTheRingAndEachWaitGetsTheNewestOnce) {
    open("model_02:state=ready:fps=200");
    cam->device().video().clearFrameLog();
    start();
    const std::uint32_t bytes = vocam_get_video_frame_size(h);
    std::uint64_t last = 0, lastTime = 0;
    int held = -1;
    bool seen[3] = {};
    for (int i = 0; i < 30; ++i) {
        const int index = vocam_wait_for_capture_to_buffer(h);
        ASSERT_GE(index, 0);
        const vocam_frame_info info = infoOf(h, index);
        EXPECT_EQ(std::tie(info.size, info.bytes, info.held),
                  std::make_tuple(std::uint32_t{sizeof info}, bytes, 1u));
        EXPECT_GT(info.sequence, last);
        // The ring refills the oldest free buffer, never the one still held.
        EXPECT_NE(index, held) << info.sequence;
        seen[index] = true;
        EXPECT_GT(info.timestamp_ns, lastTime);
        last = info.sequence;
        lastTime = info.timestamp_ns;
        // Every other frame stays held while the next one is waited for.
        if (held >= 0) {
            ASSERT_EQ(vocam_release_buffer(h, held), 0);
        }
        held = i % 2 == 0 ? index : -1;
        if (held < 0) {
            ASSERT_EQ(vocam_release_buffer(h, index), 0);
        }
    }
    if (held >= 0) vocam_release_buffer(h, held);
    EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
    finish();
}

// With two buffers held the third is refilled as soon as it is full. The
// wait says so (-22), but only once a frame was indeed lost to the refill:
// a caller that retries is paced by the camera, not spun.
TEST_F(Stream, TwoHeldBuffersGiveOneRefusalPerFrameLost) {
    open("model_02:state=ready:fps=100");
    start();
    const int a = nextFrame(h), b = nextFrame(h);
    ASSERT_TRUE(a >= 0 && b >= 0 && a != b) << a << ' ' << b;
    // A ring its callers keep full asks the camera for nothing, so however
    // long that lasts is no silence of the camera's: the stream goes on.
    {
        const FramePin third(h->stream, vocam_get_buffer_address(h, 3 - a - b));
        waitUntil([&] { return h->stream.probe().reads_pending == 0; });
        std::this_thread::sleep_for(2500ms);
    }
    const auto overwritten0 = statsOf(h).overwritten;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -22);
    EXPECT_GE(statsOf(h).overwritten - overwritten0, 10u);
    // A released buffer is the next one read into, and its frame goes out.
    EXPECT_EQ(vocam_release_buffer(h, a), 0);
    const int c = nextFrame(h);
    EXPECT_GE(c, 0);
    EXPECT_NE(c, b);
    vocam_release_buffer(h, b);
    vocam_release_buffer(h, c);

    // Frames that completed while the stream drained are older than the
    // next start: the first frame after it is one the camera sent since.
    ASSERT_EQ(vocam_stop_streaming(h), 0);
    const std::uint64_t before = statsOf(h).delivered;
    ASSERT_EQ(vocam_start_streaming(h), 0);
    const int index = nextFrame(h);
    ASSERT_GE(index, 0);
    EXPECT_GT(infoOf(h, index).sequence, before);
    vocam_release_buffer(h, index);
    finish();
    EXPECT_EQ(countOf(err.take(), "error"), 0);
}

TEST_F(Stream, EveryBlockedWaiterReturnsAtTheEndOfTheStream) {
    open();
    start();
    takeOne();  // the window's picture is ready, so frames are quick
    const int r = vocam_wait_for_capture_to_buffer_timeout(h, 5000);
    ASSERT_GE(r, 0);
    vocam_release_buffer(h, r);
    cam->device().video().setSilent(true);
    for (int left; (left = vocam_wait_for_capture_to_buffer_timeout(h, 100)) >= 0;)
        vocam_release_buffer(h, left);
    // A timed wait with no frame to come ends when asked.
    for (std::uint32_t ms : {0u, 50u}) {
        const auto began = Clock::now();
        EXPECT_EQ(vocam_wait_for_capture_to_buffer_timeout(h, ms), VOCAM_WAIT_TIMED_OUT);
        const auto spent = Clock::now() - began;
        EXPECT_GE(spent, 1ms * ms);
        EXPECT_LT(spent, 1ms * ms + 2s);  // scheduling slack only
    }
    auto blocked = waiters(3);
    waitUntil([&] { return h->stream.probe().callers == 3; });
    std::this_thread::sleep_for(20ms);
    for (auto &w : blocked) EXPECT_EQ(w.wait_for(0s), std::future_status::timeout);
    auto stop = std::async(std::launch::async, [this] { return vocam_stop_streaming(h); });
    ASSERT_EQ(stop.wait_for(20s), std::future_status::ready)
        << "stop hangs on a read that never completes";
    EXPECT_EQ(stop.get(), 0);
    for (auto &w : blocked) {
        ASSERT_EQ(w.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(w.get(), -96);
    }
    // The read the silent camera never answered was cancelled, and the
    // cancel completed it as aborted.
    const std::string log = err.take();
    EXPECT_GE(countOf(log, "error: stream read did not complete - cancelling it\n"), 1);
    EXPECT_EQ(countOf(log, "did not come back"), 0);
    EXPECT_EQ(countOf(log, "read async"), 0);
    EXPECT_EQ(h->stream.probe().reads_pending, 0);
    cam->device().video().setSilent(false);
    ASSERT_EQ(vocam_start_streaming(h), 0);  // the camera speaks again: streaming as before
    takeOne();
    finish();
}

// A read the device answers neither with data nor with its cancel is given
// up on at stop. When it goes through at last it writes only into a buffer of
// its own: never into a frame of the next stream on the same ring, and never
// into memory freed by a disable, an enable or the close (the sanitizer
// build sees any such write).
TEST_F(Stream, AReadGivenUpOnWritesOnlyIntoItsOwnBuffer) {
    open("model_02:state=ready:fps=10");
    Watchdog watchdog(60s, "stops over hung reads");
    auto hangAndStop = [&] {
        cam->device().hangReads(1);
        ASSERT_EQ(vocam_start_streaming(h), 0);
        waitUntil([&] { return cam->device().hungReads() == 1; });
        ASSERT_EQ(vocam_stop_streaming(h), 0);
        EXPECT_EQ(countOf(err.take(), "error: cancelled stream read did not come back\n"), 1);
        EXPECT_EQ(h->stream.probe().reads_pending, 0);
    };
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    const std::uint32_t bytes = vocam_get_video_frame_size(h);
    cam->device().video().clearFrameLog();
    hangAndStop();

    // Restarted on the same ring; the first frame lands where the hung read
    // was aimed, and is held while that read goes through.
    ASSERT_EQ(vocam_start_streaming(h), 0);
    const int index = nextFrame(h);
    ASSERT_GE(index, 0);
    const vocam_frame_info info = infoOf(h, index);
    cam->device().releaseHungReads();
    const auto log = cam->device().video().frameLog();
    ASSERT_GE(log.size(), info.sequence);
    EXPECT_EQ(frameHash(vocam_get_buffer_address(h, index), bytes), log[info.sequence - 1].hash);
    EXPECT_EQ(vocam_release_buffer(h, index), 0);
    ASSERT_EQ(vocam_stop_streaming(h), 0);

    // Given up on again, then the ring is dropped, made anew and the handle
    // closed before the read completes.
    hangAndStop();
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    ASSERT_EQ(vocam_start_streaming(h), 0);
    takeOne();
    ASSERT_EQ(vocam_stop_streaming(h), 0);
    cam->close();
    cam->device().releaseHungReads();
}

// Failed reads and short frames are read again into the same buffer, never
// delivered, counted, and logged once with a count. Paced, so the first
// whole frame is still the newest when the waiter wakes.
TEST_F(Stream, FailedReadsAndShortFramesAreReadAgainAndLoggedOnce) {
    for (const bool shortOnes : {false, true}) {
        SCOPED_TRACE(shortOnes ? "short frames" : "failed reads");
        open("model_02:state=ready:fps=4");
        cam->device().video().clearFrameLog();
        shortOnes ? cam->device().video().shortFrames(1000, 2)
                  : cam->device().video().failReads(vocam::usbhost::kIOReturnIOError, 3);
        start();
        ASSERT_EQ(vocam_wait_for_capture_to_buffer(h), 0);
        const vocam_frame_info info = infoOf(h, 0);
        EXPECT_EQ(std::make_tuple(info.sequence, info.bytes), std::make_tuple(1u, 320u * 240u));
        const auto log = cam->device().video().frameLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0].hash, frameHash(vocam_get_buffer_address(h, 0), info.bytes));
        EXPECT_EQ(h->stream.probe().reads_pending, 1);
        const vocam_stream_stats stats = statsOf(h);
        EXPECT_EQ(std::make_tuple(stats.failed_reads, stats.short_frames),
                  shortOnes ? std::make_tuple(0u, 2u) : std::make_tuple(3u, 0u));
        vocam_release_buffer(h, 0);
        finish();
        const std::string lines = err.take(), io = std::to_string(vocam::usbhost::kIOReturnIOError);
        EXPECT_EQ(countOf(lines, shortOnes ? "error: read async only read 1000/76800 bytes\n"
                                           : "error: read async returned " + io + "\n"),
                  1);
        const std::string repeats = shortOnes ? "1" : "2";
        EXPECT_EQ(countOf(lines, "error: " + repeats + " more like the line above\n"), 1);

        cam.reset();
    }
}

// A camera whose reads fail for ever: retries back off, the failure is
// logged once with a count, and after about 2 s without a whole frame the
// stream ends, so waiters hear of it.
TEST_F(Stream, ReadsThatKeepFailingEndTheStreamWithoutAStorm) {
    open();
    cam->device().video().failReads(vocam::usbhost::kIOReturnIOError, 1 << 30);
    Watchdog watchdog(30s, "a stream of failing reads");
    const auto began = Clock::now();
    start();
    EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -96);
    EXPECT_GE(Clock::now() - began, 2s);
    waitUntil([&] { return h->stream.probe().state == vo::StreamState::Ready; });
    const std::uint64_t failures = statsOf(h).failed_reads;
    EXPECT_GE(failures, 10u);
    EXPECT_LT(failures, 200u);  // paced retries, not a spin
    const std::string log = err.take();
    EXPECT_EQ(
        countOf(log, "error: " + std::to_string(failures - 1) + " more like the line above\n"), 1);
    EXPECT_EQ(countOf(log, "error: no whole frame for 2 s - ending the stream\n"), 1);
}

// Paced by the camera's own timing: a silent camera ends the stream about
// 2 s after its last frame, while exposures longer than that keep it going,
// whether the camera had them at the start or was given them while
// streaming, and a stop in the middle of one is prompt and quiet.
TEST_F(Stream, SilenceEndsTheStreamButLongExposuresDoNot) {
    open("model_02:state=ready");
    Watchdog watchdog(60s, "silence and long exposures");
    start();
    takeOne();
    cam->device().video().setSilent(true);
    int r;
    while ((r = vocam_wait_for_capture_to_buffer_timeout(h, 15000)) >= 0)
        vocam_release_buffer(h, r);
    EXPECT_EQ(r, -96);
    EXPECT_EQ(countOf(err.take(), "error: no whole frame for 2 s - ending the stream\n"), 1);
    cam->device().video().setSilent(false);

    constexpr std::uint32_t kLong = 2200000;  // us, longer than the silence margin
    ASSERT_TRUE(cam->device().properties().poke(vocam::sim::kRegExposure + 4, kLong));
    ASSERT_EQ(vocam_start_streaming(h), 0);
    takeOne();
    ASSERT_EQ(vocam_stop_streaming(h), 0);
    EXPECT_EQ(h->stream.probe().reads_pending, 0);

    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_EXPOSURE, 20000, 0), 0);
    ASSERT_EQ(vocam_start_streaming(h), 0);
    takeOne();
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_EXPOSURE, static_cast<int>(kLong), 0), 0);
    // A frame or two may still come at the old period; then the stream
    // waits out the new one (give or take the time the frames took to land).
    std::uint64_t last = 0;
    bool waited = false;
    for (int i = 0; i < 4 && !waited; ++i) {
        const int index = nextFrame(h);
        ASSERT_GE(index, 0);
        const std::uint64_t arrival = infoOf(h, index).timestamp_ns;
        waited = last != 0 && arrival - last >= (kLong - 100000) * 1000ull;
        last = arrival;
        vocam_release_buffer(h, index);
    }
    EXPECT_TRUE(waited);
    finish();
    EXPECT_EQ(countOf(err.take(), "error"), 0);
}

#endif

}  // namespace
