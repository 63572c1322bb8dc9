// Processor time per frame of the GStreamer element at the camera's full
// rate (a simulated 1280 x 1024 camera at its fastest data rate), against
// `vocam stream` on the same camera, and of its converted output against
// GStreamer's own bayer2rgb on the same frames. Each case runs as its own
// process, as a user runs it, twice with different frame counts: the
// difference of the two runs' processor times over the difference of their
// frames leaves out start-up (plugin registry, bring-up). The longer run
// lasts 10 s: start-up varies by milliseconds from run to run, which over a
// few frames hides the element's own share. The simulated
// camera renders and copies its frames inside the same process in every
// case.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

const char *const kCamera = "model_02:state=ready";

struct Run {
    double cpu = 0;     // seconds, user and system
    double frames = 0;  // as the program reports them, or as asked
};

Run run(const std::vector<std::string> &argv, const std::string &pattern, double frames) {
    int out[2];
    if (pipe(out) != 0) return {};
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
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Run r;
    r.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.frames = frames;
    std::smatch m;
    if (!pattern.empty() && std::regex_search(text, m, std::regex(pattern)))
        r.frames = std::stod(m[1]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) r.frames = 0;
    return r;
}

std::map<std::string, std::vector<double>> perFrame;  // processor seconds a frame, by case

void report(benchmark::State &state, const std::string &name, Run shorter, Run longer) {
    if (longer.frames <= shorter.frames) {
        state.SkipWithError("a run failed or delivered no frames");
        return;
    }
    const double cpu = (longer.cpu - shorter.cpu) / (longer.frames - shorter.frames);
    perFrame[name].push_back(cpu);
    state.SetIterationTime(cpu);
    state.counters["frames"] = longer.frames;
    state.counters["cpu_ms_per_frame"] = cpu * 1e3;
}

void vocamStream(benchmark::State &state) {
    for (auto _ : state) {
        const auto once = [](const char *seconds) {
            return run({VOCAM_TOOL, "stream", "--seconds", seconds}, "([0-9]+) frames in", 0);
        };
        report(state, "vocam stream", once("1"), once("10"));
    }
}

void pipeline(benchmark::State &state, const std::string &name, const std::string &tail) {
    for (auto _ : state) {
        const auto once = [&](int frames) {
            std::vector<std::string> argv = {"gst-launch-1.0", "-q", "vocamsrc",
                                             "num-buffers=" + std::to_string(frames)};
            std::string word;
            for (const char c : tail + " ") {
                if (c != ' ') {
                    word += c;
                } else if (!word.empty()) {
                    argv.push_back(word);
                    word.clear();
                }
            }
            return run(argv, "", frames);
        };
        report(state, name, once(36), once(360));
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

}  // namespace

int main(int argc, char **argv) {
    benchmark::RegisterBenchmark("vocam stream", vocamStream)->UseManualTime()->Iterations(1);
    for (const auto &[name, tail] : kPipelines)
        benchmark::RegisterBenchmark(name.c_str(),
                                     [name, tail](benchmark::State &s) { pipeline(s, name, tail); })
            ->UseManualTime()
            ->Iterations(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // The median of the repetitions (--benchmark_repetitions).
    const auto at = [](const char *name) {
        auto it = perFrame.find(name);
        if (it == perFrame.end()) return 0.0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double stream = at("vocam stream"), raw = at("vocamsrc ! fakesink");
    const double peer = at("vocamsrc ! bayer2rgb RGBx");
    if (stream > 0 && raw > 0)
        std::printf("vocamsrc ! fakesink / vocam stream:          %.2f (goal: at most 1.2)\n",
                    raw / stream);
    for (const char *threads : {"", " 1 thread"}) {
        const double fast = at(("vocamsrc RGBx fast" + std::string(threads)).c_str());
        const double good = at(("vocamsrc RGBx good" + std::string(threads)).c_str());
        if (fast <= 0 || good <= 0 || peer <= 0) continue;
        std::printf("bayer2rgb / vocamsrc RGBx%s, whole pipeline:    fast %.2f, good %.2f\n",
                    threads, peer / fast, peer / good);
        if (fast > raw && good > raw && peer > raw)
            std::printf(
                "bayer2rgb / vocamsrc RGBx%s, conversion alone: fast %.2f, good %.2f "
                "(goal: at least 3)\n",
                threads, (peer - raw) / (fast - raw), (peer - raw) / (good - raw));
    }
    benchmark::Shutdown();
    return 0;
}
