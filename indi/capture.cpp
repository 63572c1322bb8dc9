#include "capture.h"

#include <utility>

namespace vocam::indi {

namespace {

// Waits are cut into slices this long, so a stop is seen at once even
// during an exposure of an hour.
constexpr std::uint32_t kSliceMs = 100;

std::string why(const char *what, int code) {
    return std::string(what) + " (" + vocam_strerror(code) + ", " + std::to_string(code) + ")";
}

// Enables and starts the stream; stops and disables it when it goes.
class Streaming {
  public:
    explicit Streaming(_vocam *camera) : camera_(camera) {}
    ~Streaming() {
        if (started_) vocam_stop_streaming(camera_);
        if (enabled_) vocam_disable_streaming(camera_);
    }
    Streaming(const Streaming &) = delete;
    Streaming &operator=(const Streaming &) = delete;
    // 0, or the failing call's code.
    int begin() {
        if (const int r = vocam_enable_streaming(camera_); r < 0) return r;
        enabled_ = true;
        if (const int r = vocam_start_streaming(camera_); r < 0) return r;
        started_ = true;
        return 0;
    }

  private:
    _vocam *camera_;
    bool enabled_ = false, started_ = false;
};

}  // namespace

Frame copyFrame(const std::uint8_t *raw, const _VOCAM_IMAGE_FORMAT &format) {
    Frame frame;
    frame.width = format.Width;
    frame.height = format.Height;
    frame.bits = format.PixelFormat == 1 ? 16 : 8;
    const std::size_t samples = std::size_t{format.Width} * format.Height;
    if (frame.bits == 8) {
        frame.pixels.assign(raw, raw + samples);
        return frame;
    }
    frame.pixels.resize(samples * 2);
    const bool lowFirst = (format.VocamReserved[0] & VOCAM_LAYOUT_LSB_FIRST) != 0;
    auto *out = reinterpret_cast<std::uint16_t *>(frame.pixels.data());
    for (std::size_t i = 0; i < samples; ++i) {
        const std::uint8_t a = raw[2 * i], b = raw[2 * i + 1];
        out[i] = static_cast<std::uint16_t>(lowFirst ? a | b << 8 : b | a << 8);
    }
    return frame;
}

Capture::Capture(_vocam *camera, Notify notify) : camera_(camera), notify_(std::move(notify)) {}

Capture::~Capture() {
    stop();
}

void Capture::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Capture::start(std::function<void()> job) {
    stop();
    stop_ = false;
    running_ = true;
    thread_ = std::thread([this, job = std::move(job)] {
        job();
        running_ = false;
    });
}

void Capture::post(Outcome outcome) {
    {
        std::lock_guard guard(lock_);
        outcomes_.push_back(std::move(outcome));
    }
    notify_();
}

std::vector<Outcome> Capture::takeOutcomes() {
    std::lock_guard guard(lock_);
    return std::exchange(outcomes_, {});
}

bool Capture::answers() const {
    int value = 0;
    std::uint32_t flags = 0;
    return vocam_property_get(camera_, VOCAM_PROP_EXPOSURE, &value, &flags) >= 0;
}

void Capture::expose(std::uint64_t job, std::uint32_t exposureUs, std::uint64_t setNs,
                     std::optional<double> target) {
    start([=, this] { runExposure(job, exposureUs, setNs, target); });
}

void Capture::stream(std::uint64_t job, Sink sink) {
    start([=, this] { runStream(job, sink); });
}

void Capture::runExposure(std::uint64_t job, std::uint32_t exposureUs, std::uint64_t setNs,
                          std::optional<double> target) {
    Outcome out;
    out.job = job;
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    if (const int r = vocam_get_image_format(camera_, &format); r != 0) {
        out.why = why("The camera's frame layout is unknown", r);
        post(std::move(out));
        return;
    }
    bool exposed = false;
    {
        Streaming streaming(camera_);
        if (const int r = streaming.begin(); r < 0) {
            out.gone = !answers();
            out.why = out.gone ? std::string("The camera left the bus")
                               : why("The camera did not start the exposure", r);
            post(std::move(out));
            return;
        }
        // A frame whose exposure began before the setting reached the camera
        // is not this exposure's, however fresh the stream.
        const std::uint64_t earliest = setNs + std::uint64_t{exposureUs} * 1000;
        for (;;) {
            if (stop_) {
                out.kind = Outcome::Kind::Aborted;
                break;
            }
            const int index = vocam_wait_for_capture_to_buffer_timeout(camera_, kSliceMs);
            if (index == VOCAM_WAIT_TIMED_OUT || index == VOCAM_EINVAL) continue;
            if (index < 0) {
                if (stop_) {
                    out.kind = Outcome::Kind::Aborted;
                    break;
                }
                out.gone = !answers();
                out.why = out.gone ? "The camera left the bus during the exposure"
                                   : "The camera stopped sending frames during the exposure";
                break;
            }
            vocam_frame_info info{};
            info.size = sizeof info;
            const bool known = vocam_get_buffer_info(camera_, index, &info) == 0;
            if (known && info.timestamp_ns >= earliest) {
                out.frame = copyFrame(vocam_get_buffer_address(camera_, index), format);
                out.frame.arrivalNs = info.timestamp_ns;
                exposed = true;
            }
            vocam_release_buffer(camera_, index);
            if (exposed) break;
        }
    }
    if (exposed) {
        out.kind = Outcome::Kind::Exposed;
        out.facts = cli::readCaptureFacts(camera_, cli::softwareName("indi_vocam_ccd"), target);
        out.startUtcNs = cli::exposureStartUtc(out.frame.arrivalNs, out.facts.exposureSeconds);
    }
    post(std::move(out));
}

void Capture::runStream(std::uint64_t job, const Sink &sink) {
    Outcome out;
    out.job = job;
    out.kind = Outcome::Kind::StreamEnded;
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    if (const int r = vocam_get_image_format(camera_, &format); r != 0) {
        out.why = why("The camera's frame layout is unknown", r);
        post(std::move(out));
        return;
    }
    Streaming streaming(camera_);
    if (const int r = streaming.begin(); r < 0) {
        out.gone = !answers();
        out.why = out.gone ? std::string("The camera left the bus")
                           : why("The camera did not start the video stream", r);
        post(std::move(out));
        return;
    }
    while (!stop_) {
        const int index = vocam_wait_for_capture_to_buffer_timeout(camera_, kSliceMs);
        if (index == VOCAM_WAIT_TIMED_OUT || index == VOCAM_EINVAL) continue;
        if (index < 0) {
            if (stop_) break;
            out.gone = !answers();
            out.why = out.gone ? "The camera left the bus during the video stream"
                               : "The camera stopped sending frames";
            post(std::move(out));
            return;
        }
        const std::uint8_t *raw = vocam_get_buffer_address(camera_, index);
        if (format.PixelFormat == 1) {
            const Frame frame = copyFrame(raw, format);
            sink(frame.pixels.data(), frame.pixels.size());
        } else {
            sink(raw, format.ImageSize);
        }
        vocam_release_buffer(camera_, index);
    }
}

}  // namespace vocam::indi
