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

int heldCount(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    int n = 0;
    for (const auto &b : h->stream.buffers) n += b.holds > 0;
    return n;
}

bool anyFree(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    for (const auto &b : h->stream.buffers)
        if (b.free()) return true;
    return false;
}

// Asks the stream thread to end on its own: every waiter is woken and
// returns -96.
void endStream(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    h->stream.ending = true;
    if (h->stream.run_loop != nullptr) h->stream.run_loop->stop();
    h->stream.cond.notify_all();
}

// A read could not be started: nothing would ever wake the waiters, so the
// stream ends.
void readFailed(vo::UsbCamera *h, int code) VO_REQUIRES(h->stream.lock) {
    if (code == kIOReturnNoDevice)
        vo::logs(vo::LogKind::Error, "error: camera has left the bus - ending the stream\n");
    else
        vo::logs(vo::LogKind::Error, "error: unable to read frames - ending the stream\n");
    endStream(h);
}

// Re-arms the ring after a frame, a release or the end of a conversion. A
// ring with no free buffer waits for the next release.
void rearm(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    const int r = usb_stream_buffer_read_next(h);
    if (r < 0 && anyFree(h)) readFailed(h, r);
}

Clock::duration silenceLimit(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    return h->stream.timing.period(h->stream.frame_bytes) + kSilenceMargin;
}

// The next whole frame is due within the limit from now.
void expectFrame(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    h->stream.silence_deadline = Clock::now() + silenceLimit(h);
}

// A ring that went idle because no buffer was free moves again. The camera
// was not asked for a frame meanwhile, so its time runs from now.
void resumeIfIdle(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    if (h->stream.flowing() && h->stream.reads_pending == 0 && h->stream.reading_index == -1) {
        expectFrame(h);
        rearm(h);
    }
}

// A timing a call has just set or read. The frame under way may still take
// the old period, so a shorter one applies from the next frame on.
void reportTiming(vo::UsbCamera *h, const vo::FrameTiming &timing) VO_REQUIRES(h->stream.lock) {
    h->stream.timing = timing;
    ++h->stream.timing_reports;
    if (h->stream.state == StreamState::Running)
        h->stream.silence_deadline =
            std::max(h->stream.silence_deadline, Clock::now() + silenceLimit(h));
}

// Reads the camera's exposure and data rate as the stream starts: they may
// have changed since a call last reported them (another program, the
// camera's own automatic exposure).
void readTiming(vo::UsbCamera *h) VO_EXCLUDES(h->stream.lock) {
    std::uint32_t reports;
    vo::FrameTiming timing;
    {
        vo::Lock lock(h->stream.lock);
        reports = h->stream.timing_reports;
        timing = h->stream.timing;
    }
    std::uint32_t word = 0;
    if (usb_read_u32(h, kRegExposureValue, &word) == 0) timing.exposure_us = word;
    if (usb_read_u32(h, kRegRate, &word) == 0) timing.rate_kps = word;
    vo::Lock lock(h->stream.lock);
    if (h->stream.timing_reports == reports) h->stream.timing = timing;
}

// Closes a run of failures, saying how often its last kind repeated unlogged.
void endFailureRun(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    vo::FailureRun &f = h->stream.failures;
    if (f.active && f.repeats > 0)
        vo::logf(vo::LogKind::Error, "error: %llu more like the line above\n",
                 static_cast<unsigned long long>(f.repeats));
    f = vo::FailureRun{};
}

// Ends a stream whose camera sent no whole frame within the limit.
void silenced(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    endFailureRun(h);
    vo::logf(vo::LogKind::Error, "error: no whole frame for %.0f s - ending the stream\n",
             std::chrono::duration<double>(silenceLimit(h)).count());
    endStream(h);
}

// Notes a failed (`code` != 0) or short read. Returns the pause before the
// retry, or nothing when the run has lasted too long and the stream ends.
std::optional<std::chrono::milliseconds> noteFailure(vo::UsbCamera *h, int code,
                                                     std::uint32_t bytes)
    VO_REQUIRES(h->stream.lock) {
    vo::FailureRun &f = h->stream.failures;
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
                     h->stream.frame_bytes);
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
void retryAfter(vo::UsbCamera *h, vo::Lock &lock, int index, std::chrono::milliseconds pause)
    VO_REQUIRES(h->stream.lock) {
    const auto deadline = Clock::now() + pause;
    while (h->stream.flowing() && Clock::now() < deadline)
        vo::waitUntil(h->stream.cond, lock, deadline);
    if (!h->stream.flowing() || index < 0) {
        h->stream.reading_index = -1;
        return;
    }
    if (const int r = usb_stream_schedule_read(h, index); r < 0) readFailed(h, r);
}

