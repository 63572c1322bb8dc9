// Demosaic kernels on RGGB frames of 2048x1536 and 4096x3072, single-threaded,
// top-down, not mirrored, no table, as the conversion driver calls them.
// "pixels" is the rate of raw pixels converted per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "vocamkernels.h"

namespace {

struct Frames {
    std::vector<uint8_t> raw8;
    std::vector<uint16_t> raw16;
    std::vector<uint8_t> out;
    std::vector<uint16_t> out16;
};

Frames &frames(uint32_t w, uint32_t h) {
    static Frames f;
    const size_t n = size_t(w) * h;
    if (f.raw8.size() != n) {
        std::mt19937 rng(1);
        f.raw8.resize(n);
        f.raw16.resize(n);
        for (auto &s : f.raw8) s = uint8_t(rng());
        for (auto &s : f.raw16) s = uint16_t(rng());
        f.out.assign(n * 4, 0);
        f.out16.assign(n * 3, 0);
    }
    return f;
}

template <class Run>
void runKernel(benchmark::State &state, Run run) {
    const auto w = uint32_t(state.range(0)), h = uint32_t(state.range(1));
    Frames &f = frames(w, h);
    for (auto _ : state) {
        run(f, w, h);
        benchmark::ClobberMemory();
    }
    state.counters["pixels"] =
        benchmark::Counter(double(w) * h, benchmark::Counter::kIsIterationInvariantRate);
}

#define KERNEL_BENCH(name, body)                                           \
    void name(benchmark::State &state) {                                   \
        runKernel(state, [](Frames &f, uint32_t w, uint32_t h) { body; }); \
    }                                                                      \
    BENCHMARK(name)->Args({2048, 1536})->Args({4096, 3072})->Unit(benchmark::kMillisecond)

// Method 0: grey.
KERNEL_BENCH(Grey_NoneMove_24, NoneMove(f.out.data(), f.raw8.data(), w, h, 0, 1, nullptr));
KERNEL_BENCH(Grey_NoneMove32_32, NoneMove32(f.out.data(), f.raw8.data(), w, h, 0, 1, nullptr));
// Method 1: nearest neighbour through the selectors.
KERNEL_BENCH(Nearest_24, NearestNeighbor(f.out.data(), f.raw8.data(), w, h, 1, 0, 0, 1, nullptr));
KERNEL_BENCH(Nearest_32, NearestNeighbor32(f.out.data(), f.raw8.data(), w, h, 1, 0, 0, 1, nullptr));
KERNEL_BENCH(Nearest_24_FlipX,
             NearestNeighbor(f.out.data(), f.raw8.data(), w, h, 1, 0, 1, 1, nullptr));
// Method 8: 2x2 block.
KERNEL_BENCH(Block_24, UlmetMoveInPlace(f.out.data(), f.raw8.data(), w, h, 1, 0, 0, 1, 0, nullptr));
KERNEL_BENCH(Block_32,
             UlmetMove32InPlace(f.out.data(), f.raw8.data(), w, h, 1, 0, 0, 1, 0, nullptr));
KERNEL_BENCH(Block_24_FlipX_BottomUp,
             UlmetMoveInPlace(f.out.data(), f.raw8.data(), w, h, 1, 0, 1, 0, 0, nullptr));
// Method 9: four colour planes (32-bit); 24-bit output is the 2x2 block above.
KERNEL_BENCH(FourColors_32, FourColorsInterMove32InPlace(f.out.data(), f.raw8.data(), w, h, 1, 0, 0,
                                                         1, 0, nullptr));
// With a table every method takes the two-pass route.
KERNEL_BENCH(Nearest_24_Table, {
    static const std::vector<uint8_t> lut = [] {
        std::vector<uint8_t> t(256);
        for (int i = 0; i < 256; ++i) t[i] = uint8_t(255 - i);
        return t;
    }();
    NearestNeighbor(f.out.data(), f.raw8.data(), w, h, 1, 0, 0, 1, lut.data());
});

// 16-bit samples.
KERNEL_BENCH(Grey16_NoneMove16to8_24,
             NoneMove16to8(f.out.data(), f.raw16.data(), w, h, 0, 1, 0, nullptr));
KERNEL_BENCH(Nearest16_24,
             NearestNeighbor16to8(f.out.data(), f.raw16.data(), w, h, 1, 0, 0, 1, 0, nullptr));
KERNEL_BENCH(Nearest16_32,
             NearestNeighbor16to832(f.out.data(), f.raw16.data(), w, h, 1, 0, 0, 1, 0, nullptr));
KERNEL_BENCH(Nearest16_48, NearestNeighbor16InPlace(f.out16.data(), f.raw16.data(), w, h, 1, 0, 0,
                                                    1, 0, 0, nullptr));
KERNEL_BENCH(Block16_24,
             UlmetMove16to8InPlace(f.out.data(), f.raw16.data(), w, h, 1, 0, 0, 1, 0, 0, nullptr));
KERNEL_BENCH(Block16_32, UlmetMove16to832InPlace(f.out.data(), f.raw16.data(), w, h, 1, 0, 0, 1, 0,
                                                 0, nullptr));
KERNEL_BENCH(Block16_48,
             UlmetMove16InPlace(f.out16.data(), f.raw16.data(), w, h, 1, 0, 0, 1, 0, 0, nullptr));
KERNEL_BENCH(Mono16_MonoToMonoMove16to8,
             MonoToMonoMove16to8(f.out.data(), f.raw16.data(), w, h, 0, 1, 0, nullptr));

}  // namespace
