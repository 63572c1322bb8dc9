// Cost of composing the fixed-point colour matrix (once per converted frame)
// and of the 16-bit tone table (once per 16-bit frame when the converter
// holds no table of its own).
#include <benchmark/benchmark.h>

#include <vector>

#include "votf/votf.h"

namespace {

void BM_BuildMatrix(benchmark::State &state) {
    CVotf v;
    v.CorrectionMatrixSet(static_cast<unsigned>(state.range(0)));
    v.SetHue(12);
    v.SetSaturation(1.3, 1.1);
    v.SetWhiteBalance(0.1, -0.05);
    v.SetGain(1.2);
    _votf_settings copy = v.settings;
    for (auto _ : state) {
        benchmark::DoNotOptimize(v.BuildMatrix(&copy));
        benchmark::DoNotOptimize(copy.matrix);
    }
}
// 14: identity base (3x4 products); 1: empty model slot (3x3 default correction).
BENCHMARK(BM_BuildMatrix)->Arg(14)->Arg(1);

void BM_Lut16Parametric(benchmark::State &state) {
    _lut8_struct l{};
    l.gamma = 180;
    l.contrast = 120;
    l.brightness = 15;
    std::vector<std::uint16_t> out(kLut16Entries);
    for (auto _ : state) {
        MakeLut16(out.data(), &l, kToneTableFull, 1);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kLut16Entries));
}
BENCHMARK(BM_Lut16Parametric)->Unit(benchmark::kMicrosecond);

void BM_Lut16Table(benchmark::State &state) {
    _lut8_struct l{};
    for (int i = 0; i < 256; ++i) l.table[i] = static_cast<std::uint8_t>(255 - i);
    std::vector<std::uint16_t> out(kLut16Entries);
    for (auto _ : state) {
        MakeLut16(out.data(), &l, kToneTableBare, 0);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Lut16Table)->Unit(benchmark::kMicrosecond);

}  // namespace
