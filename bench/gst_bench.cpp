// Processor time per frame of the GStreamer element at the camera's full
// rate (a simulated 1280 x 1024 camera at its fastest data rate), against
// `vocam stream` on the same camera, and of its converted output against
// GStreamer's own bayer2rgb on the same frames. Each case runs as its own
// process, as a user runs it, and is measured over 8 s of steady streaming
// once start-up is over (see steadyLoad). The simulated camera renders and
// copies its frames inside the same process in every case. The "speed:"
// cases then time, by the wall clock, how long one frame takes to convert,
// or to copy into a pool buffer, when nothing waits for the camera.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "camera.h"
#include "vocamapi.h"

namespace {

const char *const kCamera = "model_02:state=ready";

// Processor time of every thread of `pid` so far, in seconds: the
// scheduler's own count in nanoseconds (rusage counts 10 ms ticks).
double processorSeconds(pid_t pid) {
    double total = 0;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream stat(task.path() / "schedstat");
        unsigned long long ns = 0;
        if (stat >> ns) total += static_cast<double>(ns) / 1e9;
    }
    return total;
}

// Starts `argv` on the camera, lets it run past start-up (plugin registry,
// bring-up, the first frames), then takes its processor time over a window
// of steady streaming and stops it with Ctrl-C. Start-up, which varies by
// tens of milliseconds from run to run, stays out of the figure. Processor
// seconds per second of streaming, or 0 when the program ended early; its
// output goes to `output`.
double steadyLoad(const std::vector<std::string> &argv, std::string &output) {
    using namespace std::chrono_literals;
    int out[2];
    if (pipe(out) != 0) return 0;
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        setenv("VOCAM_SIM", kCamera, 1);
        setenv("GST_PLUGIN_PATH", VOCAM_GST_PLUGIN_DIR, 1);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    std::this_thread::sleep_for(3s);
    const double before = processorSeconds(child);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(8s);
    const double after = processorSeconds(child);
    const std::chrono::duration<double> window = std::chrono::steady_clock::now() - started;
    const bool running = waitpid(child, nullptr, WNOHANG) == 0;
    kill(child, SIGINT);
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) output.append(chunk, n);
    close(out[0]);
    waitpid(child, nullptr, 0);
    return running && before > 0 ? (after - before) / window.count() : 0;
}

std::map<std::string, std::vector<double>> perFrame;  // processor seconds a frame, by case
double cameraRate = 0;  // frames a second, as vocam stream counted them

void report(benchmark::State &state, const std::string &name, double load) {
    if (load <= 0 || cameraRate <= 0) {
        state.SkipWithError("the program ended early, or vocam stream counted no frames");
        return;
    }
    const double cpu = load / cameraRate;
    perFrame[name].push_back(cpu);
    state.SetIterationTime(cpu);
    state.counters["frames_per_s"] = cameraRate;
    state.counters["cpu_ms_per_frame"] = cpu * 1e3;
}

void vocamStream(benchmark::State &state) {
    for (auto _ : state) {
        std::string output;
        const double load = steadyLoad({VOCAM_TOOL, "stream"}, output);
        // Its lines of one second each: the camera's rate, which every
        // pipeline below runs at too.
        static const std::regex line("([0-9.]+) frames/s +[0-9.]+ MB/s +dropped 0");
        std::vector<double> rates;
        for (std::sregex_iterator m(output.begin(), output.end(), line), end; m != end; ++m)
            rates.push_back(std::stod((*m)[1]));
        if (rates.size() > 4)
            cameraRate = rates[rates.size() - 2];  // a whole second, in the window
        report(state, "vocam stream", load);
    }
}

void pipeline(benchmark::State &state, const std::string &name, const std::string &tail) {
    for (auto _ : state) {
        std::vector<std::string> argv = {"gst-launch-1.0", "-q", "vocamsrc"};
        std::string word;
        for (const char c : tail + " ") {
            if (c != ' ') {
                word += c;
            } else if (!word.empty()) {
                argv.push_back(word);
                word.clear();
            }
        }
        std::string output;
        report(state, name, steadyLoad(argv, output));
    }
}

// The converted output on the conversion threads' default (every core, at
// most 8) and on one thread, as bayer2rgb converts: on a machine whose cores
// are busy anyway, more threads cost processor time for the same picture.
const std::vector<std::pair<std::string, std::string>> kPipelines = {
    {"vocamsrc ! fakesink", "! fakesink"},
    {"vocamsrc RGBx fast", "demosaic=fast ! video/x-raw,format=RGBx ! fakesink"},
    {"vocamsrc RGBx good", "demosaic=good ! video/x-raw,format=RGBx ! fakesink"},
    {"vocamsrc RGBx fast 1 thread",
     "demosaic=fast conversion-threads=1 ! video/x-raw,format=RGBx ! fakesink"},
    {"vocamsrc RGBx good 1 thread",
     "demosaic=good conversion-threads=1 ! video/x-raw,format=RGBx ! fakesink"},
    {"vocamsrc ! bayer2rgb RGBx", "! bayer2rgb ! video/x-raw,format=RGBx ! fakesink"},
};

