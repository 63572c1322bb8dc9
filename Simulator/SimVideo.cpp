#include "Simulator/SimVideo.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace vocam::sim {

using usbhost::IOReturn;

namespace {

constexpr std::uint64_t kHashFactor = 0x100000001B3ull;
// With stamping on, every 4 KiB one word of a frame carries the frame's
// count, so a buffer that mixes two frames never hashes like either of them.
constexpr std::size_t kStampStride = 4096;
// The log keeps this many of the most recent frames.
constexpr std::size_t kLogCapacity = 1u << 20;

std::uint64_t load64(const std::uint8_t *p, std::size_t available) {
    std::uint8_t word[8] = {};
    std::memcpy(word, p, std::min<std::size_t>(8, available));
    std::uint64_t w = 0;
    for (int i = 7; i >= 0; --i) w = w << 8 | word[i];
    return w;
}

void store64(std::uint8_t *p, std::uint64_t w) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(w >> (8 * i));
}

std::uint64_t power(std::uint64_t base, std::uint64_t exponent) {
    std::uint64_t r = 1;
    for (; exponent != 0; exponent >>= 1, base *= base)
        if (exponent & 1) r *= base;
    return r;
}

struct Rgb {
    double r, g, b;
};

// Reflectances of the colour patches: skin tones, sky, foliage, primaries,
// secondaries and a few neutrals.
constexpr Rgb kPatches[18] = {
    {0.45, 0.31, 0.25}, {0.77, 0.58, 0.50}, {0.38, 0.48, 0.61}, {0.34, 0.42, 0.26},
    {0.51, 0.50, 0.69}, {0.40, 0.74, 0.67}, {0.84, 0.48, 0.17}, {0.31, 0.36, 0.65},
    {0.76, 0.33, 0.38}, {0.36, 0.24, 0.42}, {0.62, 0.74, 0.25}, {0.88, 0.63, 0.18},
    {0.20, 0.24, 0.58}, {0.28, 0.58, 0.29}, {0.69, 0.20, 0.23}, {0.91, 0.78, 0.13},
    {0.73, 0.33, 0.59}, {0.90, 0.90, 0.90},
};
// A slightly warm light: white comes out reddish, so balancing has work to do.
constexpr Rgb kLight = {1.12, 1.0, 0.80};
// The scene's white at the nominal exposure, below full scale.
constexpr double kWhiteLevel = 0.85;

// The test scene at a sensor position, as reflectance in [0, 1] before the light.
Rgb scene(double sx, double sy, double sensorW, double sensorH) {
    if (sx < 0 || sy < 0 || sx >= sensorW || sy >= sensorH) return {0, 0, 0};
    const double u = sx / sensorW, v = sy / sensorH;
    if (v < 0.18) {  // grey ramp, black to white
        return {u, u, u};
    }
    if (v < 0.6) {
        if (u < 0.6) {  // colour patches, six by three, on a dark surround
            const double pu = u / 0.6 * 6, pv = (v - 0.18) / 0.42 * 3;
            const double fu = pu - std::floor(pu), fv = pv - std::floor(pv);
            if (fu < 0.08 || fu > 0.92 || fv < 0.08 || fv > 0.92) return {0.05, 0.05, 0.05};
            return kPatches[static_cast<int>(pv) * 6 + static_cast<int>(pu)];
        }
        // Fine lines: vertical bars in the upper half, horizontal below, with
        // periods of 2, 3, 4 and 6 sensor pixels from left to right.
        static constexpr int kPeriods[4] = {2, 3, 4, 6};
        const int band = std::min(3, static_cast<int>((u - 0.6) / 0.4 * 4));
        const int period = kPeriods[band];
        const bool vertical = v < 0.39;
        const long coordinate = static_cast<long>(vertical ? sx : sy);
        const double level = coordinate % period < period / 2 ? 0.8 : 0.1;
        return {level, level, level};
    }
    // A slanted edge, 5 degrees off vertical, bright on the left.
    const double edge = sensorW * 0.5 + (sy - sensorH * 0.8) * 0.0875;
    const double level = sx < edge ? 0.8 : 0.1;
    return {level, level, level};
}

