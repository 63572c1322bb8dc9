// The libusb-1.0 implementation of the USB host interface.
//
// Ownership runs one way: interfaces and in-flight transfers keep their
// device state alive, device states keep the context alive, so libusb_exit
// only runs once every handle is closed and every device reference dropped,
// whatever order the callers destroy their objects in.
#include "usbhost/libusb/LibusbHost.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "base/vo_log.h"
#include "usbhost/libusb/LibusbErrors.h"

namespace vocam::usbhost {

IOReturn fromLibusb(int libusbError) {
    if (libusbError >= 0) return kIOReturnSuccess;
    switch (static_cast<libusb_error>(libusbError)) {
        case LIBUSB_ERROR_IO:
            return kIOReturnIOError;
        case LIBUSB_ERROR_INVALID_PARAM:
            return kIOReturnBadArgument;
        case LIBUSB_ERROR_ACCESS:
            return kIOReturnNotPrivileged;
        case LIBUSB_ERROR_NO_DEVICE:
            return kIOReturnNoDevice;
        case LIBUSB_ERROR_NOT_FOUND:
            return kIOReturnNotFound;
        // The kernel says busy when another client has claimed the interface:
        // for our callers that is the device being held elsewhere.
        case LIBUSB_ERROR_BUSY:
            return kIOReturnExclusiveAccess;
        case LIBUSB_ERROR_TIMEOUT:
            return kIOReturnTimeout;
        case LIBUSB_ERROR_OVERFLOW:
            return kIOReturnOverrun;
        case LIBUSB_ERROR_PIPE:
            return kIOReturnPipeStalled;
        case LIBUSB_ERROR_INTERRUPTED:
            return kIOReturnInterrupted;
        case LIBUSB_ERROR_NO_MEM:
            return kIOReturnNoMemory;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return kIOReturnUnsupported;
        case LIBUSB_ERROR_OTHER:
            return kIOReturnError;
        case LIBUSB_SUCCESS:
            break;
    }
    return kIOReturnError;
}

IOReturn fromLibusbTransfer(int transferStatus) {
    switch (static_cast<libusb_transfer_status>(transferStatus)) {
        case LIBUSB_TRANSFER_COMPLETED:
            return kIOReturnSuccess;
        case LIBUSB_TRANSFER_ERROR:
            return kIOReturnIOError;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return kIOReturnTimeout;
        case LIBUSB_TRANSFER_CANCELLED:
            return kIOReturnAborted;
        case LIBUSB_TRANSFER_STALL:
            return kIOReturnPipeStalled;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return kIOReturnNoDevice;
        case LIBUSB_TRANSFER_OVERFLOW:
            return kIOReturnOverrun;
    }
    return kIOReturnError;
}

unsigned int effectiveTimeout(std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs) {
    // libusb has a single time-out for the whole transfer, so the tighter of
    // the two limits is the one that can be honoured.
    std::uint32_t ms = noDataTimeoutMs;
    if (completionTimeoutMs != 0 && (ms == 0 || completionTimeoutMs < ms)) ms = completionTimeoutMs;
    return ms;
}

bool configurationWellFormed(const libusb_config_descriptor &config) {
    // libusb keeps the counts a descriptor announced even where the bytes
    // behind them never came (a descriptor that ends inside a setting's
    // endpoint list), and leaves the array pointer null.
    if (config.bNumInterfaces > 0 && config.interface == nullptr) return false;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface &interface = config.interface[i];
        if (interface.num_altsetting < 0 ||
            (interface.num_altsetting > 0 && interface.altsetting == nullptr))
            return false;
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor &alt = interface.altsetting[a];
            if (alt.bNumEndpoints > 0 && alt.endpoint == nullptr) return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> rebuildConfigurationDescriptor(const libusb_config_descriptor &config) {
    if (!configurationWellFormed(config)) return {};
    // Appended byte by byte: gcc 12 at -O3 misjudges the bounds of a range
    // insert into a vector whose size it has just seen.
    std::vector<std::uint8_t> out;
    auto put = [&out](std::initializer_list<std::uint8_t> bytes) {
        for (std::uint8_t b : bytes) out.push_back(b);
    };
    auto extra = [&out](const unsigned char *bytes, int length) {
        for (int i = 0; bytes != nullptr && i < length; ++i) out.push_back(bytes[i]);
    };
    put({LIBUSB_DT_CONFIG_SIZE, LIBUSB_DT_CONFIG, 0, 0, config.bNumInterfaces,
         config.bConfigurationValue, config.iConfiguration, config.bmAttributes, config.MaxPower});
    extra(config.extra, config.extra_length);
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface &interface = config.interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor &alt = interface.altsetting[a];
            put({LIBUSB_DT_INTERFACE_SIZE, LIBUSB_DT_INTERFACE, alt.bInterfaceNumber,
                 alt.bAlternateSetting, alt.bNumEndpoints, alt.bInterfaceClass,
                 alt.bInterfaceSubClass, alt.bInterfaceProtocol, alt.iInterface});
            extra(alt.extra, alt.extra_length);
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                // Audio endpoints carry two more bytes; libusb keeps them
                // parsed rather than in `extra`.
                const bool audio = ep.bLength >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE;
                put({audio ? std::uint8_t{LIBUSB_DT_ENDPOINT_AUDIO_SIZE}
                           : std::uint8_t{LIBUSB_DT_ENDPOINT_SIZE},
                     LIBUSB_DT_ENDPOINT, ep.bEndpointAddress, ep.bmAttributes,
                     static_cast<std::uint8_t>(ep.wMaxPacketSize & 0xFF),
                     static_cast<std::uint8_t>(ep.wMaxPacketSize >> 8), ep.bInterval});
                if (audio) put({ep.bRefresh, ep.bSynchAddress});
                extra(ep.extra, ep.extra_length);
            }
        }
    }
    out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<std::uint8_t>((out.size() >> 8) & 0xFF);
    return out;
}

