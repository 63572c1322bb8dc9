// A simulated camera opened through the library's own open call. The
// library's USB host is chosen once per process from VOCAM_SIM, so a test
// program that uses this registers SimulatedHostEnvironment before any
// library call (see VOCAM_USE_SIMULATED_HOST).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Simulator/SimBus.h"
#include "vo_cam.h"

namespace vocam::test {

class SimulatedHostEnvironment : public ::testing::Environment {
  public:
    void SetUp() override;
};

// Registers the environment from a static initialiser of the test program.
#define VOCAM_USE_SIMULATED_HOST                                        \
    [[maybe_unused]] static ::testing::Environment *const vocamSimEnv = \
        ::testing::AddGlobalTestEnvironment(new ::vocam::test::SimulatedHostEnvironment)

class OpenedCamera {
  public:
    // Configures the bus with one camera and opens it; the traffic log starts
    // empty after the open.
    explicit OpenedCamera(const std::string &description);
    ~OpenedCamera();
    OpenedCamera(const OpenedCamera &) = delete;
    OpenedCamera &operator=(const OpenedCamera &) = delete;

    _vocam *handle() const { return handle_; }
    sim::CameraDevice &device() { return *device_; }

  private:
    std::shared_ptr<sim::CameraDevice> device_;
    _vocam *handle_ = nullptr;
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
