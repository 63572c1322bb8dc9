// The VOCAM_SIM grammar and the simulated host's matching and event loop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "Simulator/SimBus.h"
#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "vo_cameras.h"

using namespace vocam;

namespace {

TEST(SimDescription, ModelsKeysAndDefaults) {
    std::vector<sim::CameraConfig> cameras;
    std::string error;
    ASSERT_TRUE(
        sim::parseDescription("model_02,model_16:serial=77:state=ready:color=0:size=640x480:"
                              "subsample=2:cooling=1:fan=1:msgmask=1",
                              cameras, error))
        << error;
    ASSERT_EQ(cameras.size(), 2u);
    const sim::CameraConfig &a = cameras[0], &c = cameras[1];
    EXPECT_EQ(std::tie(a.product, a.vendor, a.serial, a.state, a.hasFpga),
              std::make_tuple(0x00A1, kCameraVendorA, 1000u, sim::BootState::Boot, true));
    EXPECT_EQ(std::tie(c.product, c.hasFpga, c.serial, c.state, c.colorCode, c.width, c.height),
              std::make_tuple(0x03AD, false, 77u, sim::BootState::Ready, 0u, 640, 480));
    EXPECT_EQ(std::tie(c.maxSubsample, c.cooling, c.fan, c.messageMask),
              std::make_tuple(2, true, true, 1u));
}

TEST(SimDescription, AnythingUnknownIsRefusedWithOneLineAndNoDevices) {
    const char *bad[] = {
        "model_34",          "model_2",          "camera_01",       "model_02:speed=3",
        "model_02:state=on", "model_02:size=64", "model_02:serial", "model_02,,model_03",
        "model_02:fan=2"};
    for (const char *description : bad) {
        test::StderrCapture err;
        EXPECT_FALSE(sim::Bus::instance().configure(description)) << description;
        EXPECT_TRUE(sim::Bus::instance().devices().empty());
        const std::string line = err.take();
        EXPECT_EQ(line.rfind("error: VOCAM_SIM: ", 0), 0u) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    }
}

TEST(SimHost, MatchesByProductOrSubclass) {
    ASSERT_TRUE(
        sim::Bus::instance().configure("model_02:state=ready,model_05:state=fpga,model_16"));
    auto host = sim::makeSimulatedHost(sim::Bus::instance());
    std::vector<std::shared_ptr<usbhost::DeviceRef>> found;
    EXPECT_EQ(host->match({kCameraVendorA, {}, {}}, found), 0);
    EXPECT_EQ(found.size(), 2u);
    EXPECT_EQ(host->match({kCameraVendorA, std::uint16_t{0x00A3}, {}}, found), 0);
    ASSERT_EQ(found.size(), 1u);
    std::unique_ptr<usbhost::Device> device;
    ASSERT_EQ(found[0]->createDevice(device), 0);
    std::uint16_t product = 0;
    EXPECT_EQ(device->product(product), 0);
    EXPECT_EQ(product, 0x00A3);
    // Exclusive: a second client is refused until the first closes.
    std::unique_ptr<usbhost::Device> other;
    ASSERT_EQ(found[0]->createDevice(other), 0);
    EXPECT_EQ(device->open(), 0);
    EXPECT_EQ(other->open(), usbhost::kIOReturnExclusiveAccess);
    EXPECT_EQ(device->close(), 0);
    EXPECT_EQ(other->open(), 0);
    // model_16 has no firmware yet: it shows its boot identity.
    EXPECT_EQ(host->match({kCameraVendorB, std::uint16_t{0x03AD}, {}}, found), 0);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(host->match({kCameraVendorB, {}, std::uint8_t{0xFF}}, found), 0);
    ASSERT_EQ(found.size(), 1u);
    ASSERT_EQ(found[0]->createDevice(device), 0);
    EXPECT_EQ(device->product(product), 0);
    EXPECT_EQ(product, 0x83AD);
    sim::Bus::instance().clear();
}

TEST(SimEventLoop, RunsCompletionsOnItsThreadAndStopsFromAnother) {
    test::SimCamera cam("model_16:state=ready");
    auto &interface = cam.handle()->usb_interface_if;
    ASSERT_EQ(interface->setAlternate(1), 0);  // no FPGA: alternate 1 streams
    auto host = sim::makeSimulatedHost(sim::Bus::instance());

    std::unique_ptr<usbhost::EventSource> source;
    ASSERT_EQ(interface->createAsyncEventSource(source), 0);
    auto loop = host->createEventLoop();
    loop->attach(*source);

    // Nothing pending: the bounded run returns without a completion.
    EXPECT_FALSE(loop->runOnce(0.05));

    struct Result {
        std::thread::id thread;
        usbhost::IOReturn code = 1;
        std::uint32_t bytes = 0;
    } result;
    std::uint8_t buffer[64];
    auto done = [](void *context, usbhost::IOReturn code, std::uint32_t bytes) {
        auto *r = static_cast<Result *>(context);
        r->thread = std::this_thread::get_id();
        r->code = code;
        r->bytes = bytes;
    };
    ASSERT_EQ(interface->readPipeAsync(1, buffer, sizeof buffer, done, &result), 0);
    cam.device().queueBulkIn(std::vector<std::uint8_t>(40, 0x5A));
    EXPECT_TRUE(loop->runOnce(5.0));
    EXPECT_EQ(std::tie(result.thread, result.code, result.bytes, buffer[39]),
              std::make_tuple(std::this_thread::get_id(), 0, 40u, 0x5A));

    // An aborted read still completes, with the aborted code.
    ASSERT_EQ(interface->readPipeAsync(1, buffer, sizeof buffer, done, &result), 0);
    interface->abortPipe(1);
    EXPECT_TRUE(loop->runOnce(5.0));
    EXPECT_EQ(result.code, usbhost::kIOReturnAborted);

    // stop() from another thread ends run(); a stop before run is remembered.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loop->stop();
    });
    loop->run();
    stopper.join();
    loop->stop();
    loop->run();
    loop->detach(*source);
}

}  // namespace

// A window of no pixels renders nothing, and serving it copies nothing.
TEST(SimVideoFrames, AnEmptyWindowDeliversNoBytes) {
    vocam::sim::SimVideo video([] {});
    vocam::sim::VideoSettings empty;
    empty.sensorWidth = 640;
    empty.sensorHeight = 480;
    std::uint8_t buffer[16] = {};
    std::uint32_t moved = 99;
    EXPECT_EQ(video.deliver(empty, buffer, sizeof buffer, moved), 0);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(video.framesSent(), 1u);  // a whole frame, of nothing
}
