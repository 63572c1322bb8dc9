// The streaming engine: a thread per streaming camera keeps one bulk read in
// flight into a ring of three frame buffers, and the caller takes the newest
// complete frame, holds it while it uses it, and gives it back.
//
// Lock order: the stream's control lock, then its data lock. The stream
// thread takes only the data lock; only control calls join it.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "base/vo_guard.h"
#include "base/vo_log.h"
#include "transport/vo_usb.h"
#include "usbhost/registry/Backends.h"

using namespace vocam::usbhost;
using vo::StreamState;

// The stream thread, the reads it keeps in flight and their completions.
// Both read calls run with the stream's data lock held: 0, or negative when
// no read could be started.
void usb_stream_thread_callback(vo::Stream *h);
int usb_stream_buffer_read_next(vo::Stream *h) VO_REQUIRES(h->lock);
int usb_stream_schedule_read(vo::Stream *h, int index) VO_REQUIRES(h->lock);
void usb_stream_buffer_ready_callback(void *stream, vocam::usbhost::IOReturn result,
                                      std::uint32_t bytes);

namespace {

namespace wire = vocam::wire;
constexpr std::int32_t kRegVideo = wire::kVideo.address;
// What a frame takes: the exposure block's value word (microseconds) and
// the data rate (kilopixels per second).
constexpr std::int32_t kRegExposureValue = wire::kExposure.address + wire::kBlockValue;
constexpr std::int32_t kRegRate = wire::kRate.address;
constexpr int kBufferCount = vo::kRingSize;

// A camera whose reads keep failing is given this long to send one whole
// frame before the stream ends; the pauses between retries grow to at most
// kLongestPause, so a dead camera costs neither a core nor a flood of lines.
constexpr auto kGiveUpAfter = std::chrono::seconds(2);
constexpr auto kLongestPause = std::chrono::milliseconds(64);
// A camera that sends nothing is given its frame period and this much more:
// a pulled or silent camera ends the stream in about 2 s at ordinary
// exposures, and an exposure of an hour still ends in a frame.
constexpr auto kSilenceMargin = std::chrono::seconds(2);
constexpr auto kIdleLook = std::chrono::milliseconds(250);

using Clock = std::chrono::steady_clock;

bool validIndex(std::int32_t index) {
    return index >= 0 && index < kBufferCount;
}

std::uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

int heldCount(vo::Stream *h) VO_REQUIRES(h->lock) {
    int n = 0;
    for (const auto &b : h->buffers) n += b.holds > 0;
    return n;
}

bool anyFree(vo::Stream *h) VO_REQUIRES(h->lock) {
    for (const auto &b : h->buffers)
        if (b.free()) return true;
    return false;
}

// Asks the stream thread to end on its own: every waiter is woken and
// returns -96.
void endStream(vo::Stream *h) VO_REQUIRES(h->lock) {
    h->ending = true;
    if (h->run_loop != nullptr) h->run_loop->stop();
    h->cond.notify_all();
}

// A read could not be started: nothing would ever wake the waiters, so the
// stream ends.
void readFailed(vo::Stream *h, int code) VO_REQUIRES(h->lock) {
    if (code == kIOReturnNoDevice)
        vo::logs(vo::LogKind::Error, "error: camera has left the bus - ending the stream\n");
    else
        vo::logs(vo::LogKind::Error, "error: unable to read frames - ending the stream\n");
    endStream(h);
}

// Re-arms the ring after a frame, a release or the end of a conversion. A
// ring with no free buffer waits for the next release.
void rearm(vo::Stream *h) VO_REQUIRES(h->lock) {
    const int r = usb_stream_buffer_read_next(h);
    if (r < 0 && anyFree(h)) readFailed(h, r);
}

Clock::duration silenceLimit(vo::Stream *h) VO_REQUIRES(h->lock) {
    return h->timing.period(h->frame_bytes) + kSilenceMargin;
}

// The next whole frame is due within the limit from now.
void expectFrame(vo::Stream *h) VO_REQUIRES(h->lock) {
    h->silence_deadline = Clock::now() + silenceLimit(h);
}

// A ring that went idle because no buffer was free moves again. The camera
// was not asked for a frame meanwhile, so its time runs from now.
void resumeIfIdle(vo::Stream *h) VO_REQUIRES(h->lock) {
    if (h->flowing() && h->reads_pending == 0 && h->reading_index == -1) {
        expectFrame(h);
        rearm(h);
    }
}

// A timing a call has just set or read. The frame under way may still take
// the old period, so a shorter one applies from the next frame on.
void reportTiming(vo::Stream *h, const vo::FrameTiming &timing) VO_REQUIRES(h->lock) {
    h->timing = timing;
    ++h->timing_reports;
    if (h->state == StreamState::Running)
        h->silence_deadline = std::max(h->silence_deadline, Clock::now() + silenceLimit(h));
}

// Reads the camera's exposure and data rate as the stream starts: they may
// have changed since a call last reported them (another program, the
// camera's own automatic exposure).
void readTiming(vo::Stream *h) VO_EXCLUDES(h->lock) {
    std::uint32_t reports;
    vo::FrameTiming timing;
    {
        vo::Lock lock(h->lock);
        reports = h->timing_reports;
        timing = h->timing;
    }
    std::uint32_t word = 0;
    if (h->port().readRegister(kRegExposureValue, &word) == 0) timing.exposure_us = word;
    if (h->port().readRegister(kRegRate, &word) == 0) timing.rate_kps = word;
    vo::Lock lock(h->lock);
    if (h->timing_reports == reports) h->timing = timing;
}

// Closes a run of failures, saying how often its last kind repeated unlogged.
void endFailureRun(vo::Stream *h) VO_REQUIRES(h->lock) {
    vo::FailureRun &f = h->failures;
    if (f.active && f.repeats > 0)
        vo::logf(vo::LogKind::Error, "error: %llu more like the line above\n",
                 static_cast<unsigned long long>(f.repeats));
    f = vo::FailureRun{};
}

// Ends a stream whose camera sent no whole frame within the limit.
void silenced(vo::Stream *h) VO_REQUIRES(h->lock) {
    endFailureRun(h);
    vo::logf(vo::LogKind::Error, "error: no whole frame for %.0f s - ending the stream\n",
             std::chrono::duration<double>(silenceLimit(h)).count());
    endStream(h);
}

// Notes a failed (`code` != 0) or short read. Returns the pause before the
// retry, or nothing when the run has lasted too long and the stream ends.
std::optional<std::chrono::milliseconds> noteFailure(vo::Stream *h, int code, std::uint32_t bytes)
    VO_REQUIRES(h->lock) {
    vo::FailureRun &f = h->failures;
    const auto now = Clock::now();
    if (f.active && f.code == code && f.bytes == bytes) {
        ++f.repeats;
    } else {
        if (f.active && f.repeats > 0)
            vo::logf(vo::LogKind::Error, "error: %llu more like the line above\n",
                     static_cast<unsigned long long>(f.repeats));
        if (!f.active) {
            f.since = now;
            f.pause = std::chrono::milliseconds(0);
        }
        f.active = true;
        f.code = code;
        f.bytes = bytes;
        f.repeats = 0;
        if (code != 0)
            vo::logf(vo::LogKind::Error, "error: read async returned %d\n", code);
        else
            vo::logf(vo::LogKind::Error, "error: read async only read %u/%u bytes\n", bytes,
                     h->frame_bytes);
    }
    if (now - f.since >= kGiveUpAfter) {
        endFailureRun(h);
        vo::logs(vo::LogKind::Error, "error: no whole frame for 2 s - ending the stream\n");
        endStream(h);
        return std::nullopt;
    }
    const auto pause = f.pause;
    f.pause =
        f.pause.count() == 0 ? std::chrono::milliseconds(1) : std::min(f.pause * 2, kLongestPause);
    return pause;
}

// Retries a failed or short read into the same buffer after `pause`; a stop
// or close cuts the pause short.
void retryAfter(vo::Stream *h, vo::Lock &lock, int index, std::chrono::milliseconds pause)
    VO_REQUIRES(h->lock) {
    const auto deadline = Clock::now() + pause;
    while (h->flowing() && Clock::now() < deadline) vo::waitUntil(h->cond, lock, deadline);
    if (!h->flowing() || index < 0) {
        h->reading_index = -1;
        return;
    }
    if (const int r = usb_stream_schedule_read(h, index); r < 0) readFailed(h, r);
}

// Gives up on the read in flight. Its completion can no longer reach this
// stream (the event source is detached before the thread ends), but the
// device may still write into its buffer: the read keeps that buffer, and
// the ring takes a fresh one in its place, so neither a restart nor a new
// enable ever hands out memory a late read writes into.
void abandonRead(vo::Stream *h) VO_REQUIRES(h->lock) {
    h->reads_pending = 0;
    const std::int32_t index = h->reading_index;
    h->reading_index = -1;
    if (!validIndex(index)) return;
    vo::RingBuffer &b = h->buffers[index];
    // A conversion may still read the old memory, which the read keeps alive;
    // its pin is let go on the buffer now in that place.
    const std::uint32_t pins = b.pins;
    b = vo::RingBuffer{};
    b.pins = pins;
    try {
        b.data.reset(new std::uint8_t[h->frame_bytes]);
    } catch (const std::bad_alloc &) {
        // Left empty: a start reading into it fails until the next enable.
    }
}

// Runs completions until no read is in flight or `seconds` have passed; the
// lock is let go while the loop runs and held again on return.
void drainFor(vo::Stream *h, EventLoop &loop, double seconds) VO_REQUIRES(h->lock) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (h->reads_pending > 0) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        h->lock.unlock();
        loop.runOnce(std::chrono::duration<double>(deadline - now).count());
        h->lock.lock();
    }
}

