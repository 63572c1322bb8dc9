#include "common.h"

#include "images.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace vocam::cli {

Globals globals;

namespace {

std::atomic<bool> stopRequested{false};
// The camera whose stream Ctrl-C stops and the scopes that look at
// interrupted() themselves; guarded so the handle cannot be closed under the
// signal thread.
std::mutex streamingLock;
_vocam *streamingCamera = nullptr;
int pollers = 0;

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

int Stream::next(Clock::time_point deadline) {
    for (;;) {
        if (interrupted()) return kEnded;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return kTimedOut;
        // Slices short enough to see a Ctrl-C that came between two waits.
        const int r = vocam_wait_for_capture_to_buffer_timeout(
            camera_, static_cast<std::uint32_t>(std::min<long long>(left, 200)));
        if (r >= 0) return r;
        // -22: the newest frame's buffer was taken for the next read.
        if (r == -22 || r == VOCAM_WAIT_TIMED_OUT) continue;
        if (!interrupted()) end_ = r;
        return kEnded;
    }
}

Stream::Clock::duration Stream::patience() const {
    int exposure = 0;
    std::uint32_t flags = 0, rate = 0;
    vocam_property_get(camera_, VOCAM_PROP_EXPOSURE, &exposure, &flags);
    vocam_get_data_rate(camera_, &rate);
    double seconds = static_cast<std::uint32_t>(exposure) / 1e6;
    if (rate > 0) seconds += vocam_get_video_frame_size(camera_) / (rate * 1000.0);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) +
           std::chrono::seconds(2);
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
            std::unique_lock lock(streamingLock);
            // A second Ctrl-C does not wait for the first to finish; nor does
            // one that comes where nothing looks for it (the library's
            // bring-up and open cannot be cancelled).
            const bool again = stopRequested.exchange(true);
            if (!again && streamingCamera != nullptr) {
                vocam_stop_streaming(streamingCamera);
            } else if (again || pollers == 0) {
                removeTemporaryFiles();
                if (!again) errorLine("error: interrupted");
                _exit(kExitInterrupted);
            }
        }
    }).detach();
}

Polling::Polling() {
    std::lock_guard lock(streamingLock);
    ++pollers;
}

Polling::~Polling() {
    std::lock_guard lock(streamingLock);
    --pollers;
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

void errorLine(const std::string &line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

namespace {

// The library's latest lines, where the tool looks up the reason for a
// failure whether or not they were shown.
std::mutex libraryLock;
std::deque<std::string> libraryLines;
constexpr std::size_t kKeptLines = 512;

void fromLibrary(int kind, const char *line, void *) {
    if (globals.verbose) {
        std::FILE *out = kind == VOCAM_LOG_TRACE ? stdout : stderr;
        std::fputs(line, out);
        std::fflush(out);
    }
    std::lock_guard lock(libraryLock);
    libraryLines.emplace_back(line);
    if (libraryLines.size() > kKeptLines) libraryLines.pop_front();
}

}  // namespace

void routeLibraryLines() {
    vocam_set_log_handler(fromLibrary, nullptr);
}

std::string libraryLine(const std::string &prefix) {
    std::lock_guard lock(libraryLock);
    for (auto it = libraryLines.rbegin(); it != libraryLines.rend(); ++it)
        if (it->compare(0, prefix.size(), prefix) == 0) {
            std::string line = *it;
            while (!line.empty() && line.back() == '\n') line.pop_back();
            return line;
        }
    return "";
}

void checkSimulatedBus() {
    if (const std::string line = libraryLine("error: VOCAM_SIM"); !line.empty())
        throw Failure(line.substr(0, 7) + "--sim" + line.substr(16), kExitUsage);
}

}  // namespace vocam::cli
