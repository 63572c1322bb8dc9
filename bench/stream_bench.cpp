// Streaming 1280x1024 frames from a simulated camera as fast as the simulator
// sends them. Reported per frame: CPU time of the stream thread (the engine:
// completion, re-arm and event loop), the simulator's own copy of the frame
// into the ring (apart, as a real camera's DMA costs the host nothing), and,
// for the client loops, the caller's CPU time in wait + release, and in
// wait + convert + release.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "Simulator/SimBus.h"
#include "vo_cam/vo_cam.h"

namespace {

// The simulated bus must be chosen before the library's first call.
const bool kSimulated = [] { return setenv("VOCAM_SIM", "model_02:state=ready:fps=0", 1) == 0; }();

double threadCpuSeconds(pthread_t thread) {
    clockid_t clock;
    if (pthread_getcpuclockid(thread, &clock) != 0) return 0;
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

class Streaming {
  public:
    Streaming() {
        if (!kSimulated || !vocam::sim::Bus::instance().configure("model_02:state=ready:fps=0"))
            throw std::runtime_error("no simulated camera");
        device_ = vocam::sim::Bus::instance().devices().at(0);
        if (vocam_camera_open_by_pid(&handle_, device_->product()) != 0 || handle_ == nullptr)
            throw std::runtime_error("open failed");
        if (vocam_enable_streaming(handle_) != 0 || vocam_start_streaming(handle_) != 0)
            throw std::runtime_error("start failed");
    }
    ~Streaming() {
        vocam_stop_streaming(handle_);
        vocam_disable_streaming(handle_);
        vocam_camera_close(&handle_);
        vocam::sim::Bus::instance().clear();
    }
    _vocam *handle() const { return handle_; }
    double engineCpu() VO_NO_THREAD_SAFETY_ANALYSIS {
        // The thread object is only replaced by start and stop, which this
        // benchmark calls outside its timed loops.
        return threadCpuSeconds(handle_->stream.thread.native_handle());
    }
    double simulatorCopy() const { return device_->video().copySeconds(); }
    std::uint64_t frames() {
        vocam_stream_stats stats{};
        stats.size = sizeof stats;
        vocam_get_stream_stats(handle_, &stats);
        return stats.delivered;
    }

  private:
    _vocam *handle_ = nullptr;
    std::shared_ptr<vocam::sim::CameraDevice> device_;
};

void report(benchmark::State &state, Streaming &s, std::uint64_t frames0, double engine0,
            double copy0, double caller = -1) {
    const double frames = s.frames() - frames0;
    state.SetItemsProcessed(static_cast<std::int64_t>(frames));
    state.counters["engine_cpu_us_per_frame"] = (s.engineCpu() - engine0) / frames * 1e6;
    state.counters["sim_copy_us_per_frame"] = (s.simulatorCopy() - copy0) / frames * 1e6;
    if (caller >= 0)
        state.counters["wait_release_cpu_us_per_frame"] = caller / state.iterations() * 1e6;
}

// The engine on its own: every frame the camera sends, with no client taking them.
void BM_StreamEngine(benchmark::State &state) {
    Streaming s;
    _vocam *h = s.handle();
    const std::uint64_t frames0 = s.frames();
    const double engine0 = s.engineCpu(), copy0 = s.simulatorCopy();
    for (auto _ : state) {
        // One iteration: the next completed frame.
        vo::Lock lock(h->stream.lock);
        const std::uint64_t seen = h->stream.frame_sequence;
        while (h->stream.frame_sequence == seen) vo::wait(h->stream.cond, lock);
    }
    report(state, s, frames0, engine0, copy0);
}
BENCHMARK(BM_StreamEngine)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// A client taking the newest frame and giving it back, as fast as it can.
void BM_WaitRelease(benchmark::State &state) {
    Streaming s;
    _vocam *h = s.handle();
    const std::uint64_t frames0 = s.frames();
    const double engine0 = s.engineCpu(), copy0 = s.simulatorCopy();
    const pthread_t self = pthread_self();
    double caller = 0;
    std::int64_t taken = 0;
    for (auto _ : state) {
        const double before = threadCpuSeconds(self);
        int index;
        do index = vocam_wait_for_capture_to_buffer(h);
        while (index == -22);
        if (index < 0) {
            state.SkipWithError("the stream ended");
            break;
        }
        benchmark::DoNotOptimize(vocam_get_buffer_address(h, index)[0]);
        vocam_release_buffer(h, index);
        caller += threadCpuSeconds(self) - before;
        ++taken;
    }
    report(state, s, frames0, engine0, copy0, caller);
    state.counters["frames_taken_per_second"] =
        benchmark::Counter(static_cast<double>(taken), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WaitRelease)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The client loop with a conversion of each frame to 24-bit RGB by nearest
// neighbour demosaicing.
void BM_WaitConvertRelease(benchmark::State &state) {
    Streaming s;
    _vocam *h = s.handle();
    _VOCAM_IMAGE_FORMAT image{};
    if (vocam_get_image_format(h, &image) != 0) {
        state.SkipWithError("no image format");
        return;
    }
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(image.Width) * image.Height * 3);
    const std::uint32_t params[3] = {12, 1, 0};  // nearest neighbour, no correction matrix
    const std::uint64_t frames0 = s.frames();
    const double engine0 = s.engineCpu(), copy0 = s.simulatorCopy();
    const pthread_t self = pthread_self();
    double caller = 0;
    for (auto _ : state) {
        const double before = threadCpuSeconds(self);
        int index;
        do index = vocam_wait_for_capture_to_buffer(h);
        while (index == -22);
        if (index < 0) {
            state.SkipWithError("the stream ended");
            break;
        }
        if (vocam_convert_frame_to_rgb(h, rgb.data(), vocam_get_buffer_address(h, index), &image,
                                       params) != 0) {
            state.SkipWithError("conversion failed");
            break;
        }
        vocam_release_buffer(h, index);
        caller += threadCpuSeconds(self) - before;
    }
    benchmark::DoNotOptimize(rgb.data());
    report(state, s, frames0, engine0, copy0, caller);
    state.counters["wait_convert_release_cpu_us_per_frame"] =
        state.counters["wait_release_cpu_us_per_frame"];
    state.counters.erase("wait_release_cpu_us_per_frame");
}
BENCHMARK(BM_WaitConvertRelease)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace
