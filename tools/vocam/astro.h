// The files astronomers' software reads: FITS stills and SER recordings of
// the raw frames, with what the camera was set to when they were taken.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "images.h"
#include "vocamapi.h"

namespace vocam::cli {

// What a file says about the camera besides the pixels.
struct CaptureFacts {
    std::string model;  // the USB product name
    std::uint32_t serial = 0;
    double exposureSeconds = 0;
    double gain = 1;  // a factor, 1 for unity
    // Red, green on red rows, green on blue rows, blue; colour sensors only.
    std::optional<std::array<double, 4>> colourGains;
    std::optional<double> sensorCelsius;     // models with temperature control
    std::optional<double> targetCelsius;     // while cooling, when the target is known
    std::uint32_t binX = 1, binY = 1;        // the subsampling
    std::uint32_t originX = 0, originY = 0;  // the window's corner, in sensor pixels
    std::string software;
};

// Reads the facts through the public calls. A camera cannot be asked for
// its cooler's target (it reports only the reading): `target` is the one
// this program set, if any.
CaptureFacts readCaptureFacts(_vocam *camera, const std::string &software,
                              std::optional<double> target = std::nullopt);

// "<program> (VoCamSDK <version of the library loaded>)".
std::string softwareName(const std::string &program);

// The colour of the frame's first pixel and its neighbours, as the frame is
// stored (top row first), from its layout flags; nullptr for a monochrome
// sensor.
const char *bayerPattern(std::uint32_t flags);

// "2024-05-01T21:03:07.250", the FITS form of a UTC time given in
// nanoseconds since 1970.
std::string isoUtc(std::int64_t ns);

// UTC of the start of an exposure that ended when its frame arrived at
// `arrivalNs` on CLOCK_MONOTONIC (as the library stamps frames), in
// nanoseconds since 1970: the arrival moved to the real-time clock, less the
// exposure. Readout and transfer are not known and not taken off.
std::int64_t exposureStartUtc(std::uint64_t arrivalNs, double exposureSeconds);

// The raw frame as one plane: BITPIX 8, or 16 (unsigned, through BZERO) for
// 16-bit samples, with the mosaic's pattern on colour sensors. Whole or not
// at all, as the other picture files.
void writeFits(const std::string &path, const _VOCAM_IMAGE_FORMAT &format, const std::uint8_t *raw,
               const CaptureFacts &facts, std::int64_t startUtcNs);
// The converted picture as three planes: red, green, blue.
void writeFitsCube(const std::string &path, const Rgb &picture, const CaptureFacts &facts,
                   std::int64_t startUtcNs);

// A SER recording that is a readable file after every frame: the header's
// frame count is rewritten once each frame is whole, and the trailer of
// frame times is added when the recording ends. A disk that fills up (or a
// file-size limit) ends the recording with the frames already written; if
// the trailer then does not fit, the last frames make room for it.
class SerWriter {
  public:
    // Creates (or empties) `path`; a Failure line when it cannot.
    SerWriter(const std::string &path, const _VOCAM_IMAGE_FORMAT &format,
              const std::string &instrument);
    ~SerWriter();
    SerWriter(const SerWriter &) = delete;
    SerWriter &operator=(const SerWriter &) = delete;

    // Appends a frame whose exposure began at `startUtcNs`. False when it
    // could not be written: the file then holds the frames before it, and
    // error() says why.
    bool add(const std::uint8_t *frame, std::int64_t startUtcNs);
    // Writes the trailer and closes the file; also done by the destructor.
    void finish();

    std::uint64_t frames() const { return times_.size(); }
    // The errno that ended the recording, 0 while all is well.
    int error() const { return error_; }
    // Frames given up at the end to make room for the trailer on a full disk.
    std::uint64_t droppedForTrailer() const { return droppedForTrailer_; }
    const std::string &path() const { return path_; }

  private:
    bool writeAt(const void *data, std::size_t size, std::uint64_t offset);
    void cutTo(std::uint64_t frames);

    std::string path_;
    int fd_ = -1;
    std::size_t frameBytes_ = 0;
    std::vector<std::int64_t> times_;  // the format's ticks, one per frame
    int error_ = 0;
    std::uint64_t droppedForTrailer_ = 0;
};

}  // namespace vocam::cli