namespace {

// Only failures that no caller receives are logged here. A failure returned
// to a caller is logged there, in the one line its message promises.
void logFailure(const char *call, int libusbError) {
    vo::logf(vo::LogKind::Error, "libusb: %s failed: %s\n", call, libusb_error_name(libusbError));
}

struct Context {
    libusb_context *ctx = nullptr;
    Context() = default;
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    ~Context() {
        if (ctx != nullptr) libusb_exit(ctx);
    }
};

struct ConfigDeleter {
    void operator()(libusb_config_descriptor *config) const {
        libusb_free_config_descriptor(config);
    }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

struct DeviceDeleter {
    void operator()(libusb_device *device) const { libusb_unref_device(device); }
};
using DevicePtr = std::unique_ptr<libusb_device, DeviceDeleter>;

DevicePtr ref(libusb_device *device) {
    return DevicePtr(libusb_ref_device(device));
}

timeval toTimeval(std::chrono::nanoseconds span) {
    if (span.count() < 0) span = std::chrono::nanoseconds(0);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(span - seconds);
    return timeval{static_cast<time_t>(seconds.count()), static_cast<suseconds_t>(micros.count())};
}

}  // namespace

// ---------------------------------------------------------------------------
// Event sources and loops

struct LibusbCompletion {
    ReadCompletion done = nullptr;
    void *context = nullptr;
    IOReturn result = kIOReturnSuccess;
    std::uint32_t bytesRead = 0;
    // Runs on the loop's thread just before `done`, outside libusb's event
    // handling, where a synchronous request may be made.
    std::function<void()> before;
};

class LibusbLoopCore;

struct LibusbEventSource::Core {
    std::mutex lock;
    std::deque<LibusbCompletion> queue;
    std::weak_ptr<LibusbLoopCore> loop;

    bool take(LibusbCompletion &out) {
        std::lock_guard guard(lock);
        if (queue.empty()) return false;
        out = queue.front();
        queue.pop_front();
        return true;
    }
    bool pending() {
        std::lock_guard guard(lock);
        return !queue.empty();
    }
    void post(const LibusbCompletion &completion);
};

// The state behind one event loop. Without a libusb context (a host whose
// initialisation failed) nothing can ever complete, and waiting falls back to
// a condition variable so that stop() and the time bound still hold.
class LibusbLoopCore : public std::enable_shared_from_this<LibusbLoopCore> {
  public:
    explicit LibusbLoopCore(std::shared_ptr<Context> context) : context_(std::move(context)) {}

    void attach(const std::shared_ptr<LibusbEventSource::Core> &source) {
        std::shared_ptr<LibusbLoopCore> previous;
        {
            std::lock_guard guard(source->lock);
            previous = source->loop.lock();
            source->loop = weak_from_this();
        }
        if (previous && previous.get() != this) previous->forget(source);
        {
            std::lock_guard guard(lock_);
            if (std::find(sources_.begin(), sources_.end(), source) == sources_.end())
                sources_.push_back(source);
        }
        // Completions that arrived while the source was not attached are now ours.
        if (source->pending()) wake();
    }

    void detach(const std::shared_ptr<LibusbEventSource::Core> &source) {
        {
            std::lock_guard guard(source->lock);
            if (source->loop.lock().get() == this) source->loop.reset();
        }
        forget(source);
    }

    void forget(const std::shared_ptr<LibusbEventSource::Core> &source) {
        std::lock_guard guard(lock_);
        sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
    }

    void stop() {
        {
            std::lock_guard guard(lock_);
            stopRequested_ = true;
        }
        wake();
    }

    // Makes the loop's current or next wait return at once. libusb reads the
    // flag as the `completed` argument of its event handling, under its event
    // waiters lock, and the interrupt ends a poll already in progress on any
    // thread, so a wake-up cannot fall between a check and a wait.
    void wake() {
        if (libusb_context *ctx = ctx_()) {
            libusb_lock_event_waiters(ctx);
            wakeFlag_ = 1;
            libusb_unlock_event_waiters(ctx);
            // A completion queued from inside the loop's own event handling
            // ends that pass anyway.
            if (runner_.load() != std::this_thread::get_id()) libusb_interrupt_event_handler(ctx);
        } else {
            std::lock_guard guard(lock_);
            wakeFlag_ = 1;
            changed_.notify_all();
        }
    }

    void run() {
        Runner running(*this);
        for (;;) {
            clearWake();
            if (takeStop()) return;
            while (!stopPending() && deliverOne()) {
            }
            if (takeStop()) return;
            wait(kSlice);
        }
    }

    bool runOnce(double seconds) {
        Runner running(*this);
        using Clock = std::chrono::steady_clock;
        if (!(seconds > 0)) seconds = 0;  // NaN as well
        seconds = std::min(seconds, 1e6);
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(seconds));
        for (;;) {
            clearWake();
            if (takeStop()) return false;
            if (deliverOne()) return true;
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return false;
            wait(std::min<std::chrono::nanoseconds>(left, kSlice));
        }
    }

