// Threads racing every pair of stream calls on one handle, round after
// round: no sanitizer report, no hang (every round is bounded), every call
// answers with one of its own codes, and of racing stops one ends the
// stream. Close races each call on handles of their own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/OpenCamera.h"
#include "support/Stderr.h"
#include "support/Watchdog.h"
#include "transport/vo_usb.h"

using namespace std::chrono_literals;

namespace {

enum Op { Wait, Release, Convert, Start, Stop, Enable, Disable, SetFormat, Settings, kOps };
const char *const kNames[kOps] = {"wait",   "release", "convert",    "start",   "stop",
                                  "enable", "disable", "set format", "settings"};

// The codes each call may answer with in any state.
bool expected(Op op, int r) {
    if (op == Wait) return (r >= 0 && r < 3) || r == -22 || r == -96 || r == VOCAM_WAIT_TIMED_OUT;
    if (op == Settings) return r == 0 || r == -22;
    // Stop, enable and disable never answer -22.
    const bool mayRefuse = op == Release || op == Convert || op == SetFormat || op == Start;
    return r == 0 || r == -1 || (mayRefuse && r == -22);
}

// One racing thread: the buffers it holds are its own, as in a correct
// program, and only it releases them.
struct Racer {
    explicit Racer(unsigned seed) : random(seed), rgb(320 * 240 * 4) {}
    std::mt19937 random;
    std::vector<std::uint8_t> rgb;
    std::vector<int> held;
    // Taken before the race: every window the race sets has the same size,
    // so the picture a held buffer carries always fits it.
    _VOCAM_IMAGE_FORMAT format{};

