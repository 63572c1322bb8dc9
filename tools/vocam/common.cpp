#include "common.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace vocam::cli {

Globals globals;

namespace {

std::atomic<bool> stopRequested{false};
// The camera whose stream Ctrl-C stops; guarded so the handle cannot be
// closed under the signal thread.
std::mutex streamingLock;
_vocam *streamingCamera = nullptr;

}  // namespace

void bringUp() {
    static bool done = false;
    if (done) return;
    done = true;
    const int r = vocam_init(globals.resources.empty() ? nullptr : globals.resources.c_str());
    if (r < 0)
        throw Failure("error: bringing the cameras up failed (" + codeText(r) +
                      "); run 'vocam init' to see each step");
}

namespace {

std::string hex4(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// Why a camera could not be opened, as far as the library's lines tell.
std::string openFailure(const std::string &camera) {
    const std::string why = libraryLine("usb_open_device: usb device open error: ");
    if (why.ends_with(" is in use by another program"))
        return camera + " is in use by another program (close that program and try again)";
    if (why.find(": no permission to open camera ") != std::string::npos)
        return camera +
               " could not be opened: you have no access to it (install the udev rule, see the "
               "README)";
    return camera +
           " could not be opened: another program is using it, or you have no access to it "
           "(install the udev rule, see the README)";
}

}  // namespace

std::optional<std::uint32_t> unreachableCamera() {
    vocam_camera_state states[64];
    std::uint32_t count = 64;
    if (vocam_get_camera_states(states, &count) < 0) return std::nullopt;
    for (std::uint32_t i = 0; i < count && i < 64; ++i)
        if (states[i].state == VOCAM_STATE_UNREACHABLE) return states[i].product_id;
    return std::nullopt;
}

Camera::Camera(std::uint32_t serial) {
    bringUp();
    vocam_version records[64];
    std::uint32_t count = 64;
    const int found = vocam_enum_cameras(records, &count);
    if (found < 0) throw Failure("error: listing the cameras failed (" + codeText(found) + ")");
    const vocam_version *wanted = nullptr;
    for (std::uint32_t i = 0; i < count && i < 64; ++i)
        if (serial == 0 || records[i].serial_number == serial) {
            wanted = &records[i];
            break;
        }
    if (wanted == nullptr) {
        checkSimulatedBus();
        if (serial == 0)
            if (const auto held = unreachableCamera())
                throw Failure(openFailure("error: camera " + hex4(*held)));
        std::uint32_t boot = 0;
        vocam_enum_boot_controllers(nullptr, &boot);
        if (serial != 0)
            throw Failure("error: no camera with serial " + std::to_string(serial) +
                          " (vocam list shows the cameras)");
        throw Failure(boot > 0 ? "error: no camera is ready: " + std::to_string(boot) +
                                     " still wait for firmware (check --resources, run vocam init)"
                               : std::string("error: no camera found (vocam list shows the bus)"));
    }
    vocam_version request = *wanted;
    const int r = vocam_camera_open(&handle_, &request);
    if (r < 0 || handle_ == nullptr)
        throw Failure(openFailure("error: camera " + std::to_string(wanted->serial_number)));
    vocam_get_version(handle_, &version_);
}

Camera::~Camera() {
    vocam_camera_close(&handle_);
}

std::string Camera::name() const {
    char text[64] = {};
    if (vocam_get_model_name(handle_, text, sizeof text) != 0) return "?";
    return text;
}

Stream::Stream(_vocam *camera) : camera_(camera) {
    if (const int r = vocam_enable_streaming(camera); r < 0)
        throw Failure("error: the camera refused to stream (" + codeText(r) + ")");
    {
        std::lock_guard lock(streamingLock);
        streamingCamera = camera;
    }
    if (const int r = vocam_start_streaming(camera); r < 0) {
        {
            std::lock_guard lock(streamingLock);
            streamingCamera = nullptr;
        }
        vocam_disable_streaming(camera);
        throw Failure("error: video did not start (" + codeText(r) + ")");
    }
}

Stream::~Stream() {
    {
        std::lock_guard lock(streamingLock);
        streamingCamera = nullptr;
    }
    vocam_stop_streaming(camera_);
    vocam_disable_streaming(camera_);
}

int Stream::next() {
    for (;;) {
        if (interrupted()) return -1;
        const int r = vocam_wait_for_capture_to_buffer(camera_);
        if (r >= 0) return r;
        // -22: the newest frame's buffer was taken for the next read.
        if (r != -22) return -1;
    }
}

void Stream::release(int index) {
    vocam_release_buffer(camera_, index);
}

const std::vector<PropertyName> &propertyNames() {
    static const std::vector<PropertyName> names = [] {
        std::vector<PropertyName> out;
        for (const auto &c : controls::all())
            if (c.kind == controls::Kind::Property) out.push_back(c);
        return out;
    }();
    return names;
}

PropertyName findProperty(std::string_view text) {
    for (const auto &p : propertyNames())
        if (text == p.name) return p;
    if (const auto id = parseInteger(text); id && *id >= 0 && *id <= 0xFFFF) {
        for (const auto &p : propertyNames())
            if (p.id == static_cast<std::uint32_t>(*id)) return p;
        return {"", static_cast<std::uint32_t>(*id), Unit::Plain, false, ""};
    }
    usage("error: unknown property '" + std::string(text) +
          "' (vocam info lists them, or give a number)");
}

int fromReadable(const PropertyName &p, double value) {
    if (const auto word = controls::toRegister(p, value)) return *word;
    throw Failure("error: " + std::string(p.name) + " value out of range");
}

bool interrupted() {
    return stopRequested.load();
}

void installSignalThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            // A second Ctrl-C does not wait for the first to finish.
            if (stopRequested.exchange(true)) _exit(130);
            std::lock_guard lock(streamingLock);
            if (streamingCamera != nullptr) vocam_stop_streaming(streamingCamera);
        }
    }).detach();
}

