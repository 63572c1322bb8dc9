#include "Simulator/SimLens.h"

#include <algorithm>
#include <cmath>

namespace vocam::sim {

SimLens::SimLens(LensConfig config)
    : config_(config),
      position_(std::clamp(config.start, config.min, config.max)),
      target_(static_cast<int>(position_)),
      updated_(Clock::now()) {}

void SimLens::updateLocked() {
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - updated_).count();
    updated_ = now;
    const double gap = target_ - position_;
    if (gap != 0) {
        const double travel = config_.speed * seconds;
        position_ = std::abs(gap) <= travel ? target_ : position_ + std::copysign(travel, gap);
        return;
    }
    if (!config_.hunting) return;
    huntSeconds_ += seconds;
    for (; huntSeconds_ >= 0.001; huntSeconds_ -= 0.001) {
        if (position_ + huntStep_ > config_.max || position_ + huntStep_ < config_.min)
            huntStep_ = -huntStep_;
        position_ += huntStep_;
    }
    target_ = static_cast<int>(position_);
}

void SimLens::command(int target) {
    std::lock_guard lock(mutex_);
    updateLocked();
    target_ = std::clamp(target, config_.min, config_.max);
    ++commands_;
}

int SimLens::position() {
    std::lock_guard lock(mutex_);
    updateLocked();
    // The controller reports whole units.
    return static_cast<int>(std::floor(position_));
}

int SimLens::target() const {
    std::lock_guard lock(mutex_);
    return target_;
}

int SimLens::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

double SimLens::blur() {
    std::lock_guard lock(mutex_);
    updateLocked();
    return config_.blurScale * std::sqrt(std::abs(position_ - config_.focus));
}

}  // namespace vocam::sim
