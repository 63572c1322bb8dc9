// The streaming engine through libusb and the emulated device file: frames
// read asynchronously on the stream thread arrive whole, start and stop hold
// up with a waiter blocked, and a camera pulled from the bus ends the stream
// without the engine retrying against a device that is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "Simulator/SimVideo.h"
#include "device/vo_cameras.h"
#include "support/Frames.h"
#include "support/Stderr.h"
#include "support/Watchdog.h"
#include "support/umock/Camera.h"
#include "support/umock/OnLibusb.h"
#include "support/umock/Testbed.h"
#include "transport/vo_usb.h"
#include "vo_cam/vo_cam.h"

using namespace std::chrono_literals;
using namespace vocam;
using test::umock::Testbed;

namespace {

using vocam::test::Watchdog;

class UmockStream : public test::umock::OnLibusb {
  protected:
    void SetUp() override {
        OnLibusb::SetUp();
        if (!ready()) return;
        Testbed &bed = Testbed::instance();
        // Unpaced, and stamped so that a mixed frame matches no hash of the log.
        ASSERT_TRUE(bed.configure("model_02:state=ready:fps=0:stamp=1"));
        device = bed.devices().at(0);
        test::umock::waitForDevices(usbhost::host(), {kCameraVendorA, device->product(), {}});
        ASSERT_EQ(vocam_camera_open_by_pid(&h, device->product()), 0);
        ASSERT_NE(h, nullptr);
        // A small window keeps hashing hundreds of frames cheap.
        const auto f = test::window(0, 0, 640, 480, 2, 2);
        ASSERT_EQ(vocam_set_video_format(h, &f), 0);
        ASSERT_EQ(vocam_enable_streaming(h), 0);
        device->video().clearFrameLog();
    }
    void TearDown() override {
        if (h != nullptr) {
            EXPECT_EQ(vocam_camera_close(&h), 0);
        }
        OnLibusb::TearDown();
    }

    test::StderrCapture err;
    std::shared_ptr<sim::CameraDevice> device;
    _vocam *h = nullptr;
};

TEST_F(UmockStream, HundredsOfFramesArriveWholeAndInOrder) {
    Watchdog watchdog(120s, "streaming frames");
    ASSERT_EQ(vocam_start_streaming(h), 0);
    EXPECT_EQ(device->reg(0x0214), 0x80u);
    EXPECT_EQ(device->alternate(), 2);
    const std::uint32_t bytes = vocam_get_video_frame_size(h);
    ASSERT_EQ(bytes, 320u * 240u);
    std::vector<std::uint64_t> hashes;
    for (int i = 0; i < 300; ++i) {
        const int index = test::nextFrame(h);
        ASSERT_GE(index, 0) << "frame " << i;
        hashes.push_back(sim::frameHash(vocam_get_buffer_address(h, index), bytes));
        ASSERT_EQ(vocam_release_buffer(h, index), 0);
    }
    EXPECT_EQ(vocam_stop_streaming(h), 0);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_EQ(device->reg(0x0214), 0u);
    std::map<std::uint64_t, std::uint64_t> sent;  // hash -> camera's frame number
    for (const auto &f : device->video().frameLog()) sent[f.hash] = f.sequence;
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        auto it = sent.find(hashes[i]);
        ASSERT_NE(it, sent.end()) << "frame " << i << " is not one the camera sent whole";
        EXPECT_GT(it->second, previous);
        previous = it->second;
    }
    EXPECT_EQ(err.take().find("error"), std::string::npos);
}

TEST_F(UmockStream, StartStopCyclesWithABlockedWaiter) {
    Watchdog watchdog(120s, "start/stop cycles");
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
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(vocam_start_streaming(h), 0) << "cycle " << i;
        if (i % 4 == 0) std::this_thread::sleep_for(20ms);  // frames flow meanwhile
        ASSERT_EQ(vocam_stop_streaming(h), 0) << "cycle " << i;
    }
    done = true;
    waiter.join();
    EXPECT_GT(frames.load(), 0);
    EXPECT_GT(ended.load(), 0);
    const StreamProbe probe = usb_stream_probe(h);
    EXPECT_EQ(probe.state, vo::StreamState::Ready);
    EXPECT_EQ(probe.reads_pending, 0);
    EXPECT_EQ(device->reg(0x0214), 0u);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_EQ(err.take().find("did not"), std::string::npos);  // no read was left behind
}

TEST_F(UmockStream, PullingTheCameraEndsTheStreamWithoutRetrying) {
    Watchdog watchdog(60s, "end of stream after unplug");
    ASSERT_EQ(vocam_start_streaming(h), 0);
    for (int i = 0; i < 10; ++i) {
        const int r = test::nextFrame(h);
        ASSERT_GE(r, 0);
        vocam_release_buffer(h, r);
    }
    std::vector<std::future<int>> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.push_back(std::async(std::launch::async, [this] {
            int r;
            do {
                r = vocam_wait_for_capture_to_buffer(h);
                if (r >= 0) vocam_release_buffer(h, r);
            } while (r != -96);
            return r;
        }));
    const auto pulled = std::chrono::steady_clock::now();
    Testbed::instance().unplug(device);
    Testbed::instance().takeRequests();  // from here on, all meet a departed device
    for (auto &w : waiters) {
        ASSERT_EQ(w.wait_until(pulled + 2s), std::future_status::ready);
        EXPECT_EQ(w.get(), -96);
    }
    // The thread ends on its own; a stop then finds nothing running.
    for (;;) {
        if (usb_stream_probe(h).state == vo::StreamState::Ready) break;
        ASSERT_LT(std::chrono::steady_clock::now() - pulled, 5s) << "the stream thread lingers";
        std::this_thread::sleep_for(1ms);
    }
    // At most the read being re-armed as the camera left and the video-off write.
    const auto requests = Testbed::instance().takeRequests();
    std::string seen;
    for (const auto &r : requests) seen += r + " ";
    EXPECT_LE(test::umock::requestCount(requests, "SUBMITURB"), 2) << seen;
    const std::string text = err.take();
    EXPECT_NE(text.find("error: camera has left the bus - ending the stream\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("read async returned"), std::string::npos) << text;
    EXPECT_EQ(vocam_wait_for_capture_to_buffer(h), -96);
    EXPECT_EQ(vocam_stop_streaming(h), -1);
    EXPECT_EQ(vocam_disable_streaming(h), 0);
    EXPECT_EQ(vocam_camera_close(&h), 0);
    EXPECT_EQ(h, nullptr);
}

}  // namespace
