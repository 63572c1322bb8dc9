// The USB host interface over the simulated bus: each object forwards to the
// camera device it stands for, as a host controller driver would.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "Simulator/SimBus.h"

namespace vocam::sim {

using namespace usbhost;

namespace {

// Completions waiting for the event loop that an event source is attached to.
struct CompletionQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> items;
    bool stopRequested = false;
};

class SimEventSource {
  public:
    // Delivers to the attached loop, or holds the completion until one attaches.
    void post(std::function<void()> completion) {
        std::shared_ptr<CompletionQueue> queue;
        {
            std::lock_guard lock(mutex_);
            if (!queue_) {
                held_.push_back(std::move(completion));
                return;
            }
            queue = queue_;
        }
        {
            std::lock_guard lock(queue->mutex);
            queue->items.push_back(std::move(completion));
        }
        queue->ready.notify_all();
    }
    void attachTo(std::shared_ptr<CompletionQueue> queue) {
        std::deque<std::function<void()>> held;
        {
            std::lock_guard lock(mutex_);
            queue_ = queue;
            held.swap(held_);
        }
        if (!queue || held.empty()) return;
        {
            std::lock_guard lock(queue->mutex);
            for (auto &h : held) queue->items.push_back(std::move(h));
        }
        queue->ready.notify_all();
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<CompletionQueue> queue_;
    std::deque<std::function<void()>> held_;
};

// The caller's handle on an interface's event source; reads in flight share
// the source, so their completions stay deliverable.
class SourceHandle final : public EventSource {
  public:
    explicit SourceHandle(std::shared_ptr<SimEventSource> s) : source(std::move(s)) {}
    std::shared_ptr<SimEventSource> source;
};

class SimEventLoop final : public EventLoop {
  public:
    void attach(EventSource &source) override {
        static_cast<SourceHandle &>(source).source->attachTo(queue_);
    }
    void detach(EventSource &source) override {
        static_cast<SourceHandle &>(source).source->attachTo(nullptr);
    }
    void run() override {
        while (next(nullptr)) {
        }
    }
    bool runOnce(double seconds) override {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(seconds));
        return next(&deadline);
    }
    void stop() override {
        {
            std::lock_guard lock(queue_->mutex);
            queue_->stopRequested = true;
        }
        queue_->ready.notify_all();
    }

  private:
    // Runs one completion; false when stopped or past the deadline.
    bool next(const std::chrono::steady_clock::time_point *deadline) {
        std::unique_lock lock(queue_->mutex);
        auto woken = [&] { return queue_->stopRequested || !queue_->items.empty(); };
        if (deadline)
            queue_->ready.wait_until(lock, *deadline, woken);
        else
            queue_->ready.wait(lock, woken);
        if (queue_->stopRequested) {
            queue_->stopRequested = false;
            return false;
        }
        if (queue_->items.empty()) return false;
        auto completion = std::move(queue_->items.front());
        queue_->items.pop_front();
        lock.unlock();
        completion();
        return true;
    }

    std::shared_ptr<CompletionQueue> queue_ = std::make_shared<CompletionQueue>();
};

class SimInterface final : public Interface {
  public:
    explicit SimInterface(std::shared_ptr<CameraDevice> device) : device_(std::move(device)) {}
    ~SimInterface() override {
        // Reads still in flight complete (aborted) before the source goes away.
        if (claimed_) close();
    }
    IOReturn open() override {
        const IOReturn r = device_->claim();
        claimed_ = r == kIOReturnSuccess;
        return r;
    }
    IOReturn close() override {
        claimed_ = false;
        return device_->release_();
    }
    IOReturn setAlternate(std::uint8_t alternate) override {
        return device_->setAlternate(alternate);
    }
    IOReturn controlRequest(const Setup &setup, void *data, std::uint32_t &done,
                            std::uint32_t noData, std::uint32_t completion) override {
        return device_->control(setup, data, done, noData, completion, false);
    }
    IOReturn pipeStatus(std::uint8_t pipe) override { return device_->pipeStatus(pipe); }
    IOReturn pipeProperties(std::uint8_t pipe, PipeProperties &out) override {
        std::uint8_t address = 0, attributes = 0;
        if (!claimed_) return kIOReturnNotOpen;
        if (!device_->pipeEndpoint(pipe, address, attributes)) return kIOReturnBadArgument;
        out.in = (address & 0x80) != 0;
        out.type = static_cast<PipeType>(attributes & 3);
        return kIOReturnSuccess;
    }
    IOReturn writePipe(std::uint8_t pipe, const void *data, std::uint32_t length,
                       std::uint32_t noData, std::uint32_t completion) override {
        return device_->bulkOut(pipe, data, length, noData, completion);
    }
    IOReturn readPipe(std::uint8_t pipe, void *data, std::uint32_t &length, std::uint32_t noData,
                      std::uint32_t completion) override {
        return device_->bulkIn(pipe, data, length, noData, completion);
    }
    IOReturn clearPipeStallBothEnds(std::uint8_t pipe) override {
        return device_->clearStall(pipe);
    }
    IOReturn abortPipe(std::uint8_t pipe) override { return device_->abort(pipe); }
    IOReturn readPipeAsync(std::uint8_t pipe, void *buffer, std::uint32_t size, ReadCompletion done,
                           void *context, std::shared_ptr<void> keep) override {
        auto source = source_.lock();
        if (!source) return kIOReturnNoResources;  // no event source to deliver to
        return device_->submitRead(
            pipe, buffer, size,
            [source, done, context](IOReturn r, std::uint32_t n) {
                source->post([=] { done(context, r, n); });
            },
            std::move(keep));
    }
    IOReturn createAsyncEventSource(std::unique_ptr<EventSource> &out) override {
        auto source = std::make_shared<SimEventSource>();
        source_ = source;
        out = std::make_unique<SourceHandle>(source);
        return kIOReturnSuccess;
    }