// ---- conversion speed ----------------------------------------------------------
// How long a frame takes to convert, by the wall clock, with nothing paced by
// the camera: one raw frame of the camera, taken once, converted over and over
// in this process by the element's own road to RGBx (the library call it
// makes, and where that is the 24-bit picture its layout pass) and by bayer2rgb
// fed from memory. The camera keeps streaming meanwhile, as it does under the
// element.

struct Held {
    _vocam *camera = nullptr;
    _VOCAM_IMAGE_FORMAT image{};
    const std::uint8_t *raw = nullptr;  // a ring buffer this process never releases
};

Held &held() {
    static Held h = [] {
        Held h;
        if (vocam_init(nullptr) < 0 || vocam_camera_open_any(&h.camera) < 0) return h;
        h.image.Size = sizeof h.image;
        if (vocam_get_image_format(h.camera, &h.image) < 0 ||
            vocam_enable_streaming(h.camera) < 0 || vocam_start_streaming(h.camera) < 0)
            return h;
        const int index = vocam_wait_for_capture_to_buffer_timeout(h.camera, 5000);
        if (index >= 0) h.raw = vocam_get_buffer_address(h.camera, index);
        return h;
    }();
    return h;
}

std::map<std::string, std::vector<double>> wallPerFrame;  // seconds a frame, by case

void noteWall(benchmark::State &state, const std::string &name,
              std::chrono::steady_clock::time_point started) {
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - started;
    const double each = spent.count() / static_cast<double>(state.iterations());
    wallPerFrame[name].push_back(each);
    state.counters["wall_ms_per_frame"] = each * 1e3;
}

void engineSpeed(benchmark::State &state, const std::string &name, std::uint32_t method,
                 std::uint32_t threads) {
    const Held &h = held();
    if (h.raw == nullptr) return state.SkipWithError("the camera gave no frame");
    vocam_set_conversion_threads(h.camera, threads);
    const std::uint32_t w = h.image.Width, height = h.image.Height;
    std::vector<std::uint8_t> picture(std::size_t{4} * w * height),
        rgb(std::size_t{3} * w * height);
    conversion_params params{};
    params.size = 12;
    params.demosaicMethod = method;
    params.correctionMatrix = 14;  // the element's default light: no correction
    const bool onePass = vocam::gst::onePass32(method);
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const int r =
            onePass ? vocam_convert_frame_to_rgb_bits(h.camera, picture.data(), h.raw, &h.image,
                                                      &params, 32)
                    : vocam_convert_frame_to_rgb(h.camera, rgb.data(), h.raw, &h.image, &params);
        if (r != 0) return state.SkipWithError("the library refused the conversion");
        if (!onePass)
            vocam::gst::arrangePicture(picture.data(), std::size_t{4} * w, rgb.data(),
                                       std::size_t{3} * w, vocam::gst::Format::Rgbx, w, height);
        benchmark::DoNotOptimize(picture.data());
    }
    noteWall(state, name, started);
}

void bayer2rgbSpeed(benchmark::State &state, const std::string &name) {
    const Held &h = held();
    if (h.raw == nullptr) return state.SkipWithError("the camera gave no frame");
    vocam::gst::Sensor sensor;
    sensor.layout = h.image.VocamReserved[0];
    const std::string launch =
        "appsrc name=in format=time caps=video/x-bayer,format=" + std::string(sensor.bayerName()) +
        ",width=" + std::to_string(h.image.Width) + ",height=" + std::to_string(h.image.Height) +
        ",framerate=0/1 ! bayer2rgb ! video/x-raw,format=RGBx ! fakesink sync=false";
    GstElement *pipeline = gst_parse_launch(launch.c_str(), nullptr);
    if (pipeline == nullptr) return state.SkipWithError("no bayer2rgb");
    GstElement *in = gst_bin_get_by_name(GST_BIN(pipeline), "in");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBuffer *frame = gst_buffer_new_memdup(h.raw, h.image.ImageSize);
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) gst_app_src_push_buffer(GST_APP_SRC(in), gst_buffer_ref(frame));
    gst_app_src_end_of_stream(GST_APP_SRC(in));
    GstBus *bus = gst_element_get_bus(pipeline);
    GstMessage *end = gst_bus_timed_pop_filtered(
        bus, 60 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = end != nullptr && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
    if (end != nullptr) gst_message_unref(end);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_buffer_unref(frame);
    gst_object_unref(in);
    gst_object_unref(pipeline);
    if (!ok) return state.SkipWithError("bayer2rgb did not finish");
    noteWall(state, name, started);
}