// Gives up on the read in flight. Its completion can no longer reach this
// stream (the event source is detached before the thread ends), but the
// device may still write into its buffer: the read keeps that buffer, and
// the ring takes a fresh one in its place, so neither a restart nor a new
// enable ever hands out memory a late read writes into.
void abandonRead(vo::UsbCamera *h) VO_REQUIRES(h->stream.lock) {
    h->stream.reads_pending = 0;
    const std::int32_t index = h->stream.reading_index;
    h->stream.reading_index = -1;
    if (!validIndex(index)) return;
    vo::RingBuffer &b = h->stream.buffers[index];
    // A conversion may still read the old memory, which the read keeps alive;
    // its pin is let go on the buffer now in that place.
    const std::uint32_t pins = b.pins;
    b = vo::RingBuffer{};
    b.pins = pins;
    try {
        b.data.reset(new std::uint8_t[h->stream.frame_bytes]);
    } catch (const std::bad_alloc &) {
        // Left empty: a start reading into it fails until the next enable.
    }
}

// Runs completions until no read is in flight or `seconds` have passed; the
// lock is let go while the loop runs and held again on return.
void drainFor(vo::UsbCamera *h, EventLoop &loop, double seconds) VO_REQUIRES(h->stream.lock) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (h->stream.reads_pending > 0) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        h->stream.lock.unlock();
        loop.runOnce(std::chrono::duration<double>(deadline - now).count());
        h->stream.lock.lock();
    }
}

// Runs completions until a stop or the end of the stream, which a camera
// that sends no whole frame within its limit brings about. Only a camera
// with a read to answer can be silent: a ring held idle by its callers
// is looked at again every kIdleLook. A stop that lands between the check
// and runOnce() is remembered by the loop, so runOnce() then returns at once.
void runUntilEnd(vo::UsbCamera *h, EventLoop &loop) VO_REQUIRES(h->stream.lock) {
    while (h->stream.state == StreamState::Running && !h->stream.ending) {
        Clock::duration wait = kIdleLook;
        if (h->stream.reads_pending > 0) {
            wait = h->stream.silence_deadline - Clock::now();
            if (wait <= Clock::duration::zero()) {
                silenced(h);
                return;
            }
        }
        h->stream.lock.unlock();
        loop.runOnce(std::chrono::duration<double>(wait).count());
        h->stream.lock.lock();
    }
}

// The read in flight still writes into a ring buffer. A frame due within the
// drain time is let finish, and cancelled only when it is late; one not due
// so soon (a long exposure) or never coming (a silent camera) is cancelled at
// once, which is what a stop asks for, not a fault.
void settleRead(vo::UsbCamera *h, EventLoop &loop, Interface &usb) VO_REQUIRES(h->stream.lock) {
    if (h->stream.reads_pending == 0) return;
    const auto due = h->stream.silence_deadline - kSilenceMargin;
    const auto drainTime = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(kStreamDrainSeconds));
    if (!h->stream.ending && due <= Clock::now() + drainTime) {
        drainFor(h, loop, kStreamDrainSeconds);
        if (h->stream.reads_pending == 0) return;
        vo::logs(vo::LogKind::Error, "error: stream read did not complete - cancelling it\n");
    }
    h->stream.lock.unlock();
    usb.abortPipe(wire::kDataPipe);
    h->stream.lock.lock();
    drainFor(h, loop, kStreamDrainSeconds);
    if (h->stream.reads_pending > 0) {
        vo::logs(vo::LogKind::Error, "error: cancelled stream read did not come back\n");
        abandonRead(h);
    }
}

// The one join of the stream thread.
void joinThread(vo::UsbCamera *h) VO_REQUIRES(h->stream.control) VO_EXCLUDES(h->stream.lock) {
    if (h->stream.thread.joinable()) h->stream.thread.join();
}

// A thread that ended on its own (camera gone, reads failing, start failed)
// is joined by the next control call.
void reapEnded(vo::UsbCamera *h) VO_REQUIRES(h->stream.control) VO_EXCLUDES(h->stream.lock) {
    bool ended;
    {
        vo::Lock lock(h->stream.lock);
        ended = h->stream.state == StreamState::Ready || h->stream.state == StreamState::Disabled;
    }
    if (ended) joinThread(h);
}

