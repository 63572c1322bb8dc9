// The VOCAM_SIM grammar, the simulated video and the faults it stages. The
// timed faults (unplug, replug, stall) are seen through the front ends that
// stream from such cameras: the element's, the INDI driver's and the vocam
// tool's suites.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <tuple>

#include "Simulator/SimBus.h"
#include "support/SimCamera.h"
#include "support/Stderr.h"

using namespace vocam;

namespace {

TEST(SimDescription, ModelsAndKeys) {
    std::vector<sim::CameraConfig> cameras;
    std::string error;
    ASSERT_TRUE(
        sim::parseDescription("model_02,model_16:serial=77:state=ready:color=0:size=640x480:"
                              "subsample=2:cooling=1:fan=1:msgmask=1:stamp=1:unplug=2.5:"
                              "replug=0.25:stall=7:failreads=3:shortreads=1",
                              cameras, error))
        << error;
    ASSERT_EQ(cameras.size(), 2u);
    // The defaults (serial 1000 on, a controller waiting for its firmware, an
    // FPGA where the model has one) are the start-up suite's to see.
    const sim::CameraConfig &c = cameras[1];
    EXPECT_EQ(std::tie(c.product, c.hasFpga, c.serial, c.state, c.colorCode, c.width, c.height),
              std::make_tuple(0x03AD, false, 77u, sim::BootState::Ready, 0u, 640, 480));
    EXPECT_EQ(std::tie(c.maxSubsample, c.cooling, c.fan, c.messageMask),
              std::make_tuple(2, true, true, 1u));
    EXPECT_EQ(c.video, (sim::VideoFaults{true, 2.5, 0.25, 7, 3, 1}));
}

TEST(SimDescription, AnythingUnknownIsRefusedWithOneLineAndNoDevices) {
    const char *bad[] = {"model_34",           "model_2",
                         "camera_01",          "model_02:speed=3",
                         "model_02:state=on",  "model_02:size=64",
                         "model_02:serial",    "model_02,,model_03",
                         "model_02:fan=2",     "model_02:unplug=-1",
                         "model_02:stall=1e3", "model_02:stall=",
                         "model_02:replug=1",  "model_02:failreads=0",
                         "model_02:stamp=2"};
    for (const char *description : bad) {
        test::StderrCapture err;
        EXPECT_FALSE(sim::Bus::instance().configure(description)) << description;
        EXPECT_TRUE(sim::Bus::instance().devices().empty());
        const std::string line = err.take();
        EXPECT_EQ(line.rfind("error: VOCAM_SIM: ", 0), 0u) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    }
}

// A window of no pixels renders nothing, and serving it copies nothing.
TEST(SimVideoFrames, AnEmptyWindowDeliversNoBytes) {
    sim::SimVideo video([] {});
    sim::VideoSettings empty;
    empty.sensorWidth = 640;
    empty.sensorHeight = 480;
    std::uint8_t buffer[16] = {};
    std::uint32_t moved = 99;
    EXPECT_EQ(video.deliver(empty, buffer, sizeof buffer, moved), 0);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(video.framesSent(), 1u);  // a whole frame, of nothing
}

sim::VideoSettings smallWindow() {
    sim::VideoSettings s;
    s.sensorWidth = s.width = 128;
    s.sensorHeight = s.height = 96;  // three stamps' worth
    s.colorCode = 8;
    std::iota(s.tone.begin(), s.tone.end(), std::uint8_t{0});
    return s;
}

// With stamps, each frame hashes as the log says, and a buffer whose first
// part is one frame and the rest the next matches no frame of the log.
TEST(SimVideoFrames, StampedFramesProveATornBufferAgainstTheLog) {
    sim::SimVideo video([] {});
    video.stage(sim::VideoFaults{true, {}, {}, {}, 0, 0});
    const auto s = smallWindow();
    std::vector<std::uint8_t> a(12288), b(12288);
    std::uint32_t moved = 0;
    ASSERT_EQ(video.deliver(s, a.data(), 12288, moved), 0);
    ASSERT_EQ(video.deliver(s, b.data(), 12288, moved), 0);
    const auto log = video.frameLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(
        std::make_tuple(sim::frameHash(a.data(), a.size()), sim::frameHash(b.data(), b.size())),
        std::make_tuple(log[0].hash, log[1].hash));
    for (const std::size_t tear : {4096, 6000, 12280}) {
        std::vector<std::uint8_t> torn(a.begin(), a.begin() + tear);
        torn.insert(torn.end(), b.begin() + tear, b.end());
        const auto hash = sim::frameHash(torn.data(), torn.size());
        EXPECT_TRUE(hash != log[0].hash && hash != log[1].hash) << tear;
    }
}

TEST(SimVideoFrames, EveryNthReadFailsOrComesShort) {
    sim::SimVideo video([] {});
    video.stage(sim::VideoFaults{false, {}, {}, {}, 3, 2});
    const auto s = smallWindow();
    std::vector<std::uint8_t> frame(12288);
    std::vector<std::pair<usbhost::IOReturn, std::uint32_t>> answers;
    for (int i = 0; i < 6; ++i) {
        std::uint32_t moved = 0;
        answers.emplace_back(video.deliver(s, frame.data(), 12288, moved), moved);
    }
    const auto io = usbhost::kIOReturnIOError;
    using A = decltype(answers)::value_type;
    EXPECT_EQ(answers,
              (std::vector<A>{{0, 12288}, {0, 6144}, {io, 0}, {0, 6144}, {0, 12288}, {io, 0}}));
    EXPECT_EQ(video.frameLog().size(), 2u);
}

}  // namespace