std::optional<long long> parseInteger(std::string_view text) {
    long long value = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string codeText(int code) {
    return std::string(vocam_strerror(code)) + ", " + std::to_string(code);
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

namespace {
FILE *toolErrors = stderr;
}

void errorLine(const std::string &line) {
    std::fprintf(toolErrors, "%s\n", line.c_str());
    std::fflush(toolErrors);
}

namespace {
int libraryLog = -1;
}

// Moves the library's lines (which go to file descriptor 2) into a file in
// memory, where the tool can look up the reason for a failure, and keeps a
// stream of the tool's own on the original standard error.
void quietLibrary() {
    const int saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
    const int log = memfd_create("vocam-library-log", MFD_CLOEXEC);
    if (saved < 0 || log < 0) {
        if (saved >= 0) close(saved);
        if (log >= 0) close(log);
        return;
    }
    if (FILE *own = fdopen(saved, "w"); own != nullptr) {
        toolErrors = own;
        dup2(log, 2);
        libraryLog = log;
    } else {
        close(saved);
        close(log);
    }
}

std::string libraryLine(const std::string &prefix) {
    std::fflush(stderr);
    if (libraryLog < 0) return "";
    const off_t size = lseek(libraryLog, 0, SEEK_END);
    // The last few kilobytes hold the lines of the call that just failed.
    const off_t from = size > 65536 ? size - 65536 : 0;
    std::string text(static_cast<std::size_t>(size - from), '\0');
    if (pread(libraryLog, text.data(), text.size(), from) != static_cast<ssize_t>(text.size()))
        return "";
    std::string found;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        if (text.compare(at, prefix.size(), prefix) == 0) found = text.substr(at, end - at);
        at = end + 1;
    }
    return found;
}

void checkSimulatedBus() {
    if (const std::string line = libraryLine("error: VOCAM_SIM"); !line.empty())
        throw Failure(line.substr(0, 7) + "--sim" + line.substr(16), kExitUsage);
}

}  // namespace vocam::cli