  private:
    // The longest single wait; wake-ups are prompt, this only bounds the cost
    // of one that went astray.
    static constexpr std::chrono::nanoseconds kSlice = std::chrono::seconds(1);

    // Records which thread runs the loop, so wake() can tell its own thread.
    struct Runner {
        LibusbLoopCore &core;
        explicit Runner(LibusbLoopCore &c) : core(c) {
            core.runner_.store(std::this_thread::get_id());
        }
        ~Runner() { core.runner_.store(std::thread::id()); }
    };

    libusb_context *ctx_() const { return context_ ? context_->ctx : nullptr; }

    void clearWake() {
        if (libusb_context *ctx = ctx_()) {
            libusb_lock_event_waiters(ctx);
            wakeFlag_ = 0;
            libusb_unlock_event_waiters(ctx);
        } else {
            std::lock_guard guard(lock_);
            wakeFlag_ = 0;
        }
    }

    bool takeStop() {
        std::lock_guard guard(lock_);
        return std::exchange(stopRequested_, false);
    }

    bool stopPending() {
        std::lock_guard guard(lock_);
        return stopRequested_;
    }

    bool deliverOne() {
        std::vector<std::shared_ptr<LibusbEventSource::Core>> sources;
        {
            std::lock_guard guard(lock_);
            sources = sources_;
        }
        for (const auto &source : sources) {
            LibusbCompletion c;
            if (source->take(c)) {
                if (c.before) c.before();
                c.done(c.context, c.result, c.bytesRead);
                return true;
            }
        }
        return false;
    }

    void wait(std::chrono::nanoseconds limit) {
        if (libusb_context *ctx = ctx_()) {
            timeval tv = toTimeval(limit);
            const int r = libusb_handle_events_timeout_completed(ctx, &tv, &wakeFlag_);
            if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED) {
                logFailure("libusb_handle_events_timeout_completed", r);
                // Do not spin on a persistent failure.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        } else {
            std::unique_lock guard(lock_);
            changed_.wait_for(guard, limit, [this] { return wakeFlag_ != 0; });
        }
    }

    std::shared_ptr<Context> context_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<LibusbEventSource::Core>> sources_;
    bool stopRequested_ = false;
    int wakeFlag_ = 0;
    std::atomic<std::thread::id> runner_{};
};

void LibusbEventSource::Core::post(const LibusbCompletion &completion) {
    std::shared_ptr<LibusbLoopCore> target;
    {
        std::lock_guard guard(lock);
        queue.push_back(completion);
        target = loop.lock();
    }
    if (target) target->wake();
}

std::unique_ptr<LibusbEventSource> LibusbEventSource::create() {
    return std::make_unique<LibusbEventSource>(std::make_shared<Core>());
}

LibusbEventSource::LibusbEventSource(std::shared_ptr<Core> core) : core_(std::move(core)) {}

LibusbEventSource::~LibusbEventSource() {
    std::shared_ptr<LibusbLoopCore> loop;
    {
        std::lock_guard guard(core_->lock);
        loop = core_->loop.lock();
    }
    if (loop) loop->detach(core_);
}

void LibusbEventSource::post(ReadCompletion done, void *context, IOReturn result,
                             std::uint32_t bytesRead) {
    core_->post(LibusbCompletion{done, context, result, bytesRead, {}});
}

namespace {

class LibusbEventLoop final : public EventLoop {
  public:
    explicit LibusbEventLoop(std::shared_ptr<Context> context)
        : core_(std::make_shared<LibusbLoopCore>(std::move(context))) {}

    void attach(EventSource &source) override {
        if (auto *ours = dynamic_cast<LibusbEventSource *>(&source)) core_->attach(ours->core());
    }
    void detach(EventSource &source) override {
        if (auto *ours = dynamic_cast<LibusbEventSource *>(&source)) core_->detach(ours->core());
    }
    void run() override { core_->run(); }
    bool runOnce(double seconds) override { return core_->runOnce(seconds); }
    void stop() override { core_->stop(); }

  private:
    std::shared_ptr<LibusbLoopCore> core_;
};

// ---------------------------------------------------------------------------
// Devices

// The open handle of one device, shared by the device object and the
// interfaces opened through it. The handle stays open while any of them uses
// it, and each interface is claimed once however many of them hold it.
class DeviceState {
  public:
    DeviceState(std::shared_ptr<Context> context, DevicePtr device)
        : context_(std::move(context)), device_(std::move(device)) {}
    DeviceState(const DeviceState &) = delete;
    DeviceState &operator=(const DeviceState &) = delete;
    ~DeviceState() {
        if (handle_ == nullptr) return;
        for (const auto &[number, count] : claims_) libusb_release_interface(handle_, number);
        libusb_close(handle_);
    }

    libusb_context *ctx() const { return context_->ctx; }
    libusb_device *device() const { return device_.get(); }

    libusb_device_handle *handle() {
        std::lock_guard guard(lock_);
        return handle_;
    }

    IOReturn acquire() {
        std::lock_guard guard(lock_);
        if (handle_ == nullptr) {
            const int r = libusb_open(device_.get(), &handle_);
            if (r != 0) {
                handle_ = nullptr;
                return fromLibusb(r);
            }
            // A bound kernel driver would make every claim fail; libusb gives
            // it back when the interface is released. Not every platform can.
            const int d = libusb_set_auto_detach_kernel_driver(handle_, 1);
            if (d != 0 && d != LIBUSB_ERROR_NOT_SUPPORTED)
                logFailure("libusb_set_auto_detach_kernel_driver", d);
        }
        ++users_;
        return kIOReturnSuccess;
    }

