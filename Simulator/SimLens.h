// A motorised focus lens for the simulated camera: it travels towards the
// position it was last sent at a fixed speed, and the camera's frames blur
// with the distance between its position and the in-focus one.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace vocam::sim {

struct LensConfig {
    int min = 0, max = 3200;  // travel; commands beyond it stop at the end
    double speed = 3000;      // position units per second
    int focus = 1600;         // the position at which the scene is sharp
    int start = 0;            // position at power-up
    // Blur (Gaussian sigma in delivered pixels) = blurScale x the square root
    // of the distance from focus: steep near focus, and still changing far
    // from it, where a real lens's blur has long wiped out the fine detail a
    // sharpness measure sees.
    double blurScale = 0.1;
    // Limit flags the controller reports: bit 0 the lower end is not enforced,
    // bit 1 the upper one.
    std::uint32_t flags = 0;
    // A lens that never comes to rest: once at its target it keeps creeping
    // one unit a millisecond, turning at the ends of its travel.
    bool hunting = false;
};

class SimLens {
  public:
    explicit SimLens(LensConfig config);

    const LensConfig &config() const { return config_; }
    // Controller side.
    void command(int target);
    int position();
    int target() const;
    int commands() const;  // positions sent so far

    // Camera side: the blur a frame shows now.
    double blur();

  private:
    using Clock = std::chrono::steady_clock;
    // Moves the lens for the time passed since the last update.
    void updateLocked();

    LensConfig config_;
    mutable std::mutex mutex_;
    double position_;
    int target_;
    int commands_ = 0;
    int huntStep_ = 1;
    double huntSeconds_ = 0;  // time not yet crept
    Clock::time_point updated_;
};

}  // namespace vocam::sim
