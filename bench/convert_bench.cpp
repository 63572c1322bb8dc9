// Frame conversion on 8-bit RGGB frames of 2048x1536 and 4096x3072, single
// thread: every demosaic method through the driver's kernel choice (no matrix
// stage), the 16-bit paths, the three matrix stages and the whole ConvertToRgb;
// and, when built with them, the established libraries on the same frames.
// The runs named .../threadsN convert on N threads (ours: the converter's
// pool; OpenCV: its own) and are timed by the wall clock, against the same
// conversion on one thread by the wall clock. memory/copy gives the memory
// bandwidth of the same run, the bound of any pass over a large picture.
// At the end a table gives each of ours as a ratio to its peer (above 1:
// ours is faster), from processor time per frame (wall time for the threaded
// runs). "Mpix/s" counts raw pixels converted per second of processor time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "votf/colora.h"
#include "votf/votf.h"

#ifdef VOCAM_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif
#ifdef VOCAM_BENCH_DC1394
#include <dc1394/conversions.h>
#endif

namespace {

constexpr int kSizes[2][2] = {{2048, 1536}, {4096, 3072}};

// A smooth scene with texture and a little noise, so that the edge-sensing
// methods see edges of every direction rather than pure noise.
struct Frames {
    std::vector<std::uint8_t> raw8;
    std::vector<std::uint16_t> raw16;
    std::vector<std::uint8_t> out;
    std::vector<std::uint16_t> out16;
};

Frames &FramesFor(std::uint32_t w, std::uint32_t h) {
    static std::map<std::uint64_t, Frames> cache;
    Frames &f = cache[(std::uint64_t{w} << 32) | h];
    if (f.raw8.empty()) {
        std::mt19937 rng(42);
        f.raw8.resize(std::size_t{w} * h);
        f.raw16.resize(std::size_t{w} * h);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                const double v = 128 + 60 * std::sin(x * 0.013 + y * 0.007) +
                                 40 * std::sin(x * 0.11) * std::cos(y * 0.09) +
                                 static_cast<int>(rng() % 17) - 8;
                const int s = static_cast<int>(std::lround(std::fmin(255, std::fmax(0, v))));
                f.raw8[std::size_t{y} * w + x] = static_cast<std::uint8_t>(s);
                f.raw16[std::size_t{y} * w + x] = static_cast<std::uint16_t>(s * 257);
            }
        f.out.assign(std::size_t{w} * h * 4, 0);
        f.out16.assign(std::size_t{w} * h * 3, 0);
    }
    return f;
}

void Rate(benchmark::State &state, std::uint32_t w, std::uint32_t h) {
    state.counters["Mpix/s"] =
        benchmark::Counter(double(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

_votf_format RggbFormat(std::uint32_t w, std::uint32_t h, std::uint32_t sampleFormat) {
    _votf_format f;
    f.width = w;
    f.height = h;
    f.sampleFormat = sampleFormat;
    return f;
}

// One method through ConvertBayerToRgb with the matrix stage off: exactly the
// kernel the driver picks.
void Demosaic(benchmark::State &state, unsigned method, unsigned bits, bool wide) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    Frames &fr = FramesFor(w, h);
    CVotf v;
    v.settings.correctionMatrix = 0;
    v.settings.demosaicMethod = method;
    const _votf_format f = RggbFormat(w, h, wide ? 2 : 0);
    const auto *src =
        wide ? reinterpret_cast<const std::uint8_t *>(fr.raw16.data()) : fr.raw8.data();
    auto *dst = bits == 48 ? reinterpret_cast<std::uint8_t *>(fr.out16.data()) : fr.out.data();
    for (auto _ : state) {
        if (v.ConvertBayerToRgb(dst, src, bits, &f, &v.settings) != 1) {
            state.SkipWithError("combination not served");
            break;
        }
        benchmark::ClobberMemory();
    }
    Rate(state, w, h);
}

// Fixed-point matrix of correction 14 (identity through the colour model).
// With the default settings that is exactly 4096 on the diagonal, which the
// stage computes in full all the same.
std::array<short, 12> Matrix14() {
    CVotf v;
    v.CorrectionMatrixSet(14);
    std::array<short, 12> m{};
    v.GetCurrentMatrix(m.data());
    return m;
}

void Matrix24(benchmark::State &state) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    Frames &fr = FramesFor(w, h);
    const auto m = Matrix14();
    for (auto _ : state) {
        MatrixPostProcess4096(m.data(), fr.out.data(), std::size_t{w} * h);
        benchmark::ClobberMemory();
    }
    Rate(state, w, h);
}

void Matrix32(benchmark::State &state) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    Frames &fr = FramesFor(w, h);
    const auto m = Matrix14();
    for (auto _ : state) {
        MatrixPostProcess4096to32(m.data(), fr.out.data(), std::size_t{w} * h);
        benchmark::ClobberMemory();
    }
    Rate(state, w, h);
}

