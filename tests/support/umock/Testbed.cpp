#include "support/umock/Testbed.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "Simulator/SimBus.h"

namespace vocam::test::umock {

using usbhost::IOReturn;

namespace {

// What our device files tell libusb they can do: whole transfers in one URB,
// and URBs that can still be reaped after a disconnect.
constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
constexpr std::uint8_t kNoPipe = 0xFF;
constexpr int kBus = 1;
// How long a controller stays off the bus after its firmware starts.
constexpr int kReenumerationMs = 200;

// An ioctl argument resolved into our memory, released at scope end.
class Data {
  public:
    Data(UMockdevIoctlData *parent, std::size_t offset, std::size_t length)
        : data_(umockdev_ioctl_data_resolve(parent, offset, length, nullptr)) {}
    ~Data() {
        if (data_) umockdev_ioctl_data_unref(data_);
    }
    Data(const Data &) = delete;
    Data &operator=(const Data &) = delete;
    explicit operator bool() const { return data_ != nullptr && data_->data != nullptr; }
    UMockdevIoctlData *get() const { return data_; }
    template <typename T>
    T *as() const {
        return reinterpret_cast<T *>(data_->data);
    }
    UMockdevIoctlData *release() { return std::exchange(data_, nullptr); }

  private:
    UMockdevIoctlData *data_;
};

// Runs `use` on a request's argument of type T; EFAULT when it cannot be resolved.
template <class T, class F>
int withArg(UMockdevIoctlData *arg, F &&use) {
    Data d(arg, 0, sizeof(T));
    return d ? use(*d.as<T>()) : EFAULT;
}

// One submitted URB: the client's usbdevfs_urb and its data stage, copied to
// our side and written back when it is reaped.
struct Urb {
    UMockdevIoctlData *data = nullptr;
    UMockdevIoctlData *stage = nullptr;
    unsigned long clientAddr = 0;
    bool heldByCamera = false;  // a bulk IN the camera answers when it has data

    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(data->data); }
    std::uint8_t *buffer() const { return static_cast<std::uint8_t *>(urb()->buffer); }
    ~Urb() {
        if (stage) umockdev_ioctl_data_unref(stage);
        if (data) umockdev_ioctl_data_unref(data);
    }
};

// One camera on the bus, and the URBs of its device file.
struct Node {
    std::shared_ptr<sim::CameraDevice> camera;
    int devnum = 0;
    std::string syspath, devnode;
    bool gone = false;
    const void *owner = nullptr;  // the open file that holds interface 0
    std::vector<Urb *> flying;
    std::deque<Urb *> done;

    // Faults: the next request of a name failing with an errno, and bulk IN
    // URBs whose status and count are forced.
    std::map<std::string, int> requestFaults;
    struct {
        int status = 0, length = 0, count = 0;
    } urbFault;

