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
#include <optional>
#include <thread>

#include "base/vo_sync.h"
#include "usbhost/UsbHost.h"
#include "vocamapi.h"

namespace vo {

enum class StreamState : std::uint8_t {
    Disabled,  // no ring
    Ready,     // ring allocated, no thread streaming
    Starting,  // a start waits for the thread to report
    Running,   // frames flow (or the thread is ending on its own: `ending`)
    Stopping,  // a stop waits for the thread to end
};

inline constexpr int kRingSize = 3;

// How long the end of a stream waits for the read in flight before
// cancelling it, and again for the cancelled read to come back.
inline constexpr double kStreamDrainSeconds = 1.0;

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

// What a stream needs of its camera, and no more: the opened interface its
// frames are read through, the registers it switches video with and reads
// the frame timing from, and the window a ring is allocated for. The camera
// provides it (transport/camera.h); the stream sees nothing else of it.
class StreamPort {
  public:
    // Null until the interface is open.
    virtual vocam::usbhost::Interface *interface() = 0;
    virtual int readRegister(std::int32_t reg, std::uint32_t *word) = 0;
    virtual int writeRegister(std::int32_t reg, std::uint32_t word) = 0;
    // The window's size in delivered pixels; read with the control lock held,
    // which a change of window holds too.
    virtual std::uint16_t windowWidth() = 0;
    virtual std::uint16_t windowHeight() = 0;

  protected:
    ~StreamPort() = default;
};

// The stream's state as the tests see it.
struct StreamProbe {
    StreamState state;
    int reads_pending;
    int reading_index;
    std::uint32_t callers;
};

class Stream {
  public:
    explicit Stream(StreamPort &port) : port_(port) {}
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // ---- The calls on the stream (transport/vo_usb/stream.cpp). Each runs
    // on a caller already admitted (StreamCall); the camera API's exported
    // calls of the same purpose refuse a handle being closed.

    // Allocates the ring for the current window; frees it.
    int enable() VO_EXCLUDES(control, lock);
    int disable() VO_EXCLUDES(control, lock);
    // Starts the stream thread and waits for it to report; ends it.
    int start() VO_EXCLUDES(control, lock);
    int stop() VO_EXCLUDES(control, lock);
    // The newest frame not yet handed out, held for the caller: 0 with
    // `frame` set, or what the waits answer (-96 once the stream has ended,
    // -22 while every buffer is held, VOCAM_WAIT_TIMED_OUT past the deadline).
    int acquire(std::optional<std::chrono::steady_clock::time_point> deadline, Frame &frame)
        VO_EXCLUDES(lock);
    // acquire() answered with the frame's ring index, as the C waits answer.
    int wait() VO_EXCLUDES(lock);
    int waitFor(std::uint32_t milliseconds) VO_EXCLUDES(lock);
    int release(std::int32_t index) VO_EXCLUDES(lock);
    std::uint8_t *bufferAddress(std::int32_t index) VO_EXCLUDES(lock);
    std::uint32_t frameBytes() VO_EXCLUDES(lock);
    int bufferInfo(std::int32_t index, vocam_frame_info *info) VO_EXCLUDES(lock);
    int stats(vocam_stream_stats *record) VO_EXCLUDES(lock);
    // The camera's exposure (microseconds) or data rate (kilopixels per
    // second) as a call has just set or read it: the silence limit follows.
    void reportExposure(std::uint32_t microseconds) VO_EXCLUDES(lock);
    void reportRate(std::uint32_t kps) VO_EXCLUDES(lock);
    // For closing a handle: wakes every waiter, ends a running stream, waits
    // for every call still inside the library on the handle and frees the
    // ring.
    void shutdown() VO_EXCLUDES(control, lock);
    // The way into a call that changes the stream's life or the window:
    // true with the control lock held (and, when `reap`, a stream thread
    // that ended on its own joined); false with nothing held once a close
    // has begun.
    bool enterControl(bool reap = true) VO_TRY_ACQUIRE(true, control) VO_EXCLUDES(lock);
    StreamProbe probe() VO_EXCLUDES(lock);

    StreamPort &port() const { return port_; }

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

  private:
    StreamPort &port_;
};

}  // namespace vo

// A caller inside the library on a handle: a close waits for it to leave,
// and refuses it (false) once the close has begun.
class StreamCall {
  public:
    explicit StreamCall(vo::Stream &stream);
    ~StreamCall();
    StreamCall(const StreamCall &) = delete;
    StreamCall &operator=(const StreamCall &) = delete;
    explicit operator bool() const { return admitted_; }

  private:
    vo::Stream &stream_;
    bool admitted_ = false;
};

// A frame a caller hands back to the library. A ring buffer is kept from
// being freed or refilled while the call reads it, and carries the window
// the ring was enabled for; any other memory is the caller's, of whatever
// size the caller says. False when no stream is running.
class FramePin {
  public:
    FramePin(vo::Stream &stream, const std::uint8_t *src);
    ~FramePin();
    FramePin(const FramePin &) = delete;
    FramePin &operator=(const FramePin &) = delete;
    explicit operator bool() const { return running_; }
    bool ring() const { return index_ >= 0; }
    // A ring buffer's frame: delivered pixels, one byte each.
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    std::uint32_t bytes() const { return bytes_; }

  private:
    vo::Stream *stream_;
    int index_ = -1;
    bool running_ = false;
    std::uint32_t width_ = 0, height_ = 0, bytes_ = 0;
};
