// The capture application on a simulated 1280x1024 camera at its full data
// rate, offscreen, for 20 s of video (VOCAM_CAPTURE_BENCH_SECONDS to change).
// Reported: CPU time of the whole process per second of video, in percent of
// one core, also without the simulated camera's own rendering and copying
// (a real camera's DMA costs the host nothing); frames displayed against
// frames delivered; and the time from a frame's arrival to its paint.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdlib>
#include <stdexcept>

#include "ImageViewer.h"
#include "Simulator/SimBus.h"
#include "VoCamera.h"
#include "VoCameraController.h"

namespace {

constexpr const char *kCamera = "model_02:state=ready";

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void BM_CaptureLiveView(benchmark::State &state) {
    const char *env = std::getenv("VOCAM_CAPTURE_BENCH_SECONDS");
    const double seconds = env != nullptr ? std::atof(env) : 20.0;
    for (auto _ : state) {
        if (!vocam::sim::Bus::instance().configure(kCamera)) throw std::runtime_error("no simulated camera");
        auto device = vocam::sim::Bus::instance().devices().at(0);
        vocapture::VoCamera::initialize(VOCAM_BENCH_RESOURCES);
        if (vocapture::VoCamera::instance() == nullptr) throw std::runtime_error("open failed");
        {
            vocapture::VoCameraController controller;
            controller.awakeFromNib(0);
            controller.window()->show();
            runFor(1000);  // settle: the first frames, the window's first layout
            const std::uint64_t delivered0 = controller.framesDelivered();
            const std::uint64_t displayed0 = controller.framesDisplayed();
            controller.videoViewer()->resetLatency();
            const double camera0 = device->video().copySeconds() + device->video().renderSeconds();
            const double cpu0 = processCpuSeconds();
            QElapsedTimer clock;
            clock.start();
            runFor(static_cast<int>(seconds * 1000));
            const double elapsed = clock.nsecsElapsed() * 1e-9;
            const double cpu = processCpuSeconds() - cpu0;
            const double camera = device->video().copySeconds() + device->video().renderSeconds() - camera0;
            const double delivered = double(controller.framesDelivered() - delivered0);
            const double displayed = double(controller.framesDisplayed()) - double(displayed0);
            state.counters["cpu_pct_of_core"] = 100.0 * cpu / elapsed;
            state.counters["cpu_pct_without_camera"] = 100.0 * (cpu - camera) / elapsed;
            state.counters["delivered_fps"] = delivered / elapsed;
            state.counters["displayed_pct"] = delivered > 0 ? 100.0 * displayed / delivered : 0.0;
            state.counters["arrival_to_paint_mean_ms"] = controller.videoViewer()->meanLatencyMs();
            state.counters["arrival_to_paint_max_ms"] = controller.videoViewer()->maxLatencyMs();
            state.counters["frame_interval_ms"] = delivered > 0 ? 1000.0 * elapsed / delivered : 0.0;
            controller.stopStreaming();
        }
        vocapture::VoCamera::cleanup();
        vocam::sim::Bus::instance().clear();
    }
}
BENCHMARK(BM_CaptureLiveView)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("VOCAM_SIM", kCamera, 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
