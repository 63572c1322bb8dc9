// The compiled part of the `vocam` Python package: cameras, properties with
// units, streaming with frames as NumPy views on the library's ring buffers,
// conversion and the one-shot auto calls, over the flat C interface.
//
// Lifetimes. A ring buffer handed out by the frame wait is held (not returned
// to the ring) for as long as anything in Python can still reach its memory:
// the Frame until it is released, and every NumPy array viewing it. NumPy
// cannot revoke an array that already exists, so instead of invalidating such
// an array the buffer stays held, and the ring's memory stays allocated, until
// the last array is gone; a released Frame refuses further use at once. Closing
// the camera stops the stream at once and frees the handle when the last view
// goes. So no array ever reads memory that was freed or reused for a frame.
//
// Threads. The GIL is released around every call that can wait; a frame wait
// is made of bounded waits of the library's, with the GIL taken back between
// them to run signal handlers, so Ctrl-C is never stuck behind a camera that
// sends nothing. One mutex per camera keeps two Python threads from entering
// the library on the same handle at once (the frame wait and the stop are left
// outside it: stopping is how a blocked wait is ended). The mutex is only ever
// taken without the GIL or by code that never waits for the GIL while holding
// it.
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "astro.h"
#include "common.h"
#include "controls.h"
#include "rawframe.h"
#include "vocamapi.h"

namespace py = pybind11;
namespace cli = vocam::cli;
namespace controls = vocam::controls;

namespace {

// ---- errors ----------------------------------------------------------------

// A failed library call: becomes vocam.Error with the call's code.
struct Failure {
    int code;
    std::string message;
};

py::object &errorType() {
    static py::object type;  // set at import, lives as long as the module
    return type;
}
py::object &timeoutType() {
    static py::object type;  // vocam.Timeout, a vocam.Error that is also a TimeoutError
    return type;
}

// A refusal of the binding's own, carrying the library code that means it.
[[noreturn]] void fail(int code, const std::string &message) {
    throw Failure{code, message};
}

// A library call's failure, named and explained.
int check(int status, const char *call) {
    if (status < 0)
        fail(status, std::string(call) + " failed: " + vocam_strerror(status) + " (" +
                         std::to_string(status) + ")");
    return status;
}

[[noreturn]] void raiseValue(const std::string &message) {
    throw py::value_error(message);
}
[[noreturn]] void raiseType(const std::string &message) {
    throw py::type_error(message);
}

// Bring-up, enumeration and open touch the bus; after the first of them the
// simulated bus can no longer be chosen.
std::atomic<bool> busUsed{false};

// A single-precision value of the library as the double Python shows: the
// shortest decimal that reads back as the same float, so 0.01f is 0.01.
double shown(float f) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, f).ptr;
    *end = '\0';
    return std::strtod(text, nullptr);
}

// Seconds as Python would print them (0.25, not 0.250000).
std::string secondsText(double s) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, s).ptr;
    return std::string(text, end);
}

// ---- the library's lines --------------------------------------------------------

// Every line the library writes goes to logging.getLogger("vocam"): errors as
// ERROR, information (open, format, bring-up) as INFO, the white balance's
// trace as DEBUG. The library calls its handler from any thread (its stream
// thread too) with a lock of its own held, so the handler must not wait for
// the GIL: a Python thread holding the GIL may be calling the library for
// that same lock. It queues the line and asks the interpreter for a pending
// call, which the main thread runs as soon as it runs Python code again (a
// camera call's lines are logged before the next statement).
struct LibraryLines {
    std::mutex lock;
    std::deque<std::pair<int, std::string>> lines;
    std::uint64_t dropped = 0;  // beyond the queue's bound, while Python was busy
    bool scheduled = false;     // a pending call will empty the queue
};
LibraryLines &libraryLines() {
    static auto *lines = new LibraryLines;  // outlives the interpreter's teardown
    return *lines;
}
constexpr std::size_t kQueuedLines = 10000;

// With the GIL. A Ctrl-C that lands in a logging handler is raised to the
// caller (false with the error set); any other failure of logging is
// reported as unraisable: it must not fail a camera call.
bool drainLibraryLines() {
    LibraryLines &q = libraryLines();
    try {
        py::object logger = py::module_::import("logging").attr("getLogger")("vocam");
        for (;;) {
            std::deque<std::pair<int, std::string>> lines;
            std::uint64_t dropped;
            {
                std::lock_guard lock(q.lock);
                q.scheduled = false;
                lines.swap(q.lines);
                dropped = std::exchange(q.dropped, 0);
            }
            if (lines.empty() && dropped == 0) return true;
            if (dropped != 0)
                logger.attr("warning")(std::to_string(dropped) +
                                       " lines of the library were dropped while Python was busy");
            for (auto &[kind, text] : lines) {
                while (!text.empty() && text.back() == '\n') text.pop_back();
                const int level = kind == VOCAM_LOG_ERROR ? 40 : kind == VOCAM_LOG_INFO ? 20 : 10;
                logger.attr("log")(level, "%s", text);
            }
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) {
            e.restore();
            return false;
        }
        e.discard_as_unraisable("vocam: logging a line of the library");
    }
    return true;
}

int pendingDrain(void *) {
    return drainLibraryLines() ? 0 : -1;
}

void fromLibrary(int kind, const char *line, void *) {
    LibraryLines &q = libraryLines();
    std::lock_guard lock(q.lock);
    if (q.lines.size() >= kQueuedLines) {
        q.lines.pop_front();
        ++q.dropped;
    }
    q.lines.emplace_back(kind, line);
    // Callable without the GIL from any thread; should the interpreter's own
    // queue be full, the next line asks again.
    if (!q.scheduled) q.scheduled = Py_AddPendingCall(pendingDrain, nullptr) == 0;
}

// ---- argument checks -------------------------------------------------------

// A real number for a property: bool is refused although Python counts it as
// an int, and so are NaN and infinities.
double realArg(py::handle value, const char *name) {
    if (py::isinstance<py::bool_>(value) ||
        !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)))
        raiseType(std::string(name) + " must be a number, not " +
                  std::string(py::str(py::type::of(value).attr("__name__"))));
    const double v = value.cast<double>();
    if (!std::isfinite(v)) raiseValue(std::string(name) + " must be finite");
    return v;
}

long long intArg(py::handle value, const char *name) {
    if (py::isinstance<py::bool_>(value) || !py::isinstance<py::int_>(value))
        raiseType(std::string(name) + " must be an int, not " +
                  std::string(py::str(py::type::of(value).attr("__name__"))));
    try {
        return value.cast<long long>();
    } catch (const py::cast_error &) {
        raiseValue(std::string(name) + " is out of range");
    }
}

// A frame wait's time limit in seconds; None waits for ever.
std::optional<double> timeoutArg(py::handle value) {
    if (value.is_none()) return std::nullopt;
    const double t = realArg(value, "timeout");
    if (t < 0) raiseValue("timeout must not be negative");
    return t;
}

std::uint32_t u32Arg(py::handle value, const char *name, long long lo = 0) {
    const long long v = intArg(value, name);
    if (v < lo || v > 0xFFFFFFFFll)
        raiseValue(std::string(name) + " must be between " + std::to_string(lo) +
                   " and 4294967295");
    return static_cast<std::uint32_t>(v);
}

// A file name: str or os.PathLike.
std::string pathArg(py::handle path, const char *name) {
    if (!py::isinstance<py::str>(path) && !py::hasattr(path, "__fspath__"))
        raiseType(std::string(name) + " must be a path (str or os.PathLike)");
    const auto text = py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
    if (text.empty() || text.find('\0') != std::string::npos)
        raiseValue(std::string(name) + " must be a file's path");
    return text;
}

const std::string &software() {
    static const std::string name = cli::softwareName("vocam Python");
    return name;
}

// ---- camera, ring, held buffers -----------------------------------------------

struct Ring;