// Blurs each set of same-colour sites (every `pitch`-th pixel in both
// directions) with a Gaussian of `sigma` pixels, the frame's edges repeated.
void defocus(std::vector<double> &v, std::uint32_t w, std::uint32_t h, std::uint32_t pitch,
             double sigma) {
    const double planeSigma = sigma / pitch;
    if (!(planeSigma > 0.01) || w == 0 || h == 0) return;
    const int radius = std::min(64, static_cast<int>(std::ceil(3 * planeSigma)));
    std::vector<double> k(2 * radius + 1);
    double total = 0;
    for (int i = -radius; i <= radius; ++i)
        total += k[i + radius] = std::exp(-0.5 * i * i / (planeSigma * planeSigma));
    for (double &x : k) x /= total;
    std::vector<double> line, blurred;
    // One pass along a line of n samples `stride` apart.
    auto pass = [&](double *first, std::uint32_t n, std::size_t stride) {
        line.resize(n);
        blurred.assign(n, 0.0);
        for (std::uint32_t i = 0; i < n; ++i) line[i] = first[i * stride];
        for (std::uint32_t i = 0; i < n; ++i)
            for (int j = -radius; j <= radius; ++j) {
                const long at = std::clamp<long>(static_cast<long>(i) + j, 0, n - 1);
                blurred[i] += k[j + radius] * line[static_cast<std::size_t>(at)];
            }
        for (std::uint32_t i = 0; i < n; ++i) first[i * stride] = blurred[i];
    };
    for (std::uint32_t r = 0; r < h; ++r)
        for (std::uint32_t p = 0; p < pitch && p < w; ++p)
            pass(&v[static_cast<std::size_t>(r) * w + p], (w - p + pitch - 1) / pitch, pitch);
    for (std::uint32_t c = 0; c < w; ++c)
        for (std::uint32_t p = 0; p < pitch && p < h; ++p)
            pass(&v[static_cast<std::size_t>(p) * w + c], (h - p + pitch - 1) / pitch,
                 static_cast<std::size_t>(pitch) * w);
}

}  // namespace

std::uint32_t VideoSettings::frameBytes() const {
    if (subX == 0 || subY == 0) return 0;
    return static_cast<std::uint32_t>(width / subX) * static_cast<std::uint32_t>(height / subY);
}

std::uint64_t frameHash(const std::uint8_t *data, std::size_t size) {
    std::uint64_t h = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) h = h * kHashFactor + load64(data + i, 8);
    if (i < size) h = h * kHashFactor + load64(data + i, size - i);
    return h * kHashFactor + size;
}

struct SimVideo::Prepared {
    VideoSettings settings;
    std::vector<std::uint8_t> pixels;
    std::uint64_t hash = 0;                   // of the unstamped picture
    std::vector<std::size_t> stampOffsets;    // byte offsets of whole words
    std::vector<std::uint64_t> stampWeights;  // each word's factor in the hash
};

std::vector<std::uint8_t> SimVideo::render(const VideoSettings &s) {
    const std::uint32_t outW = s.subX ? s.width / s.subX : 0, outH = s.subY ? s.height / s.subY : 0;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(outW) * outH);
    const double exposure =
        (s.exposure ? s.exposure : kNominalExposureUs) / double(kNominalExposureUs);
    auto factor = [](std::uint32_t g) { return (g ? g : 4096) / 4096.0; };
    const double common = exposure * factor(s.gain) * kWhiteLevel * 255.0;
    // Bayer phase of the colour code: the offset of the RGGB pattern.
    int dx = 0, dy = 0;
    bool mono = false;
    switch (s.colorCode) {
        case 8:
        case 12:
        case 24:
            break;
        case 9:
        case 13:
        case 25:
            dx = 1;
            break;
        case 10:
        case 14:
        case 26:
            dy = 1;
            break;
        case 11:
        case 15:
        case 27:
            dx = dy = 1;
            break;
        default:
            mono = true;
            break;
    }
    std::vector<double> values(out.size());
    for (std::uint32_t r = 0; r < outH; ++r) {
        const double sy = s.y + static_cast<double>(r) * s.subY;
        for (std::uint32_t c = 0; c < outW; ++c) {
            const double sx = s.x + static_cast<double>(c) * s.subX;
            const Rgb p = scene(sx, sy, s.sensorWidth, s.sensorHeight);
            const Rgb lit = {p.r * kLight.r, p.g * kLight.g, p.b * kLight.b};
            double value;
            if (mono) {
                value = (0.299 * lit.r + 0.587 * lit.g + 0.114 * lit.b) * common;
            } else {
                const bool oddCol = ((c + dx) & 1) != 0, oddRow = ((r + dy) & 1) != 0;
                if (!oddRow && !oddCol)
                    value = lit.r * factor(s.gainRed);
                else if (oddRow && oddCol)
                    value = lit.b * factor(s.gainBlue);
                else
                    value = lit.g * factor(oddRow ? s.gainGreen2 : s.gainGreen1);
                value *= common;
            }
            values[static_cast<std::size_t>(r) * outW + c] = value;
        }
    }
    // A Bayer sensor's sites of one colour lie two pixels apart.
    defocus(values, outW, outH, mono ? 1 : 2, s.blur);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int level = static_cast<int>(std::clamp(values[i] + 0.5, 0.0, 255.0));
        out[i] = s.tone[static_cast<std::size_t>(level)];
    }
    return out;
}

SimVideo::SimVideo(std::function<void()> wake) : wake_(std::move(wake)) {}