    ~Node() {
        for (Urb *u : flying) delete u;
        for (Urb *u : done) delete u;
    }
};

// The requests the suites count or fail by name; the others are "OTHER".
#define VOCAM_USBFS_REQUEST(name) \
    { USBDEVFS_##name, #name }
const std::pair<unsigned long, const char *> kRequestNames[] = {
    VOCAM_USBFS_REQUEST(SUBMITURB),
    VOCAM_USBFS_REQUEST(SETINTERFACE),
    VOCAM_USBFS_REQUEST(SETCONFIGURATION),
    VOCAM_USBFS_REQUEST(CLEAR_HALT),
};
#undef VOCAM_USBFS_REQUEST

const char *requestName(unsigned long request) {
    for (const auto &[code, name] : kRequestNames)
        if (code == request) return name;
    return "OTHER";
}

// What `r` maps to in a table of {result, value}, or `otherwise`.
int lookUp(IOReturn r, std::initializer_list<std::pair<IOReturn, int>> table, int otherwise) {
    for (auto [result, value] : table)
        if (result == r) return value;
    return otherwise;
}

// The status the kernel gives a URB for what the device did. No handshake, a
// garbled packet: the host controller reports a protocol error.
int urbStatus(IOReturn r) {
    using namespace usbhost;
    return lookUp(r,
                  {{kIOReturnSuccess, 0},
                   {kIOReturnPipeStalled, -EPIPE},
                   {kIOReturnOverrun, -EOVERFLOW},
                   {kIOReturnNoDevice, -ESHUTDOWN},
                   {kIOReturnAborted, -ENOENT}},
                  -EPROTO);
}

// The errno of a usbfs request the device answered so (0: it did not refuse).
int requestErrno(IOReturn r) {
    using namespace usbhost;
    return lookUp(r,
                  {{kIOReturnSuccess, 0},
                   {kIOReturnNoDevice, ENODEV},
                   {kIOReturnExclusiveAccess, EBUSY},
                   {kIOReturnBadArgument, EINVAL},
                   {kIOReturnNotOpen, EINVAL},
                   {kIOReturnPipeStalled, EPIPE}},
                  EIO);
}

// The pipe an endpoint address is in the camera's current alternate setting:
// 0 for the default pipe, kNoPipe when the setting has no such endpoint.
std::uint8_t pipeFor(const sim::CameraDevice &camera, std::uint8_t endpoint) {
    if ((endpoint & 0x7F) == 0) return 0;
    std::uint8_t address = 0, attributes = 0;
    for (std::uint8_t pipe = 1; camera.pipeEndpoint(pipe, address, attributes); ++pipe)
        if (address == endpoint) return pipe;
    return kNoPipe;
}

std::string hex(const std::vector<std::uint8_t> &bytes) {
    constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) out += {kDigits[b >> 4], kDigits[b & 0xF]};
    return out;
}

}  // namespace