// Runs completions until a stop or the end of the stream, which a camera
// that sends no whole frame within its limit brings about. Only a camera
// with a read to answer can be silent: a ring held idle by its callers
// is looked at again every kIdleLook. A stop that lands between the check
// and runOnce() is remembered by the loop, so runOnce() then returns at once.
void runUntilEnd(vo::Stream *h, EventLoop &loop) VO_REQUIRES(h->lock) {
    while (h->state == StreamState::Running && !h->ending) {
        Clock::duration wait = kIdleLook;
        if (h->reads_pending > 0) {
            wait = h->silence_deadline - Clock::now();
            if (wait <= Clock::duration::zero()) {
                silenced(h);
                return;
            }
        }
        h->lock.unlock();
        loop.runOnce(std::chrono::duration<double>(wait).count());
        h->lock.lock();
    }
}

// The read in flight still writes into a ring buffer. A frame due within the
// drain time is let finish, and cancelled only when it is late; one not due
// so soon (a long exposure) or never coming (a silent camera) is cancelled at
// once, which is what a stop asks for, not a fault.
void settleRead(vo::Stream *h, EventLoop &loop, Interface &usb) VO_REQUIRES(h->lock) {
    if (h->reads_pending == 0) return;
    const auto due = h->silence_deadline - kSilenceMargin;
    const auto drainTime = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(vo::kStreamDrainSeconds));
    if (!h->ending && due <= Clock::now() + drainTime) {
        drainFor(h, loop, vo::kStreamDrainSeconds);
        if (h->reads_pending == 0) return;
        vo::logs(vo::LogKind::Error, "error: stream read did not complete - cancelling it\n");
    }
    h->lock.unlock();
    usb.abortPipe(wire::kDataPipe);
    h->lock.lock();
    drainFor(h, loop, vo::kStreamDrainSeconds);
    if (h->reads_pending > 0) {
        vo::logs(vo::LogKind::Error, "error: cancelled stream read did not come back\n");
        abandonRead(h);
    }
}

