#include "Simulator/SimLens.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vocam::sim {

SimLens::SimLens(LensConfig config)
    : config_(config),
      position_(std::clamp(config.start, config.min, config.max)),
      target_(position_) {}

void SimLens::command(int target) {
    std::lock_guard lock(mutex_);
    target_ = std::clamp(target, config_.min, config_.max);
    ++commands_;
}

int SimLens::position() const {
    std::lock_guard lock(mutex_);
    return position_;
}

int SimLens::target() const {
    std::lock_guard lock(mutex_);
    return target_;
}

int SimLens::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

void SimLens::advanceFrame() {
    std::lock_guard lock(mutex_);
    const int gap = target_ - position_;
    if (gap != 0) {
        position_ += std::clamp(gap, -config_.speed, config_.speed);
        return;
    }
    if (!config_.hunting) return;
    if (position_ + huntStep_ > config_.max || position_ + huntStep_ < config_.min)
        huntStep_ = -huntStep_;
    position_ += huntStep_;
    target_ = position_;
}

double SimLens::blur() const {
    std::lock_guard lock(mutex_);
    return std::abs(position_ - config_.focus) * config_.blurPerUnit;
}

}  // namespace vocam::sim