    void release() {
        std::lock_guard guard(lock_);
        if (users_ == 0 || --users_ > 0) return;
        for (const auto &[number, count] : claims_) libusb_release_interface(handle_, number);
        claims_.clear();
        alternates_.clear();
        libusb_close(handle_);
        handle_ = nullptr;
    }

    IOReturn claim(std::uint8_t number) {
        std::lock_guard guard(lock_);
        if (handle_ == nullptr) return kIOReturnNotOpen;
        int &count = claims_[number];
        if (count == 0) {
            const int r = libusb_claim_interface(handle_, number);
            if (r != 0) {
                claims_.erase(number);
                return fromLibusb(r);
            }
        }
        ++count;
        return kIOReturnSuccess;
    }

    void unclaim(std::uint8_t number) {
        std::lock_guard guard(lock_);
        auto it = claims_.find(number);
        if (it == claims_.end() || --it->second > 0) return;
        claims_.erase(it);
        if (handle_ != nullptr) {
            const int r = libusb_release_interface(handle_, number);
            if (r != 0 && r != LIBUSB_ERROR_NO_DEVICE) logFailure("libusb_release_interface", r);
        }
    }

    IOReturn setConfiguration(std::uint8_t value) {
        std::lock_guard guard(lock_);
        if (handle_ == nullptr) return kIOReturnNotOpen;
        int current = -1;
        // Selecting the configuration already in force would reset the device
        // and is refused while our own claims are held; it is not needed.
        if (libusb_get_configuration(handle_, &current) == 0 && current == value)
            return kIOReturnSuccess;
        // The kernel refuses a change while interfaces are claimed, so the
        // claims are dropped for it and taken again on the new configuration.
        for (const auto &[number, count] : claims_) libusb_release_interface(handle_, number);
        const int r = libusb_set_configuration(handle_, value);
        alternates_.clear();
        IOReturn result = r == 0 ? kIOReturnSuccess : fromLibusb(r);
        for (auto it = claims_.begin(); it != claims_.end();) {
            const int c = libusb_claim_interface(handle_, it->first);
            if (c != 0) {
                if (result == kIOReturnSuccess) result = fromLibusb(c);
                it = claims_.erase(it);
            } else {
                ++it;
            }
        }
        return result;
    }

    IOReturn setAlternate(std::uint8_t number, std::uint8_t alternate) {
        std::lock_guard guard(lock_);
        if (handle_ == nullptr || claims_.count(number) == 0) return kIOReturnNotOpen;
        // libusb 1.0.26 releases the handle's lock without having taken it
        // when it finds the device detached here, and the next libusb_close
        // aborts the process. A device that has left is not asked at all.
        if (departed()) return kIOReturnNoDevice;
        const int r = libusb_set_interface_alt_setting(handle_, number, alternate);
        if (r != 0) return fromLibusb(r);
        alternates_[number] = alternate;
        return kIOReturnSuccess;
    }

    // Clears a halt for a stalled stream read. Only a failure no caller
    // hears of is logged; a device that has gone needs nothing cleared.
    void clearHalt(std::uint8_t endpoint) {
        libusb_device_handle *h = handle();
        if (h == nullptr) return;
        const int r = libusb_clear_halt(h, endpoint);
        if (r != 0 && r != LIBUSB_ERROR_NO_DEVICE) logFailure("libusb_clear_halt", r);
    }

    // The alternate setting in force: 0 after a claim or a configuration
    // change until one is selected.
    std::uint8_t alternate(std::uint8_t number) {
        std::lock_guard guard(lock_);
        auto it = alternates_.find(number);
        return it == alternates_.end() ? 0 : it->second;
    }

    // True once libusb no longer lists the device (its hotplug monitor has
    // seen it leave); listing also takes in any hotplug events still pending.
    bool departed() const {
        libusb_device **list = nullptr;
        const ssize_t count = libusb_get_device_list(ctx(), &list);
        if (count < 0) return false;
        bool listed = false;
        for (ssize_t i = 0; i < count && !listed; ++i) listed = list[i] == device_.get();
        libusb_free_device_list(list, 1);
        return !listed;
    }

  private:
    std::shared_ptr<Context> context_;
    DevicePtr device_;
    std::mutex lock_;
    libusb_device_handle *handle_ = nullptr;
    int users_ = 0;
    std::map<std::uint8_t, int> claims_;
    std::map<std::uint8_t, std::uint8_t> alternates_;
};

IOReturn controlTransfer(libusb_device_handle *handle, const Setup &setup, void *data,
                         std::uint32_t &done, std::uint32_t noDataTimeoutMs,
                         std::uint32_t completionTimeoutMs) {
    done = 0;
    if (handle == nullptr) return kIOReturnNotOpen;
    if (setup.wLength != 0 && data == nullptr) return kIOReturnBadArgument;
    const int r =
        libusb_control_transfer(handle, setup.bmRequestType, setup.bRequest, setup.wValue,
                                setup.wIndex, static_cast<unsigned char *>(data), setup.wLength,
                                effectiveTimeout(noDataTimeoutMs, completionTimeoutMs));
    if (r < 0) return fromLibusb(r);
    done = static_cast<std::uint32_t>(r);
    return kIOReturnSuccess;
}

struct Endpoint {
    std::uint8_t address = 0;
    std::uint8_t type = LIBUSB_TRANSFER_TYPE_BULK;
    std::uint16_t maxPacketSize = 0;
    // Only these can carry the transfers our callers make; an isochronous
    // endpoint would need packets the callers never describe.
    bool streams() const {
        return type == LIBUSB_TRANSFER_TYPE_BULK || type == LIBUSB_TRANSFER_TYPE_INTERRUPT;
    }
};
// The endpoints of each alternate setting of one interface, in descriptor order.
using EndpointTable = std::map<std::uint8_t, std::vector<Endpoint>>;

// ---------------------------------------------------------------------------
// Interfaces

// What an in-flight transfer's callback needs, kept alive until it has run.
class InterfaceCore;
struct AsyncRead {
    std::shared_ptr<InterfaceCore> owner;
    std::shared_ptr<LibusbEventSource::Core> source;
    ReadCompletion done = nullptr;
    void *context = nullptr;
    libusb_transfer *transfer = nullptr;
    std::uint8_t endpoint = 0;
    // The buffer's owner: libusb writes into the buffer until the transfer
    // is reaped, which may be long after its owner stopped waiting for it.
    std::shared_ptr<void> keep;
};

class InterfaceCore {
  public:
    explicit InterfaceCore(std::shared_ptr<DeviceState> device) : device(std::move(device)) {}