bool closing(vo::UsbCamera *h) VO_EXCLUDES(h->stream.lock) {
    vo::Lock lock(h->stream.lock);
    if (h->stream.closing) vo::logs(vo::LogKind::Error, "error: the camera is being closed\n");
    return h->stream.closing;
}

// Empties the ring for a disable or a new enable: refused (-1) while a
// caller holds a buffer, and waits out conversions reading one.
int dropRing(vo::UsbCamera *h, vo::Lock &lock, const char *refusal) VO_REQUIRES(h->stream.lock) {
    if (heldCount(h) > 0) {
        vo::logs(vo::LogKind::Error, refusal);
        return VOCAM_EFAIL;
    }
    for (;;) {
        bool pinned = false;
        for (const auto &b : h->stream.buffers) pinned |= b.pins > 0;
        if (!pinned) break;
        vo::wait(h->stream.cond, lock);
    }
    for (auto &b : h->stream.buffers) b = vo::RingBuffer{};
    h->stream.reading_index = -1;
    h->stream.setState(StreamState::Disabled);
    return 0;
}

}  // namespace

int usb_stream_acquire(vo::UsbCamera *h, std::optional<Clock::time_point> deadline,
                       vo::Frame &frame) {
    vo::Lock lock(h->stream.lock);
    if (!h->stream.flowing()) {
        vo::logs(vo::LogKind::Error, "stream is not running - no data to wait for...\n");
        return VOCAM_ENODATA;
    }
    // The stream this wait belongs to: once it has ended, a later stream's
    // frames are not what the caller waited for.
    const std::uint32_t epoch = h->stream.epoch;
    const std::uint64_t seen = h->stream.frame_sequence;
    for (;;) {
        // The newest frame not yet handed out; the buffer being filled has sequence 0.
        int best = -1;
        for (int i = 0; i < kBufferCount; ++i) {
            const vo::RingBuffer &b = h->stream.buffers[i];
            if (b.sequence > h->stream.delivered_sequence &&
                (best < 0 || b.sequence > h->stream.buffers[best].sequence))
                best = i;
        }
        if (best >= 0) {
            vo::RingBuffer &b = h->stream.buffers[best];
            h->stream.delivered_sequence = b.sequence;
            ++b.holds;
            if (!b.taken) ++h->stream.counts.taken;
            b.taken = true;
            frame = {best, b.data.get(), b.acquired_size, b.sequence, b.arrival_ns};
            return 0;
        }
        // With two buffers held the third is refilled as soon as it is full:
        // no frame can be handed out until a release.
        const int held = heldCount(h);
        if (held >= kBufferCount || (held == kBufferCount - 1 && h->stream.frame_sequence != seen))
            return VOCAM_EINVAL;
        if (deadline) {
            if (Clock::now() >= *deadline) return VOCAM_WAIT_TIMED_OUT;
            vo::waitUntil(h->stream.cond, lock, *deadline);
        } else {
            vo::wait(h->stream.cond, lock);
        }
        if (h->stream.epoch != epoch || !h->stream.flowing()) return VOCAM_ENODATA;
    }
}

namespace {

// Refusals of the record calls: -22 with one line.
int refuse(const char *call, const char *why) {
    vo::logf(vo::LogKind::Error, "error: %s: %s\n", call, why);
    return VOCAM_EINVAL;
}

}  // namespace

StreamCall::StreamCall(vo::UsbCamera *h) : stream_(h->stream) {
    vo::Lock lock(stream_.lock);
    admitted_ = !stream_.closing;
    if (admitted_) ++stream_.callers;
}

StreamCall::~StreamCall() {
    if (!admitted_) return;
    vo::Lock lock(stream_.lock);
    if (--stream_.callers == 0) stream_.cond.notify_all();
}

bool usb_stream_enter_control(vo::UsbCamera *h, bool reap) {
    h->stream.control.lock();
    try {
        if (closing(h)) {
            h->stream.control.unlock();
            return false;
        }
        if (reap) reapEnded(h);
    } catch (...) {
        // A failed join must not leave every later call waiting for the lock.
        h->stream.control.unlock();
        throw;
    }
    return true;
}

