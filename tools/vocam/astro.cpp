#include "astro.h"

#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "common.h"

namespace vocam::cli {

namespace {

std::int64_t nanoseconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A register property as read, or nothing for a camera without it.
std::optional<int> property(_vocam *camera, std::uint32_t id, std::uint32_t *flags = nullptr) {
    int value = 0, min = 0, max = 0;
    std::uint32_t f = 0;
    if (vocam_property_get_range(camera, id, &min, &max, &value, &f) < 0) return std::nullopt;
    if (flags != nullptr) *flags = f;
    return value;
}

double factor(int value) {
    return value / 4096.0;
}

// Temperature register units are 1000 x (degrees Celsius + 273): three
// decimals say them exactly.
double celsius(int value) {
    return static_cast<std::uint32_t>(value) / 1000.0 - 273.0;
}

// A FITS file built in memory with cfitsio, then written whole: cfitsio's
// own file names parse brackets and other characters as instructions.
class FitsFile {
  public:
    explicit FitsFile(const std::string &path) : path_(path) {
        size_ = 2880;
        buffer_ = std::malloc(size_);
        if (buffer_ == nullptr) throw std::bad_alloc();
        fits_create_memfile(&fits_, &buffer_, &size_, 2880 * 64, std::realloc, &status_);
        check();
    }
    ~FitsFile() {
        if (fits_ != nullptr) {
            int ignored = 0;
            fits_close_file(fits_, &ignored);
        }
        std::free(buffer_);
    }
    FitsFile(const FitsFile &) = delete;
    FitsFile &operator=(const FitsFile &) = delete;

    void image(int bitpix, std::vector<long> axes) {
        fits_create_img(fits_, bitpix, static_cast<int>(axes.size()), axes.data(), &status_);
        check();
    }
    void text(const char *key, const std::string &value, const char *comment) {
        fits_write_key_str(fits_, key, value.c_str(), comment, &status_);
        check();
    }
    void integer(const char *key, long long value, const char *comment) {
        fits_write_key_lng(fits_, key, value, comment, &status_);
        check();
    }
    // With `decimals` fixed digits, or as many as the value needs (up to 12).
    void number(const char *key, double value, int decimals, const char *comment) {
        if (decimals >= 0)
            fits_write_key_fixdbl(fits_, key, value, decimals, comment, &status_);
        else
            fits_write_key_dbl(fits_, key, value, -12, comment, &status_);
        check();
    }
    void comment(const char *line) {
        fits_write_comment(fits_, line, &status_);
        check();
    }
    void date() {
        fits_write_date(fits_, &status_);
        check();
    }
    void pixels(int type, const void *data, long long count) {
        // cfitsio only reads the array.
        fits_write_img(fits_, type, 1, count, const_cast<void *>(data), &status_);
        check();
    }
    // Closes the file in memory and writes it to its path.
    void save() {
        fits_close_file(fits_, &status_);
        fits_ = nullptr;
        check();
        writeWhole(path_, static_cast<const std::uint8_t *>(buffer_), size_);
    }

  private:
    void check() {
        if (status_ == 0) return;
        char why[FLEN_STATUS] = {};
        fits_get_errstatus(status_, why);
        fits_clear_errmsg();
        throw Failure("error: cannot write '" + path_ + "': " + why);
    }

