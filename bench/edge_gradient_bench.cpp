// Throughput of the edge-detecting (method 2) and gradient-corrected
// (method 3) kernels on RGGB frames, single-threaded. The "pixels" counter is
// printed as pixels per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "vocamkernels.h"

namespace {

// Random samples: no flat regions for the branches to settle into.
template <class T>
std::vector<T> randomFrame(size_t count) {
    std::mt19937 rng(12345);
    std::vector<T> v(count);
    for (auto &s : v) s = T(rng());
    return v;
}

void setCounters(benchmark::State &state, uint32_t w, uint32_t h) {
    state.counters["pixels"] =
        benchmark::Counter(double(w) * h, benchmark::Counter::kIsIterationInvariantRate);
}

// RGGB: row 0 is a red row starting with a red site.
constexpr int kBlueRow = 0, kGreenFirst = 0;

template <class Kernel>
void run8(benchmark::State &state, uint32_t pixelBytes, Kernel kernel) {
    const uint32_t w = uint32_t(state.range(0)), h = uint32_t(state.range(1));
    const auto src = randomFrame<uint8_t>(size_t(w) * h);
    std::vector<uint8_t> dst(size_t(w) * h * pixelBytes);
    for (auto _ : state) {
        kernel(dst.data(), src.data(), w, h);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    setCounters(state, w, h);
}

template <class D, class Kernel>
void run16(benchmark::State &state, uint32_t pixelElems, Kernel kernel) {
    const uint32_t w = uint32_t(state.range(0)), h = uint32_t(state.range(1));
    const auto src = randomFrame<uint16_t>(size_t(w) * h);
    std::vector<D> dst(size_t(w) * h * pixelElems);
    for (auto _ : state) {
        kernel(dst.data(), src.data(), w, h);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    setCounters(state, w, h);
}

// ---- Method 2: edge-detecting --------------------------------------------------------

void BM_EdgeDetectMove_24(benchmark::State &state) {
    run8(state, 3, [](uint8_t *d, const uint8_t *s, uint32_t w, uint32_t h) {
        EdgeDetectMove(d, s, w, h, kBlueRow, kGreenFirst, 1, 1, nullptr);
    });
}
void BM_EdgeDetectMove_32(benchmark::State &state) {
    run8(state, 4, [](uint8_t *d, const uint8_t *s, uint32_t w, uint32_t h) {
        EdgeDetectMove32(d, s, w, h, kBlueRow, kGreenFirst, 1, 1, nullptr);
    });
}
void BM_EdgeDetectMove16to8_24(benchmark::State &state) {
    run16<uint8_t>(state, 3, [](uint8_t *d, const uint16_t *s, uint32_t w, uint32_t h) {
        EdgeDetectMove16to8(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, nullptr);
    });
}
void BM_EdgeDetectMove16to832_32(benchmark::State &state) {
    run16<uint8_t>(state, 4, [](uint8_t *d, const uint16_t *s, uint32_t w, uint32_t h) {
        EdgeDetectMove16to832(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, nullptr);
    });
}
void BM_EdgeDetectMove16InPlace_48(benchmark::State &state) {
    run16<uint16_t>(state, 3, [](uint16_t *d, const uint16_t *s, uint32_t w, uint32_t h) {
        EdgeDetectMove16InPlace(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, 0, nullptr);
    });
}

// With a tone table (the selectors then take the two-pass route).
const std::vector<uint8_t> kTable8 = randomFrame<uint8_t>(256);
const std::vector<uint16_t> kTable16 = randomFrame<uint16_t>(65536);

void BM_EdgeDetectMoveTable_24(benchmark::State &state) {
    run8(state, 3, [](uint8_t *d, const uint8_t *s, uint32_t w, uint32_t h) {
        EdgeDetectMove(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, kTable8.data());
    });
}
void BM_EdgeDetectMove16to8Table_24(benchmark::State &state) {
    run16<uint8_t>(state, 3, [](uint8_t *d, const uint16_t *s, uint32_t w, uint32_t h) {
        EdgeDetectMove16to8(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, kTable16.data());
    });
}

// ---- Method 3: gradient-corrected ----------------------------------------------------

void BM_QarexMove_24(benchmark::State &state) {
    run8(state, 3, [](uint8_t *d, const uint8_t *s, uint32_t w, uint32_t h) {
        QarexMove(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, nullptr);
    });
}
void BM_QarexMove_32(benchmark::State &state) {
    run8(state, 4, [](uint8_t *d, const uint8_t *s, uint32_t w, uint32_t h) {
        QarexMove32(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, nullptr);
    });
}
void BM_QarexMove16to8_24(benchmark::State &state) {
    run16<uint8_t>(state, 3, [](uint8_t *d, const uint16_t *s, uint32_t w, uint32_t h) {
        QarexMove16to8(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, 0, nullptr);
    });
}
void BM_QarexMove16to832_32(benchmark::State &state) {
    run16<uint8_t>(state, 4, [](uint8_t *d, const uint16_t *s, uint32_t w, uint32_t h) {
        QarexMove16to832(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, 0, nullptr);
    });
}
void BM_QarexMove16_48(benchmark::State &state) {
    run16<uint16_t>(state, 3, [](uint16_t *d, const uint16_t *s, uint32_t w, uint32_t h) {
        QarexMove16(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, 0, nullptr);
    });
}

void BM_QarexMoveTable_24(benchmark::State &state) {
    run8(state, 3, [](uint8_t *d, const uint8_t *s, uint32_t w, uint32_t h) {
        QarexMove(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, kTable8.data());
    });
}
void BM_QarexMove16to8Table_24(benchmark::State &state) {
    run16<uint8_t>(state, 3, [](uint8_t *d, const uint16_t *s, uint32_t w, uint32_t h) {
        QarexMove16to8(d, s, w, h, kBlueRow, kGreenFirst, 0, 1, 0, 0, kTable16.data());
    });
}

void sizes(benchmark::internal::Benchmark *b) {
    b->Args({2048, 1536})->Args({4096, 3072})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_EdgeDetectMove_24)->Apply(sizes);
BENCHMARK(BM_EdgeDetectMove_32)->Apply(sizes);
BENCHMARK(BM_EdgeDetectMove16to8_24)->Apply(sizes);
BENCHMARK(BM_EdgeDetectMove16to832_32)->Apply(sizes);
BENCHMARK(BM_EdgeDetectMove16InPlace_48)->Apply(sizes);
BENCHMARK(BM_EdgeDetectMoveTable_24)->Apply(sizes);
BENCHMARK(BM_EdgeDetectMove16to8Table_24)->Apply(sizes);
BENCHMARK(BM_QarexMove_24)->Apply(sizes);
BENCHMARK(BM_QarexMove_32)->Apply(sizes);
BENCHMARK(BM_QarexMove16to8_24)->Apply(sizes);
BENCHMARK(BM_QarexMove16to832_32)->Apply(sizes);
BENCHMARK(BM_QarexMove16_48)->Apply(sizes);
BENCHMARK(BM_QarexMoveTable_24)->Apply(sizes);
BENCHMARK(BM_QarexMove16to8Table_24)->Apply(sizes);

}  // namespace