struct Testbed::Impl {
    UMockdevTestbed *bed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::mutex bedLock;                                  // calls into the testbed
    mutable std::mutex lock;                             // everything below
    std::map<std::string, std::shared_ptr<Node>> nodes;  // by device file, departed ones too
    std::vector<std::string> requests;
    int nextDevnum = 2;
    std::uint64_t generation = 0;
    std::vector<std::thread> returning;

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
        const int error = static_cast<Impl *>(self)->dispatch(client);
        umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
        return TRUE;
    }

    // Every node has a camera of its own; departed nodes stay listed.
    std::shared_ptr<Node> find(const sim::CameraDevice *camera) {
        std::lock_guard guard(lock);
        for (auto &[path, node] : nodes)
            if (node->camera.get() == camera) return node;
        return nullptr;
    }

    // Answers one request; the errno to fail it with, or 0.
    int dispatch(UMockdevIoctlClient *client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        std::shared_ptr<Node> node;
        {
            std::lock_guard guard(lock);
            const auto it = nodes.find(umockdev_ioctl_client_get_devnode(client));
            if (it != nodes.end()) node = it->second;
            if (request != USBDEVFS_REAPURBNDELAY) requests.emplace_back(requestName(request));
        }
        if (!node) return ENODEV;
        if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
            return reap(*node, arg);
        {
            std::lock_guard guard(lock);
            if (node->gone) return ENODEV;
            // An armed failure of this request fails it once.
            if (auto fault = node->requestFaults.extract(requestName(request)))
                return fault.mapped();
        }
        sim::CameraDevice &camera = *node->camera;
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES:
                return withArg<std::uint32_t>(arg, [](std::uint32_t &caps) {
                    caps = kCapabilities;
                    return 0;
                });
            case USBDEVFS_CONNECTINFO:
                return withArg<usbdevfs_connectinfo>(arg, [&](usbdevfs_connectinfo &info) {
                    info.devnum = static_cast<unsigned>(node->devnum);
                    info.slow = 0;
                    return 0;
                });
            case USBDEVFS_CLAIMINTERFACE:
                return withArg<unsigned int>(
                    arg, [&](unsigned int number) { return claim(*node, client, number); });
            case USBDEVFS_DISCONNECT_CLAIM:
                return withArg<usbdevfs_disconnect_claim>(arg, [&](usbdevfs_disconnect_claim &dc) {
                    return claim(*node, client, dc.interface);
                });
            case USBDEVFS_RELEASEINTERFACE:
                return withArg<unsigned int>(
                    arg, [&](unsigned int number) { return release(*node, client, number); });
            case USBDEVFS_SETINTERFACE:
                return withArg<usbdevfs_setinterface>(arg, [&](usbdevfs_setinterface &set) {
                    if (set.interface != 0) return EINVAL;
                    return requestErrno(
                        camera.setAlternate(static_cast<std::uint8_t>(set.altsetting)));
                });
            case USBDEVFS_SETCONFIGURATION:
                return withArg<int>(arg, [&](int value) {
                    const IOReturn r = camera.setConfiguration(static_cast<std::uint8_t>(value));
                    if (r != 0) return requestErrno(r);
                    std::lock_guard guard(bedLock);
                    umockdev_testbed_set_attribute_int(bed, node->syspath.c_str(),
                                                       "bConfigurationValue", value);
                    return 0;
                });
            case USBDEVFS_CLEAR_HALT:
                return withArg<unsigned int>(arg, [&](unsigned int endpoint) {
                    const std::uint8_t pipe = pipeFor(camera, static_cast<std::uint8_t>(endpoint));
                    if (pipe == kNoPipe) return ENOENT;
                    return requestErrno(camera.clearStall(pipe));
                });
            // No kernel driver is ever bound to our interface.
            case USBDEVFS_GETDRIVER:
                return ENODATA;
            case USBDEVFS_IOCTL:
                return withArg<usbdevfs_ioctl>(arg, [](usbdevfs_ioctl &c) {
                    if (c.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) return ENODATA;
                    return c.ioctl_code == static_cast<int>(USBDEVFS_CONNECT) ? 0 : ENOTTY;
                });
            case USBDEVFS_SUBMITURB:
                return submit(node, arg);
            case USBDEVFS_DISCARDURB:
                return discard(*node, arg);
            default:
                return ENOTTY;
        }
    }

    int claim(Node &node, const void *client, unsigned int number) {
        if (number != 0) return ENOENT;
        {
            std::lock_guard guard(lock);
            if (node.owner == client) return 0;
        }
        // The camera model keeps its one client as an open device with a
        // claimed interface; another file claiming it finds it busy.
        IOReturn r = node.camera->open();
        if (r != 0) return requestErrno(r);
        r = node.camera->claim();
        if (r != 0) {
            node.camera->close();
            return requestErrno(r);
        }
        std::lock_guard guard(lock);
        node.owner = client;
        return 0;
    }

    int release(Node &node, const void *client, unsigned int number) {
        if (number != 0) return EINVAL;
        {
            std::lock_guard guard(lock);
            if (node.owner != client) return EINVAL;
            node.owner = nullptr;
        }
        node.camera->release_();
        node.camera->close();
        return 0;
    }

    void complete(Node &node, Urb *u, int status, std::uint32_t actual) {
        std::lock_guard guard(lock);
        std::erase(node.flying, u);
        // The kernel never reports more than the buffer took.
        int length = static_cast<int>(
            std::min<std::uint32_t>(actual, static_cast<std::uint32_t>(u->urb()->buffer_length)));
        if ((u->urb()->endpoint & 0x80) != 0 && u->urb()->type != USBDEVFS_URB_TYPE_CONTROL &&
            node.urbFault.count > 0 && status != -ENOENT) {
            --node.urbFault.count;
            status = node.urbFault.status;
            length = node.urbFault.length;
        }
        u->urb()->status = status;
        u->urb()->actual_length = length;
        node.done.push_back(u);
    }

    int submit(const std::shared_ptr<Node> &node, UMockdevIoctlData *arg) {
        Data data(arg, 0, sizeof(usbdevfs_urb));
        if (!data) return EFAULT;
        auto *raw = data.as<usbdevfs_urb>();
        if (raw->buffer_length < 0) return EINVAL;
        auto u = std::make_unique<Urb>();
        u->clientAddr = data.get()->client_addr;
        if (raw->buffer_length > 0) {
            u->stage =
                umockdev_ioctl_data_resolve(data.get(), offsetof(usbdevfs_urb, buffer),
                                            static_cast<std::size_t>(raw->buffer_length), nullptr);
            if (u->stage == nullptr) return EFAULT;
        }
        u->data = data.release();
        usbdevfs_urb &urb = *u->urb();
        urb.status = 0;
        urb.actual_length = 0;
        sim::CameraDevice &camera = *node->camera;
        const auto length = static_cast<std::uint32_t>(urb.buffer_length);
        std::uint8_t *buffer = u->buffer();

        if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
            if (length < 8) return EINVAL;
            // The setup packet's words are little-endian on the wire.
            auto word = [buffer](int at) {
                return std::uint16_t(buffer[at] | buffer[at + 1] << 8);
            };
            const usbhost::Setup s{buffer[0], buffer[1], word(2), word(4), word(6)};

            if (s.wLength > length - 8) return EINVAL;
            std::uint8_t *stage = buffer + 8;
            std::uint32_t done = 0;
            IOReturn r;
            if (s.bmRequestType == 0x82 && s.bRequest == 0 && s.wLength >= 2) {
                // GET_STATUS of an endpoint: its halt bit.
                r = camera.pipeStatus(pipeFor(camera, static_cast<std::uint8_t>(s.wIndex)));
                if (r == 0 || r == usbhost::kIOReturnPipeStalled) {
                    stage[0] = r == 0 ? 0 : 1;
                    stage[1] = 0;
                    done = 2;
                    r = 0;
                } else if (r == usbhost::kIOReturnBadArgument) {
                    r = usbhost::kIOReturnPipeStalled;
                }
            } else {
                r = camera.control(s, s.wLength ? stage : nullptr, done, 0, 0, false);
            }
            Urb *tracked = u.release();
            std::lock_guard guard(lock);
            node->flying.push_back(tracked);
            // A device that never answers: the URB stays until the host gives up on it.
            if (r == usbhost::kIOReturnTimeout) return 0;
            node->flying.pop_back();
            tracked->urb()->status = urbStatus(r);
            tracked->urb()->actual_length = static_cast<int>(done);
            node->done.push_back(tracked);
            return 0;
        }
        if (urb.type != USBDEVFS_URB_TYPE_BULK && urb.type != USBDEVFS_URB_TYPE_INTERRUPT)
            return EINVAL;
        const std::uint8_t pipe = pipeFor(camera, urb.endpoint);
        if (pipe == kNoPipe || pipe == 0) return ENOENT;
        // As the kernel checks: a bulk URB goes to a bulk endpoint (or, as
        // one shot, to an interrupt one), an interrupt URB to an interrupt one.
        std::uint8_t address = 0, attributes = 0;
        if (!camera.pipeEndpoint(pipe, address, attributes)) return ENOENT;
        const int type = attributes & 3;
        if (urb.type == USBDEVFS_URB_TYPE_BULK ? (type != 2 && type != 3) : type != 3)
            return EINVAL;
        Urb *tracked = u.release();
        if ((urb.endpoint & 0x80) == 0) {
            std::uint32_t moved = 0;
            const IOReturn r = camera.bulkOut(pipe, buffer, length, 0, 0, &moved);
            complete(*node, tracked, urbStatus(r), moved);
            return 0;
        }
        if (camera.bulkInAnswersNow(pipe)) {
            std::uint32_t got = length;
            const IOReturn r = camera.bulkIn(pipe, buffer, got, 0, 0);
            complete(*node, tracked, urbStatus(r), got);
            return 0;
        }
        // Nothing to send yet: the URB waits for the camera's data.
        {
            std::lock_guard guard(lock);
            tracked->heldByCamera = true;
            node->flying.push_back(tracked);
        }
        std::weak_ptr<Node> weak = node;
        const IOReturn r = camera.submitRead(
            pipe, buffer, length, [this, weak, tracked](IOReturn result, std::uint32_t n) {
                if (auto held = weak.lock()) complete(*held, tracked, urbStatus(result), n);
            });
        if (r != 0) complete(*node, tracked, urbStatus(r), 0);
        return 0;
    }

    int discard(Node &node, UMockdevIoctlData *arg) {
        const unsigned long address = *reinterpret_cast<unsigned long *>(arg->data);
        Urb *found = nullptr;
        {
            std::lock_guard guard(lock);
            for (Urb *u : node.flying)
                if (u->clientAddr == address) found = u;
        }
        if (found == nullptr) return EINVAL;  // already complete, or never ours
        // Once the camera has taken the read its completion is on the way.
        if (found->heldByCamera && !node.camera->withdrawRead(found->buffer())) return EINVAL;
        complete(node, found, -ENOENT, 0);
        return 0;
    }

    int reap(Node &node, UMockdevIoctlData *arg) {
        Urb *u = nullptr;
        {
            std::lock_guard guard(lock);
            if (node.done.empty()) return node.gone ? ENODEV : EAGAIN;
            u = node.done.front();
            node.done.pop_front();
        }
        Data where(arg, 0, sizeof(void *));
        if (!where) {
            delete u;
            return EFAULT;
        }
        // The client gets its own URB back, with status, count and data stage.
        umockdev_ioctl_data_set_ptr(where.get(), 0, u->data);
        delete u;
        return 0;
    }

    // Marks a node departed: its waiting URBs finish as at a disconnect.
    bool depart(const std::shared_ptr<Node> &node) {
        {
            std::lock_guard guard(lock);
            if (node->gone) return false;
            node->gone = true;
            node->owner = nullptr;
            std::erase_if(node->flying, [&](Urb *u) {
                if (u->heldByCamera) return false;
                u->urb()->status = -ESHUTDOWN;
                u->urb()->actual_length = 0;
                node->done.push_back(u);
                return true;
            });
        }
        // Reads the camera holds complete with "no device" through its worker.
        node->camera->unplug();
        return true;
    }

    void removeFromBed(const std::shared_ptr<Node> &node) {
        std::lock_guard guard(bedLock);
        umockdev_testbed_uevent(bed, node->syspath.c_str(), "remove");
        umockdev_testbed_remove_device(bed, node->syspath.c_str());
    }

    std::shared_ptr<sim::CameraDevice> attach(sim::CameraConfig config) {
        auto node = std::make_shared<Node>();
        node->camera = std::make_shared<sim::CameraDevice>(std::move(config));
        {
            std::lock_guard guard(lock);
            node->devnum = nextDevnum++;
        }
        char path[64];
        std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", kBus, node->devnum);
        node->devnode = path;
        std::snprintf(path, sizeof path, "/sys/devices/usb%d/%d-%d", kBus, kBus, node->devnum);
        node->syspath = path;
        std::weak_ptr<Node> weak = node;
        node->camera->onReenumerate([this, weak](std::optional<sim::CameraConfig> next) {
            reenumerate(weak.lock(), std::move(next));
        });

        const sim::CameraDevice &c = *node->camera;
        std::vector<std::uint8_t> descriptors = c.deviceDescriptor();
        const std::vector<std::uint8_t> configuration = c.configurationDescriptor();
        descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
        char text[512];
        std::snprintf(
            text, sizeof text,
            "P: /devices/usb%d/%d-%d\nN: bus/usb/%03d/%03d\nE: SUBSYSTEM=usb\nE: DRIVER=usb\n"
            "E: DEVTYPE=usb_device\nE: BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=%s\n"
            "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
            "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n",
            kBus, kBus, node->devnum, kBus, node->devnum, kBus, node->devnum, node->devnode.c_str(),
            kBus, node->devnum, c.vendor(), c.product());
        const std::string description =
            std::string(text) + "H: descriptors=" + hex(descriptors) + "\n";

        std::lock_guard guard(bedLock);
        GError *error = nullptr;
        auto check = [&](bool ok, const char *what) {
            if (ok) return;
            const std::string message = error ? error->message : "unknown";
            g_clear_error(&error);
            throw std::runtime_error(std::string(what) + ": " + message);
        };
        // The device file answers before anyone can learn that it exists.
        check(umockdev_testbed_attach_ioctl(bed, node->devnode.c_str(), handler, &error),
              "umockdev_testbed_attach_ioctl");
        {
            std::lock_guard nodesGuard(lock);
            nodes[node->devnode] = node;
        }
        check(umockdev_testbed_add_from_string(bed, description.c_str(), &error),
              "umockdev_testbed_add_from_string");
        // The first "add" leaves before the binary descriptors are written;
        // a second one finds the device complete.
        umockdev_testbed_uevent(bed, node->syspath.c_str(), "add");
        return node->camera;
    }

    // The controller's firmware starts: the device leaves, and comes back with
    // its new identity unless the bus was cleared meanwhile.
    void reenumerate(const std::shared_ptr<Node> &node, std::optional<sim::CameraConfig> next) {
        if (!node) return;
        depart(node);
        std::lock_guard guard(lock);
        const std::uint64_t seen = generation;
        returning.emplace_back([this, node, seen, next = std::move(next)]() mutable {
            removeFromBed(node);
            if (!next) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(kReenumerationMs));
            {
                std::lock_guard check(lock);
                if (seen != generation) return;
            }
            // Nothing may escape this thread; a camera that cannot come back
            // shows in the test as one that never arrived.
            try {
                attach(std::move(*next));
            } catch (const std::exception &e) {
                std::fprintf(stderr, "umock: re-enumeration failed: %s\n", e.what());
            }
        });
    }

    void unplug(const std::shared_ptr<Node> &node) {
        if (depart(node)) removeFromBed(node);
    }

    void clear() {
        std::vector<std::thread> waiting;
        {
            std::lock_guard guard(lock);
            ++generation;
            waiting.swap(returning);
        }
        for (auto &t : waiting) t.join();
        std::vector<std::shared_ptr<Node>> live;
        {
            std::lock_guard guard(lock);
            for (auto &[path, node] : nodes)
                if (!node->gone) live.push_back(node);
        }
        for (auto &node : live) unplug(node);
    }
};