// The one join of the stream thread.
void joinThread(vo::Stream *h) VO_REQUIRES(h->control) VO_EXCLUDES(h->lock) {
    if (h->thread.joinable()) h->thread.join();
}

// A thread that ended on its own (camera gone, reads failing, start failed)
// is joined by the next control call.
void reapEnded(vo::Stream *h) VO_REQUIRES(h->control) VO_EXCLUDES(h->lock) {
    bool ended;
    {
        vo::Lock lock(h->lock);
        ended = h->state == StreamState::Ready || h->state == StreamState::Disabled;
    }
    if (ended) joinThread(h);
}

bool closeBegun(vo::Stream *h) VO_EXCLUDES(h->lock) {
    vo::Lock lock(h->lock);
    if (h->closing) vo::logs(vo::LogKind::Error, "error: the camera is being closed\n");
    return h->closing;
}

// Empties the ring for a disable or a new enable: refused (-1) while a
// caller holds a buffer, and waits out conversions reading one.
int dropRing(vo::Stream *h, vo::Lock &lock, const char *refusal) VO_REQUIRES(h->lock) {
    if (heldCount(h) > 0) {
        vo::logs(vo::LogKind::Error, refusal);
        return VOCAM_EFAIL;
    }
    for (;;) {
        bool pinned = false;
        for (const auto &b : h->buffers) pinned |= b.pins > 0;
        if (!pinned) break;
        vo::wait(h->cond, lock);
    }
    for (auto &b : h->buffers) b = vo::RingBuffer{};
    h->reading_index = -1;
    h->setState(StreamState::Disabled);
    return 0;
}

}  // namespace

