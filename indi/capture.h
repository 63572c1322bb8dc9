// The camera's side of a device: one thread that takes a single exposure or
// runs a video stream, so the INDI event loop never waits for the camera.
// What it finds is handed back as outcomes; `notify` tells the owner that
// there are some to take. Nothing here knows INDI.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "astro.h"
#include "vocamapi.h"

namespace vocam::indi {

// A raw frame as FITS files and INDI's streamer take it: one byte a
// sample, or 16-bit samples in the host's byte order.
struct Frame {
    std::vector<std::uint8_t> pixels;
    std::uint32_t width = 0, height = 0;
    int bits = 8;
    std::uint64_t arrivalNs = 0;  // CLOCK_MONOTONIC, as the library stamps frames
};

// Copies the frame of a ring buffer, putting 16-bit samples in host order.
Frame copyFrame(const std::uint8_t *raw, const _VOCAM_IMAGE_FORMAT &format);

struct Outcome {
    enum class Kind {
        Exposed,      // `frame` and `facts` hold the exposure
        Failed,       // the exposure ended without a frame; `why`
        Aborted,      // stopped on request
        StreamEnded,  // the video stream ended on its own; `why`
    };
    std::uint64_t job = 0;
    Kind kind = Kind::Failed;
    std::string why;
    bool gone = false;  // the camera no longer answers: it left the bus
    Frame frame;
    cli::CaptureFacts facts;
    std::int64_t startUtcNs = 0;  // the exposure's start, UTC nanoseconds
};

class Capture {
  public:
    using Notify = std::function<void()>;
    using Sink = std::function<void(const std::uint8_t *data, std::size_t bytes)>;

    Capture(_vocam *camera, Notify notify);
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // True while a job runs (until its thread has ended).
    bool busy() const { return running_.load(); }

    // One frame exposed for `exposureUs` set at `setNs` (CLOCK_MONOTONIC):
    // the first frame of a fresh stream whose exposure, counted back from
    // its arrival, began after that. `target` is the cooler's setpoint the
    // driver sent, for the header.
    void expose(std::uint64_t job, std::uint32_t exposureUs, std::uint64_t setNs,
                std::optional<double> target);
    // Video: every frame goes to `sink`, on this object's thread.
    void stream(std::uint64_t job, Sink sink);

    // Asks the job to end and returns at once; safe from any thread, the
    // sink included.
    void requestStop() { stop_ = true; }
    // Asks and waits for the thread to end. Not from the sink.
    void stop();

    std::vector<Outcome> takeOutcomes();

  private:
    void start(std::function<void()> job);
    void post(Outcome outcome);
    void runExposure(std::uint64_t job, std::uint32_t exposureUs, std::uint64_t setNs,
                     std::optional<double> target);
    void runStream(std::uint64_t job, const Sink &sink);
    // Whether the camera still answers a register read.
    bool answers() const;

    _vocam *camera_;
    Notify notify_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::mutex lock_;
    std::vector<Outcome> outcomes_;  // guarded by lock_
};

}  // namespace vocam::indi