struct Device {
    _vocam *handle = nullptr;
    std::mutex calls;
    // The cooler's target as last set from here (temperature units; -1:
    // none): the camera reports only its reading, and saved files name the
    // target. Read by calls that run without the GIL.
    std::atomic<std::int64_t> coolerTarget{-1};
    // The library keeps one ring per handle: a new one may be enabled only
    // once the last view of the previous one is gone.
    std::weak_ptr<Ring> ring;
    explicit Device(_vocam *h) : handle(h) {}
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;
    ~Device() {
        if (handle != nullptr) vocam_camera_close(&handle);
    }
    // What the camera is set to, as files record it. Without the GIL, under
    // `calls`.
    cli::CaptureFacts facts() const {
        std::optional<double> target;
        if (const std::int64_t t = coolerTarget; t >= 0)
            target = static_cast<double>(t) / 1000.0 - 273.0;
        return cli::readCaptureFacts(handle, software(), target);
    }
};

// Streaming enabled on a camera: the ring exists while this does.
struct Ring {
    std::shared_ptr<Device> device;
    _VOCAM_IMAGE_FORMAT format{};
    std::atomic<bool> running{false};
    std::atomic<int> holds{0};  // ring buffers held from Python
    bool enabled = false;

    explicit Ring(std::shared_ptr<Device> d) : device(std::move(d)) {}
    Ring(const Ring &) = delete;
    Ring &operator=(const Ring &) = delete;
    // Safe from any thread and more than once; every blocked wait returns.
    void stop() {
        if (running.exchange(false)) vocam_stop_streaming(device->handle);
    }
    ~Ring() {
        stop();
        if (!enabled) return;
        std::lock_guard lock(device->calls);
        vocam_disable_streaming(device->handle);
    }
};

// One ring buffer held by Python; returned to the ring when the last owner
// (a Frame or a NumPy view) lets go.
struct Hold {
    std::shared_ptr<Ring> ring;
    int index;
    const std::uint8_t *data;
    Hold(std::shared_ptr<Ring> r, int i, const std::uint8_t *d)
        : ring(std::move(r)), index(i), data(d) {
        ring->holds.fetch_add(1);
    }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
    ~Hold() {
        vocam_release_buffer(ring->device->handle, index);
        ring->holds.fetch_sub(1);
    }
};

// ---- frames ------------------------------------------------------------------

struct FrameState {
    std::shared_ptr<Hold> hold;  // empty once released
    std::uint32_t width = 0, height = 0;
    bool wide = false;  // 16-bit samples
    int buffer = -1;
    // The library's record of the frame, read while the buffer was held: it
    // stays true of this frame after the release.
    std::uint64_t sequence = 0;
    std::uint64_t arrivalNs = 0;  // CLOCK_MONOTONIC
};

// The demosaic methods and light sources by the names vocam and the
// GStreamer element give them (the shared table of controls).
std::string quotedNames(std::span<const controls::Choice> choices) {
    std::string out;
    for (const controls::Choice &c : choices)
        out += std::string(out.empty() ? "'" : ", '") + c.name + "'";
    return out;
}

int demosaicMethod(const std::string &name) {
    if (const auto id = controls::findChoice(controls::demosaicMethods(), name))
        return static_cast<int>(*id);
    raiseValue("method must be one of " + quotedNames(controls::demosaicMethods()) + ", not '" +
               name + "'");
}

// A light source by name, or 1 to 13 for the model's correction matrix for
// that light.
int correctionMatrix(py::handle light) {
    const std::string lights = "light must be one of " + quotedNames(controls::lightSources()) +
                               " or a correction matrix number 1 to 13";
    if (py::isinstance<py::str>(light)) {
        if (const auto id =
                controls::findChoice(controls::lightSources(), light.cast<std::string>()))
            return static_cast<int>(*id);
        raiseValue(lights);
    }
    const long long id = intArg(light, "light");
    if (id < 1 || id > 13) raiseValue(lights);
    return static_cast<int>(id);
}

class Frame {
  public:
    explicit Frame(std::shared_ptr<FrameState> s) : state_(std::move(s)) {}

    std::shared_ptr<Hold> held(const char *what) const {
        if (!state_->hold)
            throw py::value_error(std::string("frame.") + what + ": the frame was released");
        return state_->hold;
    }

    py::array raw() const {
        auto hold = held("raw");
        auto *keeper = new std::shared_ptr<Hold>(hold);
        py::capsule base(keeper, [](void *p) { delete static_cast<std::shared_ptr<Hold> *>(p); });
        const std::size_t sample = state_->wide ? 2 : 1;
        py::array view(
            state_->wide ? py::dtype::of<std::uint16_t>() : py::dtype::of<std::uint8_t>(),
            {static_cast<py::ssize_t>(state_->height), static_cast<py::ssize_t>(state_->width)},
            {static_cast<py::ssize_t>(state_->width * sample), static_cast<py::ssize_t>(sample)},
            hold->data, base);
        // Read-only: the buffer is the library's, and the next frame of the
        // ring may be read into it once this one is released.
        py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        return view;
    }

    py::array copy() const {
        auto hold = held("copy");
        const std::size_t sample = state_->wide ? 2 : 1;
        py::array out(
            state_->wide ? py::dtype::of<std::uint16_t>() : py::dtype::of<std::uint8_t>(),
            {static_cast<py::ssize_t>(state_->height), static_cast<py::ssize_t>(state_->width)});
        std::memcpy(out.mutable_data(), hold->data,
                    std::size_t{state_->width} * state_->height * sample);
        return out;
    }

    py::array rgb(const std::string &method, py::handle light) const {
        const int demosaic = demosaicMethod(method);
        const int matrix = correctionMatrix(light);
        auto hold = held("rgb");
        Ring &ring = *hold->ring;
        const std::uint32_t w = state_->width, h = state_->height;
        // Grey output (a monochrome sensor, or no demosaicing) pads each row
        // to a multiple of 4 bytes; the array keeps that stride.
        const bool mono = (ring.format.VocamReserved[0] & VOCAM_LAYOUT_MONO) != 0;
        const std::size_t stride = (mono || demosaic == 0)
                                       ? ((std::size_t{w} + 1) * 3 & ~std::size_t{3})
                                       : std::size_t{w} * 3;
        py::array_t<std::uint8_t> storage(static_cast<py::ssize_t>(stride * h));
        std::uint8_t *dst = storage.mutable_data();
        conversion_params params{};
        params.size = 12;  // keeps the camera's flips, hue, saturation, white balance and gain
        params.demosaicMethod = static_cast<std::uint32_t>(demosaic);
        params.correctionMatrix = static_cast<std::uint32_t>(matrix);
        int status;
        {
            py::gil_scoped_release nogil;
            std::lock_guard lock(ring.device->calls);
            status = vocam_convert_frame_to_rgb(ring.device->handle, dst, hold->data, &ring.format,
                                                &params);
        }
        check(status, "vocam_convert_frame_to_rgb");
        return py::array(py::dtype::of<std::uint8_t>(),
                         {static_cast<py::ssize_t>(h), static_cast<py::ssize_t>(w), py::ssize_t{3}},
                         {static_cast<py::ssize_t>(stride), py::ssize_t{3}, py::ssize_t{1}}, dst,
                         storage);
    }