// What the element must do with every raw frame, alone: a buffer from a
// pool like its own, the frame copied in, the buffer handed back. The
// processor time of this case is the least `vocamsrc ! fakesink` can add
// to `vocam stream`.
void copySpeed(benchmark::State &state, const std::string &name) {
    const Held &h = held();
    if (h.raw == nullptr) return state.SkipWithError("the camera gave no frame");
    const std::uint32_t w = h.image.Width, height = h.image.Height;
    GstBufferPool *pool = gst_buffer_pool_new();
    GstStructure *config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, nullptr, w * height, 4, 0);
    if (!gst_buffer_pool_set_config(pool, config) || !gst_buffer_pool_set_active(pool, TRUE)) {
        gst_object_unref(pool);
        return state.SkipWithError("no buffer pool");
    }
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        GstBuffer *out = nullptr;
        if (gst_buffer_pool_acquire_buffer(pool, &out, nullptr) != GST_FLOW_OK) break;
        GstMapInfo map;
        if (gst_buffer_map(out, &map, GST_MAP_WRITE)) {
            vocam::gst::copyRows(map.data, w, h.raw, w, height);
            gst_buffer_unmap(out, &map);
        }
        gst_buffer_unref(out);
    }
    gst_buffer_pool_set_active(pool, FALSE);
    gst_object_unref(pool);
    noteWall(state, name, started);
}

}  // namespace

int main(int argc, char **argv) {
    // The conversion-speed cases open the same simulated camera in process.
    setenv("VOCAM_SIM", kCamera, 1);
    gst_init(&argc, &argv);
    benchmark::RegisterBenchmark("vocam stream", vocamStream)->UseManualTime()->Iterations(1);
    for (const auto &[name, tail] : kPipelines)
        benchmark::RegisterBenchmark(name.c_str(),
                                     [name, tail](benchmark::State &s) { pipeline(s, name, tail); })
            ->UseManualTime()
            ->Iterations(1);
    for (const auto &[name, method, threads] :
         {std::tuple{"speed: vocamsrc RGBx fast", 1u, 0u},
          std::tuple{"speed: vocamsrc RGBx good", 2u, 0u},
          std::tuple{"speed: vocamsrc RGBx fast 1 thread", 1u, 1u},
          std::tuple{"speed: vocamsrc RGBx good 1 thread", 2u, 1u}})
        benchmark::RegisterBenchmark(name, [name = std::string(name), method,
                                            threads](benchmark::State &s) {
            engineSpeed(s, name, method, threads);
        })->Iterations(100);
    benchmark::RegisterBenchmark("speed: bayer2rgb RGBx", [](benchmark::State &s) {
        bayer2rgbSpeed(s, "speed: bayer2rgb RGBx");
    })->Iterations(100);
    benchmark::RegisterBenchmark(
        "speed: copy of a raw frame into a pool buffer",
        [](benchmark::State &s) { copySpeed(s, "speed: copy of a raw frame into a pool buffer"); })
        ->Iterations(1000);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // The median of the repetitions (--benchmark_repetitions).
    const auto median = [](const std::map<std::string, std::vector<double>> &of,
                           const std::string &name) {
        auto it = of.find(name);
        if (it == of.end()) return 0.0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const auto at = [&](const std::string &name) { return median(perFrame, name); };
    const double stream = at("vocam stream"), raw = at("vocamsrc ! fakesink");
    const double peer = at("vocamsrc ! bayer2rgb RGBx");
    if (stream > 0 && raw > 0)
        std::printf("vocamsrc ! fakesink / vocam stream:          %.2f (goal: at most 1.2)\n",
                    raw / stream);
    for (const char *threads : {"", " 1 thread"}) {
        const double fast = at("vocamsrc RGBx fast" + std::string(threads));
        const double good = at("vocamsrc RGBx good" + std::string(threads));
        if (fast <= 0 || good <= 0 || peer <= 0) continue;
        std::printf("bayer2rgb / vocamsrc RGBx%s, whole pipeline:    fast %.2f, good %.2f\n",
                    threads, peer / fast, peer / good);
        if (fast > raw && good > raw && peer > raw)
            std::printf(
                "bayer2rgb / vocamsrc RGBx%s, conversion's processor time: fast %.2f, good %.2f\n",
                threads, (peer - raw) / (fast - raw), (peer - raw) / (good - raw));
    }
    // Speed: how much sooner a frame is converted, by the wall clock.
    const double peerWall = median(wallPerFrame, "speed: bayer2rgb RGBx");
    for (const char *threads : {"", " 1 thread"}) {
        const double fast =
            median(wallPerFrame, "speed: vocamsrc RGBx fast" + std::string(threads));
        const double good =
            median(wallPerFrame, "speed: vocamsrc RGBx good" + std::string(threads));
        if (fast > 0 && good > 0 && peerWall > 0)
            std::printf(
                "bayer2rgb / vocamsrc RGBx%s, wall time a frame: fast %.2f, good %.2f "
                "(goal: at least 3)\n",
                threads, peerWall / fast, peerWall / good);
    }
    const double copy = median(wallPerFrame, "speed: copy of a raw frame into a pool buffer");
    if (copy > 0 && stream > 0)
        std::printf(
            "copy of a raw frame into a pool buffer:      %.3f ms a frame, %.2f of vocam "
            "stream's processor time\n",
            copy * 1e3, copy / stream);
    if (held().camera != nullptr) vocam_camera_close(&held().camera);
    benchmark::Shutdown();
    return 0;
}
