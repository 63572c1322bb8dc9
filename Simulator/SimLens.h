// A motorised focus lens for the simulated camera: it travels towards the
// position it was last sent at a fixed speed per frame, and the camera's
// frames blur with the distance between its position and the in-focus one.
#pragma once

#include <cstdint>
#include <mutex>

namespace vocam::sim {

struct LensConfig {
    int min = 0, max = 3200;  // travel; commands beyond it stop at the end
    int speed = 60;           // position units per frame
    int focus = 1600;         // the position at which the scene is sharp
    int start = 0;            // position at power-up
    double blurPerUnit = 1.0 / 200;  // blur (Gaussian sigma, delivered pixels) per unit off focus
    // Limit flags the controller reports: bit 0 the lower end is not enforced,
    // bit 1 the upper one.
    std::uint32_t flags = 0;
    // A lens that never comes to rest: once at its target it keeps creeping
    // one unit a frame, turning at the ends of its travel.
    bool hunting = false;
};

class SimLens {
  public:
    explicit SimLens(LensConfig config);

    const LensConfig &config() const { return config_; }
    // Controller side.
    void command(int target);
    int position() const;
    int target() const;
    int commands() const;  // positions sent so far

    // Camera side: one frame's time passes; the blur the frame shows.
    void advanceFrame();
    double blur() const;

  private:
    LensConfig config_;
    mutable std::mutex mutex_;
    int position_;
    int target_;
    int commands_ = 0;
    int huntStep_ = 1;
};

}  // namespace vocam::sim