void Matrix48(benchmark::State &state) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    Frames &fr = FramesFor(w, h);
    const auto m = Matrix14();
    for (auto _ : state) {
        MatrixPostProcess16_4096(m.data(), fr.out16.data(), std::size_t{w} * h);
        benchmark::ClobberMemory();
    }
    Rate(state, w, h);
}

struct ImageFormat {
    std::uint32_t Size = 52, Width = 0, Height = 0, PixelFormat = 0, ImageSize = 0;
    std::uint32_t VocamReserved[8] = {};
};

// The whole conversion: method 1, correction 14, 24-bit output. With wide set,
// 16-bit LSB-first samples through a tone curve, whose table is kept across
// frames; with retune set as well, the curve changes before every frame, so
// the 16-bit table is rebuilt each time (the cost the kept table saves).
// With hue set, the matrix is no longer the identity, so the matrix stage runs.
// With wholeFrame set, the kernel runs over the whole picture and the matrix
// stage after it, as without row bands.
void Convert(benchmark::State &state, bool wide, bool retune = false, bool hue = false,
             unsigned method = 1, unsigned threads = 1, bool wholeFrame = false) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    Frames &fr = FramesFor(w, h);
    CVotf v;
    v.SetConversionThreads(threads);
    if (wholeFrame) v.bands->bandRows = h;
    if (wide) v.SetGamma(120, 15);
    if (hue) v.SetHue(10.0);
    ImageFormat f;
    f.Width = w;
    f.Height = h;
    f.PixelFormat = wide ? 1 : 0;
    f.VocamReserved[0] = wide ? 2 : 0;
    const conversion_params p{12, method, 14, 0, 0, 0, 0, 0, 0, 0, 0};
    const auto *src =
        wide ? reinterpret_cast<const std::uint8_t *>(fr.raw16.data()) : fr.raw8.data();
    int gamma = 120;
    for (auto _ : state) {
        if (retune) v.SetGamma(gamma ^= 1, 15);
        if (v.ConvertToRgb(fr.out.data(), src, 24, &f, &p) != 0) {
            state.SkipWithError("conversion failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    Rate(state, w, h);
}

// Copies a 24-bit picture of the frame size: one read and one write of every
// byte, the traffic of the fused conversion's output. Reported as bytes moved
// (read plus written) per second.
void MemoryCopy(benchmark::State &state) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    const std::size_t bytes = std::size_t{w} * h * 3;
    std::vector<std::uint8_t> a(bytes, 1), b(bytes, 2);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.counters["GB/s"] = benchmark::Counter(2.0 * double(bytes) / 1e9,
                                                benchmark::Counter::kIsIterationInvariantRate);
    Rate(state, w, h);
}

#ifdef VOCAM_BENCH_OPENCV
void OpenCvBayer(benchmark::State &state, int code, int threads = 1) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    Frames &fr = FramesFor(w, h);
    // 0 and 1 both run OpenCV on the calling thread alone.
    cv::setNumThreads(threads <= 1 ? 0 : threads);
    const cv::Mat src(static_cast<int>(h), static_cast<int>(w), CV_8UC1, fr.raw8.data());
    cv::Mat dst(static_cast<int>(h), static_cast<int>(w), CV_8UC3, fr.out.data());
    for (auto _ : state) {
        cv::cvtColor(src, dst, code);
        benchmark::ClobberMemory();
    }
    Rate(state, w, h);
}

void OpenCvTransform(benchmark::State &state) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    Frames &fr = FramesFor(w, h);
    cv::setNumThreads(0);
    const auto m14 = Matrix14();
    cv::Mat m(3, 3, CV_32F);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m.at<float>(r, c) = m14[4 * r + c] / 4096.0f;
    const cv::Mat src(static_cast<int>(h), static_cast<int>(w), CV_8UC3, fr.out.data());
    cv::Mat dst(static_cast<int>(h), static_cast<int>(w), CV_8UC3);
    for (auto _ : state) {
        cv::transform(src, dst, m);
        benchmark::ClobberMemory();
    }
    Rate(state, w, h);
}
#endif

#ifdef VOCAM_BENCH_DC1394
void Dc1394(benchmark::State &state, dc1394bayer_method_t method) {
    const auto w = static_cast<std::uint32_t>(state.range(0));
    const auto h = static_cast<std::uint32_t>(state.range(1));
    Frames &fr = FramesFor(w, h);
    for (auto _ : state) {
        dc1394_bayer_decoding_8bit(fr.raw8.data(), fr.out.data(), w, h, DC1394_COLOR_FILTER_RGGB,
                                   method);
        benchmark::ClobberMemory();
    }
    Rate(state, w, h);
}
#endif