  private:
    std::shared_ptr<CameraDevice> device_;
    std::weak_ptr<SimEventSource> source_;
    bool claimed_ = false;
};

class SimInterfaceRef final : public InterfaceRef {
  public:
    explicit SimInterfaceRef(std::shared_ptr<CameraDevice> device) : device_(std::move(device)) {}
    IOReturn createInterface(std::unique_ptr<Interface> &out) override {
        if (!device_->present()) return kIOReturnNoDevice;
        out = std::make_unique<SimInterface>(device_);
        return kIOReturnSuccess;
    }

  private:
    std::shared_ptr<CameraDevice> device_;
};

class SimDevice final : public Device {
  public:
    explicit SimDevice(std::shared_ptr<CameraDevice> device) : device_(std::move(device)) {}
    ~SimDevice() override {
        if (open_) device_->close();
    }
    IOReturn vendor(std::uint16_t &out) override { return identity(out, device_->vendor()); }
    IOReturn product(std::uint16_t &out) override { return identity(out, device_->product()); }
    IOReturn release(std::uint16_t &out) override { return identity(out, device_->release()); }
    IOReturn speed(std::uint8_t &out) override {
        if (!device_->present()) return kIOReturnNoDevice;
        out = kSpeedHigh;
        return kIOReturnSuccess;
    }
    IOReturn open() override {
        const IOReturn r = device_->open();
        open_ = r == kIOReturnSuccess;
        return r;
    }
    IOReturn close() override {
        open_ = false;
        return device_->close();
    }
    IOReturn configurationDescriptor(std::uint8_t index, std::vector<std::uint8_t> &out) override {
        if (!device_->present()) return kIOReturnNoDevice;
        if (index != 0) return kIOReturnBadArgument;
        out = device_->configurationDescriptor();
        return kIOReturnSuccess;
    }
    IOReturn setConfiguration(std::uint8_t value) override {
        if (!open_) return kIOReturnNotOpen;
        return device_->setConfiguration(value);
    }
    IOReturn interfaces(std::vector<std::shared_ptr<InterfaceRef>> &out) override {
        if (!device_->present()) return kIOReturnNoDevice;
        out.clear();
        out.push_back(std::make_shared<SimInterfaceRef>(device_));
        return kIOReturnSuccess;
    }
    IOReturn productStringIndex(std::uint8_t &out) override { return descriptorByte(15, out); }
    IOReturn serialStringIndex(std::uint8_t &out) override { return descriptorByte(16, out); }
    IOReturn deviceRequest(const Setup &setup, void *data, std::uint32_t &done,
                           std::uint32_t noData, std::uint32_t completion) override {
        return device_->control(setup, data, done, noData, completion, true);
    }

  private:
    IOReturn identity(std::uint16_t &out, std::uint16_t value) {
        if (!device_->present()) return kIOReturnNoDevice;
        out = value;
        return kIOReturnSuccess;
    }
    IOReturn descriptorByte(std::size_t at, std::uint8_t &out) {
        if (!device_->present()) return kIOReturnNoDevice;
        out = device_->deviceDescriptor()[at];
        return kIOReturnSuccess;
    }

    std::shared_ptr<CameraDevice> device_;
    bool open_ = false;
};

class SimDeviceRef final : public DeviceRef {
  public:
    explicit SimDeviceRef(std::shared_ptr<CameraDevice> device) : device_(std::move(device)) {}
    IOReturn createDevice(std::unique_ptr<Device> &out) override {
        if (!device_->present()) return kIOReturnNoDevice;
        out = std::make_unique<SimDevice>(device_);
        return kIOReturnSuccess;
    }

  private:
    std::shared_ptr<CameraDevice> device_;
};

class SimHost final : public Host {
  public:
    explicit SimHost(Bus &bus) : bus_(bus) {}
    IOReturn status() const override { return kIOReturnSuccess; }
    IOReturn match(const Match &what, std::vector<std::shared_ptr<DeviceRef>> &out) override {
        out.clear();
        for (auto &device : bus_.devices()) {
            if (!device->present() || device->vendor() != what.vendor) continue;
            if (what.product && device->product() != *what.product) continue;
            if (what.subclass && device->subclass() != *what.subclass) continue;
            out.push_back(std::make_shared<SimDeviceRef>(device));
        }
        return kIOReturnSuccess;
    }
    std::unique_ptr<EventLoop> createEventLoop() override {
        return std::make_unique<SimEventLoop>();
    }
    const char *name() const override { return "simulated"; }
    bool simulated() const override { return true; }

  private:
    Bus &bus_;
};

}  // namespace

std::unique_ptr<Host> makeSimulatedHost(Bus &bus) {
    return std::make_unique<SimHost>(bus);
}

}  // namespace vocam::sim