int vo::Stream::acquire(std::optional<Clock::time_point> deadline, vo::Frame &frame) {
    vo::Lock lock(this->lock);
    if (!this->flowing()) {
        vo::logs(vo::LogKind::Error, "stream is not running - no data to wait for...\n");
        return VOCAM_ENODATA;
    }
    // The stream this wait belongs to: once it has ended, a later stream's
    // frames are not what the caller waited for.
    const std::uint32_t epoch = this->epoch;
    const std::uint64_t seen = this->frame_sequence;
    for (;;) {
        // The newest frame not yet handed out; the buffer being filled has sequence 0.
        int best = -1;
        for (int i = 0; i < kBufferCount; ++i) {
            const vo::RingBuffer &b = this->buffers[i];
            if (b.sequence > this->delivered_sequence &&
                (best < 0 || b.sequence > this->buffers[best].sequence))
                best = i;
        }
        if (best >= 0) {
            vo::RingBuffer &b = this->buffers[best];
            this->delivered_sequence = b.sequence;
            ++b.holds;
            if (!b.taken) ++this->counts.taken;
            b.taken = true;
            frame = {best, b.data.get(), b.acquired_size, b.sequence, b.arrival_ns};
            return 0;
        }
        // With two buffers held the third is refilled as soon as it is full:
        // no frame can be handed out until a release.
        const int held = heldCount(this);
        if (held >= kBufferCount || (held == kBufferCount - 1 && this->frame_sequence != seen))
            return VOCAM_EINVAL;
        if (deadline) {
            if (Clock::now() >= *deadline) return VOCAM_WAIT_TIMED_OUT;
            vo::waitUntil(this->cond, lock, *deadline);
        } else {
            vo::wait(this->cond, lock);
        }
        if (this->epoch != epoch || !this->flowing()) return VOCAM_ENODATA;
    }
}

namespace {

// Refusals of the record calls: -22 with one line.
int refuse(const char *call, const char *why) {
    vo::logf(vo::LogKind::Error, "error: %s: %s\n", call, why);
    return VOCAM_EINVAL;
}

}  // namespace

StreamCall::StreamCall(vo::Stream &stream) : stream_(stream) {
    vo::Lock lock(stream_.lock);
    admitted_ = !stream_.closing;
    if (admitted_) ++stream_.callers;
}

StreamCall::~StreamCall() {
    if (!admitted_) return;
    vo::Lock lock(stream_.lock);
    if (--stream_.callers == 0) stream_.cond.notify_all();
}

bool vo::Stream::enterControl(bool reap) {
    this->control.lock();
    try {
        if (closeBegun(this)) {
            this->control.unlock();
            return false;
        }
        if (reap) reapEnded(this);
    } catch (...) {
        // A failed join must not leave every later call waiting for the lock.
        this->control.unlock();
        throw;
    }
    return true;
}

