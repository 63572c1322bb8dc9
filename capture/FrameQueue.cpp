#include "FrameQueue.h"

#include <algorithm>
#include <cstring>

namespace vocapture {

std::size_t FrameQueue::slotsFor(std::size_t frameBytes) {
    constexpr std::size_t kBudget = std::size_t{128} << 20;
    return std::clamp<std::size_t>(kBudget / std::max<std::size_t>(frameBytes, 1), 2, 16);
}

FrameQueue::FrameQueue(std::size_t frameBytes, std::size_t slots, Sink sink,
                       std::function<void()> onFailure)
    : frameBytes_(frameBytes),
      sink_(std::move(sink)),
      onFailure_(std::move(onFailure)),
      slots_(std::max<std::size_t>(slots, 1)) {
    // Slots get their memory when first used: a disk that keeps up never
    // needs more than one or two.
    for (std::size_t i = slots_.size(); i-- > 0;) free_.push_back(i);
    writer_ = std::thread([this] { run(); });
}

FrameQueue::~FrameQueue() {
    finish();
}

void FrameQueue::offer(const std::uint8_t *frame, std::int64_t startUtcNs) {
    std::lock_guard lock(lock_);
    if (finishing_ || failed_) return;
    if (free_.empty()) {
        ++dropped_;
        return;
    }
    // The copy is made under the lock, which the writer holds only to take
    // or give back a slot, never while it writes.
    const std::size_t i = free_.back();
    free_.pop_back();
    Slot &slot = slots_[i];
    slot.bytes.resize(frameBytes_);
    std::memcpy(slot.bytes.data(), frame, frameBytes_);
    slot.startUtcNs = startUtcNs;
    queued_.push_back(i);
    ready_.notify_one();
}

void FrameQueue::countDropped(std::uint64_t frames) {
    std::lock_guard lock(lock_);
    if (!finishing_ && !failed_) dropped_ += frames;
}

void FrameQueue::run() {
    std::unique_lock lock(lock_);
    for (;;) {
        ready_.wait(lock, [this] { return finishing_ || !queued_.empty(); });
        if (queued_.empty() || failed_) return;
        const std::size_t i = queued_.front();
        queued_.pop_front();
        lock.unlock();
        const bool ok = sink_(slots_[i].bytes.data(), slots_[i].startUtcNs);
        lock.lock();
        free_.push_back(i);
        if (ok) {
            ++written_;
            continue;
        }
        failed_ = true;
        queued_.clear();
        lock.unlock();
        if (onFailure_) onFailure_();
        return;
    }
}

void FrameQueue::finish() {
    {
        std::lock_guard lock(lock_);
        finishing_ = true;
    }
    ready_.notify_one();
    if (writer_.joinable()) writer_.join();
}

std::uint64_t FrameQueue::written() const {
    std::lock_guard lock(lock_);
    return written_;
}

std::uint64_t FrameQueue::dropped() const {
    std::lock_guard lock(lock_);
    return dropped_;
}

bool FrameQueue::failed() const {
    std::lock_guard lock(lock_);
    return failed_;
}

}  // namespace vocapture