    std::shared_ptr<DeviceState> device;
    std::mutex lock;
    std::vector<AsyncRead *> inFlight;
    std::shared_ptr<LibusbEventSource::Core> source;

    static void LIBUSB_CALL finished(libusb_transfer *transfer) {
        std::unique_ptr<AsyncRead> read(static_cast<AsyncRead *>(transfer->user_data));
        LibusbCompletion completion{
            read->done,
            read->context,
            fromLibusbTransfer(transfer->status),
            static_cast<std::uint32_t>(std::max(0, transfer->actual_length)),
            {}};
        // A count beyond the buffer cannot be true of what reached it.
        const auto asked = static_cast<std::uint32_t>(std::max(0, transfer->length));
        if (completion.bytesRead > asked) {
            completion.bytesRead = asked;
            if (completion.result == kIOReturnSuccess) completion.result = kIOReturnOverrun;
        }
        // A halted endpoint answers every read with a stall until the halt is
        // cleared: clear it once, before the owner hears of the stall and
        // reads again. Not here: a synchronous request must not be made from
        // inside libusb's event handling.
        if (completion.result == kIOReturnPipeStalled)
            completion.before = [device = read->owner->device, endpoint = read->endpoint] {
                device->clearHalt(endpoint);
            };
        {
            InterfaceCore &core = *read->owner;
            std::lock_guard guard(core.lock);
            core.inFlight.erase(std::remove(core.inFlight.begin(), core.inFlight.end(), read.get()),
                                core.inFlight.end());
        }
        libusb_free_transfer(transfer);
        // Cancelled reads are reported too: the owner counts its reads down.
        read->source->post(completion);
    }

    // Cancels the transfers on one endpoint (all of them for 0xFF).
    void cancel(std::uint8_t endpoint) {
        std::lock_guard guard(lock);
        for (AsyncRead *read : inFlight) {
            if (endpoint != 0xFF && read->endpoint != endpoint) continue;
            const int r = libusb_cancel_transfer(read->transfer);
            // Not found: it has just completed and its callback is on the way.
            if (r != 0 && r != LIBUSB_ERROR_NOT_FOUND) logFailure("libusb_cancel_transfer", r);
        }
    }

    // Cancels everything and handles events until the callbacks have run, so
    // the handle can be released safely. False if some never came back.
    bool drain() {
        cancel(0xFF);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            {
                std::lock_guard guard(lock);
                if (inFlight.empty()) return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                vo::logf(vo::LogKind::Error,
                         "libusb: transfers still in flight at interface close\n");
                return false;
            }
            timeval tv = toTimeval(std::chrono::milliseconds(100));
            libusb_handle_events_timeout_completed(device->ctx(), &tv, nullptr);
        }
    }
};

class LibusbInterface final : public Interface {
  public:
    LibusbInterface(std::shared_ptr<DeviceState> device, std::uint8_t number,
                    EndpointTable endpoints)
        : core_(std::make_shared<InterfaceCore>(std::move(device))),
          number_(number),
          endpoints_(std::move(endpoints)) {}

    ~LibusbInterface() override {
        if (open_) close();
    }

    IOReturn open() override {
        if (open_) return kIOReturnExclusiveAccess;
        DeviceState &device = *core_->device;
        IOReturn r = device.acquire();
        if (r != kIOReturnSuccess) return r;
        r = device.claim(number_);
        if (r != kIOReturnSuccess) {
            device.release();
            return r;
        }
        open_ = true;
        return kIOReturnSuccess;
    }

    IOReturn close() override {
        if (!open_) return kIOReturnNotOpen;
        open_ = false;
        // libusb must not free a handle under a transfer. The stuck transfers
        // own the device state, which closes the handle once they are gone.
        if (!core_->drain()) return kIOReturnBusy;
        core_->device->unclaim(number_);
        core_->device->release();
        return kIOReturnSuccess;
    }

    IOReturn setAlternate(std::uint8_t alternate) override {
        if (!open_) return kIOReturnNotOpen;
        return core_->device->setAlternate(number_, alternate);
    }

    IOReturn controlRequest(const Setup &setup, void *data, std::uint32_t &done,
                            std::uint32_t noDataTimeoutMs,
                            std::uint32_t completionTimeoutMs) override {
        done = 0;
        if (!open_) return kIOReturnNotOpen;
        return controlTransfer(core_->device->handle(), setup, data, done, noDataTimeoutMs,
                               completionTimeoutMs);
    }