    // The picture files of the command-line tool, by the name's extension:
    // the raw frame (.raw, .fits), or its conversion (.png, .tif, and .fits
    // with `cube`).
    void save(py::handle path, const std::string &method, py::handle light, bool cube) const {
        const std::string file = pathArg(path, "path");
        const int demosaic = demosaicMethod(method);
        const int matrix = correctionMatrix(light);
        const cli::ImageType type = cli::imageTypeOf(file);
        if (cube && type != cli::ImageType::Fits) raiseValue("cube=True needs a .fits file");
        auto hold = held("save");
        Ring &ring = *hold->ring;
        const _VOCAM_IMAGE_FORMAT &format = ring.format;
        const std::uint64_t arrival = state_->arrivalNs;
        py::gil_scoped_release nogil;
        if (type == cli::ImageType::Raw) {
            cli::writeRaw(file, hold->data, format.ImageSize, cli::describeFrame(format));
            return;
        }
        const bool raw = type == cli::ImageType::Fits && !cube;
        // 16-bit samples keep their depth in TIFF and FITS.
        const bool deep = format.PixelFormat == 1 && type != cli::ImageType::Png;
        const bool grey = (format.VocamReserved[0] & VOCAM_LAYOUT_MONO) != 0 || demosaic == 0;
        const std::size_t stride = deep   ? std::size_t{format.Width} * 6
                                   : grey ? ((std::size_t{format.Width} + 1) * 3 & ~std::size_t{3})
                                          : std::size_t{format.Width} * 3;
        std::vector<std::uint8_t> rgb(raw ? 0 : stride * format.Height);
        std::optional<cli::CaptureFacts> facts;
        {
            // The camera is asked and converts; the file is written after.
            std::lock_guard lock(ring.device->calls);
            if (type == cli::ImageType::Fits) facts = ring.device->facts();
            if (!raw) {
                conversion_params params{};
                params.size = 12;  // the camera's own flips, hue, saturation and gains apply
                params.demosaicMethod = static_cast<std::uint32_t>(demosaic);
                params.correctionMatrix = static_cast<std::uint32_t>(matrix);
                check(vocam_convert_frame_to_rgb_bits(ring.device->handle, rgb.data(), hold->data,
                                                      &format, &params, deep ? 48 : 24),
                      "vocam_convert_frame_to_rgb_bits");
            }
        }
        const auto start = [&] { return cli::exposureStartUtc(arrival, facts->exposureSeconds); };
        if (raw) {
            cli::writeFits(file, format, hold->data, *facts, start());
            return;
        }
        const cli::Rgb picture{format.Width, format.Height, stride, deep ? 16 : 8, rgb.data()};
        if (type == cli::ImageType::Fits)
            cli::writeFitsCube(file, picture, *facts, start());
        else if (type == cli::ImageType::Png)
            cli::writePng(file, picture);
        else
            cli::writeTiff(file, picture);
    }

    void release() { state_->hold.reset(); }
    bool released() const { return !state_->hold; }
    std::uint32_t width() const { return state_->width; }
    std::uint32_t height() const { return state_->height; }
    int buffer() const { return state_->buffer; }
    std::uint64_t index() const { return state_->sequence; }
    std::uint64_t timestampNs() const { return state_->arrivalNs; }
    double timestamp() const { return static_cast<double>(state_->arrivalNs) / 1e9; }
    const std::shared_ptr<FrameState> &state() const { return state_; }

  private:
    std::shared_ptr<FrameState> state_;
};

// ---- streams -------------------------------------------------------------------

struct StreamState {
    std::shared_ptr<Ring> ring;  // empty when not streaming
    std::vector<std::weak_ptr<FrameState>> frames;
    bool stoppedByUser = false;

    // Every Frame handed out goes back; views keep their buffers.
    void releaseFrames() {
        for (auto &weak : frames)
            if (auto f = weak.lock()) f->hold.reset();
        frames.clear();
    }
    void stop() {
        stoppedByUser = true;
        releaseFrames();
        // The ring, and with it the buffers, goes now or with the last view.
        if (auto r = std::move(ring)) {
            py::gil_scoped_release nogil;
            r->stop();
        }
    }
};

class Stream {
  public:
    Stream(std::shared_ptr<Device> device, std::shared_ptr<StreamState> state)
        : device_(std::move(device)), state_(std::move(state)) {}

    Stream &start() {
        if (state_->ring) return *this;
        auto device = device_.lock();
        if (!device) fail(-1, "stream.start: the camera is closed");
        if (!device->ring.expired())
            throw py::buffer_error(
                "stream.start: .raw views of an earlier stream's frames still hold its buffers; "
                "drop them (keep .copy() instead) before streaming again");
        auto ring = std::make_shared<Ring>(device);
        device->ring = ring;
        int status;
        {
            py::gil_scoped_release nogil;
            std::lock_guard lock(device->calls);
            ring->format.Size = sizeof ring->format;
            status = vocam_get_image_format(device->handle, &ring->format);
            if (status >= 0) status = vocam_enable_streaming(device->handle);
        }
        check(status, "vocam_enable_streaming");
        ring->enabled = true;
        {
            py::gil_scoped_release nogil;
            std::lock_guard lock(device->calls);
            status = vocam_start_streaming(device->handle);
        }
        check(status, "vocam_start_streaming");
        ring->running = true;
        state_->ring = std::move(ring);
        state_->stoppedByUser = false;
        return *this;
    }

    void stop() { state_->stop(); }
    bool running() const { return state_->ring && state_->ring->running; }

