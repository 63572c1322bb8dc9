// A simulated camera opened through the library's own open call, as clients
// open it. The process's host is the simulated bus: the environment asks for
// it before the library's first call.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Simulator/SimBus.h"
#include "device/vo_cameras.h"
#include "support/Frames.h"
#include "vo_cam/vo_cam.h"

namespace vocam::test {

class SimulatedHostEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { setenv("VOCAM_SIM", "model_02:state=ready", 1); }
};

// Registers the environment once per test program that includes this header.
inline const bool kSimulatedHostRegistered =
    (::testing::AddGlobalTestEnvironment(new SimulatedHostEnvironment), true);

class OpenCamera {
  public:
    // `description` is a VOCAM_SIM value naming one ready camera. What the
    // open writes to standard error is dropped, and the traffic log starts
    // empty after it.
    explicit OpenCamera(const std::string &description = "model_02:state=ready:fps=0");
    ~OpenCamera() {
        vocam_camera_close(&handle_);
        sim::Bus::instance().clear();
    }
    OpenCamera(const OpenCamera &) = delete;
    OpenCamera &operator=(const OpenCamera &) = delete;

    _vocam *handle() const { return handle_; }
    sim::CameraDevice &device() const { return *device_; }
    // Closes the handle early; the camera stays on the bus.
    void close() { vocam_camera_close(&handle_); }
    // The camera leaves the bus as at a cable pull.
    void unplug() { device_->unplug(); }

  private:
    _vocam *handle_ = nullptr;
    std::shared_ptr<sim::CameraDevice> device_;
};

// One register request as it crossed the wire.
struct RegisterAccess {
    bool write;
    std::uint16_t address;
    std::vector<std::uint8_t> data;
    bool operator==(const RegisterAccess &) const = default;
};
void PrintTo(const RegisterAccess &a, std::ostream *os);
using Traffic = std::vector<RegisterAccess>;
Traffic registerTraffic(const sim::CameraDevice &device);
// Little-endian bytes of words.
std::vector<std::uint8_t> wireWords(std::initializer_list<std::uint32_t> words);

}  // namespace vocam::test