    IOReturn pipeStatus(std::uint8_t pipe) override {
        if (!open_) return kIOReturnNotOpen;
        Endpoint endpoint;
        if (pipe != 0 && !lookup(pipe, endpoint)) return kIOReturnBadArgument;
        // libusb keeps no halt state of its own, so the device is asked.
        unsigned char status[2] = {};
        const int r = libusb_control_transfer(core_->device->handle(), kGetEndpointStatus,
                                              LIBUSB_REQUEST_GET_STATUS, 0, endpoint.address,
                                              status, sizeof status, kStatusTimeoutMs);
        if (r < 0) return fromLibusb(r);
        if (r < 2) return kIOReturnNotResponding;
        return (status[0] & 1) != 0 ? kIOReturnPipeStalled : kIOReturnSuccess;
    }

    IOReturn pipeProperties(std::uint8_t pipe, PipeProperties &out) override {
        if (!open_) return kIOReturnNotOpen;
        Endpoint endpoint;
        if (!lookup(pipe, endpoint)) return kIOReturnBadArgument;
        out.in = (endpoint.address & LIBUSB_ENDPOINT_IN) != 0;
        out.type = static_cast<PipeType>(endpoint.type & LIBUSB_TRANSFER_TYPE_MASK);
        out.maxPacketSize = endpoint.maxPacketSize;
        return kIOReturnSuccess;
    }

    IOReturn writePipe(std::uint8_t pipe, const void *data, std::uint32_t length,
                       std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs) override {
        std::uint32_t moved = length;
        // libusb only reads an OUT buffer.
        return transfer(pipe, false, const_cast<void *>(data), moved,
                        effectiveTimeout(noDataTimeoutMs, completionTimeoutMs));
    }

    IOReturn readPipe(std::uint8_t pipe, void *data, std::uint32_t &length,
                      std::uint32_t noDataTimeoutMs, std::uint32_t completionTimeoutMs) override {
        return transfer(pipe, true, data, length,
                        effectiveTimeout(noDataTimeoutMs, completionTimeoutMs));
    }

    IOReturn clearPipeStallBothEnds(std::uint8_t pipe) override {
        if (!open_) return kIOReturnNotOpen;
        // The default pipe recovers by itself with the next setup packet.
        if (pipe == 0) return kIOReturnSuccess;
        Endpoint endpoint;
        if (!lookup(pipe, endpoint)) return kIOReturnBadArgument;
        const int r = libusb_clear_halt(core_->device->handle(), endpoint.address);
        return r == 0 ? kIOReturnSuccess : fromLibusb(r);
    }

    IOReturn abortPipe(std::uint8_t pipe) override {
        if (!open_) return kIOReturnNotOpen;
        // Control transfers are synchronous: nothing can be pending on pipe 0.
        if (pipe == 0) return kIOReturnSuccess;
        Endpoint endpoint;
        if (!lookup(pipe, endpoint)) return kIOReturnBadArgument;
        core_->cancel(endpoint.address);
        return kIOReturnSuccess;
    }

    IOReturn readPipeAsync(std::uint8_t pipe, void *buffer, std::uint32_t size, ReadCompletion done,
                           void *context, std::shared_ptr<void> keep) override {
        if (!open_) return kIOReturnNotOpen;
        Endpoint endpoint;
        if (!lookup(pipe, endpoint) || (endpoint.address & LIBUSB_ENDPOINT_IN) == 0 ||
            buffer == nullptr || done == nullptr || size > INT_MAX)
            return kIOReturnBadArgument;
        if (!endpoint.streams()) return kIOReturnUnsupported;
        auto read = std::make_unique<AsyncRead>();
        {
            std::lock_guard guard(core_->lock);
            read->source = core_->source;
        }
        // Without an event source no loop could ever deliver the completion.
        if (!read->source) return kIOReturnNoResources;
        read->owner = core_;
        read->done = done;
        read->context = context;
        read->endpoint = endpoint.address;
        read->keep = std::move(keep);
        read->transfer = libusb_alloc_transfer(0);
        if (read->transfer == nullptr) return kIOReturnNoMemory;
        libusb_transfer *t = read->transfer;
        if (endpoint.type == LIBUSB_TRANSFER_TYPE_INTERRUPT)
            libusb_fill_interrupt_transfer(
                t, core_->device->handle(), endpoint.address, static_cast<unsigned char *>(buffer),
                static_cast<int>(size), &InterfaceCore::finished, read.get(), 0);
        else
            libusb_fill_bulk_transfer(t, core_->device->handle(), endpoint.address,
                                      static_cast<unsigned char *>(buffer), static_cast<int>(size),
                                      &InterfaceCore::finished, read.get(), 0);
        AsyncRead *tracked = read.get();
        {
            std::lock_guard guard(core_->lock);
            core_->inFlight.push_back(tracked);
        }
        const int r = libusb_submit_transfer(t);
        if (r != 0) {
            {
                std::lock_guard guard(core_->lock);
                core_->inFlight.erase(
                    std::remove(core_->inFlight.begin(), core_->inFlight.end(), tracked),
                    core_->inFlight.end());
            }
            libusb_free_transfer(t);
            return fromLibusb(r);
        }
        // The callback owns it now and may already have run.
        read.release();
        return kIOReturnSuccess;
    }