FramePin::FramePin(vo::Stream &stream, const std::uint8_t *src) : stream_(&stream) {
    vo::Stream *h = stream_;
    vo::Lock lock(h->lock);
    running_ = h->flowing();
    if (src == nullptr || !h->enabled()) return;
    for (int i = 0; i < kBufferCount; ++i)
        if (h->buffers[i].data.get() == src) {
            index_ = i;
            ++h->buffers[i].pins;
            width_ = h->ring_width;
            height_ = h->ring_height;
            bytes_ = h->frame_bytes;
        }
}

FramePin::~FramePin() {
    if (index_ < 0) return;
    vo::Lock lock(stream_->lock);
    --stream_->buffers[index_].pins;
    resumeIfIdle(stream_);
    stream_->cond.notify_all();
}

vo::StreamProbe vo::Stream::probe() {
    vo::Lock lock(this->lock);
    return {this->state, this->reads_pending, this->reading_index, this->callers};
}

void vo::Stream::reportExposure(std::uint32_t microseconds) {
    vo::Lock lock(this->lock);
    vo::FrameTiming timing = this->timing;
    timing.exposure_us = microseconds;
    reportTiming(this, timing);
}

void vo::Stream::reportRate(std::uint32_t kps) {
    vo::Lock lock(this->lock);
    vo::FrameTiming timing = this->timing;
    timing.rate_kps = kps;
    reportTiming(this, timing);
}

int usb_stream_schedule_read(vo::Stream *h, int index) {
    if (h->reading_index != -1 && h->reading_index != index) {
        vo::logf(vo::LogKind::Error, "attempting to read %d when in progress of reading %d", index,
                 h->reading_index);
        return VOCAM_EINVAL;
    }
    vo::RingBuffer &b = h->buffers[index];
    if (!b.data) {
        // Its replacement could not be allocated when a read was given up on.
        vo::logs(vo::LogKind::Error, "error: unable to configure async read\n");
        return VOCAM_ENOMEM;
    }
    h->reading_index = index;
    const IOReturn r = h->port().interface()->readPipeAsync(
        wire::kDataPipe, b.data.get(), h->frame_bytes, usb_stream_buffer_ready_callback, h, b.data);
    if (r != kIOReturnSuccess) {
        vo::logs(vo::LogKind::Error, "error: unable to configure async read\n");
        h->reading_index = -1;
        return r;
    }
    ++h->reads_pending;
    if (b.sequence != 0 && !b.taken) ++h->counts.overwritten;
    b.acquired_size = 0;
    b.sequence = 0;
    b.arrival_ns = 0;
    b.taken = false;
    return 0;
}

int usb_stream_buffer_read_next(vo::Stream *h) {
    int chosen = -1;
    for (int i = 0; i < kBufferCount; ++i) {
        const vo::RingBuffer &b = h->buffers[i];
        if (b.free() && (chosen < 0 || b.sequence < h->buffers[chosen].sequence)) chosen = i;
    }
    if (chosen < 0) {
        vo::logs(vo::LogKind::Error, "all buffers are in use - unable to stream data\n");
        return VOCAM_EINVAL;
    }
    return usb_stream_schedule_read(h, chosen);
}