void Register(const std::string &name, std::function<void(benchmark::State &)> fn,
              bool wallClock = false) {
    auto *b = benchmark::RegisterBenchmark(name.c_str(), fn);
    for (const auto &s : kSizes) b->Args({s[0], s[1]});
    b->Unit(benchmark::kMillisecond);
    // On a shared machine the fastest repetition is the one least disturbed.
    b->ComputeStatistics("min", [](const std::vector<double> &v) {
        return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
    });
    if (wallClock) b->UseRealTime();
}

std::string MethodName(unsigned method, const char *depth, unsigned bits) {
    char name[64];
    std::snprintf(name, sizeof name, "ours/method%u/%sto%u", method, depth, bits);
    return name;
}

void RegisterAll() {
    for (unsigned method : {1u, 2u, 3u, 8u, 9u})
        for (unsigned bits : {24u, 32u})
            Register(MethodName(method, "8", bits),
                     [=](benchmark::State &s) { Demosaic(s, method, bits, false); });
    for (unsigned method : {1u, 2u, 3u, 8u})
        for (unsigned bits : {24u, 32u, 48u})
            Register(MethodName(method, "16", bits),
                     [=](benchmark::State &s) { Demosaic(s, method, bits, true); });
    Register("ours/MatrixPostProcess4096", Matrix24);
    Register("ours/MatrixPostProcess4096to32", Matrix32);
    Register("ours/MatrixPostProcess16_4096", Matrix48);
    Register("ours/ConvertToRgb/method1_matrix14", [](benchmark::State &s) { Convert(s, false); });
    Register("ours/ConvertToRgb/method1_matrix14_hue10",
             [](benchmark::State &s) { Convert(s, false, false, true); });
    Register("ours/ConvertToRgb/method1_matrix14_hue10_wholeframe",
             [](benchmark::State &s) { Convert(s, false, false, true, 1, 1, true); });
    Register("ours/ConvertToRgb/16bit_tone_method1_matrix14",
             [](benchmark::State &s) { Convert(s, true); });
    Register("ours/ConvertToRgb/16bit_tone_changed_every_frame",
             [](benchmark::State &s) { Convert(s, true, true); });
    Register("memory/copy", MemoryCopy);
    for (unsigned method : {1u, 3u, 8u})
        for (unsigned threads : {1u, 2u}) {
            char name[96];
            std::snprintf(name, sizeof name, "ours/ConvertToRgb/method%u_hue10/threads%u", method,
                          threads);
            Register(
                name, [=](benchmark::State &s) { Convert(s, false, false, true, method, threads); },
                true);
        }
#ifdef VOCAM_BENCH_OPENCV
    Register("opencv/cvtColor_BayerBG2BGR",
             [](benchmark::State &s) { OpenCvBayer(s, cv::COLOR_BayerBG2BGR); });
    Register("opencv/cvtColor_BayerBG2BGR_EA",
             [](benchmark::State &s) { OpenCvBayer(s, cv::COLOR_BayerBG2BGR_EA); });
    Register("opencv/cvtColor_BayerBG2BGR_VNG",
             [](benchmark::State &s) { OpenCvBayer(s, cv::COLOR_BayerBG2BGR_VNG); });
    Register("opencv/transform_3x3f", OpenCvTransform);
    for (int threads : {1, 2}) {
        Register(
            "opencv/cvtColor_BayerBG2BGR/threads" + std::to_string(threads),
            [=](benchmark::State &s) { OpenCvBayer(s, cv::COLOR_BayerBG2BGR, threads); }, true);
    }
#endif
#ifdef VOCAM_BENCH_DC1394
    Register("dc1394/NEAREST", [](benchmark::State &s) { Dc1394(s, DC1394_BAYER_METHOD_NEAREST); });
    Register("dc1394/BILINEAR",
             [](benchmark::State &s) { Dc1394(s, DC1394_BAYER_METHOD_BILINEAR); });
    Register("dc1394/HQLINEAR",
             [](benchmark::State &s) { Dc1394(s, DC1394_BAYER_METHOD_HQLINEAR); });
    Register("dc1394/EDGESENSE",
             [](benchmark::State &s) { Dc1394(s, DC1394_BAYER_METHOD_EDGESENSE); });
#endif
}