    // The next frame the camera delivers: held until released. nullopt when
    // the stream was stopped by this process while waiting. Without a
    // `timeout` (seconds) it waits for ever; when one runs out it raises
    // vocam.Timeout and the stream goes on.
    std::optional<Frame> next(std::optional<double> timeout = std::nullopt) {
        using Clock = std::chrono::steady_clock;
        std::shared_ptr<Ring> ring = state_->ring;
        if (!ring) fail(-96, "stream.frame: the stream is not running");
        _vocam *handle = ring->device->handle;
        std::optional<Clock::time_point> deadline;
        if (timeout) {
            // Beyond about 30 years a limit is no limit, and the clock's
            // arithmetic must not overflow.
            const double s = std::min(*timeout, 1e9);
            deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(s));
        }
        for (;;) {
            // A stop from another thread between two slices ends the wait
            // here rather than with a refusal of the library's.
            if (!ring->running) return std::nullopt;
            // The library waits in slices short enough that signal handlers
            // (Ctrl-C above all) run promptly even when no frame ever comes.
            std::uint32_t slice = kWaitSliceMs;
            if (deadline) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
                slice = static_cast<std::uint32_t>(
                    std::clamp<long long>(left, 0, static_cast<long long>(kWaitSliceMs)));
            }
            int index;
            {
                py::gil_scoped_release nogil;
                index = vocam_wait_for_capture_to_buffer_timeout(handle, slice);
            }
            if (PyErr_CheckSignals() != 0) {
                if (index >= 0) vocam_release_buffer(handle, index);
                throw py::error_already_set();
            }
            if (index >= 0) return handOut(ring, index);
            if (index == VOCAM_WAIT_TIMED_OUT) {
                if (deadline && Clock::now() >= *deadline)
                    fail(VOCAM_WAIT_TIMED_OUT,
                         "stream.frame: no frame within " + secondsText(*timeout) + " s");
                continue;
            }
            if (index == -22) {
                // The newest frame went into the next read because every other
                // buffer is held: with two held from Python, no frame can ever
                // be handed out again.
                if (ring->holds.load() >= 2)
                    throw py::buffer_error(
                        "every free frame buffer is held by a frame or a .raw view still in use; "
                        "release frames and keep .copy() of the ones you need");
                continue;
            }
            if (state_->stoppedByUser || !ring->running) return std::nullopt;
            check(index, "vocam_wait_for_capture_to_buffer");
        }
    }

    // Writes the next frames to a SER file until `count` frames or `seconds`
    // (None: no limit), or the stream is stopped; the frames written. The
    // file is whole and readable whatever ends the recording.
    std::uint64_t record(py::handle path, py::object count, py::object seconds,
                         py::object timeout) {
        using Clock = std::chrono::steady_clock;
        const std::string file = pathArg(path, "path");
        std::optional<long long> frames;
        if (!count.is_none()) {
            frames = intArg(count, "count");
            if (*frames < 0) raiseValue("count must not be negative");
        }
        std::optional<Clock::time_point> deadline;
        if (!seconds.is_none()) {
            const double s = realArg(seconds, "seconds");
            if (s < 0) raiseValue("seconds must not be negative");
            deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(std::min(s, 1e9)));
        }
        const std::optional<double> wait = timeoutArg(timeout);
        std::string extension = std::filesystem::path(file).extension().string();
        for (char &c : extension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension != ".ser")
            raiseValue("stream.record: '" + file + "': a recording's name must end in .ser");
        std::shared_ptr<Ring> ring = state_->ring;
        if (!ring) fail(-96, "stream.record: the stream is not running");
        std::optional<cli::SerWriter> writer;
        double exposure = 0;
        {
            py::gil_scoped_release nogil;
            std::lock_guard lock(ring->device->calls);
            const cli::CaptureFacts facts = ring->device->facts();
            exposure = facts.exposureSeconds;
            writer.emplace(file, ring->format, facts.model);
        }
        const auto held = [&] {
            return "; '" + file + "' holds " + std::to_string(writer->frames()) + " frame(s)";
        };
        try {
            while (!frames || static_cast<long long>(writer->frames()) < *frames) {
                std::optional<double> limit = wait;
                bool byDeadline = false;
                if (deadline) {
                    const double left =
                        std::chrono::duration<double>(*deadline - Clock::now()).count();
                    if (left <= 0) break;
                    if (!limit || left < *limit) {
                        limit = left;
                        byDeadline = true;
                    }
                }
                std::optional<Frame> frame;
                try {
                    frame = next(limit);
                } catch (const Failure &f) {
                    if (byDeadline && f.code == VOCAM_WAIT_TIMED_OUT) break;
                    throw;
                }
                if (!frame) break;
                bool written;
                {
                    auto hold = frame->held("record");
                    py::gil_scoped_release nogil;
                    written = writer->add(hold->data,
                                          cli::exposureStartUtc(frame->timestampNs(), exposure));
                }
                frame->release();
                if (!written) {
                    writer->finish();
                    const int error = writer->error();
                    py::object e =
                        py::module_::import("builtins")
                            .attr("OSError")(error,
                                             "stream.record: cannot write: " +
                                                 std::string(std::strerror(error)) + held(),
                                             file);
                    PyErr_SetObject(PyExc_OSError, e.ptr());
                    throw py::error_already_set();
                }
            }
        } catch (const Failure &f) {
            writer->finish();
            throw Failure{f.code, f.message + held()};
        }
        writer->finish();
        return writer->frames();
    }

    const std::shared_ptr<StreamState> &state() const { return state_; }

  private:
    static constexpr std::uint32_t kWaitSliceMs = 100;

    // Wraps the buffer a wait returned, held, into a Frame with the
    // library's record of it.
    Frame handOut(const std::shared_ptr<Ring> &ring, int index) {
        _vocam *handle = ring->device->handle;
        vocam_frame_info info{};
        info.size = sizeof info;
        const int status = vocam_get_buffer_info(handle, index, &info);
        if (status < 0) {
            vocam_release_buffer(handle, index);
            check(status, "vocam_get_buffer_info");
        }
        auto state = std::make_shared<FrameState>();
        state->width = ring->format.Width;
        state->height = ring->format.Height;
        state->wide = ring->format.PixelFormat == 1;
        state->buffer = index;
        state->sequence = info.sequence;
        state->arrivalNs = info.timestamp_ns;
        state->hold = std::make_shared<Hold>(ring, index, vocam_get_buffer_address(handle, index));
        state_->frames.erase(std::remove_if(state_->frames.begin(), state_->frames.end(),
                                            [](const auto &w) { return w.expired(); }),
                             state_->frames.end());
        state_->frames.push_back(state);
        return Frame(std::move(state));
    }

    std::weak_ptr<Device> device_;
    std::shared_ptr<StreamState> state_;
};

// `for frame in stream.frames(n)`: each frame is released when the next is
// asked for, and the last one when the loop ends.
class FrameIterator {
  public:
    FrameIterator(Stream stream, std::optional<long long> count, std::optional<double> timeout)
        : stream_(std::move(stream)), left_(count), timeout_(timeout) {}

    Frame next() {
        if (current_) current_->release();
        current_.reset();
        if (left_ && *left_ <= 0) throw py::stop_iteration();
        auto frame = stream_.next(timeout_);
        if (!frame) throw py::stop_iteration();
        if (left_) --*left_;
        current_ = frame;
        return *frame;
    }

  private:
    Stream stream_;
    std::optional<long long> left_;
    std::optional<double> timeout_;  // for each frame
    std::optional<Frame> current_;
};

// ---- properties ----------------------------------------------------------------

// The numbered properties Python shows as numbers, named by the shared table
// of controls (the temperature has rules of its own). The library's own
// integer to float conversions give milliseconds, gain factors and plain
// quantities.
struct Scalar {
    std::string name;
    std::uint32_t id;
    std::string doc;
};

const std::vector<Scalar> &scalars() {
    static const std::vector<Scalar> list = [] {
        std::vector<Scalar> out;
        for (const controls::Control &c : controls::all()) {
            if (c.python == nullptr || c.kind != controls::Kind::Property ||
                c.unit == controls::Unit::Celsius)
                continue;
            std::string doc = c.what;
            doc[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(doc[0])));
            doc += c.unit == controls::Unit::Milliseconds ? " in milliseconds."
                   : c.unit == controls::Unit::Factor     ? " as a factor (1.0 = unity)."
                                                          : ".";
            out.push_back({c.python, c.id, doc});
        }
        return out;
    }();
    return list;
}

const Scalar &scalar(std::uint32_t id) {
    for (const Scalar &s : scalars())
        if (s.id == id) return s;
    throw std::logic_error("no Python name for property " + std::to_string(id));
}

// Python's name of a control of the shared table.
const char *pythonName(const char *control) {
    return controls::find(control)->python;
}

struct Reading {
    int value = 0, min = 0, max = 0;
    std::uint32_t flags = 0;
};

class Camera {
  public:
    explicit Camera(_vocam *handle) : device_(std::make_shared<Device>(handle)) {
        vocam_version v{};
        vocam_get_version(handle, &v);
        version_ = v;
        char name[256] = {};
        if (vocam_get_model_name(handle, name, sizeof name) >= 0) model_ = name;
        color_ = vocam_is_color(handle) == 1;
    }

    Device &device() const {
        if (!device_) fail(-1, "camera: the camera is closed");
        return *device_;
    }

    // Runs a library call on the handle without the GIL.
    template <typename F>
    int call(F &&f) const {
        Device &d = device();
        py::gil_scoped_release nogil;
        std::lock_guard lock(d.calls);
        return f(d.handle);
    }

    Reading read(std::uint32_t id, const char *what) const {
        Reading r;
        check(call([&](_vocam *h) {
                  return vocam_property_get_range(h, id, &r.min, &r.max, &r.value, &r.flags);
              }),
              what);
        return r;
    }

    void write(std::uint32_t id, int value, std::uint32_t flags, const char *what) {
        check(call([&](_vocam *h) { return vocam_property_set(h, id, value, flags); }), what);
    }

    int geometry(std::uint32_t id) const {
        int value = 0;
        std::uint32_t flags = 0;
        check(call([&](_vocam *h) { return vocam_property_get(h, id, &value, &flags); }),
              "vocam_property_get");
        return value;
    }

    double scalar(const Scalar &p) const {
        return shown(ConvertPropToFloat(p.id, read(p.id, p.name.c_str()).value));
    }

    std::pair<double, double> scalarRange(const Scalar &p) const {
        const Reading r = read(p.id, p.name.c_str());
        return {shown(ConvertPropToFloat(p.id, r.min)), shown(ConvertPropToFloat(p.id, r.max))};
    }

    void setScalar(const Scalar &p, py::handle value) {
        const double v = realArg(value, p.name.c_str());
        const Reading r = read(p.id, p.name.c_str());
        const double lo = shown(ConvertPropToFloat(p.id, r.min)),
                     hi = shown(ConvertPropToFloat(p.id, r.max));
        if (v < lo || v > hi)
            raiseValue(p.name + " " + py::repr(value).cast<std::string>() + " is outside " +
                       std::to_string(lo) + " .. " + std::to_string(hi));
        // The library's conversion adds 0.5 and truncates toward zero, which
        // puts negative values one unit high (-50.0 would become -49.99); these
        // scales are linear, so negative values are converted by magnitude.
        const auto f = static_cast<float>(std::fabs(v));
        const int units = static_cast<int>(ConvertPropToLong(p.id, f));
        // The flags read are written back: the library passes them through.
        write(p.id, v < 0 ? -units : units, r.flags, p.name.c_str());
    }

