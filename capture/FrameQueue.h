// Frames on their way to a file, off the image worker's path: each frame
// offered is copied into a slot of a small pool and handed to a writer
// thread of its own. A disk slower than the camera fills the pool, and the
// frames that find no slot are counted as dropped instead of holding up the
// worker (and with it the view).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vocapture {

class FrameQueue {
  public:
    // Writes one frame whose exposure began at `startUtcNs`; false when it
    // could not, which ends the writing.
    using Sink = std::function<bool(const std::uint8_t *frame, std::int64_t startUtcNs)>;

    // Frames of `frameBytes`, at most `slots` of them waiting or being
    // written. `onFailure` is called once, on the writer thread, when the
    // sink fails.
    FrameQueue(std::size_t frameBytes, std::size_t slots, Sink sink,
               std::function<void()> onFailure = {});
    ~FrameQueue();
    FrameQueue(const FrameQueue &) = delete;
    FrameQueue &operator=(const FrameQueue &) = delete;

    // Queues a copy of `frame` and returns without waiting for the disk; a
    // frame that finds every slot taken is dropped. Ignored once the queue
    // is finishing or the sink failed.
    void offer(const std::uint8_t *frame, std::int64_t startUtcNs);
    // Frames that never reached offer, though they belonged in the file.
    void countDropped(std::uint64_t frames);
    // Writes the frames already queued (unless the sink failed) and ends the
    // writer thread. Offers after it are ignored.
    void finish();

    std::uint64_t written() const;
    std::uint64_t dropped() const;
    bool failed() const;

    // A pool that holds a few seconds of small frames and never more than
    // about 128 MiB of large ones, with at least two slots.
    static std::size_t slotsFor(std::size_t frameBytes);

  private:
    struct Slot {
        std::vector<std::uint8_t> bytes;
        std::int64_t startUtcNs = 0;
    };
    void run();

    const std::size_t frameBytes_;
    Sink sink_;
    std::function<void()> onFailure_;

    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::vector<Slot> slots_;
    std::vector<std::size_t> free_;
    std::deque<std::size_t> queued_;
    bool finishing_ = false;
    bool failed_ = false;
    std::uint64_t written_ = 0, dropped_ = 0;
    std::thread writer_;
};

}  // namespace vocapture