    std::string path_;
    fitsfile *fits_ = nullptr;
    void *buffer_ = nullptr;
    std::size_t size_ = 0;
    int status_ = 0;
};

void describe(FitsFile &file, const CaptureFacts &facts, std::int64_t startUtcNs) {
    file.number("EXPTIME", facts.exposureSeconds, 6, "[s] exposure time");
    file.number("GAIN", facts.gain, -1, "analogue gain as a factor (1 is unity)");
    if (facts.colourGains) {
        const auto &g = *facts.colourGains;
        file.number("REDGAIN", g[0], -1, "analogue gain of the red sites, a factor");
        file.number("GRN1GAIN", g[1], -1, "analogue gain of the greens on red rows");
        file.number("GRN2GAIN", g[2], -1, "analogue gain of the greens on blue rows");
        file.number("BLUEGAIN", g[3], -1, "analogue gain of the blue sites, a factor");
    }
    if (facts.sensorCelsius)
        file.number("CCD-TEMP", *facts.sensorCelsius, 3, "[C] sensor temperature when saved");
    if (facts.targetCelsius)
        file.number("SET-TEMP", *facts.targetCelsius, 3, "[C] the cooler's target");
    file.integer("XBINNING", facts.binX, "subsampling across");
    file.integer("YBINNING", facts.binY, "subsampling down");
    file.integer("XORGSUBF", facts.originX, "window's left column on the sensor");
    file.integer("YORGSUBF", facts.originY, "window's top row on the sensor");
    file.text("DATE-OBS", isoUtc(startUtcNs), "UTC start: arrival less EXPTIME");
    file.comment("DATE-OBS: when the frame arrived at the computer, on its UTC clock,");
    file.comment("less EXPTIME; the readout and the USB transfer are not taken off.");
    file.text("INSTRUME", facts.model, "camera model");
    file.text("SERIALNO", std::to_string(facts.serial), "camera serial number");
    file.text("SWCREATE", facts.software, "software that wrote this file");
    file.date();
}

}  // namespace

// The colour of the frame's first pixel and its neighbours, as the frame is
// stored (top row first); nullptr for a monochrome sensor.
const char *bayerPattern(std::uint32_t flags) {
    if (flags & VOCAM_LAYOUT_MONO) return nullptr;
    const bool blue = flags & VOCAM_LAYOUT_BLUE_ROW, green = flags & VOCAM_LAYOUT_GREEN_FIRST;
    if (blue) return green ? "GBRG" : "BGGR";
    return green ? "GRBG" : "RGGB";
}

// "2024-05-01T21:03:07.250", the FITS form of a UTC time.
std::string isoUtc(std::int64_t ns) {
    std::int64_t seconds = ns / 1000000000, rest = ns % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --seconds;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(rest / 1000000));
    return text;
}

std::string softwareName(const std::string &program) {
    const std::uint32_t v = vocam_library_version();
    return program + " (VoCamSDK " + std::to_string(v >> 16) + "." +
           std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF) + ")";
}

CaptureFacts readCaptureFacts(_vocam *camera, const std::string &software,
                              std::optional<double> target) {
    CaptureFacts facts;
    facts.software = software;
    char name[256] = {};
    if (vocam_get_model_name(camera, name, sizeof name) == 0) facts.model = name;
    vocam_version version{};
    vocam_get_version(camera, &version);
    facts.serial = version.serial_number;
    if (const auto us = property(camera, VOCAM_PROP_EXPOSURE))
        facts.exposureSeconds = static_cast<std::uint32_t>(*us) / 1e6;
    if (const auto gain = property(camera, VOCAM_PROP_GAIN)) facts.gain = factor(*gain);
    if (vocam_is_color(camera) == 1) {
        const auto red = property(camera, VOCAM_PROP_GAIN_RED);
        const auto green1 = property(camera, VOCAM_PROP_GAIN_GREEN1);
        const auto green2 = property(camera, VOCAM_PROP_GAIN_GREEN2);
        const auto blue = property(camera, VOCAM_PROP_GAIN_BLUE);
        if (red && green1 && green2 && blue)
            facts.colourGains = {factor(*red), factor(*green1), factor(*green2), factor(*blue)};
    }
    std::uint32_t flags = 0;
    if (const auto reading = property(camera, VOCAM_PROP_TEMPERATURE, &flags);
        reading && (flags & VOCAM_PROP_FLAG_PRESENT)) {
        facts.sensorCelsius = celsius(*reading);
        if ((flags & VOCAM_PROP_FLAG_ON) && target) facts.targetCelsius = *target;
    }
    _vocam_frame_format window{};
    vocam_get_video_format(camera, &window);
    facts.binX = window.subSampleX;
    facts.binY = window.subSampleY;
    facts.originX = window.xOffset;
    facts.originY = window.yOffset;
    return facts;
}