    IOReturn createAsyncEventSource(std::unique_ptr<EventSource> &out) override {
        auto source = LibusbEventSource::create();
        {
            std::lock_guard guard(core_->lock);
            core_->source = source->core();
        }
        out = std::move(source);
        return kIOReturnSuccess;
    }

  private:
    static constexpr unsigned int kStatusTimeoutMs = 1000;
    static constexpr std::uint8_t kGetEndpointStatus =
        static_cast<int>(LIBUSB_ENDPOINT_IN) | static_cast<int>(LIBUSB_REQUEST_TYPE_STANDARD) |
        static_cast<int>(LIBUSB_RECIPIENT_ENDPOINT);

    bool lookup(std::uint8_t pipe, Endpoint &out) const {
        if (pipe == 0) return false;
        auto it = endpoints_.find(core_->device->alternate(number_));
        if (it == endpoints_.end() || pipe > it->second.size()) return false;
        out = it->second[pipe - 1];
        return true;
    }

    IOReturn transfer(std::uint8_t pipe, bool in, void *data, std::uint32_t &length,
                      unsigned int timeoutMs) {
        const std::uint32_t asked = length;
        length = 0;
        if (!open_) return kIOReturnNotOpen;
        Endpoint endpoint;
        if (!lookup(pipe, endpoint) || ((endpoint.address & LIBUSB_ENDPOINT_IN) != 0) != in ||
            (data == nullptr && asked != 0) || asked > INT_MAX)
            return kIOReturnBadArgument;
        if (!endpoint.streams()) return kIOReturnUnsupported;
        int moved = 0;
        auto *bytes = static_cast<unsigned char *>(data);
        const int r =
            endpoint.type == LIBUSB_TRANSFER_TYPE_INTERRUPT
                ? libusb_interrupt_transfer(core_->device->handle(), endpoint.address, bytes,
                                            static_cast<int>(asked), &moved, timeoutMs)
                : libusb_bulk_transfer(core_->device->handle(), endpoint.address, bytes,
                                       static_cast<int>(asked), &moved, timeoutMs);
        // What moved before a time-out or an error still counts; a count
        // beyond the buffer cannot be true of what reached it.
        const auto count = static_cast<std::uint32_t>(std::max(0, moved));
        length = std::min(count, asked);
        if (r == 0 && count > asked) return kIOReturnOverrun;
        return r == 0 ? kIOReturnSuccess : fromLibusb(r);
    }

    std::shared_ptr<InterfaceCore> core_;
    std::uint8_t number_;
    EndpointTable endpoints_;
    bool open_ = false;
};

class LibusbInterfaceRef final : public InterfaceRef {
  public:
    LibusbInterfaceRef(std::shared_ptr<DeviceState> device, std::uint8_t number,
                       std::shared_ptr<const EndpointTable> endpoints)
        : device_(std::move(device)), number_(number), endpoints_(std::move(endpoints)) {}

    IOReturn createInterface(std::unique_ptr<Interface> &out) override {
        out = std::make_unique<LibusbInterface>(device_, number_, *endpoints_);
        return kIOReturnSuccess;
    }

  private:
    std::shared_ptr<DeviceState> device_;
    std::uint8_t number_;
    std::shared_ptr<const EndpointTable> endpoints_;
};