FramePin::FramePin(vo::UsbCamera *h, const std::uint8_t *src) : handle_(h) {
    vo::Lock lock(h->stream.lock);
    running_ = h->stream.flowing();
    if (src == nullptr || !h->stream.enabled()) return;
    for (int i = 0; i < kBufferCount; ++i)
        if (h->stream.buffers[i].data.get() == src) {
            index_ = i;
            ++h->stream.buffers[i].pins;
            width_ = h->stream.ring_width;
            height_ = h->stream.ring_height;
            bytes_ = h->stream.frame_bytes;
        }
}

FramePin::~FramePin() {
    if (index_ < 0) return;
    vo::Lock lock(handle_->stream.lock);
    --handle_->stream.buffers[index_].pins;
    resumeIfIdle(handle_);
    handle_->stream.cond.notify_all();
}

StreamProbe usb_stream_probe(vo::UsbCamera *h) {
    vo::Lock lock(h->stream.lock);
    return {h->stream.state, h->stream.reads_pending, h->stream.reading_index, h->stream.callers};
}

void usb_stream_report_exposure(vo::UsbCamera *h, std::uint32_t microseconds) {
    vo::Lock lock(h->stream.lock);
    vo::FrameTiming timing = h->stream.timing;
    timing.exposure_us = microseconds;
    reportTiming(h, timing);
}

void usb_stream_report_rate(vo::UsbCamera *h, std::uint32_t kps) {
    vo::Lock lock(h->stream.lock);
    vo::FrameTiming timing = h->stream.timing;
    timing.rate_kps = kps;
    reportTiming(h, timing);
}

int usb_stream_schedule_read(vo::UsbCamera *h, int index) {
    if (h->stream.reading_index != -1 && h->stream.reading_index != index) {
        vo::logf(vo::LogKind::Error, "attempting to read %d when in progress of reading %d", index,
                 h->stream.reading_index);
        return VOCAM_EINVAL;
    }
    vo::RingBuffer &b = h->stream.buffers[index];
    if (!b.data) {
        // Its replacement could not be allocated when a read was given up on.
        vo::logs(vo::LogKind::Error, "error: unable to configure async read\n");
        return VOCAM_ENOMEM;
    }
    h->stream.reading_index = index;
    const IOReturn r =
        h->usb.interface_if->readPipeAsync(wire::kDataPipe, b.data.get(), h->stream.frame_bytes,
                                           usb_stream_buffer_ready_callback, h, b.data);
    if (r != kIOReturnSuccess) {
        vo::logs(vo::LogKind::Error, "error: unable to configure async read\n");
        h->stream.reading_index = -1;
        return r;
    }
    ++h->stream.reads_pending;
    if (b.sequence != 0 && !b.taken) ++h->stream.counts.overwritten;
    b.acquired_size = 0;
    b.sequence = 0;
    b.arrival_ns = 0;
    b.taken = false;
    return 0;
}

int usb_stream_buffer_read_next(vo::UsbCamera *h) {
    int chosen = -1;
    for (int i = 0; i < kBufferCount; ++i) {
        const vo::RingBuffer &b = h->stream.buffers[i];
        if (b.free() && (chosen < 0 || b.sequence < h->stream.buffers[chosen].sequence)) chosen = i;
    }
    if (chosen < 0) {
        vo::logs(vo::LogKind::Error, "all buffers are in use - unable to stream data\n");
        return VOCAM_EINVAL;
    }
    return usb_stream_schedule_read(h, chosen);
}