void usb_stream_buffer_ready_callback(void *context, IOReturn result, std::uint32_t bytes) {
    auto *h = static_cast<vo::Stream *>(context);
    vo::Lock lock(h->lock);
    const int index = h->reading_index;
    if (h->reads_pending > 0) --h->reads_pending;
    if (result == kIOReturnNoDevice) {
        // Every later read would fail the same way.
        vo::logs(vo::LogKind::Error, "error: camera has left the bus - ending the stream\n");
        h->reading_index = -1;
        endStream(h);
        return;
    }
    const bool whole = result == kIOReturnSuccess && bytes == h->frame_bytes && index >= 0;
    if (!whole && !h->flowing()) {
        // Reads cancelled at the end of a stream are expected, and so is a
        // last failure of a camera the stream has already given up on.
        if (result != kIOReturnSuccess && result != kIOReturnAborted && !h->ending)
            vo::logf(vo::LogKind::Error, "error: read async returned %d\n", result);
        h->reading_index = -1;
        return;
    }
    if (!whole) {
        if (result != kIOReturnSuccess)
            ++h->counts.failed_reads;
        else
            ++h->counts.short_frames;
        const auto pause =
            noteFailure(h, result != kIOReturnSuccess ? result : 0, result ? 0 : bytes);
        if (pause)
            retryAfter(h, lock, index, *pause);
        else
            h->reading_index = -1;
        return;
    }
    if (h->failures.active) endFailureRun(h);
    vo::RingBuffer &b = h->buffers[index];
    h->reading_index = -1;
    b.acquired_size = bytes;
    b.sequence = ++h->frame_sequence;
    b.arrival_ns = monotonicNs();
    b.taken = false;
    ++h->counts.delivered;
    expectFrame(h);
    // Re-armed before anyone is woken, so a woken caller finds the ring moving.
    if (h->flowing()) rearm(h);
    h->cond.notify_all();
}

void usb_stream_thread_callback(vo::Stream *h) {
    std::unique_ptr<EventLoop> loop;
    std::unique_ptr<EventSource> source;
    // The thread ends before streaming began: the start call learns why.
    auto fail = [h](int code) {
        vo::Lock lock(h->lock);
        h->start_result = code < 0 ? code : -1;
        h->ending = false;
        ++h->epoch;
        h->setState(StreamState::Ready);
    };
    try {
        loop = host().createEventLoop();
    } catch (const std::bad_alloc &) {
        fail(-12);
        return;
    }
    Interface *usb = h->port().interface();
    IOReturn r = usb != nullptr ? usb->createAsyncEventSource(source) : kIOReturnNotOpen;
    if (r != kIOReturnSuccess || !source || !loop) {
        vo::logs(vo::LogKind::Error, "error: unable to create async event source\n");
        fail(r);
        return;
    }
    if (h->port().writeRegister(kRegVideo, 0) != 0)
        vo::logs(vo::LogKind::Error, "error: unable to send stop video command\n");
    usb->clearPipeStallBothEnds(wire::kDataPipe);
    usb->abortPipe(wire::kDataPipe);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (const int w = h->port().writeRegister(kRegVideo, wire::kVideoOn); w != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to enable video\n");
        fail(w);
        return;
    }
    loop->attach(*source);
    readTiming(h);

    vo::Lock lock(h->lock);
    h->run_loop = loop.get();
    const int first = usb_stream_buffer_read_next(h);
    if (first < 0 && anyFree(h)) {
        // Not one frame could ever arrive: undo and report, rather than
        // announce a stream that is dead from the start.
        h->run_loop = nullptr;
        lock.unlock();
        h->port().writeRegister(kRegVideo, 0);
        loop->detach(*source);
        fail(first);
        return;
    }
    h->start_result = 0;
    // Frames that completed while the last stream drained predate this
    // start (an older exposure, a second old): none is handed out now.
    h->delivered_sequence = h->frame_sequence;
    expectFrame(h);
    h->setState(StreamState::Running);

    runUntilEnd(h, *loop);
    settleRead(h, *loop, *usb);
    endFailureRun(h);
    lock.unlock();

    if (h->port().writeRegister(kRegVideo, 0) != 0)
        vo::logs(vo::LogKind::Error, "error: unable to stop video\n");
    usb->clearPipeStallBothEnds(wire::kDataPipe);
    usb->abortPipe(wire::kDataPipe);
    loop->detach(*source);

    lock.lock();
    h->run_loop = nullptr;
    h->reading_index = -1;
    h->ending = false;
    ++h->epoch;
    h->setState(StreamState::Ready);
}

