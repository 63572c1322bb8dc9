// Soak runs, not part of the test suite (they run for tens of seconds to
// minutes; pick one with --benchmark_filter):
// - 100,000 frames of a 320x240 window streamed from a simulated camera as
//   fast as it sends them, each frame taken checked against the camera's own
//   log under the number its record gives. Reported: frames the camera sent,
//   taken, overwritten before anyone took them (drops), failed and short
//   reads, and frames that did not match (must be 0).
// - A 120 s exposure on a cooled camera paced by its exposure: the first
//   frame must come after the exposure without the stream ending as silent,
//   and a stop 30 s into the next exposure must release a waiting reader at
//   once. Reported: seconds to the first frame, how long the stop took, how
//   long the reader took to come back, and the error lines the library wrote
//   (must be 0).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "Simulator/SimBus.h"
#include "Simulator/SimVideo.h"
#include "vo_cam/vo_cam.h"

namespace {

const bool kSimulated = [] { return setenv("VOCAM_SIM", "model_02:state=ready:fps=0", 1) == 0; }();

constexpr std::uint64_t kFrames = 100000;

void BM_Soak100kFrames(benchmark::State &state) {
    for (auto _ : state) {
        if (!kSimulated ||
            !vocam::sim::Bus::instance().configure("model_02:state=ready:fps=0:stamp=1")) {
            state.SkipWithError("no simulated camera");
            return;
        }
        auto device = vocam::sim::Bus::instance().devices().at(0);
        _vocam *h = nullptr;
        if (vocam_camera_open_by_pid(&h, device->product()) != 0 || h == nullptr) {
            state.SkipWithError("open failed");
            return;
        }
        _vocam_frame_format window{};
        window.width = 640;
        window.height = 480;
        window.subSampleX = window.subSampleY = 2;
        vocam_set_video_format(h, &window);
        device->video().clearFrameLog();
        if (vocam_enable_streaming(h) != 0 || vocam_start_streaming(h) != 0) {
            state.SkipWithError("start failed");
            return;
        }
        const std::uint32_t bytes = vocam_get_video_frame_size(h);
        struct Taken {
            std::uint64_t sequence, hash;
        };
        std::vector<Taken> taken;
        taken.reserve(kFrames);
        vocam_stream_stats stats{};
        stats.size = sizeof stats;
        while (vocam_get_stream_stats(h, &stats) == 0 && stats.delivered < kFrames) {
            const int index = vocam_wait_for_capture_to_buffer_timeout(h, 5000);
            if (index == -22) continue;
            if (index < 0) {
                state.SkipWithError("the stream ended");
                break;
            }
            vocam_frame_info info{};
            info.size = sizeof info;
            vocam_get_buffer_info(h, index, &info);
            taken.push_back(
                {info.sequence, vocam::sim::frameHash(vocam_get_buffer_address(h, index), bytes)});
            vocam_release_buffer(h, index);
        }
        vocam_stop_streaming(h);
        vocam_get_stream_stats(h, &stats);
        const auto log = device->video().frameLog();
        std::uint64_t mismatched = 0;
        for (const Taken &t : taken)
            mismatched +=
                t.sequence == 0 || t.sequence > log.size() || log[t.sequence - 1].hash != t.hash;
        vocam_disable_streaming(h);
        vocam_camera_close(&h);
        vocam::sim::Bus::instance().clear();
        state.counters["sent"] = static_cast<double>(log.size());
        state.counters["delivered"] = static_cast<double>(stats.delivered);
        state.counters["taken"] = static_cast<double>(stats.taken);
        state.counters["overwritten"] = static_cast<double>(stats.overwritten);
        state.counters["failed_reads"] = static_cast<double>(stats.failed_reads);
        state.counters["short_frames"] = static_cast<double>(stats.short_frames);
        state.counters["mismatched"] = static_cast<double>(mismatched);
        state.counters["frames_per_second"] =
            benchmark::Counter(static_cast<double>(stats.delivered), benchmark::Counter::kIsRate);
        if (mismatched != 0 || stats.delivered != log.size())
            state.SkipWithError("frames do not match the camera's log");
    }
}
BENCHMARK(BM_Soak100kFrames)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

std::atomic<int> errorLines{0};

void countErrors(int kind, const char *, void *) {
    if (kind == VOCAM_LOG_ERROR) ++errorLines;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_LongExposureAndAStopDuringIt(benchmark::State &state) {
    constexpr std::uint32_t kExposureUs = 120000000;
    constexpr auto kIntoTheNext = std::chrono::seconds(30);
    for (auto _ : state) {
        if (!kSimulated ||
            !vocam::sim::Bus::instance().configure("model_05:state=ready:size=640x480")) {
            state.SkipWithError("no simulated camera");
            return;
        }
        auto device = vocam::sim::Bus::instance().devices().at(0);
        _vocam *h = nullptr;
        if (vocam_camera_open_by_pid(&h, device->product()) != 0 || h == nullptr) {
            state.SkipWithError("open failed");
            return;
        }
        errorLines = 0;
        vocam_set_log_handler(countErrors, nullptr);
        if (vocam_property_set(h, VOCAM_PROP_EXPOSURE, static_cast<int>(kExposureUs), 0) != 0 ||
            vocam_enable_streaming(h) != 0) {
            state.SkipWithError("set-up failed");
            return;
        }
        const auto started = std::chrono::steady_clock::now();
        if (vocam_start_streaming(h) != 0) {
            state.SkipWithError("start failed");
            return;
        }
        // No time-out: the library alone decides whether the camera is silent.
        const int first = vocam_wait_for_capture_to_buffer(h);
        const double firstFrame = secondsSince(started);
        if (first < 0) {
            state.SkipWithError("the stream ended before the first frame");
            break;
        }
        vocam_release_buffer(h, first);
        auto reader = std::async(std::launch::async, [h] {
            const int r = vocam_wait_for_capture_to_buffer(h);
            return std::pair{r, std::chrono::steady_clock::now()};
        });
        std::this_thread::sleep_for(kIntoTheNext);
        const auto stopping = std::chrono::steady_clock::now();
        const int stopped = vocam_stop_streaming(h);
        const double stop = secondsSince(stopping);
        const auto [read, back] = reader.get();
        const double released = std::chrono::duration<double>(back - stopping).count();
        vocam_disable_streaming(h);
        vocam_set_log_handler(nullptr, nullptr);
        vocam_camera_close(&h);
        vocam::sim::Bus::instance().clear();
        state.counters["first_frame_s"] = firstFrame;
        state.counters["stop_s"] = stop;
        state.counters["reader_back_s"] = released;
        state.counters["reader_answer"] = read;
        state.counters["error_lines"] = errorLines.load();
        if (stopped != 0 || read >= 0 || errorLines != 0 || firstFrame < kExposureUs / 1e6)
            state.SkipWithError("the long exposure or the stop during it misbehaved");
    }
}
BENCHMARK(BM_LongExposureAndAStopDuringIt)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