    // Temperature: the reading, and the target that setting it (or switching
    // cooling) writes.
    double temperature() const {
        return shown(vocam_register_to_temp(
            static_cast<std::uint32_t>(read(VOCAM_PROP_TEMPERATURE, "temperature_c").value)));
    }
    std::pair<double, double> temperatureRange() const {
        const Reading r = read(VOCAM_PROP_TEMPERATURE, "temperature_c");
        return {shown(vocam_register_to_temp(static_cast<std::uint32_t>(r.min))),
                shown(vocam_register_to_temp(static_cast<std::uint32_t>(r.max)))};
    }
    void setTemperature(py::handle value) {
        const double c = realArg(value, "temperature_c");
        const Reading r = read(VOCAM_PROP_TEMPERATURE, "temperature_c");
        const double lo = shown(vocam_register_to_temp(static_cast<std::uint32_t>(r.min)));
        const double hi = shown(vocam_register_to_temp(static_cast<std::uint32_t>(r.max)));
        if (c < lo - 1e-3 || c > hi + 1e-3)
            raiseValue("temperature_c " + std::to_string(c) + " is outside " + std::to_string(lo) +
                       " .. " + std::to_string(hi));
        const std::uint32_t target = vocam_temp_to_register(static_cast<float>(c));
        write(VOCAM_PROP_TEMPERATURE, static_cast<int>(target), r.flags & VOCAM_PROP_FLAG_ON,
              "temperature_c");
        device().coolerTarget = target;
    }
    bool cooling() const {
        return (read(VOCAM_PROP_TEMPERATURE, "cooling").flags & VOCAM_PROP_FLAG_ON) != 0;
    }
    void setCooling(py::handle on) {
        if (!py::isinstance<py::bool_>(on)) raiseType("cooling must be True or False");
        const Reading r = read(VOCAM_PROP_TEMPERATURE, "cooling");
        // Until a target was set from here, keep cooling toward the reading.
        const std::int64_t known = device().coolerTarget;
        const std::uint32_t target =
            known >= 0 ? static_cast<std::uint32_t>(known) : static_cast<std::uint32_t>(r.value);
        write(VOCAM_PROP_TEMPERATURE, static_cast<int>(target),
              on.cast<bool>() ? VOCAM_PROP_FLAG_ON : 0, "cooling");
        device().coolerTarget = target;
    }

    // Window and subsampling.
    _vocam_frame_format videoFormat() const {
        _vocam_frame_format f{};
        check(call([&](_vocam *h) { return vocam_get_video_format(h, &f); }),
              "vocam_get_video_format");
        return f;
    }
    void refuseWhileStreaming(const char *what) const {
        if (auto s = stream_.lock(); s && s->ring)
            fail(-1, std::string(what) + ": stop the stream before changing the frame geometry");
    }
    void setVideoFormat(const _vocam_frame_format &f, const char *what) {
        refuseWhileStreaming(what);
        check(call([&](_vocam *h) { return vocam_set_video_format(h, &f); }), what);
    }
    std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t> window() const {
        const auto f = videoFormat();
        return {f.xOffset, f.yOffset, f.width, f.height};
    }
    void setWindow(py::handle value) {
        if (!py::isinstance<py::tuple>(value) && !py::isinstance<py::list>(value))
            raiseType("window must be a tuple (x, y, width, height)");
        py::sequence s = py::reinterpret_borrow<py::sequence>(value);
        if (s.size() != 4) raiseValue("window must have four numbers: x, y, width, height");
        const std::uint32_t x = u32Arg(s[0], "window x"), y = u32Arg(s[1], "window y");
        const std::uint32_t w = u32Arg(s[2], "window width", 1),
                            h = u32Arg(s[3], "window height", 1);
        const auto maxW = static_cast<std::uint32_t>(geometry(VOCAM_PROP_MAX_WIDTH));
        const auto maxH = static_cast<std::uint32_t>(geometry(VOCAM_PROP_MAX_HEIGHT));
        const auto unitW = static_cast<std::uint32_t>(std::max(1, geometry(VOCAM_PROP_UNIT_WIDTH)));
        const auto unitH =
            static_cast<std::uint32_t>(std::max(1, geometry(VOCAM_PROP_UNIT_HEIGHT)));
        if (std::uint64_t{x} + w > maxW || std::uint64_t{y} + h > maxH)
            raiseValue("window exceeds the sensor's " + std::to_string(maxW) + " x " +
                       std::to_string(maxH));
        if (w % unitW != 0 || h % unitH != 0)
            raiseValue("window width and height must be multiples of " + std::to_string(unitW) +
                       " x " + std::to_string(unitH));
        auto f = videoFormat();
        f.xOffset = x;
        f.yOffset = y;
        f.width = w;
        f.height = h;
        setVideoFormat(f, "window");
    }
    std::pair<int, int> subsample() const {
        const auto f = videoFormat();
        return {f.subSampleX, f.subSampleY};
    }
    void setSubsample(py::handle value) {
        long long sx, sy;
        if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
            py::sequence s = py::reinterpret_borrow<py::sequence>(value);
            if (s.size() != 2) raiseValue("subsample must be a factor or a pair (x, y)");
            sx = intArg(s[0], "subsample");
            sy = intArg(s[1], "subsample");
        } else {
            sx = sy = intArg(value, "subsample");
        }
        const int most = subsampleMax();
        if (sx < 1 || sy < 1 || sx > most || sy > most)
            raiseValue("subsample must be between 1 and " + std::to_string(most));
        auto f = videoFormat();
        f.subSampleX = static_cast<std::uint16_t>(sx);
        f.subSampleY = static_cast<std::uint16_t>(sy);
        setVideoFormat(f, "subsample");
    }
    int subsampleMax() const {
        if (call([](_vocam *h) { return vocam_supports_subsampling(h); }) != 1) return 1;
        return std::max(1, geometry(VOCAM_PROP_MAX_SUBSAMPLING));
    }

    // Data rate in kilopixels per second.
    std::vector<std::uint32_t> dataRates() const {
        std::vector<std::uint32_t> rates(64);
        const int n = call([&](_vocam *h) {
            return vocam_enum_available_data_rates(h, rates.data(), static_cast<int>(rates.size()));
        });
        rates.resize(static_cast<std::size_t>(std::max(n, 0)));
        return rates;
    }
    std::uint32_t dataRate() const {
        std::uint32_t rate = 0;
        check(call([&](_vocam *h) { return vocam_get_data_rate(h, &rate); }),
              "vocam_get_data_rate");
        return rate;
    }
    void setDataRate(py::handle value) {
        const std::uint32_t rate = u32Arg(value, "data_rate", 1);
        const auto rates = dataRates();
        if (!rates.empty() && std::find(rates.begin(), rates.end(), rate) == rates.end())
            raiseValue("data_rate " + std::to_string(rate) +
                       " is not one the camera offers (see data_rates)");
        check(call([&](_vocam *h) { return vocam_set_data_rate(h, rate); }), "vocam_set_data_rate");
    }

    // The frame an auto call measures: the one given, else the next of the
    // running stream, else one of a stream started for it alone.
    struct Measured {
        std::shared_ptr<Hold> hold;
        std::uint32_t width, height;
        std::optional<Stream> own;  // stopped when the measurement is done
        ~Measured() {
            hold.reset();
            if (own) own->stop();
        }
    };
    std::unique_ptr<Measured> measured(py::object frame) {
        device();
        auto m = std::make_unique<Measured>();
        std::optional<Frame> f;
        if (!frame.is_none()) {
            if (!py::isinstance<Frame>(frame)) raiseType("frame must be a vocam.Frame or None");
            f = frame.cast<Frame>();
            if (f->state()->hold && f->state()->hold->ring->device != device_)
                raiseValue("frame: the frame comes from another camera");
        } else if (auto s = stream_.lock(); s && s->ring) {
            f = Stream(device_, s).next();
        } else {
            m->own.emplace(stream());
            m->own->start();
            f = m->own->next();
        }
        if (!f) fail(-96, "the stream was stopped");
        m->hold = f->held("measure");
        m->width = f->width();
        m->height = f->height();
        return m;
    }

    // (x, y, width, height) inside the frame; None: the middle half of it.
    static std::array<int, 4> roiArg(py::object roi, const Measured &m, bool even) {
        const auto w = static_cast<long long>(m.width), h = static_cast<long long>(m.height);
        if (roi.is_none()) {
            const long long rw = (w / 2) & ~1ll, rh = (h / 2) & ~1ll;
            return {static_cast<int>((w / 4) & ~1ll), static_cast<int>((h / 4) & ~1ll),
                    static_cast<int>(rw), static_cast<int>(rh)};
        }
        if (!py::isinstance<py::tuple>(roi) && !py::isinstance<py::list>(roi))
            raiseType("roi must be a tuple (x, y, width, height) or None");
        py::sequence s = py::reinterpret_borrow<py::sequence>(roi);
        if (s.size() != 4) raiseValue("roi must have four numbers: x, y, width, height");
        const long long x = intArg(s[0], "roi x"), y = intArg(s[1], "roi y");
        const long long rw = intArg(s[2], "roi width"), rh = intArg(s[3], "roi height");
        if (x < 0 || y < 0 || rw <= 0 || rh <= 0 || x + rw > w || y + rh > h)
            raiseValue("roi must lie inside the " + std::to_string(w) + " x " + std::to_string(h) +
                       " frame");
        if (even && ((x | y | rw | rh) & 1))
            raiseValue("roi must have even coordinates and sizes (whole colour cells)");
        return {static_cast<int>(x), static_cast<int>(y), static_cast<int>(rw),
                static_cast<int>(rh)};
    }

    static std::uint32_t targetArg(py::handle target) {
        const long long t = intArg(target, "target");
        if (t < 0 || t > 255) raiseValue("target must be a grey level from 0 to 255");
        return static_cast<std::uint32_t>(t);
    }

    py::object whiteBalance(py::object roi, const std::string &mode, py::object frame) {
        int kind;
        if (mode == "step")
            kind = 0;
        else if (mode == "oneshot")
            kind = 1;
        else if (mode == "digital")
            kind = 2;
        else
            raiseValue("mode must be 'step', 'oneshot' or 'digital', not '" + mode + "'");
        auto m = measured(frame);
        const auto r = roiArg(roi, *m, true);
        const std::uint8_t *data = m->hold->data;
        const int status = call([&](_vocam *h) {
            switch (kind) {
                case 0:
                    return vocam_whitebalance_step(h, data, r[0], r[1], r[2], r[3]);
                case 1:
                    return vocam_oneshot_autowhitebalance(h, data, r[0], r[1], r[2], r[3]);
                default:
                    return vocam_digital_whitebalance(h, data, r[0], r[1], r[2], r[3]);
            }
        });
        check(status, kind == 0   ? "vocam_whitebalance_step"
                      : kind == 1 ? "vocam_oneshot_autowhitebalance"
                                  : "vocam_digital_whitebalance");
        return kind == 0 ? py::object(py::bool_(status == 1)) : py::object(py::none());
    }

    double autoLevel(bool exposure, py::handle target, py::object roi, py::object frame) {
        const std::uint32_t level = targetArg(target);
        auto m = measured(frame);
        const auto r = roiArg(roi, *m, false);
        const std::uint8_t *data = m->hold->data;
        const int status = call([&](_vocam *h) {
            return exposure
                       ? vocam_oneshot_autoexposure(h, level, data, r[0], r[1], r[2], r[3], 0.0)
                       : vocam_oneshot_autogain(h, level, data, r[0], r[1], r[2], r[3]);
        });
        check(status, exposure ? "vocam_oneshot_autoexposure" : "vocam_oneshot_autogain");
        m.reset();
        return scalar(::scalar(exposure ? VOCAM_PROP_EXPOSURE : VOCAM_PROP_GAIN));
    }

    Stream stream() {
        if (auto s = stream_.lock(); s && s->ring)
            fail(-1, "camera.stream: the camera is already streaming");
        auto state = std::make_shared<StreamState>();
        stream_ = state;
        return Stream(device_, state);
    }

    void close() {
        if (!device_) return;
        if (auto s = stream_.lock()) s->stop();
        device_.reset();  // the handle closes now, or when the last view goes
    }
    bool closed() const { return !device_; }

    const vocam_version &version() const { return version_; }
    const std::string &model() const { return model_; }
    bool color() const { return color_; }

  private:
    std::shared_ptr<Device> device_;
    std::weak_ptr<StreamState> stream_;
    vocam_version version_{};
    std::string model_;
    bool color_ = false;
};

