// Shared pieces of the vocam command: failures with their exit status, the
// opened camera, the property names, and Ctrl-C.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "controls.h"
#include "vocamapi.h"

namespace vocam::cli {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// One line for standard error and the exit status that goes with it.
class Failure : public std::runtime_error {
  public:
    explicit Failure(const std::string &line, int status = kExitFailure)
        : std::runtime_error(line), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

[[noreturn]] inline void usage(const std::string &line) {
    throw Failure(line, kExitUsage);
}

// Options every command shares.
struct Globals {
    std::string resources;  // empty: the library's own data folder
    bool verbose = false;
};
extern Globals globals;

// Runs the library's bring-up once (firmware, FPGA) before a camera is used.
void bringUp();

// The product of a camera on the bus that could not be opened (held by
// another program, or no access), if any.
std::optional<std::uint32_t> unreachableCamera();

// An opened camera, closed (and its stream stopped) when it goes.
class Camera {
  public:
    // Opens the camera with this serial, or the first one for 0.
    explicit Camera(std::uint32_t serial);
    ~Camera();
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;
    _vocam *get() const { return handle_; }
    std::string name() const;
    const vocam_version &version() const { return version_; }

  private:
    _vocam *handle_ = nullptr;
    vocam_version version_{};
};

// Streams while alive: enable, start; stop and disable when it goes. Ctrl-C
// stops the stream from the signal thread, so a blocked wait returns.
class Stream {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kEnded = -1;     // the stream ended (Ctrl-C included)
    static constexpr int kTimedOut = -2;  // no frame before the deadline

    explicit Stream(_vocam *camera);
    ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    // The index of the next frame held for the caller, waiting at most until
    // `deadline`.
    int next(Clock::time_point deadline);
    void release(int index);
    // How long a frame may take before the camera counts as silent: its
    // exposure and readout at the data rate, and a margin.
    Clock::duration patience() const;
    // The library's code that ended the stream; 0 while it runs or after Ctrl-C.
    int endCode() const { return end_; }

  private:
    _vocam *camera_;
    int end_ = 0;
};

// The numbered properties, named as the shared control table names them.
using controls::formatValue;
using controls::rawValue;
using controls::registerNumber;
using controls::toReadable;
using controls::Unit;
using controls::unitText;
using PropertyName = controls::Control;
const std::vector<PropertyName> &propertyNames();
// By name or by number; usage failure for text that is neither.
PropertyName findProperty(std::string_view text);
// The register word for a readable value; a failure when it does not fit.
int fromReadable(const PropertyName &p, double value);

// Ctrl-C (and SIGTERM): set once, never cleared.
bool interrupted();
// Blocks the signals in every thread and handles them on one of its own. A
// Ctrl-C stops a running stream, and code that looks at interrupted() ends
// on its own (inside a Polling scope); anywhere else (bring-up, open, a
// conversion) it ends the tool at once with status 130, as a second Ctrl-C
// always does. Temporary files are removed first.
void installSignalThread();
struct Polling {
    Polling();
    ~Polling();
    Polling(const Polling &) = delete;
    Polling &operator=(const Polling &) = delete;
};
inline constexpr int kExitInterrupted = 130;

// Numbers from the command line, refused whole when anything trails them.
std::optional<long long> parseInteger(std::string_view text);
std::optional<double> parseNumber(std::string_view text);

std::string jsonString(std::string_view text);

// A library result as a person reads it: "invalid argument or busy, -22".
std::string codeText(int code);

// Writes a line on the tool's standard error.
void errorLine(const std::string &line);
// Takes the library's lines: kept for libraryLine, and shown on standard
// error only with --verbose.
void routeLibraryLines();
// The library's last line that starts with `prefix` (empty when none).
std::string libraryLine(const std::string &prefix);
// A usage failure when the simulated bus refused the --sim description.
void checkSimulatedBus();

}  // namespace vocam::cli
