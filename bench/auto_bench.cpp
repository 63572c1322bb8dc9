// The auto algorithms' two passes over a 4096 x 3072 frame, single thread,
// each next to OpenCV doing the same work: the 2x2-cell statistics against
// cv::sum over the region, and the sharpness against cv::filter2D with the
// same-colour Laplacian kernel followed by the sum of squares.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "vocamapi.h"

#ifdef VOCAM_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kWidth = 4096, kHeight = 3072;

const std::vector<std::uint8_t> &frame() {
    static const std::vector<std::uint8_t> f = [] {
        std::mt19937 rng(7);
        std::vector<std::uint8_t> v(static_cast<std::size_t>(kWidth) * kHeight);
        for (auto &b : v) b = static_cast<std::uint8_t>(rng());
        return v;
    }();
    return f;
}

// The whole frame less the two-pixel margin the sharpness needs.
_FrameDesc region() {
    _FrameDesc d{};
    d.frame_width = kWidth;
    d.frame_height = kHeight;
    d.roi_x = 2;
    d.roi_y = 2;
    d.roi_width = kWidth - 4;
    d.roi_height = kHeight - 4;
    return d;
}

void pixels(benchmark::State &state) {
    state.SetItemsProcessed(state.iterations() * (kWidth - 4) * (kHeight - 4));
}

void BM_Statistics(benchmark::State &state) {
    const _FrameDesc d = region();
    std::uint32_t sums[4];
    for (auto _ : state) {
        BayerOrMonoComputeSums(&d, frame().data(), 0, sums);
        benchmark::DoNotOptimize(sums);
    }
    pixels(state);
}
BENCHMARK(BM_Statistics)->Unit(benchmark::kMillisecond);

void BM_Sharpness(benchmark::State &state) {
    const _FrameDesc d = region();
    for (auto _ : state) benchmark::DoNotOptimize(vocam_autofocus_calculation(&d, frame().data()));
    pixels(state);
}
BENCHMARK(BM_Sharpness)->Unit(benchmark::kMillisecond);

#ifdef VOCAM_BENCH_OPENCV
cv::Mat roiOf(const std::vector<std::uint8_t> &f) {
    const cv::Mat all(kHeight, kWidth, CV_8UC1, const_cast<std::uint8_t *>(f.data()));
    return all(cv::Rect(2, 2, kWidth - 4, kHeight - 4));
}

void BM_OpenCvSum(benchmark::State &state) {
    cv::setNumThreads(0);
    const cv::Mat roi = roiOf(frame());
    for (auto _ : state) benchmark::DoNotOptimize(cv::sum(roi));
    pixels(state);
}
BENCHMARK(BM_OpenCvSum)->Unit(benchmark::kMillisecond);

void BM_OpenCvLaplacianEnergy(benchmark::State &state) {
    cv::setNumThreads(0);
    const cv::Mat roi = roiOf(frame());
    cv::Mat kernel = cv::Mat::zeros(5, 5, CV_32F);
    kernel.at<float>(2, 2) = 4;
    kernel.at<float>(0, 2) = kernel.at<float>(4, 2) = -1;
    kernel.at<float>(2, 0) = kernel.at<float>(2, 4) = -1;
    cv::Mat response;
    for (auto _ : state) {
        // The region's neighbours lie in the frame around it, as for ours.
        cv::filter2D(roi, response, CV_16S, kernel, cv::Point(-1, -1), 0, cv::BORDER_ISOLATED);
        benchmark::DoNotOptimize(cv::norm(response, cv::NORM_L2SQR) / roi.total());
    }
    pixels(state);
}
BENCHMARK(BM_OpenCvLaplacianEnergy)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