void usb_stream_buffer_ready_callback(void *context, IOReturn result, std::uint32_t bytes) {
    auto *h = static_cast<vo::UsbCamera *>(context);
    vo::Lock lock(h->stream.lock);
    const int index = h->stream.reading_index;
    if (h->stream.reads_pending > 0) --h->stream.reads_pending;
    if (result == kIOReturnNoDevice) {
        // Every later read would fail the same way.
        vo::logs(vo::LogKind::Error, "error: camera has left the bus - ending the stream\n");
        h->stream.reading_index = -1;
        endStream(h);
        return;
    }
    const bool whole = result == kIOReturnSuccess && bytes == h->stream.frame_bytes && index >= 0;
    if (!whole && !h->stream.flowing()) {
        // Reads cancelled at the end of a stream are expected, and so is a
        // last failure of a camera the stream has already given up on.
        if (result != kIOReturnSuccess && result != kIOReturnAborted && !h->stream.ending)
            vo::logf(vo::LogKind::Error, "error: read async returned %d\n", result);
        h->stream.reading_index = -1;
        return;
    }
    if (!whole) {
        if (result != kIOReturnSuccess)
            ++h->stream.counts.failed_reads;
        else
            ++h->stream.counts.short_frames;
        const auto pause =
            noteFailure(h, result != kIOReturnSuccess ? result : 0, result ? 0 : bytes);
        if (pause)
            retryAfter(h, lock, index, *pause);
        else
            h->stream.reading_index = -1;
        return;
    }
    if (h->stream.failures.active) endFailureRun(h);
    vo::RingBuffer &b = h->stream.buffers[index];
    h->stream.reading_index = -1;
    b.acquired_size = bytes;
    b.sequence = ++h->stream.frame_sequence;
    b.arrival_ns = monotonicNs();
    b.taken = false;
    ++h->stream.counts.delivered;
    expectFrame(h);
    // Re-armed before anyone is woken, so a woken caller finds the ring moving.
    if (h->stream.flowing()) rearm(h);
    h->stream.cond.notify_all();
}

void usb_stream_thread_callback(vo::UsbCamera *h) {
    std::unique_ptr<EventLoop> loop;
    std::unique_ptr<EventSource> source;
    // The thread ends before streaming began: the start call learns why.
    auto fail = [h](int code) {
        vo::Lock lock(h->stream.lock);
        h->stream.start_result = code < 0 ? code : -1;
        h->stream.ending = false;
        ++h->stream.epoch;
        h->stream.setState(StreamState::Ready);
    };
    try {
        loop = host().createEventLoop();
    } catch (const std::bad_alloc &) {
        fail(-12);
        return;
    }
    Interface *usb = h->usb.interface_if.get();
    IOReturn r = usb != nullptr ? usb->createAsyncEventSource(source) : kIOReturnNotOpen;
    if (r != kIOReturnSuccess || !source || !loop) {
        vo::logs(vo::LogKind::Error, "error: unable to create async event source\n");
        fail(r);
        return;
    }
    if (usb_write_u32(h, kRegVideo, 0) != 0)
        vo::logs(vo::LogKind::Error, "error: unable to send stop video command\n");
    usb->clearPipeStallBothEnds(wire::kDataPipe);
    usb->abortPipe(wire::kDataPipe);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (const int w = usb_write_u32(h, kRegVideo, wire::kVideoOn); w != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to enable video\n");
        fail(w);
        return;
    }
    loop->attach(*source);
    readTiming(h);

    vo::Lock lock(h->stream.lock);
    h->stream.run_loop = loop.get();
    const int first = usb_stream_buffer_read_next(h);
    if (first < 0 && anyFree(h)) {
        // Not one frame could ever arrive: undo and report, rather than
        // announce a stream that is dead from the start.
        h->stream.run_loop = nullptr;
        lock.unlock();
        usb_write_u32(h, kRegVideo, 0);
        loop->detach(*source);
        fail(first);
        return;
    }
    h->stream.start_result = 0;
    // Frames that completed while the last stream drained predate this
    // start (an older exposure, a second old): none is handed out now.
    h->stream.delivered_sequence = h->stream.frame_sequence;
    expectFrame(h);
    h->stream.setState(StreamState::Running);

    runUntilEnd(h, *loop);
    settleRead(h, *loop, *usb);
    endFailureRun(h);
    lock.unlock();

    if (usb_write_u32(h, kRegVideo, 0) != 0)
        vo::logs(vo::LogKind::Error, "error: unable to stop video\n");
    usb->clearPipeStallBothEnds(wire::kDataPipe);
    usb->abortPipe(wire::kDataPipe);
    loop->detach(*source);

    lock.lock();
    h->stream.run_loop = nullptr;
    h->stream.reading_index = -1;
    h->stream.ending = false;
    ++h->stream.epoch;
    h->stream.setState(StreamState::Ready);
}

