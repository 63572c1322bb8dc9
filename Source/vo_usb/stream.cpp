// The streaming engine: a thread per streaming camera keeps one bulk read in
// flight into a ring of three frame buffers, and the caller takes the newest
// complete frame, holds it while it uses it, and gives it back.
#include <chrono>
#include <cstdio>
#include <new>
#include <system_error>
#include <thread>

#include "../vo_log.h"
#include "vo_usb/vo_usb.h"

using namespace vocam::usbhost;

namespace {

constexpr std::int32_t kRegVideo = 0x0214;
constexpr std::uint32_t kVideoOn = 0x80;
constexpr int kBufferCount = 3;

using Clock = std::chrono::steady_clock;

bool validIndex(std::int32_t index) {
    return index >= 0 && index < kBufferCount;
}

bool allBuffersHeld(const _vocam *h) {
    for (const auto &b : h->buffers)
        if (b.hold_count == 0) return false;
    return true;
}

// Frames may still be requested: the thread has begun and nobody asked it to end.
bool flowing(const _vocam *h) {
    return h->streaming && !h->stopping && !h->stream_ending;
}

// Asks the stream thread to end on its own (lock held): every waiter is woken
// and returns -96.
void endStream(_vocam *h) {
    h->stream_ending = 1;
    if (h->run_loop != nullptr) h->run_loop->stop();
    h->stream_cond.notify_all();
}

// A read could not be started: nothing would ever wake the waiters, so the
// stream ends (lock held).
void readFailed(_vocam *h, int code) {
    if (code == kIOReturnNoDevice)
        vo::logs(vo::LogKind::Error, "error: camera has left the bus - ending the stream\n");
    else
        vo::logs(vo::LogKind::Error, "error: unable to read frames - ending the stream\n");
    endStream(h);
}

// Re-arms the ring after a frame or a release (lock held). A ring that is
// merely full waits for the next release.
void rearm(_vocam *h) {
    const int r = usb_stream_buffer_read_next(h);
    if (r < 0 && !allBuffersHeld(h)) readFailed(h, r);
}

// Retries a failed or short read into the same buffer (lock held).
void retry(_vocam *h, int index) {
    if (!flowing(h) || index < 0) return;
    if (const int r = usb_stream_schedule_read(h, index); r < 0) readFailed(h, r);
}

// Joins a stream thread that has ended (or is about to): it no longer needs
// anything but its own exit.
void joinEndedThread(_vocam *h) {
    if (h->stream_thread.joinable() && h->stream_thread.get_id() != std::this_thread::get_id())
        h->stream_thread.join();
}

// Runs completions until no read is in flight or `seconds` have passed
// (lock held on entry and exit).
void drainFor(_vocam *h, EventLoop &loop, std::unique_lock<std::mutex> &lock, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (h->reads_pending > 0) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        lock.unlock();
        loop.runOnce(std::chrono::duration<double>(deadline - now).count());
        lock.lock();
    }
}

}  // namespace

bool usb_stream_stopping(_vocam *h) {
    std::lock_guard lock(h->stream_lock);
    return h->stopping != 0;
}

int usb_stream_schedule_read(_vocam *h, int index) {
    if (h->reading_index != -1 && h->reading_index != index) {
        vo::logf(vo::LogKind::Error, "attempting to read %d when in progress of reading %d", index,
                 h->reading_index);
        return -22;
    }
    h->reading_index = index;
    stream_buffer &b = h->buffers[index];
    const IOReturn r = h->usb_interface_if->readPipeAsync(kStreamPipe, b.data.get(), h->frame_bytes,
                                                          usb_stream_buffer_ready_callback, h);
    if (r != kIOReturnSuccess) {
        vo::logs(vo::LogKind::Error, "error: unable to configure async read\n");
        h->reading_index = -1;
        return r;
    }
    ++h->reads_pending;
    b.acquired_size = 0;
    b.sequence = 0;
    return 0;
}