void vo::Stream::shutdown() {
    {
        // Every waiter returns now, and no new call gets in.
        vo::Lock lock(this->lock);
        this->closing = true;
        this->cond.notify_all();
    }
    {
        vo::Lock control(this->control);
        bool running;
        {
            vo::Lock lock(this->lock);
            running = this->state == StreamState::Running;
            if (running) {
                this->setState(StreamState::Stopping);
                if (this->run_loop != nullptr) this->run_loop->stop();
            }
        }
        (void)running;
        joinThread(this);
    }
    // Calls already inside (a conversion, a call waiting for the control
    // lock) leave before the handle goes.
    vo::Lock lock(this->lock);
    while (this->callers > 0) vo::wait(this->cond, lock);
    for (auto &b : this->buffers) b = vo::RingBuffer{};
    this->setState(StreamState::Disabled);
}

int vo::Stream::enable() {
    if (!enterControl()) return VOCAM_EFAIL;
    vo::Lock control(this->control, std::adopt_lock);
    {
        vo::Lock lock(this->lock);
        if (this->active()) {
            vo::logs(vo::LogKind::Error, "error: stream is already running\n");
            return VOCAM_EFAIL;
        }
        if (dropRing(this, lock, "error: unable to enable stream again while a buffer is held\n") !=
            0)
            return VOCAM_EFAIL;
    }
    // The window cannot change meanwhile: its change holds the control lock too.
    const std::uint16_t width = port().windowWidth(), height = port().windowHeight();
    const std::uint32_t bytes = static_cast<std::uint32_t>(width) * height;
    vo::logf(vo::LogKind::Info, "%s: number of bytes expected: %u\n", "vocam_enable_streaming",
             bytes);
    std::shared_ptr<std::uint8_t[]> fresh[kBufferCount];
    for (auto &f : fresh) f.reset(new std::uint8_t[bytes]);
    vo::Lock lock(this->lock);
    for (int i = 0; i < kBufferCount; ++i) this->buffers[i].data = std::move(fresh[i]);
    this->frame_bytes = bytes;
    this->ring_width = width;
    this->ring_height = height;
    this->reading_index = -1;
    this->frame_sequence = 0;
    this->delivered_sequence = 0;
    this->reads_pending = 0;
    this->counts = vo::StreamCounts{};
    this->failures = vo::FailureRun{};
    this->setState(StreamState::Ready);
    return 0;
}

int vo::Stream::disable() {
    if (!enterControl()) return VOCAM_EFAIL;
    vo::Lock control(this->control, std::adopt_lock);
    vo::Lock lock(this->lock);
    if (this->active()) {
        vo::logs(vo::LogKind::Error, "error: unable to disable stream while stream is running\n");
        return VOCAM_EFAIL;
    }
    return dropRing(this, lock, "error: unable to disable stream while a buffer is held\n");
}

int vo::Stream::start() {
    if (!enterControl()) return VOCAM_EFAIL;
    vo::Lock control(this->control, std::adopt_lock);
    // A stream ending on its own (a silent or pulled camera) has told its
    // waiters already: a caller who starts again at once gets a new
    // stream once that one is over, not a refusal.
    bool ending;
    {
        vo::Lock lock(this->lock);
        ending = this->state == StreamState::Running && this->ending;
    }
    if (ending) joinThread(this);
    int result;
    {
        vo::Lock lock(this->lock);
        if (this->active()) {
            vo::logs(vo::LogKind::Error, "error: stream is already running\n");
            return VOCAM_EINVAL;
        }
        if (!this->enabled()) {
            vo::logs(vo::LogKind::Error, "error: streaming is not enabled\n");
            return VOCAM_EFAIL;
        }
        // Frames of another size than the ring's would be cut short or
        // never whole, and a conversion would read past a buffer.
        if (static_cast<std::uint32_t>(port().windowWidth()) * port().windowHeight() !=
            this->frame_bytes) {
            vo::logs(vo::LogKind::Error,
                     "error: the frame size changed since streaming was enabled - enable it "
                     "again\n");
            return VOCAM_EFAIL;
        }
        this->ending = false;
        this->start_result = 0;
        this->setState(StreamState::Starting);
        try {
            this->thread = std::thread(usb_stream_thread_callback, this);
        } catch (const std::system_error &e) {
            this->setState(StreamState::Ready);
            return -e.code().value();
        } catch (const std::bad_alloc &) {
            this->setState(StreamState::Ready);
            return VOCAM_ENOMEM;
        }
        while (this->state == StreamState::Starting) vo::wait(this->cond, lock);
        result = this->start_result;
    }
    if (result < 0) joinThread(this);
    return result;
}