std::int64_t exposureStartUtc(std::uint64_t arrivalNs, double exposureSeconds) {
    const std::int64_t monotonicNow = nanoseconds(CLOCK_MONOTONIC);
    const std::int64_t utcNow = nanoseconds(CLOCK_REALTIME);
    return utcNow - (monotonicNow - static_cast<std::int64_t>(arrivalNs)) -
           std::llround(exposureSeconds * 1e9);
}

void writeFits(const std::string &path, const _VOCAM_IMAGE_FORMAT &format, const std::uint8_t *raw,
               const CaptureFacts &facts, std::int64_t startUtcNs) {
    FitsFile file(path);
    const bool wide = format.PixelFormat == 1;
    const long long count = static_cast<long long>(format.Width) * format.Height;
    file.image(wide ? USHORT_IMG : BYTE_IMG,
               {static_cast<long>(format.Width), static_cast<long>(format.Height)});
    file.text("ROWORDER", "TOP-DOWN", "the first row stored is the top of the picture");
    if (const char *pattern = bayerPattern(format.VocamReserved[0])) {
        // The pattern is the stored frame's own, the window's phase included,
        // so readers that apply the offsets and readers that ignore them agree.
        file.text("BAYERPAT", pattern, "colour mosaic from the first stored pixel");
        file.integer("XBAYROFF", 0, "the mosaic's column offset, in BAYERPAT already");
        file.integer("YBAYROFF", 0, "the mosaic's row offset, in BAYERPAT already");
    }
    describe(file, facts, startUtcNs);
    if (wide) {
        const bool lowFirst = format.VocamReserved[0] & VOCAM_LAYOUT_LSB_FIRST;
        std::vector<std::uint16_t> samples(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const std::uint8_t a = raw[2 * i], b = raw[2 * i + 1];
            samples[i] = static_cast<std::uint16_t>(lowFirst ? a | b << 8 : b | a << 8);
        }
        file.pixels(TUSHORT, samples.data(), count);
    } else {
        file.pixels(TBYTE, raw, count);
    }
    file.save();
}

void writeFitsCube(const std::string &path, const Rgb &picture, const CaptureFacts &facts,
                   std::int64_t startUtcNs) {
    FitsFile file(path);
    const bool wide = picture.bits == 16;
    const std::size_t plane = std::size_t{picture.width} * picture.height;
    file.image(wide ? USHORT_IMG : BYTE_IMG,
               {static_cast<long>(picture.width), static_cast<long>(picture.height), 3});
    file.text("ROWORDER", "TOP-DOWN", "the first row stored is the top of the picture");
    file.comment("Three planes: red, green, blue, converted from the colour mosaic.");
    describe(file, facts, startUtcNs);
    // The picture's pixels interleave the colours; FITS keeps one plane after
    // the other.
    const auto planes = [&](auto sample) {
        using Sample = decltype(sample);
        std::vector<Sample> out(plane * 3);
        for (std::uint32_t y = 0; y < picture.height; ++y) {
            const auto *row = reinterpret_cast<const Sample *>(picture.pixels + y * picture.stride);
            for (std::uint32_t x = 0; x < picture.width; ++x)
                for (std::size_t c = 0; c < 3; ++c)
                    out[c * plane + std::size_t{y} * picture.width + x] = row[3 * x + c];
        }
        return out;
    };
    if (wide)
        file.pixels(TUSHORT, planes(std::uint16_t{}).data(), static_cast<long long>(plane * 3));
    else
        file.pixels(TBYTE, planes(std::uint8_t{}).data(), static_cast<long long>(plane * 3));
    file.save();
}

}  // namespace vocam::cli