// Keeps each run's processor time per iteration for the closing table. On a
// shared machine the wall time of a single-threaded run includes the time
// other processes held the core; the processor time does not. With
// repetitions the table takes the fastest of them (the "min" statistic).
class Recorder : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> seconds;  // by name and arguments
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.error_occurred) continue;
            if (r.run_type == Run::RT_Aggregate ? r.aggregate_name != "min" : r.repetitions > 1)
                continue;
            benchmark::BenchmarkName name = r.run_name;
            name.min_time.clear();
            name.repetitions.clear();
            name.time_type.clear();
            const bool wall = name.str().find("/threads") != std::string::npos;
            const double t = wall ? r.real_accumulated_time : r.cpu_accumulated_time;
            seconds[name.str()] = t / double(r.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintRatios(const Recorder &rec) {
    struct Pair {
        const char *ours, *peer, *target;
    };
    static const Pair kPairs[] = {
        {"ours/method1/8to24", "dc1394/NEAREST", ">= 1.2"},
        {"ours/method2/8to24", "opencv/cvtColor_BayerBG2BGR_EA", ">= 1.0"},
        {"ours/method2/8to24", "dc1394/EDGESENSE", ""},
        {"ours/method3/8to24", "dc1394/HQLINEAR", ">= 3.0"},
        {"ours/method3/8to24", "opencv/cvtColor_BayerBG2BGR_VNG", ""},
        {"ours/method8/8to24", "opencv/cvtColor_BayerBG2BGR", ">= 1.0"},
        {"ours/method8/8to24", "dc1394/BILINEAR", ""},
        {"ours/MatrixPostProcess4096", "opencv/transform_3x3f", ">= 1.0"},
        {"ours/ConvertToRgb/method1_matrix14", "opencv/cvtColor_BayerBG2BGR", ">= 0.7"},
        {"ours/ConvertToRgb/method1_matrix14_hue10", "opencv/cvtColor_BayerBG2BGR", ">= 1.5"},
        {"ours/ConvertToRgb/method1_matrix14_hue10_wholeframe", "opencv/cvtColor_BayerBG2BGR", ""},
        {"ours/ConvertToRgb/method1_matrix14_hue10",
         "ours/ConvertToRgb/method1_matrix14_hue10_wholeframe", ""},
        {"ours/ConvertToRgb/method1_hue10/threads1", "opencv/cvtColor_BayerBG2BGR/threads1", ""},
        {"ours/ConvertToRgb/method1_hue10/threads2", "opencv/cvtColor_BayerBG2BGR/threads2", ""},
        {"ours/ConvertToRgb/method3_hue10/threads2", "opencv/cvtColor_BayerBG2BGR/threads2", ""},
        {"ours/ConvertToRgb/method8_hue10/threads2", "opencv/cvtColor_BayerBG2BGR/threads2", ""},
        // Two threads against one, same conversion, wall clock.
        {"ours/ConvertToRgb/method1_hue10/threads2", "ours/ConvertToRgb/method1_hue10/threads1",
         ">= 1.8"},
        {"ours/ConvertToRgb/method3_hue10/threads2", "ours/ConvertToRgb/method3_hue10/threads1",
         ">= 1.8"},
        {"ours/ConvertToRgb/method8_hue10/threads2", "ours/ConvertToRgb/method8_hue10/threads1",
         ">= 1.8"},
        {"opencv/cvtColor_BayerBG2BGR/threads2", "opencv/cvtColor_BayerBG2BGR/threads1", ""},
        // Raw pixels per second of the 16-bit paths the targets name.
        {"ours/method2/16to48", "memory/copy", ">= 1000 Mp/s"},
        {"ours/method3/16to48", "memory/copy", ">= 500 Mp/s"},
        {"ours/MatrixPostProcess16_4096", "memory/copy", ">= 2500 Mp/s"},
    };
    std::printf("\n%-42s %-40s %-10s %9s %9s %7s %s\n", "ours", "peer", "size", "ours Mp/s",
                "peer Mp/s", "ratio", "target");
    for (const auto &s : kSizes) {
        char suffix[32], size[32], ours[96], peer[96];
        std::snprintf(suffix, sizeof suffix, "/%d/%d", s[0], s[1]);
        std::snprintf(size, sizeof size, "%dx%d", s[0], s[1]);
        const double mpix = double(s[0]) * s[1] / 1e6;
        std::snprintf(ours, sizeof ours, "memory/copy%s", suffix);
        if (const auto m = rec.seconds.find(ours); m != rec.seconds.end())
            std::printf("%-42s %-40s %-10s %9.2f GB/s moved (read + write)\n", "memory/copy", "",
                        size, 6.0 * mpix / 1e3 / m->second);
        for (const Pair &p : kPairs) {
            std::snprintf(ours, sizeof ours, "%s%s", p.ours, suffix);
            std::snprintf(peer, sizeof peer, "%s%s", p.peer, suffix);
            const auto a = rec.seconds.find(ours);
            const auto b = rec.seconds.find(peer);
            if (a == rec.seconds.end() || b == rec.seconds.end()) continue;
            std::printf("%-42s %-40s %-10s %9.0f %9.0f %7.2f %s\n", p.ours, p.peer, size,
                        mpix / a->second, mpix / b->second, b->second / a->second, p.target);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Recorder rec;
    benchmark::RunSpecifiedBenchmarks(&rec);
    PrintRatios(rec);
    benchmark::Shutdown();
    return 0;
}