bool Testbed::active() {
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

Testbed &Testbed::instance() {
    static Testbed bed;
    return bed;
}

Testbed::Testbed() : impl_(std::make_unique<Impl>()) {
    impl_->bed = umockdev_testbed_new();
    impl_->handler = umockdev_ioctl_base_new();
    g_signal_connect(impl_->handler, "handle-ioctl", G_CALLBACK(&Impl::onIoctl), impl_.get());
}

Testbed::~Testbed() {
    impl_->clear();
    g_object_unref(impl_->bed);
    g_object_unref(impl_->handler);
}

bool Testbed::configure(const std::string &description) {
    std::vector<sim::CameraConfig> configs;
    std::string error;
    if (!sim::parseDescription(description, configs, error)) {
        std::fprintf(stderr, "error: VOCAM_SIM: %s\n", error.c_str());
        return false;
    }
    for (auto &c : configs) impl_->attach(std::move(c));
    return true;
}

std::shared_ptr<sim::CameraDevice> Testbed::attach(sim::CameraConfig config) {
    return impl_->attach(std::move(config));
}

void Testbed::unplug(const std::shared_ptr<sim::CameraDevice> &camera) {
    if (auto node = impl_->find(camera.get())) impl_->unplug(node);
}

void Testbed::clear() {
    impl_->clear();
}

std::vector<std::shared_ptr<sim::CameraDevice>> Testbed::devices() const {
    std::lock_guard guard(impl_->lock);
    // Device files are numbered in order of arrival, with leading zeros.
    std::vector<std::shared_ptr<sim::CameraDevice>> out;
    for (auto &[path, node] : impl_->nodes)
        if (!node->gone) out.push_back(node->camera);
    return out;
}

void Testbed::failRequest(const std::shared_ptr<sim::CameraDevice> &camera, const std::string &name,
                          int error) {
    auto node = impl_->find(camera.get());
    if (!node) return;
    std::lock_guard guard(impl_->lock);
    node->requestFaults[name] = error;
}

void Testbed::overrideUrbs(const std::shared_ptr<sim::CameraDevice> &camera, int status, int length,
                           int count) {
    auto node = impl_->find(camera.get());
    if (!node) return;
    std::lock_guard guard(impl_->lock);
    node->urbFault = {status, length, count};
}

std::vector<std::string> Testbed::takeRequests() {
    std::lock_guard guard(impl_->lock);
    return std::exchange(impl_->requests, {});
}

}  // namespace vocam::test::umock