// ---- module functions -------------------------------------------------------------

struct CameraInfo {
    std::uint32_t product_id, serial, release, firmware, fpga;
    bool high_speed;
};

CameraInfo infoOf(const vocam_version &v) {
    return {v.product_id,
            v.serial_number,
            v.release_number,
            v.firmware_version & 0xFFFFu,
            v.firmware_version >> 16,
            v.high_speed != 0};
}

std::vector<vocam_version> enumerate() {
    busUsed = true;
    std::vector<vocam_version> records;
    for (;;) {
        auto count = static_cast<std::uint32_t>(records.size());
        int found;
        {
            py::gil_scoped_release nogil;
            found = vocam_enum_cameras(records.data(), &count);
        }
        check(found, "vocam_enum_cameras");
        if (static_cast<std::size_t>(found) <= records.size()) {
            records.resize(static_cast<std::size_t>(found));
            return records;
        }
        records.resize(static_cast<std::size_t>(found));  // a camera came: ask again
    }
}

void init(py::object resources) {
    std::string root;
    const bool given = !resources.is_none();
    if (given) {
        if (!py::isinstance<py::str>(resources) && !py::hasattr(resources, "__fspath__"))
            raiseType("resources must be a path (str or os.PathLike) or None");
        root = py::str(py::module_::import("os").attr("fspath")(resources)).cast<std::string>();
        if (root.empty() || root.find('\0') != std::string::npos)
            raiseValue("resources must be a folder's path");
    }
    busUsed = true;
    int status;
    {
        py::gil_scoped_release nogil;
        status = vocam_init(given ? root.c_str() : nullptr);
    }
    check(status, "vocam_init");
}

Camera openCamera(py::object serial, py::object product) {
    std::optional<std::uint32_t> wantSerial, wantProduct;
    if (!serial.is_none()) wantSerial = u32Arg(serial, "serial", 1);
    if (!product.is_none()) wantProduct = u32Arg(product, "product", 1);
    if (wantSerial && !wantProduct) {
        for (const auto &v : enumerate())
            if (v.serial_number == *wantSerial) wantProduct = v.product_id;
        if (!wantProduct)
            fail(-1, "vocam.open: no camera with serial " + std::to_string(*wantSerial));
    }
    busUsed = true;
    _vocam *handle = nullptr;
    int status;
    {
        py::gil_scoped_release nogil;
        if (wantProduct) {
            vocam_version wanted{};
            wanted.product_id = *wantProduct;
            wanted.serial_number = wantSerial.value_or(0);
            status = vocam_camera_open(&handle, &wanted);
        } else {
            status = vocam_camera_open_any(&handle);
        }
    }
    check(status, "vocam_camera_open");
    if (handle == nullptr) fail(-1, "vocam.open: no such camera is attached");
    return Camera(handle);
}

