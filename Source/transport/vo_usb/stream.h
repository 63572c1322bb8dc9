// The stream of one camera handle: its state, its ring of frame buffers and
// the thread that fills it, owned by one object with two locks.
//
// `control` serialises the calls that change the stream's life (enable,
// disable, start, stop, a change of window, close); only they join the
// thread, and only while holding it. `lock` guards everything the stream
// thread and the frame calls share; it is always taken after `control` and
// never held while joining or while the event loop runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <thread>

#include "base/vo_sync.h"
#include "usbhost/UsbHost.h"

namespace vo {

enum class StreamState : std::uint8_t {
    Disabled,  // no ring
    Ready,     // ring allocated, no thread streaming
    Starting,  // a start waits for the thread to report
    Running,   // frames flow (or the thread is ending on its own: `ending`)
    Stopping,  // a stop waits for the thread to end
};

inline constexpr int kRingSize = 3;

struct RingBuffer {
    // Shared with the read in flight into it: a read that never came back
    // keeps its buffer, and the ring goes on with a fresh one.
    std::shared_ptr<std::uint8_t[]> data;
    std::uint32_t holds = 0;  // by callers, from waits until their release
    std::uint32_t pins = 0;   // by conversions reading it right now
    std::uint32_t acquired_size = 0;
    std::uint64_t sequence = 0;  // 0 while being filled or never filled
    std::uint64_t arrival_ns = 0;
    bool taken = false;  // its frame went to a caller

    bool free() const { return holds == 0 && pins == 0; }
};

// A frame the stream hands out: its ring buffer, where its bytes lie, how
// many arrived, its number in the stream and when it arrived. It stays the
// caller's until the buffer is released.
struct Frame {
    int index = -1;
    std::uint8_t *address = nullptr;
    std::uint32_t size = 0;
    std::uint64_t number = 0;
    std::uint64_t arrival_ns = 0;
};

struct StreamCounts {
    std::uint64_t delivered = 0, taken = 0, overwritten = 0, failed_reads = 0, short_frames = 0;
};

// The frame timing the stream expects of its camera: each frame takes its
// exposure, then its readout at the data rate.
struct FrameTiming {
    std::uint32_t exposure_us = 0;
    std::uint32_t rate_kps = 0;  // kilopixels per second; 0 while not known
    std::chrono::nanoseconds period(std::uint32_t frame_bytes) const {
        const std::uint64_t readout_ns =
            rate_kps == 0 ? 0 : std::uint64_t{frame_bytes} * 1000000u / rate_kps;
        return std::chrono::microseconds(exposure_us) + std::chrono::nanoseconds(readout_ns);
    }
};

// A run of failed or short reads: logged once with its count, retried with
// growing pauses, and the end of the stream when nothing good came for long.
struct FailureRun {
    bool active = false;
    int code = 0;  // the platform code, or 0 for short frames
    std::uint32_t bytes = 0;
    std::uint64_t repeats = 0;  // failures like the first one, not logged
    std::chrono::steady_clock::time_point since{};
    std::chrono::milliseconds pause{0};
};

class Stream {
  public:
    Mutex control;
    Mutex lock VO_ACQUIRED_AFTER(control);
    // Broadcast on every change of state, frame, hold, pin and caller count.
    std::condition_variable cond;

    std::thread thread VO_GUARDED_BY(control);

    StreamState state VO_GUARDED_BY(lock) = StreamState::Disabled;
    // The thread ends on its own (camera gone, reads keep failing).
    bool ending VO_GUARDED_BY(lock) = false;
    // How the last start's thread reported: 0, or why it ended.
    int start_result VO_GUARDED_BY(lock) = 0;
    // Streams ended: a waiter notices the end of its stream even when the
    // next one has begun by the time it wakes.
    std::uint32_t epoch VO_GUARDED_BY(lock) = 0;
    std::uint8_t reads_pending VO_GUARDED_BY(lock) = 0;
    RingBuffer buffers[kRingSize] VO_GUARDED_BY(lock);
    std::int32_t reading_index VO_GUARDED_BY(lock) = -1;
    std::uint64_t frame_sequence VO_GUARDED_BY(lock) = 0;
    std::uint64_t delivered_sequence VO_GUARDED_BY(lock) = 0;
    std::uint32_t frame_bytes VO_GUARDED_BY(lock) = 0;
    // The window the ring was enabled for, in delivered pixels: its frames
    // keep it after a change of window.
    std::uint16_t ring_width VO_GUARDED_BY(lock) = 0;
    std::uint16_t ring_height VO_GUARDED_BY(lock) = 0;
    vocam::usbhost::EventLoop *run_loop VO_GUARDED_BY(lock) = nullptr;
    StreamCounts counts VO_GUARDED_BY(lock);
    FailureRun failures VO_GUARDED_BY(lock);
    FrameTiming timing VO_GUARDED_BY(lock);
    // Bumped by every timing a call reports, so that the stream thread's
    // own reading at start never overwrites a newer one.
    std::uint32_t timing_reports VO_GUARDED_BY(lock) = 0;
    // The stream ends when no whole frame has come by then: the last frame
    // (or the start) plus the frame period and a margin.
    std::chrono::steady_clock::time_point silence_deadline VO_GUARDED_BY(lock){};

    // Callers inside the library's calls on this handle, and whether a close
    // has begun: a close wakes every waiter, refuses new calls and frees the
    // handle only once this count is back to 0.
    std::uint32_t callers VO_GUARDED_BY(lock) = 0;
    bool closing VO_GUARDED_BY(lock) = false;

    // The one place the state changes; wakes everyone who waits on it.
    void setState(StreamState next) VO_REQUIRES(lock) {
        state = next;
        cond.notify_all();
    }
    // Frames may still be asked for.
    bool flowing() const VO_REQUIRES(lock) {
        return state == StreamState::Running && !ending && !closing;
    }
    bool enabled() const VO_REQUIRES(lock) { return state != StreamState::Disabled; }
    bool active() const VO_REQUIRES(lock) {
        return state == StreamState::Starting || state == StreamState::Running ||
               state == StreamState::Stopping;
    }
};

}  // namespace vo