int usb_stream_buffer_read_next(_vocam *h) {
    int chosen = -1;
    for (int i = 0; i < kBufferCount; ++i) {
        const stream_buffer &b = h->buffers[i];
        if (b.hold_count == 0 && (chosen < 0 || b.sequence < h->buffers[chosen].sequence))
            chosen = i;
    }
    if (chosen < 0) {
        vo::logs(vo::LogKind::Error, "all buffers are in use - unable to stream data\n");
        return -22;
    }
    return usb_stream_schedule_read(h, chosen);
}

void usb_stream_buffer_ready_callback(void *context, IOReturn result, std::uint32_t bytes) {
    auto *h = static_cast<_vocam *>(context);
    std::lock_guard lock(h->stream_lock);
    const int index = h->reading_index;
    if (h->reads_pending > 0) --h->reads_pending;
    if (result == kIOReturnNoDevice) {
        // Every later read would fail the same way.
        vo::logs(vo::LogKind::Error, "error: camera has left the bus - ending the stream\n");
        h->reading_index = -1;
        endStream(h);
        return;
    }
    if (result != kIOReturnSuccess) {
        // Reads cancelled at the end of a stream are expected.
        if (flowing(h) || result != kIOReturnAborted)
            vo::logf(vo::LogKind::Error, "error: read async returned %d\n", result);
        if (!flowing(h)) h->reading_index = -1;
        retry(h, index);
        return;
    }
    if (bytes == h->frame_bytes && index >= 0) {
        stream_buffer &b = h->buffers[index];
        h->reading_index = -1;
        b.acquired_size = bytes;
        b.sequence = ++h->frame_sequence;
        // Re-armed before anyone is woken, so a woken caller finds the ring moving.
        if (flowing(h)) rearm(h);
        h->stream_cond.notify_all();
        return;
    }
    vo::logf(vo::LogKind::Error, "error: read async only read %u/%u bytes\n", bytes,
             h->frame_bytes);
    if (!flowing(h)) h->reading_index = -1;
    retry(h, index);
}

void usb_stream_thread_callback(_vocam *h) {
    std::unique_ptr<EventLoop> loop;
    std::unique_ptr<EventSource> source;
    // The thread ends before streaming began: the start call learns why.
    auto fail = [h](int code) {
        std::lock_guard lock(h->stream_lock);
        h->streaming = 0;
        h->stopping = 0;
        h->stream_starting = 0;
        h->stream_result = code < 0 ? code : -1;
        ++h->stream_epoch;
        h->stream_cond.notify_all();
    };
    try {
        loop = host().createEventLoop();
    } catch (const std::bad_alloc &) {
        fail(-12);
        return;
    }
    {
        std::lock_guard lock(h->stream_lock);
        h->stopping = 0;
        h->streaming = 0;
    }
    Interface *usb = h->usb_interface_if.get();
    IOReturn r = usb != nullptr ? usb->createAsyncEventSource(source) : kIOReturnNotOpen;
    if (r != kIOReturnSuccess || !source || !loop) {
        vo::logs(vo::LogKind::Error, "error: unable to create async event source\n");
        fail(r);
        return;
    }
    if (vo_usb_write_vocam_u32(h, kRegVideo, 0) != 0)
        vo::logs(vo::LogKind::Error, "error: unable to send stop video command\n");
    usb->clearPipeStallBothEnds(kStreamPipe);
    usb->abortPipe(kStreamPipe);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (const int w = vo_usb_write_vocam_u32(h, kRegVideo, kVideoOn); w != 0) {
        vo::logs(vo::LogKind::Error, "error: unable to enable video\n");
        fail(w);
        return;
    }
    loop->attach(*source);

    std::unique_lock lock(h->stream_lock);
    h->run_loop = loop.get();
    h->streaming = 1;
    const int first = usb_stream_buffer_read_next(h);
    if (first < 0 && !allBuffersHeld(h)) {
        // Not one frame could ever arrive: undo and report, rather than
        // announce a stream that is dead from the start.
        h->run_loop = nullptr;
        h->streaming = 0;
        lock.unlock();
        vo_usb_write_vocam_u32(h, kRegVideo, 0);
        loop->detach(*source);
        fail(first);
        return;
    }
    h->stream_starting = 0;
    h->stream_result = 0;
    h->stream_cond.notify_all();

    // A stop that lands between the check and run() is remembered by the
    // loop, so run() then returns at once.
    while (!h->stopping && !h->stream_ending) {
        lock.unlock();
        loop->run();
        lock.lock();
    }

    // The read in flight still writes into a ring buffer: let it finish, or
    // cancel it when the camera has stopped sending.
    drainFor(h, *loop, lock, kStreamDrainSeconds);
    if (h->reads_pending > 0) {
        vo::logs(vo::LogKind::Error, "error: stream read did not complete - cancelling it\n");
        lock.unlock();
        usb->abortPipe(kStreamPipe);
        lock.lock();
        drainFor(h, *loop, lock, kStreamDrainSeconds);
        if (h->reads_pending > 0) {
            vo::logs(vo::LogKind::Error, "error: cancelled stream read did not come back\n");
            h->reads_pending = 0;
        }
    }
    lock.unlock();

    if (vo_usb_write_vocam_u32(h, kRegVideo, 0) != 0)
        vo::logs(vo::LogKind::Error, "error: unable to stop video\n");
    usb->clearPipeStallBothEnds(kStreamPipe);
    usb->abortPipe(kStreamPipe);
    loop->detach(*source);

    lock.lock();
    h->run_loop = nullptr;
    h->reading_index = -1;
    h->streaming = 0;
    h->stopping = 0;
    h->stream_ending = 0;
    ++h->stream_epoch;
    h->stream_cond.notify_all();
}