class LibusbDevice final : public Device {
  public:
    explicit LibusbDevice(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {
        // Cached by libusb at enumeration; it cannot fail on a listed device.
        libusb_get_device_descriptor(state_->device(), &descriptor_);
    }
    ~LibusbDevice() override {
        if (open_) close();
    }

    // libusb keeps a device's descriptors and speed from when it was listed;
    // a device that has left the bus answers nothing, as on other stacks.
    IOReturn vendor(std::uint16_t &out) override { return identity(out, descriptor_.idVendor); }
    IOReturn product(std::uint16_t &out) override { return identity(out, descriptor_.idProduct); }
    IOReturn release(std::uint16_t &out) override { return identity(out, descriptor_.bcdDevice); }

    IOReturn speed(std::uint8_t &out) override {
        if (state_->departed()) return kIOReturnNoDevice;
        switch (libusb_get_device_speed(state_->device())) {
            case LIBUSB_SPEED_LOW:
                out = kSpeedLow;
                return kIOReturnSuccess;
            case LIBUSB_SPEED_FULL:
                out = kSpeedFull;
                return kIOReturnSuccess;
            // Our callers know nothing faster than high speed.
            case LIBUSB_SPEED_HIGH:
            case LIBUSB_SPEED_SUPER:
            case LIBUSB_SPEED_SUPER_PLUS:
                out = kSpeedHigh;
                return kIOReturnSuccess;
            default:
                return kIOReturnUnsupported;
        }
    }

    // Exclusive because interface 0 is claimed: the kernel lets one client
    // hold a claim, in this process or any other.
    IOReturn open() override {
        if (open_) return kIOReturnExclusiveAccess;
        IOReturn r = state_->acquire();
        if (r != kIOReturnSuccess) return r;
        r = state_->claim(0);
        if (r != kIOReturnSuccess) {
            state_->release();
            return r;
        }
        open_ = true;
        return kIOReturnSuccess;
    }

    IOReturn close() override {
        if (!open_) return kIOReturnNotOpen;
        state_->unclaim(0);
        state_->release();
        open_ = false;
        return kIOReturnSuccess;
    }

    IOReturn configurationDescriptor(std::uint8_t index, std::vector<std::uint8_t> &out) override {
        out.clear();
        libusb_config_descriptor *raw = nullptr;
        const int r = libusb_get_config_descriptor(state_->device(), index, &raw);
        if (r != 0) return fromLibusb(r);
        const ConfigPtr config(raw);
        out = rebuildConfigurationDescriptor(*config);
        return out.empty() ? kIOReturnDeviceError : kIOReturnSuccess;
    }

    IOReturn setConfiguration(std::uint8_t value) override {
        if (!open_) return kIOReturnNotOpen;
        return state_->setConfiguration(value);
    }

    IOReturn interfaces(std::vector<std::shared_ptr<InterfaceRef>> &out) override {
        out.clear();
        libusb_config_descriptor *raw = nullptr;
        const int r = libusb_get_active_config_descriptor(state_->device(), &raw);
        if (r != 0) return fromLibusb(r);
        const ConfigPtr config(raw);
        if (!configurationWellFormed(*config)) return kIOReturnDeviceError;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface &interface = config->interface[i];
            if (interface.num_altsetting < 1) continue;
            auto table = std::make_shared<EndpointTable>();
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor &alt = interface.altsetting[a];
                std::vector<Endpoint> &endpoints = (*table)[alt.bAlternateSetting];
                for (int e = 0; e < alt.bNumEndpoints; ++e)
                    endpoints.push_back(
                        Endpoint{alt.endpoint[e].bEndpointAddress,
                                 static_cast<std::uint8_t>(alt.endpoint[e].bmAttributes &
                                                           LIBUSB_TRANSFER_TYPE_MASK),
                                 alt.endpoint[e].wMaxPacketSize});
            }
            // One object per interface; its alternate settings are selected
            // on the opened interface.
            out.push_back(std::make_shared<LibusbInterfaceRef>(
                state_, interface.altsetting[0].bInterfaceNumber, std::move(table)));
        }
        return kIOReturnSuccess;
    }

    IOReturn productStringIndex(std::uint8_t &out) override {
        out = descriptor_.iProduct;
        return kIOReturnSuccess;
    }
    IOReturn serialStringIndex(std::uint8_t &out) override {
        out = descriptor_.iSerialNumber;
        return kIOReturnSuccess;
    }

    IOReturn deviceRequest(const Setup &setup, void *data, std::uint32_t &done,
                           std::uint32_t noDataTimeoutMs,
                           std::uint32_t completionTimeoutMs) override {
        done = 0;
        if (!open_) return kIOReturnNotOpen;
        return controlTransfer(state_->handle(), setup, data, done, noDataTimeoutMs,
                               completionTimeoutMs);
    }

  private:
    IOReturn identity(std::uint16_t &out, std::uint16_t value) {
        if (state_->departed()) return kIOReturnNoDevice;
        out = value;
        return kIOReturnSuccess;
    }

    std::shared_ptr<DeviceState> state_;
    libusb_device_descriptor descriptor_{};
    bool open_ = false;
};

class LibusbDeviceRef final : public DeviceRef {
  public:
    LibusbDeviceRef(std::shared_ptr<Context> context, DevicePtr device)
        : context_(std::move(context)), device_(std::move(device)) {}

    IOReturn createDevice(std::unique_ptr<Device> &out) override {
        out = std::make_unique<LibusbDevice>(
            std::make_shared<DeviceState>(context_, ref(device_.get())));
        return kIOReturnSuccess;
    }

  private:
    std::shared_ptr<Context> context_;
    DevicePtr device_;
};

// ---------------------------------------------------------------------------
// The host

class LibusbHost final : public Host {
  public:
    explicit LibusbHost(LibusbInit init) {
        auto context = std::make_shared<Context>();
        const int r = init(&context->ctx);
        if (r != 0) {
            context->ctx = nullptr;
            logFailure("libusb_init", r);
            status_ = fromLibusb(r);
            // Keep a failure visible even if libusb reported an odd success code.
            if (status_ == kIOReturnSuccess) status_ = kIOReturnError;
            return;
        }
        context_ = std::move(context);
    }

    IOReturn status() const override { return status_; }

    IOReturn match(const Match &what, std::vector<std::shared_ptr<DeviceRef>> &out) override {
        out.clear();
        if (status_ != kIOReturnSuccess) return status_;
        libusb_device **list = nullptr;
        const ssize_t count = libusb_get_device_list(context_->ctx, &list);
        if (count < 0) return fromLibusb(static_cast<int>(count));
        const std::unique_ptr<libusb_device *, void (*)(libusb_device **)> owner(
            list, [](libusb_device **l) { libusb_free_device_list(l, 1); });
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
            if (d.idVendor != what.vendor) continue;
            if (what.product && d.idProduct != *what.product) continue;
            if (what.subclass && d.bDeviceSubClass != *what.subclass) continue;
            out.push_back(std::make_shared<LibusbDeviceRef>(context_, ref(list[i])));
        }
        return kIOReturnSuccess;
    }

    std::unique_ptr<EventLoop> createEventLoop() override {
        return std::make_unique<LibusbEventLoop>(context_);
    }

    const char *name() const override { return "libusb"; }

  private:
    std::shared_ptr<Context> context_;
    IOReturn status_ = kIOReturnSuccess;
};

}  // namespace

std::unique_ptr<Host> makeLibusbHostWith(LibusbInit init) {
    return std::make_unique<LibusbHost>(init);
}

std::unique_ptr<Host> makeLibusbHost() {
    return makeLibusbHostWith(&libusb_init);
}

}  // namespace vocam::usbhost