std::shared_ptr<const SimVideo::Prepared> SimVideo::prepare(const VideoSettings &settings) {
    {
        std::lock_guard lock(mutex_);
        if (prepared_ && prepared_->settings == settings) return prepared_;
    }
    const auto began = std::chrono::steady_clock::now();
    auto p = std::make_shared<Prepared>();
    p->settings = settings;
    p->pixels = render(settings);
    const std::size_t size = p->pixels.size();
    p->hash = frameHash(p->pixels.data(), size);
    // Word j of m is multiplied by the factor m - j times (the length comes last).
    const std::size_t words = (size + 7) / 8;
    for (std::size_t at = 0; at + 8 <= size; at += kStampStride) p->stampOffsets.push_back(at);
    if (size >= 8 && (size / 8 - 1) * 8 != p->stampOffsets.back())
        p->stampOffsets.push_back((size / 8 - 1) * 8);
    for (std::size_t at : p->stampOffsets)
        p->stampWeights.push_back(power(kHashFactor, words - at / 8));
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::lock_guard lock(mutex_);
    renderSeconds_ += spent;
    prepared_ = p;
    return p;
}

IOReturn SimVideo::deliver(const VideoSettings &settings, std::uint8_t *dst, std::uint32_t size,
                           std::uint32_t &moved) {
    moved = 0;
    std::uint32_t limit = size;
    bool stamp;
    std::function<void()> first;
    IOReturn failure = usbhost::kIOReturnSuccess;
    {
        std::lock_guard lock(mutex_);
        const std::uint64_t read = ++reads_;
        if (read == 1) {
            if (faults_.stallSeconds)
                stallAt_ = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(*faults_.stallSeconds));
            first = std::move(firstFrame_);
        }
        stamp = faults_.stamp;
        if (failCount_ > 0) {
            --failCount_;
            failure = failCode_;
        } else if (faults_.failEvery != 0 && read % faults_.failEvery == 0) {
            failure = usbhost::kIOReturnIOError;
        } else if (shortCount_ > 0) {
            --shortCount_;
            limit = std::min(size, shortBytes_);
        } else if (faults_.shortEvery != 0 && read % faults_.shortEvery == 0) {
            limit = size / 2;
        }
    }
    if (first) first();
    if (failure != usbhost::kIOReturnSuccess) return failure;
    const auto prepared = prepare(settings);
    const auto began = std::chrono::steady_clock::now();
    const std::uint8_t *src = prepared->pixels.data();
    const std::uint32_t frame = static_cast<std::uint32_t>(prepared->pixels.size());
    moved = std::min(limit, frame);
    // An empty window renders no pixels, and its buffer may be no buffer at all.
    if (moved > 0) std::memcpy(dst, src, moved);
    const bool whole = moved == frame;
    std::uint64_t sequence;
    {
        std::lock_guard lock(mutex_);
        sequence = whole ? ++sequence_ : sequence_ + 1;
    }
    std::uint64_t hash = prepared->hash;
    for (std::size_t i = 0; stamp && i < prepared->stampOffsets.size(); ++i) {
        const std::size_t at = prepared->stampOffsets[i];
        if (at + 8 > moved) break;
        const std::uint64_t base = load64(src + at, 8);
        const std::uint64_t stamped = base ^ sequence;
        store64(dst + at, stamped);
        hash += (stamped - base) * prepared->stampWeights[i];
    }
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::lock_guard lock(mutex_);
    copySeconds_ += spent;
    if (whole) {
        if (log_.size() == kLogCapacity) log_.pop_front();
        log_.push_back({sequence, hash});
    }
    return usbhost::kIOReturnSuccess;
}

void SimVideo::failReads(IOReturn code, int count) {
    std::lock_guard lock(mutex_);
    failCode_ = code;
    failCount_ = count;
}

void SimVideo::shortFrames(std::uint32_t bytes, int count) {
    std::lock_guard lock(mutex_);
    shortBytes_ = bytes;
    shortCount_ = count;
}

void SimVideo::setSilent(bool silent) {
    {
        std::lock_guard lock(mutex_);
        silent_ = silent;
    }
    if (wake_) wake_();
}

bool SimVideo::silent() const {
    std::lock_guard lock(mutex_);
    return silent_ || (stallAt_ && std::chrono::steady_clock::now() >= *stallAt_);
}

void SimVideo::stage(const VideoFaults &faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

void SimVideo::onFirstFrame(std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    firstFrame_ = std::move(callback);
}

std::vector<FrameRecord> SimVideo::frameLog() const {
    std::lock_guard lock(mutex_);
    return {log_.begin(), log_.end()};
}

void SimVideo::clearFrameLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

std::uint64_t SimVideo::framesSent() const {
    std::lock_guard lock(mutex_);
    return sequence_;
}

double SimVideo::copySeconds() const {
    std::lock_guard lock(mutex_);
    return copySeconds_;
}

double SimVideo::renderSeconds() const {
    std::lock_guard lock(mutex_);
    return renderSeconds_;
}

}  // namespace vocam::sim
