// Internals of the frame conversion shared with the tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The colour-matrix stage the engine runs lives with the kernels.
#include "color/matrix_stage.h"

namespace vocam::colour {

class BandPool;

// How a converter splits a frame into row bands: each band is demosaiced
// into a worker's scratch rows (with the rows above and below that its
// kernel reads) and leaves them through the matrix stage while they are
// still in the cache; large frames spread their bands over a pool of
// threads.
class ConversionBands {
  public:
    // The cores available, at most kMaxThreads.
    static unsigned DefaultThreads() noexcept;
    static constexpr unsigned kMaxThreads = 8;

    ConversionBands() noexcept;
    ~ConversionBands();
    ConversionBands(const ConversionBands &) = delete;
    ConversionBands &operator=(const ConversionBands &) = delete;

    unsigned threads;
    // Rows of a band; 0 sizes them so that a band's picture stays in the
    // second-level cache. Any even count of at least 4 gives the same bytes.
    unsigned bandRows = 0;
    // Frames of fewer pixels are converted on the calling thread only.
    std::size_t parallelMinPixels = std::size_t(1) << 19;

    // A pool of up to n workers (the caller included), kept between frames;
    // null when no thread can be started.
    BandPool *Pool(unsigned n) noexcept;
    // Scratch of bytes for each of n workers; false when memory runs out.
    bool Reserve(unsigned n, std::size_t bytes) noexcept;
    std::uint8_t *Scratch(unsigned worker) noexcept { return scratch_[worker].get(); }

  private:
    std::unique_ptr<BandPool> pool_;
    unsigned poolAsked_ = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>> scratch_;
    std::size_t scratchBytes_ = 0;
};

}  // namespace vocam::colour