void simulate(py::handle cameras) {
    if (!py::isinstance<py::str>(cameras))
        raiseType("simulate takes the cameras as a str, e.g. 'model_02:state=ready'");
    const auto value = cameras.cast<std::string>();
    if (value.empty() || value.find_first_of(" \t\n\0", 0, 4) != std::string::npos)
        raiseValue(
            "simulate needs a list of cameras such as 'model_02:state=ready,model_16:serial=77'");
    if (busUsed)
        fail(-1, "vocam.simulate: the camera bus is already in use; call simulate() first");
    // os.environ keeps the process environment and Python's view of it equal.
    py::module_::import("os").attr("environ")["VOCAM_SIM"] = value;
}

}  // namespace

PYBIND11_MODULE(_vocam, m) {
    m.doc() = "Cameras built around an FX2 USB controller and an FPGA (compiled part of vocam).";
    // The writers' failure lines otherwise advise the command line's -o.
    cli::setWriteAdvice("");

    py::dict scope;
    py::exec(R"(
class Error(Exception):
    """A library call failed. ``code`` is the library's negative status and
    ``message`` says which call failed."""
    def __init__(self, message, code=-1):
        super().__init__(message)
        self.message = message
        self.code = code
Error.__module__ = "vocam"

class Timeout(Error, TimeoutError):
    """No frame came within the wait's ``timeout``; ``code`` is -110. The
    stream goes on: wait again, or stop it."""
    def __init__(self, message, code=-110):
        super().__init__(message, code)
Timeout.__module__ = "vocam"
)",
             scope);
    errorType() = scope["Error"];
    timeoutType() = scope["Timeout"];
    m.attr("Error") = errorType();
    m.attr("Timeout") = timeoutType();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Failure &f) {
            // Only a frame wait that ran out returns this code.
            const py::object &type = f.code == VOCAM_WAIT_TIMED_OUT ? timeoutType() : errorType();
            py::object e = type(f.message, f.code);
            PyErr_SetObject(type.ptr(), e.ptr());
        } catch (const cli::Failure &f) {
            // The file writers' lines: a name they refuse, or a file they
            // cannot write.
            std::string line = f.what();
            if (line.rfind("error: ", 0) == 0) line.erase(0, 7);
            PyErr_SetString(f.status() == cli::kExitUsage ? PyExc_ValueError : PyExc_OSError,
                            line.c_str());
        }
    });

    py::class_<CameraInfo>(m, "CameraInfo",
                           "Identity of an attached camera, as listed by cameras().")
        .def_readonly("product_id", &CameraInfo::product_id, "USB product ID.")
        .def_readonly("serial", &CameraInfo::serial, "Serial number.")
        .def_readonly("release", &CameraInfo::release, "Device release number (bcdDevice).")
        .def_readonly("firmware", &CameraInfo::firmware, "Firmware version.")
        .def_readonly("fpga", &CameraInfo::fpga, "FPGA version.")
        .def_readonly("high_speed", &CameraInfo::high_speed, "True at USB high speed.")
        .def("__eq__",
             [](const CameraInfo &a, const CameraInfo &b) {
                 return a.product_id == b.product_id && a.serial == b.serial &&
                        a.release == b.release && a.firmware == b.firmware && a.fpga == b.fpga &&
                        a.high_speed == b.high_speed;
             })
        .def("__repr__", [](const CameraInfo &c) {
            return "CameraInfo(product_id=0x" +
                   py::str("{:04X}").format(c.product_id).cast<std::string>() +
                   ", serial=" + std::to_string(c.serial) + ")";
        });

    py::class_<Frame>(
        m, "Frame",
        "One frame held in the camera's ring of buffers until it is released.\n\n"
        "A frame from ``Stream.frames()`` is released when the next one is asked for;\n"
        "one from ``Stream.frame()`` by ``release()`` or at the end of a ``with`` block.")
        .def_property_readonly(
            "raw", &Frame::raw,
            "The raw frame as a read-only NumPy array (height x width) on the\n"
            "library's buffer, without a copy. Taking it from a released frame\n"
            "raises ValueError; an array taken earlier keeps the buffer out of\n"
            "the ring until the array is gone, so keep .copy() of frames you store.")
        .def("copy", &Frame::copy, "A copy of the raw frame that outlives the frame.")
        .def("rgb", &Frame::rgb, py::arg("method") = "fast", py::arg("light") = "none",
             "The frame converted to an RGB array (height x width x 3, uint8).\n\n"
             "method: 'fast' (nearest neighbour), 'good' (edge-detecting), 'best'\n"
             "(gradient-corrected), 'block' (2x2 blocks) or 'none' (grey), as vocam names\n"
             "them. light: 'none', 'fluorescent', 'daylight', 'incandescent', 'xenon',\n"
             "'halogen', or 1 to 13: the camera model's colour correction for that light.\n"
             "The camera's flips, hue, saturation, white balance and digital gains apply.")
        .def("save", &Frame::save, py::arg("path"), py::arg("method") = "fast",
             py::arg("light") = "none", py::kw_only(), py::arg("cube") = false,
             "Saves the frame, whole or not at all, by the name's extension: .fits the raw\n"
             "frame with the camera's settings and the time of the exposure (cube=True: the\n"
             "converted picture as three planes, red, green, blue), .raw the raw frame with\n"
             "its one-line description in NAME.raw.txt, .png or .tif the converted picture\n"
             "(method and light as for rgb()). The frame must not be released.")
        .def("release", &Frame::release,
             "Returns the buffer to the ring (views keep it until they go).")
        .def_property_readonly("released", &Frame::released, "True once the frame was released.")
        .def_property_readonly("width", &Frame::width, "Pixels per row.")
        .def_property_readonly("height", &Frame::height, "Rows.")
        .def_property_readonly("buffer", &Frame::buffer,
                               "Index of the ring buffer the frame is in.")
        .def_property_readonly(
            "index", &Frame::index,
            "The frame's number in the stream: 1 for the first whole frame after the\n"
            "stream started, one more for each after it; a gap between two frames taken\n"
            "means frames that arrived while the caller was busy. Readable after release.")
        .def_property_readonly(
            "timestamp", &Frame::timestamp,
            "When the frame arrived, in seconds on the monotonic clock (the clock of\n"
            "time.monotonic(), so time.monotonic() - frame.timestamp is its age).\n"
            "Readable after release.")
        .def_property_readonly("timestamp_ns", &Frame::timestampNs,
                               "The arrival time in whole nanoseconds on the same clock\n"
                               "(time.monotonic_ns()).")
        .def(
            "__enter__", [](Frame &f) -> Frame & { return f; },
            py::return_value_policy::reference_internal)
        .def("__exit__", [](Frame &f, py::args) { f.release(); });

    py::class_<FrameIterator>(m, "FrameIterator", "Iterator over the frames of a stream.")
        .def(
            "__iter__", [](FrameIterator &it) -> FrameIterator & { return it; },
            py::return_value_policy::reference_internal)
        .def("__next__", &FrameIterator::next);

    py::class_<Stream>(m, "Stream",
                       "A camera's video stream; a context manager that starts and stops it.")
        .def("start", &Stream::start, py::return_value_policy::reference_internal,
             "Allocates the ring for the current window and starts video.")
        .def("stop", &Stream::stop, "Stops video and releases every frame handed out.")
        .def_property_readonly("running", &Stream::running, "True while video runs.")
        .def(
            "frames",
            [](Stream &s, py::object count, py::object timeout) {
                std::optional<long long> n;
                if (!count.is_none()) {
                    n = intArg(count, "count");
                    if (*n < 0) raiseValue("count must not be negative");
                }
                return FrameIterator(s, n, timeoutArg(timeout));
            },
            py::arg("count") = py::none(), py::kw_only(), py::arg("timeout") = py::none(),
            "Iterates over the next `count` frames (all of them when None), each released\n"
            "when the next is asked for. Ends early when the stream is stopped.\n\n"
            "timeout: seconds to wait for each frame (None: for ever); when it runs out,\n"
            "vocam.Timeout is raised and the stream goes on.")
        .def(
            "frame",
            [](Stream &s, py::object timeout) {
                auto f = s.next(timeoutArg(timeout));
                if (!f) fail(-96, "stream.frame: the stream was stopped");
                return *f;
            },
            py::kw_only(), py::arg("timeout") = py::none(),
            "Waits for the next frame; the caller releases it.\n\n"
            "timeout: seconds to wait (None: for ever); when it runs out, vocam.Timeout\n"
            "is raised and the stream goes on. Ctrl-C ends any wait with\n"
            "KeyboardInterrupt within a fraction of a second.")
        .def("record", &Stream::record, py::arg("path"), py::arg("count") = py::none(),
             py::kw_only(), py::arg("seconds") = py::none(), py::arg("timeout") = py::none(),
             "Records the next frames to a SER file (the raw frames, their UTC times, the\n"
             "model as the instrument) and returns how many it wrote: `count` frames, or\n"
             "for `seconds`, or until the stream is stopped (None: no limit).\n\n"
             "timeout: seconds to wait for each frame, as for frames(). The file counts\n"
             "every frame written after each one, and is whole whatever ends the\n"
             "recording: Ctrl-C (KeyboardInterrupt), a full disk (OSError), the camera\n"
             "leaving (vocam.Error); their messages say how many frames it holds.")
        .def(
            "__enter__", [](Stream &s) -> Stream & { return s.start(); },
            py::return_value_policy::reference_internal)
        .def("__exit__", [](Stream &s, py::args) { s.stop(); });

    py::class_<Camera> camera(
        m, "Camera",
        "An open camera; a context manager that closes it. Open one with vocam.open().");
    camera.def("close", &Camera::close, "Stops any stream and closes the camera.")
        .def_property_readonly("closed", &Camera::closed, "True once closed.")
        .def(
            "__enter__", [](Camera &c) -> Camera & { return c; },
            py::return_value_policy::reference_internal)
        .def("__exit__", [](Camera &c, py::args) { c.close(); })
        .def("stream", &Camera::stream, "A Stream of the current window; use it in a with block.")
        .def_property_readonly(
            "info", [](const Camera &c) { return infoOf(c.version()); }, "The camera's identity.")
        .def_property_readonly(
            "serial", [](const Camera &c) { return c.version().serial_number; }, "Serial number.")
        .def_property_readonly(
            "product_id", [](const Camera &c) { return c.version().product_id; }, "USB product ID.")
        .def_property_readonly("model", &Camera::model, "The camera's product name.")
        .def_property_readonly(
            "handle",
            [](const Camera &c) { return reinterpret_cast<std::uintptr_t>(c.device().handle); },
            "The library's camera handle (a _vocam pointer) as an int, for calling the C\n"
            "interface directly, e.g. through ctypes. Valid until the camera is closed.")
        .def_property_readonly("is_color", &Camera::color, "True for a Bayer colour sensor.")
        .def_property(
            pythonName("temperature"), &Camera::temperature,
            [](Camera &c, py::handle v) { c.setTemperature(v); },
            "Sensor temperature in degrees Celsius; setting it sets the cooling target.")
        .def_property(
            "cooling", &Camera::cooling, [](Camera &c, py::handle v) { c.setCooling(v); },
            "True while temperature control is on.")
        .def_property(
            "window", &Camera::window, [](Camera &c, py::handle v) { c.setWindow(v); },
            "(x, y, width, height) of the sensor window in sensor pixels.")
        .def_property(
            "subsample", &Camera::subsample, [](Camera &c, py::handle v) { c.setSubsample(v); },
            "(x, y) subsampling factors; set an int for both.")
        .def_property_readonly("data_rates", &Camera::dataRates,
                               "Data rates offered, in kilopixels per second.")
        .def_property(
            pythonName("data-rate"), &Camera::dataRate,
            [](Camera &c, py::handle v) { c.setDataRate(v); },
            "Data rate in kilopixels per second, one of data_rates.")
        .def_property_readonly(
            "width", [](const Camera &c) { return std::get<2>(c.window()) / c.subsample().first; },
            "Delivered frame width in pixels.")
        .def_property_readonly(
            "height",
            [](const Camera &c) { return std::get<3>(c.window()) / c.subsample().second; },
            "Delivered frame height in pixels.");
    for (const Scalar &p : scalars()) {
        camera.def_property(
            p.name.c_str(), [&p](const Camera &c) { return c.scalar(p); },
            [&p](Camera &c, py::handle v) { c.setScalar(p, v); }, p.doc.c_str());
    }
    camera
        .def("white_balance", &Camera::whiteBalance, py::arg("roi") = py::none(),
             py::arg("mode") = "step", py::arg("frame") = py::none(),
             "Balances the colours on a region the caller knows to be neutral grey.\n\n"
             "roi: (x, y, width, height) in frame pixels, all even; None: the middle half.\n"
             "mode: 'step' moves the analogue and digital gains 90 % of the way (repeat on\n"
             "later frames; returns True when it changed them), 'oneshot' sets the four\n"
             "analogue gains at once, 'digital' changes only the conversion's white balance.\n"
             "frame: the Frame to measure; None takes the next one from the camera.\n"
             "A region too dark or too bright raises vocam.Error (code -35).")
        .def(
            "auto_exposure",
            [](Camera &c, py::handle target, py::object roi, py::object frame) {
                return c.autoLevel(true, target, roi, frame);
            },
            py::arg("target") = 128, py::arg("roi") = py::none(), py::arg("frame") = py::none(),
            "One correction of the exposure toward a mean grey level `target` (0 to 255) of\n"
            "the region (None: the middle half). Returns the new exposure_ms; call again on\n"
            "later frames to converge, skipping the few already on their way, which still\n"
            "show the old exposure.")
        .def(
            "auto_gain",
            [](Camera &c, py::handle target, py::object roi, py::object frame) {
                return c.autoLevel(false, target, roi, frame);
            },
            py::arg("target") = 128, py::arg("roi") = py::none(), py::arg("frame") = py::none(),
            "One correction of the gain toward a mean grey level `target`; returns the new gain.");
    camera.def(
        "range",
        [](const Camera &c, const std::string &name) -> py::tuple {
            for (const Scalar &p : scalars())
                if (name == p.name) return py::cast(c.scalarRange(p));
            if (name == "temperature_c") return py::cast(c.temperatureRange());
            if (name == "subsample") return py::make_tuple(1, c.subsampleMax());
            if (name == "data_rate") {
                const auto rates = c.dataRates();
                if (rates.empty()) fail(-14, "camera.range: the camera lists no data rates");
                return py::make_tuple(*std::min_element(rates.begin(), rates.end()),
                                      *std::max_element(rates.begin(), rates.end()));
            }
            if (name == "window")
                return py::make_tuple(c.geometry(VOCAM_PROP_MAX_WIDTH),
                                      c.geometry(VOCAM_PROP_MAX_HEIGHT));
            throw py::value_error("no property named '" + name + "' with a range");
        },
        py::arg("name"),
        "(min, max) of a property in its units; for 'window' the sensor's (width, height).");

    m.def("init", &init, py::arg("resources") = py::none(),
          "Brings every attached camera up (firmware, then FPGA). `resources` is the folder\n"
          "of firmware and FPGA images; None means the installed one.");
    m.def(
        "cameras",
        [] {
            std::vector<CameraInfo> out;
            for (const auto &v : enumerate()) out.push_back(infoOf(v));
            return out;
        },
        "Lists the attached cameras.");
    m.def("open", &openCamera, py::arg("serial") = py::none(), py::arg("product") = py::none(),
          "Opens a camera: by serial number, by USB product ID, both, or the first one.");
    m.def("simulate", &simulate, py::arg("cameras"),
          "Uses the simulated camera bus with these cameras (the VOCAM_SIM syntax).\n"
          "Must come before the first init(), cameras() or open().");

    vocam_set_log_handler(fromLibrary, nullptr);
    // Lines of the library's last moments go to standard error, as in C.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        vocam_set_log_handler(nullptr, nullptr);
        if (!drainLibraryLines()) throw py::error_already_set();
    }));
}