void usb_stream_shutdown(vo::UsbCamera *h) {
    {
        // Every waiter returns now, and no new call gets in.
        vo::Lock lock(h->stream.lock);
        h->stream.closing = true;
        h->stream.cond.notify_all();
    }
    {
        vo::Lock control(h->stream.control);
        bool running;
        {
            vo::Lock lock(h->stream.lock);
            running = h->stream.state == StreamState::Running;
            if (running) {
                h->stream.setState(StreamState::Stopping);
                if (h->stream.run_loop != nullptr) h->stream.run_loop->stop();
            }
        }
        (void)running;
        joinThread(h);
    }
    // Calls already inside (a conversion, a call waiting for the control
    // lock) leave before the handle goes.
    vo::Lock lock(h->stream.lock);
    while (h->stream.callers > 0) vo::wait(h->stream.cond, lock);
    for (auto &b : h->stream.buffers) b = vo::RingBuffer{};
    h->stream.setState(StreamState::Disabled);
}

int usb_stream_enable(vo::UsbCamera *h) {
    if (!usb_stream_enter_control(h)) return VOCAM_EFAIL;
    vo::Lock control(h->stream.control, std::adopt_lock);
    {
        vo::Lock lock(h->stream.lock);
        if (h->stream.active()) {
            vo::logs(vo::LogKind::Error, "error: stream is already running\n");
            return VOCAM_EFAIL;
        }
        if (dropRing(h, lock, "error: unable to enable stream again while a buffer is held\n") != 0)
            return VOCAM_EFAIL;
    }
    const std::uint32_t bytes = static_cast<std::uint32_t>(h->camera.width) * h->camera.height;
    vo::logf(vo::LogKind::Info, "%s: number of bytes expected: %u\n", "vocam_enable_streaming",
             bytes);
    std::shared_ptr<std::uint8_t[]> fresh[kBufferCount];
    for (auto &f : fresh) f.reset(new std::uint8_t[bytes]);
    vo::Lock lock(h->stream.lock);
    for (int i = 0; i < kBufferCount; ++i) h->stream.buffers[i].data = std::move(fresh[i]);
    h->stream.frame_bytes = bytes;
    h->stream.ring_width = h->camera.width;
    h->stream.ring_height = h->camera.height;
    h->stream.reading_index = -1;
    h->stream.frame_sequence = 0;
    h->stream.delivered_sequence = 0;
    h->stream.reads_pending = 0;
    h->stream.counts = vo::StreamCounts{};
    h->stream.failures = vo::FailureRun{};
    h->stream.setState(StreamState::Ready);
    return 0;
}

int usb_stream_disable(vo::UsbCamera *h) {
    if (!usb_stream_enter_control(h)) return VOCAM_EFAIL;
    vo::Lock control(h->stream.control, std::adopt_lock);
    vo::Lock lock(h->stream.lock);
    if (h->stream.active()) {
        vo::logs(vo::LogKind::Error, "error: unable to disable stream while stream is running\n");
        return VOCAM_EFAIL;
    }
    return dropRing(h, lock, "error: unable to disable stream while a buffer is held\n");
}

int usb_stream_start(vo::UsbCamera *h) {
    if (!usb_stream_enter_control(h)) return VOCAM_EFAIL;
    vo::Lock control(h->stream.control, std::adopt_lock);
    // A stream ending on its own (a silent or pulled camera) has told its
    // waiters already: a caller who starts again at once gets a new
    // stream once that one is over, not a refusal.
    bool ending;
    {
        vo::Lock lock(h->stream.lock);
        ending = h->stream.state == StreamState::Running && h->stream.ending;
    }
    if (ending) joinThread(h);
    int result;
    {
        vo::Lock lock(h->stream.lock);
        if (h->stream.active()) {
            vo::logs(vo::LogKind::Error, "error: stream is already running\n");
            return VOCAM_EINVAL;
        }
        if (!h->stream.enabled()) {
            vo::logs(vo::LogKind::Error, "error: streaming is not enabled\n");
            return VOCAM_EFAIL;
        }
        // Frames of another size than the ring's would be cut short or
        // never whole, and a conversion would read past a buffer.
        if (static_cast<std::uint32_t>(h->camera.width) * h->camera.height !=
            h->stream.frame_bytes) {
            vo::logs(vo::LogKind::Error,
                     "error: the frame size changed since streaming was enabled - enable it "
                     "again\n");
            return VOCAM_EFAIL;
        }
        h->stream.ending = false;
        h->stream.start_result = 0;
        h->stream.setState(StreamState::Starting);
        try {
            h->stream.thread = std::thread(usb_stream_thread_callback, h);
        } catch (const std::system_error &e) {
            h->stream.setState(StreamState::Ready);
            return -e.code().value();
        } catch (const std::bad_alloc &) {
            h->stream.setState(StreamState::Ready);
            return VOCAM_ENOMEM;
        }
        while (h->stream.state == StreamState::Starting) vo::wait(h->stream.cond, lock);
        result = h->stream.start_result;
    }
    if (result < 0) joinThread(h);
    return result;
}