int vo::Stream::stop() {
    // A stop that arrives while the stream runs succeeds once that stream has
    // ended, also when another stop got there first.
    bool sawRunning;
    std::uint32_t epoch;
    {
        vo::Lock lock(this->lock);
        sawRunning = this->state == StreamState::Running || this->state == StreamState::Stopping;
        epoch = this->epoch;
    }
    if (!enterControl(false)) return VOCAM_EFAIL;
    vo::Lock control(this->control, std::adopt_lock);
    {
        vo::Lock lock(this->lock);
        if (this->state != StreamState::Running) {
            if (sawRunning && this->epoch != epoch) return 0;
            vo::logs(vo::LogKind::Error, "error: unable to stop a stream which is not running\n");
            lock.unlock();
            reapEnded(this);
            return VOCAM_EFAIL;
        }
        this->setState(StreamState::Stopping);
        if (this->run_loop != nullptr) this->run_loop->stop();
    }
    joinThread(this);
    return 0;
}

int vo::Stream::wait() {
    vo::Frame frame;
    const int r = acquire(std::nullopt, frame);
    return r < 0 ? r : frame.index;
}

int vo::Stream::waitFor(std::uint32_t milliseconds) {
    vo::Frame frame;
    const int r = acquire(Clock::now() + std::chrono::milliseconds(milliseconds), frame);
    return r < 0 ? r : frame.index;
}

int vo::Stream::release(std::int32_t index) {
    if (!validIndex(index)) return VOCAM_EINVAL;
    vo::Lock lock(this->lock);
    vo::RingBuffer &b = this->buffers[index];
    if (b.holds == 0) return VOCAM_EINVAL;
    --b.holds;
    resumeIfIdle(this);
    this->cond.notify_all();
    return 0;
}

std::uint8_t *vo::Stream::bufferAddress(std::int32_t index) {
    if (!validIndex(index)) return nullptr;
    vo::Lock lock(this->lock);
    return this->buffers[index].data.get();
}

std::uint32_t vo::Stream::frameBytes() {
    vo::Lock lock(this->lock);
    return this->frame_bytes;
}

int vo::Stream::bufferInfo(std::int32_t index, vocam_frame_info *info) {
    static const char *const kCall = "vocam_get_buffer_info";
    if (info == nullptr) return refuse(kCall, "no record given");
    if (info->size != sizeof(vocam_frame_info)) return refuse(kCall, "record of unknown size");
    if (!validIndex(index)) return refuse(kCall, "buffer index outside 0 to 2");
    vo::Lock lock(this->lock);
    if (!this->enabled()) return refuse(kCall, "streaming is not enabled");
    const vo::RingBuffer &b = this->buffers[index];
    vocam_frame_info out{};
    out.size = sizeof out;
    out.bytes = b.acquired_size;
    out.sequence = b.sequence;
    out.timestamp_ns = b.arrival_ns;
    out.held = b.holds > 0;
    *info = out;
    return 0;
}

int vo::Stream::stats(vocam_stream_stats *record) {
    static const char *const kCall = "vocam_get_stream_stats";
    if (record == nullptr) return refuse(kCall, "no record given");
    if (record->size != sizeof(vocam_stream_stats)) return refuse(kCall, "record of unknown size");
    vo::Lock lock(this->lock);
    if (!this->enabled()) return refuse(kCall, "streaming is not enabled");
    const vo::StreamCounts c = this->counts;
    vocam_stream_stats out{};
    out.size = sizeof out;
    out.delivered = c.delivered;
    out.taken = c.taken;
    out.overwritten = c.overwritten;
    out.failed_reads = c.failed_reads;
    out.short_frames = c.short_frames;
    *record = out;
    return 0;
}
