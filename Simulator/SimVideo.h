// The simulated camera's video: frames of the current window rendered from a
// fixed test scene, a log of every frame sent, and video faults on demand.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "usbhost/UsbHost.h"

namespace vocam::sim {

// Everything that decides what one frame looks like.
struct VideoSettings {
    std::uint16_t sensorWidth = 0, sensorHeight = 0;
    std::uint16_t x = 0, y = 0;           // window position on the sensor
    std::uint16_t width = 0, height = 0;  // window size in sensor pixels
    std::uint16_t subX = 1, subY = 1;     // subsampling
    std::uint32_t colorCode = 0;          // colour inquiry code: 0 mono, else the Bayer phase
    std::uint32_t exposure = 0;           // microseconds; 0 counts as the nominal exposure
    // Analogue gains in 1/4096 units; 0 counts as unity.
    std::uint32_t gain = 0, gainRed = 0, gainGreen1 = 0, gainGreen2 = 0, gainBlue = 0;
    std::array<std::uint8_t, 256> tone{};  // applied last
    // Defocus: Gaussian sigma in delivered pixels, over each colour's own
    // sites (0: sharp).
    double blur = 0;

    bool operator==(const VideoSettings &) const = default;
    // Delivered pixels (one byte each) of a frame.
    std::uint32_t frameBytes() const;
};

// What VOCAM_SIM stages on a camera's video. Times count from the first frame
// read the camera answers.
struct VideoFaults {
    // Every 4 KiB of a frame one 64-bit word carries the frame's number, so
    // that a buffer mixing two frames hashes like neither. Off, every frame
    // of one scene is the same picture.
    bool stamp = false;
    // The camera leaves the bus this long after its first frame, and comes
    // back (as first described, without these faults) this long after that.
    std::optional<double> unplugSeconds, replugSeconds;
    // It stops answering frame reads this long after its first frame, and
    // stays on the bus.
    std::optional<double> stallSeconds;
    // Every Nth frame read fails with an I/O error, or brings half a frame.
    std::uint32_t failEvery = 0, shortEvery = 0;

    bool operator==(const VideoFaults &) const = default;
};

// The exposure at which the scene's white reaches its nominal level.
inline constexpr std::uint32_t kNominalExposureUs = 20000;

// One frame sent: the camera's own count (from 1) and the hash of its bytes.
struct FrameRecord {
    std::uint64_t sequence = 0;
    std::uint64_t hash = 0;
};

// The hash the frame log records, over any bytes (a polynomial over
// little-endian 64-bit words, the last one zero-padded, and the length).
std::uint64_t frameHash(const std::uint8_t *data, std::size_t size);

class SimVideo {
  public:
    // `wake` nudges the device's worker when a fault that held frames back ends.
    explicit SimVideo(std::function<void()> wake);

    // Faults: the next `count` frame reads fail with `code` and no data, or
    // bring only `bytes` of the frame; a silent camera completes no read until
    // it is made to speak again.
    void failReads(usbhost::IOReturn code, int count = 1);
    void shortFrames(std::uint32_t bytes, int count = 1);
    void setSilent(bool silent);
    // Silent by setSilent, or stalled by its faults.
    bool silent() const;
    // Stamping and the staged faults (the device applies its description's).
    void stage(const VideoFaults &faults);
    // Called once, outside every lock, when the first frame read is answered.
    void onFirstFrame(std::function<void()> callback);

    std::vector<FrameRecord> frameLog() const;
    void clearFrameLog();
    std::uint64_t framesSent() const;
    // Time spent writing frames into the host's buffers, and rendering scenes.
    double copySeconds() const;
    double renderSeconds() const;

    // Serves one frame read into `dst` (the device's worker only).
    usbhost::IOReturn deliver(const VideoSettings &settings, std::uint8_t *dst, std::uint32_t size,
                              std::uint32_t &moved);

    // The picture of a window without stamps: every frame of it, unless
    // stamping is on.
    static std::vector<std::uint8_t> render(const VideoSettings &settings);

  private:
    struct Prepared;
    std::shared_ptr<const Prepared> prepare(const VideoSettings &settings);

    std::function<void()> wake_;
    mutable std::mutex mutex_;
    std::shared_ptr<const Prepared> prepared_;
    std::deque<FrameRecord> log_;
    std::uint64_t sequence_ = 0;
    usbhost::IOReturn failCode_ = 0;
    int failCount_ = 0;
    std::uint32_t shortBytes_ = 0;
    int shortCount_ = 0;
    bool silent_ = false;
    VideoFaults faults_;
    std::uint64_t reads_ = 0;  // frame reads answered, whole or not
    std::optional<std::chrono::steady_clock::time_point> stallAt_;
    std::function<void()> firstFrame_;
    double copySeconds_ = 0;
    double renderSeconds_ = 0;
};

}  // namespace vocam::sim