int usb_stream_stop(vo::UsbCamera *h) {
    // A stop that arrives while the stream runs succeeds once that stream has
    // ended, also when another stop got there first.
    bool sawRunning;
    std::uint32_t epoch;
    {
        vo::Lock lock(h->stream.lock);
        sawRunning =
            h->stream.state == StreamState::Running || h->stream.state == StreamState::Stopping;
        epoch = h->stream.epoch;
    }
    if (!usb_stream_enter_control(h, false)) return VOCAM_EFAIL;
    vo::Lock control(h->stream.control, std::adopt_lock);
    {
        vo::Lock lock(h->stream.lock);
        if (h->stream.state != StreamState::Running) {
            if (sawRunning && h->stream.epoch != epoch) return 0;
            vo::logs(vo::LogKind::Error, "error: unable to stop a stream which is not running\n");
            lock.unlock();
            reapEnded(h);
            return VOCAM_EFAIL;
        }
        h->stream.setState(StreamState::Stopping);
        if (h->stream.run_loop != nullptr) h->stream.run_loop->stop();
    }
    joinThread(h);
    return 0;
}

int usb_stream_wait(vo::UsbCamera *h) {
    vo::Frame frame;
    const int r = usb_stream_acquire(h, std::nullopt, frame);
    return r < 0 ? r : frame.index;
}

int usb_stream_wait_timeout(vo::UsbCamera *h, std::uint32_t milliseconds) {
    vo::Frame frame;
    const int r =
        usb_stream_acquire(h, Clock::now() + std::chrono::milliseconds(milliseconds), frame);
    return r < 0 ? r : frame.index;
}

int usb_stream_release(vo::UsbCamera *h, std::int32_t index) {
    if (!validIndex(index)) return VOCAM_EINVAL;
    vo::Lock lock(h->stream.lock);
    vo::RingBuffer &b = h->stream.buffers[index];
    if (b.holds == 0) return VOCAM_EINVAL;
    --b.holds;
    resumeIfIdle(h);
    h->stream.cond.notify_all();
    return 0;
}

std::uint8_t *usb_stream_buffer_address(vo::UsbCamera *h, std::int32_t index) {
    if (!validIndex(index)) return nullptr;
    vo::Lock lock(h->stream.lock);
    return h->stream.buffers[index].data.get();
}

std::uint32_t usb_stream_frame_size(vo::UsbCamera *h) {
    vo::Lock lock(h->stream.lock);
    return h->stream.frame_bytes;
}

int usb_stream_buffer_info(vo::UsbCamera *h, std::int32_t index, vocam_frame_info *info) {
    static const char *const kCall = "vocam_get_buffer_info";
    if (info == nullptr) return refuse(kCall, "no record given");
    if (info->size != sizeof(vocam_frame_info)) return refuse(kCall, "record of unknown size");
    if (!validIndex(index)) return refuse(kCall, "buffer index outside 0 to 2");
    vo::Lock lock(h->stream.lock);
    if (!h->stream.enabled()) return refuse(kCall, "streaming is not enabled");
    const vo::RingBuffer &b = h->stream.buffers[index];
    vocam_frame_info out{};
    out.size = sizeof out;
    out.bytes = b.acquired_size;
    out.sequence = b.sequence;
    out.timestamp_ns = b.arrival_ns;
    out.held = b.holds > 0;
    *info = out;
    return 0;
}

int usb_stream_stats(vo::UsbCamera *h, vocam_stream_stats *stats) {
    static const char *const kCall = "vocam_get_stream_stats";
    if (stats == nullptr) return refuse(kCall, "no record given");
    if (stats->size != sizeof(vocam_stream_stats)) return refuse(kCall, "record of unknown size");
    vo::Lock lock(h->stream.lock);
    if (!h->stream.enabled()) return refuse(kCall, "streaming is not enabled");
    const vo::StreamCounts c = h->stream.counts;
    vocam_stream_stats out{};
    out.size = sizeof out;
    out.delivered = c.delivered;
    out.taken = c.taken;
    out.overwritten = c.overwritten;
    out.failed_reads = c.failed_reads;
    out.short_frames = c.short_frames;
    *stats = out;
    return 0;
}