    void releaseAll(_vocam *h) {
        for (int i : held) EXPECT_EQ(vocam_release_buffer(h, i), 0);
        held.clear();
    }
    // A buffer to convert from: one it holds, or a new hold.
    int holdOne(_vocam *h) {
        if (!held.empty()) return held.back();
        const int r = vocam_wait_for_capture_to_buffer_timeout(h, 50);
        if (r >= 0) held.push_back(r);
        return r;
    }
};

// Everything a call needs before it is made, so that the call itself is the
// racer's one touch of the handle at that moment.
struct Prepared {
    Op op;
    int index = -1;
    std::uint8_t *src = nullptr;
    _VOCAM_IMAGE_FORMAT format{};
};

Prepared prepare(Op op, _vocam *h, Racer &r) {
    Prepared p{op};
    if (op == Release) {
        if (r.held.empty() && r.random() % 2) r.holdOne(h);
        p.index = r.held.empty() ? (r.random() % 2 ? 3 : -1) : r.held.back();
    }
    if (op == Convert) {
        p.index = r.holdOne(h);
        if (p.index >= 0) {
            p.src = vocam_get_buffer_address(h, p.index);
            p.format = r.format;
        }
    }
    return p;
}

// One of the calls outside the stream: the colour engine's and the tone
// curve's settings (the first may create the engine), a camera register, and
// the window and frame layout a conversion reads.
int settings(_vocam *h, Racer &r) {
    int value = 0, lo = 0, hi = 0;
    std::uint32_t flags = 0;
    _vocam_frame_format f{};
    _VOCAM_IMAGE_FORMAT image{};
    switch (r.random() % 5) {
        case 0:
            return vocam_property_set(h, VOCAM_PROP_SATURATION, 50 + int(r.random() % 100), 0);
        case 1:
            return vocam_property_set(h, VOCAM_PROP_GAMMA, 80 + int(r.random() % 40), 0);
        case 2:
            return vocam_property_get_range(h, VOCAM_PROP_GAIN, &lo, &hi, &value, &flags);
        case 3:
            return vocam_get_video_format(h, &f);
        default:
            return vocam_get_image_format(h, &image);
    }
}

int perform(const Prepared &p, _vocam *h, Racer &r) {
    using Control = int (*)(_vocam *);
    const Control control[] = {vocam_start_streaming, vocam_stop_streaming, vocam_enable_streaming,
                               vocam_disable_streaming};  // Start to Disable
    if (p.op >= Start && p.op <= Disable) return control[p.op - Start](h);
    switch (p.op) {
        case Wait: {
            const int got = r.random() % 2 ? vocam_wait_for_capture_to_buffer_timeout(h, 50)
                                           : vocam_wait_for_capture_to_buffer(h);
            if (got >= 0) r.held.push_back(got);
            return got;
        }
        case Release: {
            const int got = vocam_release_buffer(h, p.index);
            if (got == 0) r.held.pop_back();
            return got;
        }
        case Convert:
            if (p.src == nullptr) return -22;
            return vocam_convert_frame_to_rgb(h, r.rgb.data(), p.src, &p.format, nullptr);
        case SetFormat: {
            // Two windows of one size, so a held buffer always fits the
            // picture the image format describes.
            auto f = r.random() % 2 ? vocam::test::window(0, 0, 640, 480, 2, 2)
                                    : vocam::test::window(64, 32, 640, 480, 2, 2);
            return vocam_set_video_format(h, &f);
        }
        case Settings:
            return settings(h, r);
        default:
            return -1;
    }
}

// Back to a running stream of the small window, whatever the round left.
void reset(_vocam *h) {
    vocam_stop_streaming(h);
    ASSERT_EQ(vocam_disable_streaming(h), 0);
    auto f = vocam::test::window(0, 0, 640, 480, 2, 2);
    ASSERT_EQ(vocam_set_video_format(h, &f), 0);
    ASSERT_EQ(vocam_enable_streaming(h), 0);
    ASSERT_EQ(vocam_start_streaming(h), 0);
}

constexpr int kPairRounds = 24;  // per pair of calls: 1,080 rounds
constexpr int kCallsPerThread = 3;
constexpr int kCloseRounds = 20;  // per call raced by a close

TEST(StreamStress, EveryPairOfCallsRacesOnOneHandle) {
    vocam::test::StderrCapture err;
    vocam::test::OpenCamera cam("model_02:state=ready:fps=0");
    _vocam *h = cam.handle();
    vocam::test::Watchdog watchdog(60s, "the first round");
    std::mt19937 seeds(20261207);
    for (int a = 0; a < kOps; ++a)
        for (int b = a; b < kOps; ++b)
            for (int round = 0; round < kPairRounds; ++round) {
                watchdog.next(std::string(kNames[a]) + " / " + kNames[b]);
                reset(h);
                if (HasFatalFailure()) return;
                std::atomic<int> ready{0};
                std::atomic<bool> surprising{false};
                std::atomic<int> stopsThatEnded{0};
                Racer one(seeds()), two(seeds());
                ASSERT_EQ(vocam_get_image_format(h, &one.format), 0);
                two.format = one.format;
                auto race = [&](Op op, Racer &racer) {
                    ++ready;
                    while (ready < 2) std::this_thread::yield();
                    for (int i = 0; i < kCallsPerThread; ++i) {
                        const int r = perform(prepare(op, h, racer), h, racer);
                        stopsThatEnded += op == Stop && r == 0;
                        if (!expected(op, r)) {
                            std::fprintf(stderr, "%s answered %d\n", kNames[op], r);
                            surprising = true;
                        }
                    }
                };
                std::thread first(race, Op(a), std::ref(one));
                std::thread second(race, Op(b), std::ref(two));
                first.join();
                second.join();
                one.releaseAll(h);
                two.releaseAll(h);
                ASSERT_FALSE(surprising) << kNames[a] << " / " << kNames[b];
                // Every round starts running, and nothing else ends the
                // stream: some stop must have.
                if (a == Stop || b == Stop) {
                    ASSERT_GT(stopsThatEnded, 0) << kNames[a] << " / " << kNames[b];
                }
            }
    vocam_stop_streaming(h);
    EXPECT_EQ(h->stream.probe().reads_pending, 0);
    err.take();
}

// A close racing each call: the call has entered the library (or finished)
// before the close begins, and no call begins after it, as a correct program
// guarantees; the close must end it or wait it out.
TEST(StreamStress, CloseRacesEachCall) {
    vocam::test::StderrCapture err;
    vocam::test::Watchdog watchdog(60s, "the first round");
    std::mt19937 seeds(7);
    for (int op = 0; op < kOps; ++op)
        for (int round = 0; round < kCloseRounds; ++round) {
            watchdog.next(std::string("close / ") + kNames[op]);
            vocam::test::OpenCamera cam("model_02:state=ready:fps=0");
            _vocam *h = cam.handle();
            reset(h);
            if (HasFatalFailure()) return;
            Racer racer(seeds());
            ASSERT_EQ(vocam_get_image_format(h, &racer.format), 0);
            const Prepared p = prepare(Op(op), h, racer);
            // Now and then the camera falls silent, so a wait blocks until
            // the close ends it (each such close waits out the read in flight).
            const bool silent = op == Wait && round % 4 == 1;
            if (silent) cam.device().video().setSilent(true);
            std::atomic<bool> done{false};
            std::atomic<int> answer{0};
            std::thread worker([&] {
                answer = perform(p, h, racer);
                done = true;
            });
            while (h->stream.probe().callers == 0 && !done) std::this_thread::yield();
            if (round % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(round * 40));
            cam.close();
            worker.join();
            EXPECT_TRUE(expected(Op(op), answer)) << kNames[op] << " answered " << answer;
            if (silent) cam.device().video().setSilent(false);
        }
    err.take();
}

}  // namespace