void usb_stream_shutdown(_vocam *h) {
    bool running;
    {
        std::lock_guard lock(h->stream_lock);
        running = h->streaming;
    }
    if (running) vocam_stop_streaming(h);
    joinEndedThread(h);
    std::lock_guard lock(h->stream_lock);
    for (auto &b : h->buffers) b = stream_buffer{};
}

extern "C" {

VOCAM_API int vocam_enable_streaming(_vocam *h) {
    if (h == nullptr) return -22;
    std::unique_lock lock(h->stream_lock);
    if (h->streaming || h->stopping || h->stream_starting) {
        vo::logs(vo::LogKind::Error, "error: stream is already running\n");
        return -1;
    }
    lock.unlock();
    joinEndedThread(h);
    const std::uint32_t bytes = static_cast<std::uint32_t>(h->width) * h->height;
    vo::logf(vo::LogKind::Info, "%s: number of bytes expected: %u\n", "vocam_enable_streaming",
             bytes);
    std::unique_ptr<std::uint8_t[]> fresh[kBufferCount];
    lock.lock();
    for (auto &b : h->buffers) b = stream_buffer{};
    for (auto &f : fresh) {
        f.reset(new (std::nothrow) std::uint8_t[bytes]);
        if (!f) return -12;
    }
    for (int i = 0; i < kBufferCount; ++i) h->buffers[i].data = std::move(fresh[i]);
    h->frame_bytes = bytes;
    h->reading_index = -1;
    h->frame_sequence = 0;
    h->delivered_sequence = 0;
    h->reads_pending = 0;
    return 0;
}

VOCAM_API int vocam_disable_streaming(_vocam *h) {
    if (h == nullptr) return -22;
    std::unique_lock lock(h->stream_lock);
    if (h->streaming || h->stopping || h->stream_starting) {
        vo::logs(vo::LogKind::Error, "error: unable to disable stream while stream is running\n");
        return -1;
    }
    lock.unlock();
    joinEndedThread(h);
    lock.lock();
    for (auto &b : h->buffers) b = stream_buffer{};
    h->reading_index = -1;
    return 0;
}

VOCAM_API int vocam_start_streaming(_vocam *h) {
    if (h == nullptr) return -22;
    std::unique_lock lock(h->stream_lock);
    if (h->streaming || h->stopping || h->stream_starting) {
        vo::logs(vo::LogKind::Error, "error: stream is already running\n");
        return -22;
    }
    if (!h->buffers[0].data) {
        vo::logs(vo::LogKind::Error, "error: streaming is not enabled\n");
        return -1;
    }
    lock.unlock();
    joinEndedThread(h);
    lock.lock();
    h->stream_starting = 1;
    h->stream_ending = 0;
    h->stream_result = 0;
    try {
        h->stream_thread = std::thread(usb_stream_thread_callback, h);
    } catch (const std::system_error &e) {
        h->stream_starting = 0;
        return -e.code().value();
    } catch (const std::bad_alloc &) {
        h->stream_starting = 0;
        return -12;
    }
    h->stream_cond.wait(lock, [h] { return h->stream_starting == 0; });
    const int result = h->stream_result;
    lock.unlock();
    if (result < 0) joinEndedThread(h);
    return result;
}

VOCAM_API int vocam_stop_streaming(_vocam *h) {
    if (h == nullptr) return -22;
    std::unique_lock lock(h->stream_lock);
    if (!h->streaming) {
        vo::logs(vo::LogKind::Error, "error: unable to stop a stream which is not running\n");
        return -1;
    }
    if (h->stopping) {
        // Another stop is under way: return when it has ended the stream.
        const std::uint32_t epoch = h->stream_epoch;
        h->stream_cond.wait(lock, [&] { return h->stream_epoch != epoch; });
        return 0;
    }
    h->stopping = 1;
    if (h->run_loop != nullptr) h->run_loop->stop();
    h->stream_cond.notify_all();
    lock.unlock();
    joinEndedThread(h);
    return 0;
}

VOCAM_API int vocam_wait_for_capture_to_buffer(_vocam *h) {
    if (h == nullptr) return -22;
    std::unique_lock lock(h->stream_lock);
    if (!flowing(h)) {
        vo::logs(vo::LogKind::Error, "stream is not running - no data to wait for...\n");
        return -96;
    }
    // The stream this wait belongs to: once it has ended, a later stream's
    // frames are not what the caller waited for.
    const std::uint32_t epoch = h->stream_epoch;
    while (h->frame_sequence == h->delivered_sequence) {
        h->stream_cond.wait(lock);
        if (h->stream_epoch != epoch || !flowing(h)) return -96;
    }
    for (int i = 0; i < kBufferCount; ++i) {
        stream_buffer &b = h->buffers[i];
        if (b.sequence == h->frame_sequence) {
            h->delivered_sequence = b.sequence;
            ++b.hold_count;
            return i;
        }
    }
    return -22;
}

VOCAM_API int vocam_release_buffer(_vocam *h, std::int32_t index) {
    if (h == nullptr || !validIndex(index)) return -22;
    std::lock_guard lock(h->stream_lock);
    stream_buffer &b = h->buffers[index];
    if (b.hold_count == 0) return -22;
    --b.hold_count;
    // A ring that went idle because every buffer was held moves again.
    if (flowing(h) && h->reads_pending == 0 && h->reading_index == -1) rearm(h);
    return 0;
}

VOCAM_API int vocam_get_buffer_count(_vocam *) {
    return kBufferCount;
}

VOCAM_API std::uint8_t *vocam_get_buffer_address(_vocam *h, std::int32_t index) {
    if (h == nullptr || !validIndex(index)) return nullptr;
    return h->buffers[index].data.get();
}

VOCAM_API int vocam_get_buffer_status(_vocam *, std::int32_t) {
    return -78;
}

VOCAM_API int vocam_get_buffer_acquired_size(_vocam *, std::int32_t) {
    return -78;
}

VOCAM_API std::uint32_t vocam_get_video_frame_size(_vocam *h) {
    if (h == nullptr) return 0;
    std::lock_guard lock(h->stream_lock);
    return h->frame_bytes;
}

}  // extern "C"
