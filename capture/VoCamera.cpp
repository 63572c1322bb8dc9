#include "VoCamera.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Log.h"

namespace vocapture {

namespace {
std::atomic<VoCamera *> current{nullptr};

// Display values go to the SDK truncated, as integers of the property's unit.
int toInt(double v) {
    return static_cast<int>(v);
}

// The exposure word counts microseconds unsigned: an hour passes the largest
// int, and goes through the int of the flat calls as the same 32 bits.
int exposureWord(double ms) {
    const double us = std::clamp(std::round(1000.0 * ms), 0.0, 4294967295.0);
    return static_cast<int>(static_cast<std::uint32_t>(us));
}
}  // namespace

std::unique_ptr<VoCamera> VoCamera::instance_;
OpenResult VoCamera::lastOpen_ = OpenResult::NoCamera;
std::string VoCamera::resourceRoot_;
bool VoCamera::hasResourceRoot_ = false;

double percentageOf(const property &p) {
    const double span = double(p.max_value) - double(p.min_value);
    return span > 0 ? 100.0 * (double(p.value) - double(p.min_value)) / span : 0.0;
}

float exposureSliderLongest(const property &exposure) {
    return exposure.max_value > 1000 ? 500.0f : exposure.max_value;
}

OpenResult VoCamera::initialize(const char *resourceRoot) {
    if (instance_) return OpenResult::Opened;
    if (resourceRoot != nullptr) {
        resourceRoot_ = resourceRoot;
        hasResourceRoot_ = true;
    }
    if (const int st = vocam_init(hasResourceRoot_ ? resourceRoot_.c_str() : nullptr); st < 0) {
        logLine("error: unable to initialize vocam: st=%d", st);
        return lastOpen_ = OpenResult::Failed;
    }
    std::unique_ptr<VoCamera> camera(new VoCamera);
    try {
        if (!camera->init()) {
            // Opened but unusable is a failure; not opened at all is either
            // an empty bus or a camera someone else holds.
            if (camera->ref_ != nullptr) return lastOpen_ = OpenResult::Failed;
            const OpenResult seen = probe();
            return lastOpen_ = seen == OpenResult::InUse ? OpenResult::InUse : OpenResult::NoCamera;
        }
    } catch (const CaptureException &e) {
        // The camera answered its opening but not the reads after it: it
        // is closed again (the destructor) rather than half used.
        logLine("error: %s: %s", e.name().c_str(), e.reason());
        logLine("error: the camera could not be read; it is closed");
        return lastOpen_ = OpenResult::Failed;
    }
    instance_ = std::move(camera);
    current = instance_.get();
    return lastOpen_ = OpenResult::Opened;
}

VoCamera *VoCamera::instance() {
    return current.load();
}

void VoCamera::cleanup() {
    current = nullptr;
    instance_.reset();
}

OpenResult VoCamera::lastOpen() {
    return lastOpen_;
}

OpenResult VoCamera::reopen() {
    cleanup();
    return initialize();
}

OpenResult VoCamera::probe() {
    vocam_camera_state states[16];
    std::uint32_t count = 16;
    if (vocam_get_camera_states(states, &count) < 0) return OpenResult::NoCamera;
    bool held = false;
    for (std::uint32_t i = 0; i < count && i < 16; ++i) {
        if (states[i].state == VOCAM_STATE_READY) return OpenResult::Opened;
        held = held || states[i].state == VOCAM_STATE_UNREACHABLE;
    }
    return held ? OpenResult::InUse : OpenResult::NoCamera;
}

VoCamera::~VoCamera() {
    stopStreaming();
    if (ref_ != nullptr)
        if (const int st = vocam_camera_close(&ref_); st < 0)
            logLine("error: unable to close camera: st=%d", st);
}

bool VoCamera::init() {
    std::lock_guard lock(lock_);
    if (vocam_camera_open_any(&ref_) < 0 || ref_ == nullptr) return false;
    vocam_version version{};
    vocam_get_version(ref_, &version);
    serial_number_ = version.serial_number;
    firmware_version_ = version.firmware_version & 0xFFFF;
    fpga_version_ = version.firmware_version >> 16;
    char name[128] = {};
    vocam_get_model_name(ref_, name, sizeof name);
    model_name_ = name;
    streaming_ = false;
    encoding_ = 1;
    format_.Size = sizeof format_;
    if (const int st = vocam_get_image_format(ref_, &format_); st < 0) {
        logLine("error: unable to get image format: st=%d", st);
        return false;
    }
    size_ = QSizeF(format_.Width, format_.Height);
    // The window the camera has now, kept: opening changes nothing.
    _vocam_frame_format window{};
    vocam_get_video_format(ref_, &window);
    location_ = QPointF(window.xOffset, window.yOffset);
    subsampling_ = std::max<int>(1, window.subSampleX);
    light_source_ = 14;
    maximum_size_ =
        QSizeF(getPropertyHelper(VOCAM_PROP_MAX_WIDTH), getPropertyHelper(VOCAM_PROP_MAX_HEIGHT));
    maximum_subsampling_ = vocam_supports_subsampling(ref_) != 0
                               ? std::max(1, getPropertyHelper(VOCAM_PROP_MAX_SUBSAMPLING))
                               : 1;
    logLine("maximum_size: %.0f x %.0f", maximum_size_.width(), maximum_size_.height());
    logLine("size: %.0f x %.0f", size_.width(), size_.height());
    readProperties();
    cooling_setpoint_ = temperature_.min_value;
    return true;
}

void VoCamera::readProperties() {
    std::lock_guard lock(lock_);
    auto show = [](const char *name, const property &p) {
        logLine("%s: %f/%f/%f/%08X", name, p.value, p.min_value, p.max_value, p.flags);
    };
    temperature_ = getTemperatureHelper();
    show("temperature", temperature_);
    gamma_ = getDigitalPropertyHelper(VOCAM_PROP_GAMMA);
    show("gamma", gamma_);
    brightness_ = getDigitalPropertyHelper(VOCAM_PROP_BRIGHTNESS);
    show("brightness", brightness_);
    contrast_ = getDigitalPropertyHelper(VOCAM_PROP_CONTRAST);
    show("contrast", contrast_);
    hue_ = getDigitalPropertyHelper(VOCAM_PROP_HUE);
    show("hue", hue_);
    saturation_ = getDigitalPropertyHelper(VOCAM_PROP_SATURATION);
    show("saturation", saturation_);
    gain_ = getGainHelper(VOCAM_PROP_GAIN);
    show("gain", gain_);
    gain_red_ = getGainHelper(VOCAM_PROP_GAIN_RED);
    show("gain_red", gain_red_);
    gain_green_ = getGainHelper(VOCAM_PROP_GAIN_GREEN1);
    show("gain_green", gain_green_);
    gain_blue_ = getGainHelper(VOCAM_PROP_GAIN_BLUE);
    show("gain_blue", gain_blue_);
    digital_gain_ = getDigitalGainHelper(VOCAM_PROP_DIGITAL_GAIN);
    show("digital_gain", digital_gain_);
    digital_gain_red_ = getDigitalGainHelper(VOCAM_PROP_DIGITAL_GAIN_RED);
    show("digital_gain_red", digital_gain_red_);
    digital_gain_green_ = getDigitalGainHelper(VOCAM_PROP_DIGITAL_GAIN_GREEN);
    show("digital_gain_green", digital_gain_green_);
    digital_gain_blue_ = getDigitalGainHelper(VOCAM_PROP_DIGITAL_GAIN_BLUE);
    show("digital_gain_blue", digital_gain_blue_);
    updateTotalGains();
    // The target the camera holds is read, not set: opening changes nothing.
    // A camera without the block keeps the middle, which it never sees.
    int target = 0;
    std::uint32_t flags = 0;
    if (vocam_property_get(ref_, VOCAM_PROP_AUTO_EXPOSURE_TARGET, &target, &flags) == 0 &&
        (flags & 0x80000000u) != 0)
        auto_exposure_target_ = std::clamp(static_cast<int>(std::lround(target / 2.55)), 0, 100);
    logLine("auto_exposure_target: %d", auto_exposure_target_);
    int flipping = 0;
    if (vocam_property_get(ref_, VOCAM_PROP_FLIPPING, &flipping, &flags) == 0) {
        x_mirror_ = (flipping & 1) != 0;
        y_mirror_ = (flipping & 2) != 0;
    }
    int word = 0;
    exposure_ = getExposureHelper(&word);
    exposure_word_ = word;
    auto_exposure_ = (exposure_.flags & VOCAM_PROP_FLAG_AUTO) != 0;
}

bool VoCamera::isColor() {
    std::lock_guard lock(lock_);
    return vocam_is_color(ref_) != 0;
}

bool VoCamera::supportsSubsampling() {
    std::lock_guard lock(lock_);
    return vocam_supports_subsampling(ref_) != 0;
}

void VoCamera::startStreaming() {
    if (streaming_) {
        logLine("error: streaming is already enabled");
        return;
    }
    if (const int st = vocam_enable_streaming(ref_); st < 0) {
        logLine("error: unable to start streaming: st=%d", st);
        return;
    }
    if (const int st = vocam_start_streaming(ref_); st < 0) {
        logLine("error: unable to start streaming: st=%d", st);
        vocam_disable_streaming(ref_);
        return;
    }
    interrupted_ = false;
    streaming_ = true;
}

void VoCamera::interruptStreaming() {
    if (!streaming_ || interrupted_.exchange(true)) return;
    if (const int st = vocam_stop_streaming(ref_); st < 0)
        logLine("error: unable to stop streaming: st=%d", st);
}

void VoCamera::stopStreaming() {
    if (!streaming_) return;
    if (!interrupted_.exchange(true))
        if (const int st = vocam_stop_streaming(ref_); st < 0)
            logLine("error: unable to stop streaming: st=%d", st);
    if (const int st = vocam_disable_streaming(ref_); st < 0)
        logLine("error: unable to disable streaming: st=%d", st);
    streaming_ = false;
}

int VoCamera::waitForImage() {
    int index = vocam_wait_for_capture_to_buffer(ref_);
    // -22: the newest frame's buffer went to the next read before it could be
    // handed out. The camera is fine; the frame after it will do.
    for (int retry = 0; index == -22 && retry < 100; ++retry)
        index = vocam_wait_for_capture_to_buffer(ref_);
    if (index < 0) {
        logLine("error: unable to wait for capture to buffer %d: st=%d", index, index);
        throw ImageCaptureError("unable to wait for image capture");
    }
    return index;
}

std::optional<int> VoCamera::waitForImage(std::uint32_t milliseconds) {
    int index = vocam_wait_for_capture_to_buffer_timeout(ref_, milliseconds);
    for (int retry = 0; index == -22 && retry < 100; ++retry)
        index = vocam_wait_for_capture_to_buffer_timeout(ref_, milliseconds);
    if (index == VOCAM_WAIT_TIMED_OUT) return std::nullopt;
    if (index < 0) {
        logLine("error: unable to wait for capture to buffer %d: st=%d", index, index);
        throw ImageCaptureError("unable to wait for image capture");
    }
    return index;
}

std::uint8_t *VoCamera::getImage(int index) {
    return vocam_get_buffer_address(ref_, index);
}

vocam_frame_info VoCamera::frameInfo(int index) {
    vocam_frame_info info{};
    info.size = sizeof info;
    if (vocam_get_buffer_info(ref_, index, &info) < 0) {
        info.sequence = 0;
        info.timestamp_ns = 0;
    }
    return info;
}

void VoCamera::releaseImage(int index) {
    if (const int st = vocam_release_buffer(ref_, index); st < 0) {
        logLine("error: unable to release buffer %d: st=%d", index, st);
        throw ImageCaptureError("unable to relase buffer");
    }
}

conversion_params VoCamera::conversionParams() const {
    std::lock_guard lock(lock_);
    conversion_params params{};
    params.size = sizeof params;
    params.demosaicMethod = static_cast<std::uint32_t>(encoding_);
    params.correctionMatrix = static_cast<std::uint32_t>(light_source_);
    params.flipX = x_mirror_;
    params.flipY = y_mirror_;
    params.hue = hue_.value;
    params.saturation = saturation_.value;
    params.useColorGains = 1;
    // The overall digital gain is spread over the channels, scaled down so
    // that none of them passes its own maximum.
    float k = digital_gain_.value;
    for (const property *c : {&digital_gain_red_, &digital_gain_green_, &digital_gain_blue_})
        if (c->value * k > c->max_value) k = c->max_value / c->value;
    params.gainOrGain0 = digital_gain_red_.value * k;
    params.whiteBalanceUOrGain1 = digital_gain_green_.value * k;
    params.whiteBalanceVOrGain2 = digital_gain_blue_.value * k;
    return params;
}

std::uint32_t VoCamera::convertRawImage(const std::uint8_t *raw, std::uint8_t *bitmap) {
    std::lock_guard lock(lock_);
    return convertRawImage(raw, format_, bitmap);
}

std::uint32_t VoCamera::convertRawImage(const std::uint8_t *raw, const _VOCAM_IMAGE_FORMAT &format,
                                        std::uint8_t *bitmap) {
    std::lock_guard lock(lock_);
    const conversion_params params = conversionParams();
    if (const int st = vocam_convert_frame_to_rgb(ref_, bitmap, raw, &format, &params); st < 0) {
        logLine("error: unable to convert frame to bitmap: st=%d", st);
        return 0;
    }
    std::uint32_t stride = 0;
    std::size_t bytes = 0;
    if (vocam_get_rgb_frame_size(ref_, &format, &params, &stride, &bytes) != 0) return 0;
    return stride;
}

bool VoCamera::convertRawImageDeep(const std::uint8_t *raw, const _VOCAM_IMAGE_FORMAT &format,
                                   std::vector<std::uint16_t> &deep) {
    if (format.PixelFormat != 1) {
        deep.clear();
        return false;
    }
    std::lock_guard lock(lock_);
    const conversion_params params = conversionParams();
    deep.resize(std::size_t{format.Width} * format.Height * 3);
    const int st = vocam_convert_frame_to_rgb_bits(
        ref_, reinterpret_cast<std::uint8_t *>(deep.data()), raw, &format, &params, 48);
    if (st < 0) {
        logLine("error: unable to convert frame to a 48-bit bitmap: st=%d", st);
        deep.clear();
        return false;
    }
    return true;
}

void VoCamera::setConversionThreads(int threads) {
    std::lock_guard lock(lock_);
    if (const int st = vocam_set_conversion_threads(ref_, static_cast<std::uint32_t>(threads));
        st < 0)
        logLine("error: unable to set %d conversion threads: st=%d", threads, st);
}

int VoCamera::updateWhitebalance(const std::uint8_t *raw, QRect region) {
    std::lock_guard lock(lock_);
    if (region.isEmpty())
        region = QRect(0, 0, static_cast<int>(format_.Width), static_cast<int>(format_.Height));
    const int st =
        vocam_whitebalance_step(ref_, raw, region.x(), region.y(), region.width(), region.height());
    if (st < 0) logLine("error: whitebalance calculation failed");
    updateColorGains();
    return st;
}

void VoCamera::updateColorGains() {
    std::lock_guard lock(lock_);
    const property red = getGainHelper(VOCAM_PROP_GAIN_RED);
    const property green = getGainHelper(VOCAM_PROP_GAIN_GREEN1);
    const property blue = getGainHelper(VOCAM_PROP_GAIN_BLUE);
    const property digitalRed = getDigitalGainHelper(VOCAM_PROP_DIGITAL_GAIN_RED);
    const property digitalGreen = getDigitalGainHelper(VOCAM_PROP_DIGITAL_GAIN_GREEN);
    const property digitalBlue = getDigitalGainHelper(VOCAM_PROP_DIGITAL_GAIN_BLUE);
    gain_red_ = red;
    gain_green_ = green;
    gain_blue_ = blue;
    digital_gain_red_ = digitalRed;
    digital_gain_green_ = digitalGreen;
    digital_gain_blue_ = digitalBlue;
    updateTotalGains();
}

double VoCamera::focusScore(const std::uint8_t *raw, QRect region) {
    std::lock_guard lock(lock_);
    _FrameDesc fd{};
    if (fill_FrameDesc(ref_, 0, &fd, region.x(), region.y(), region.width(), region.height(), 2) !=
        0)
        return -1;
    return vocam_autofocus_calculation(&fd, raw);
}

void VoCamera::setGainHelper(int selector, double percent) {
    std::lock_guard lock(lock_);
    property *total, *analogue, *digital;
    int analogueId, digitalId;
    switch (selector) {
        case 1:
            total = &total_gain_, analogue = &gain_, digital = &digital_gain_;
            analogueId = VOCAM_PROP_GAIN, digitalId = VOCAM_PROP_DIGITAL_GAIN;
            break;
        case 2:
            total = &total_gain_red_, analogue = &gain_red_, digital = &digital_gain_red_;
            analogueId = VOCAM_PROP_GAIN_RED, digitalId = VOCAM_PROP_DIGITAL_GAIN_RED;
            break;
        case 3:
            total = &total_gain_green_, analogue = &gain_green_, digital = &digital_gain_green_;
            analogueId = VOCAM_PROP_GAIN_GREEN1, digitalId = VOCAM_PROP_DIGITAL_GAIN_GREEN;
            break;
        case 4:
            total = &total_gain_blue_, analogue = &gain_blue_, digital = &digital_gain_blue_;
            analogueId = VOCAM_PROP_GAIN_BLUE, digitalId = VOCAM_PROP_DIGITAL_GAIN_BLUE;
            break;
        default:
            logLine("error: unable to find gain property %d", selector);
            throw InvalidProperty("the given property is not valid");
    }
    const double t =
        total->min_value + (double(total->max_value) - total->min_value) * percent / 100.0;
    const double a = std::min(t, double(analogue->max_value));
    int st = vocam_property_set(ref_, analogueId, toInt(4096.0 * a), analogue->flags);
    if (st == 0 && analogueId == VOCAM_PROP_GAIN_GREEN1)
        st = vocam_property_set(ref_, VOCAM_PROP_GAIN_GREEN2, toInt(4096.0 * a), analogue->flags);
    if (st < 0) {
        logLine("error: unable to set gain property %d: st=%d", analogueId, st);
        throw InvalidProperty("the given property cannot be set");
    }
    analogue->value = float(a);
    // An analogue part of 0 leaves nothing to multiply: keep the digital factor.
    const double d = a > 0 ? t / a : digital->value;
    if (float(d) != digital->value) {
        const double sent = std::min(d, double(digital->max_value));
        if (const int s = vocam_property_set(ref_, digitalId, toInt(100.0 * sent), digital->flags);
            s < 0)
            logLine("error: unable to set gain property %d: st=%d", digitalId, s);
        digital->value = float(d);
    }
    total->value = digital->value * analogue->value;
}

void VoCamera::updateExposure(double percent) {
    std::lock_guard lock(lock_);
    const double v =
        exposure_.min_value +
        (double(exposureSliderLongest(exposure_)) - exposure_.min_value) * percent / 100.0;
    const int word = toInt(1000.0 * v);
    if (const int st = vocam_property_set(ref_, VOCAM_PROP_EXPOSURE, word, exposure_.flags);
        st < 0) {
        logLine("error: unable to set exposure property: st=%d", st);
        return;
    }
    exposure_.value = float(v);
    exposure_word_ = word;
    logLine("updateExposure: percentage=%f, exposure=%f", percent, v);
}

void VoCamera::setExposureMs(double ms) {
    std::lock_guard lock(lock_);
    const double v = std::clamp(ms, double(exposure_.min_value), double(exposure_.max_value));
    const int word = exposureWord(v);
    if (const int st = vocam_property_set(ref_, VOCAM_PROP_EXPOSURE, word, exposure_.flags);
        st < 0) {
        logLine("error: unable to set exposure property: st=%d", st);
        return;
    }
    exposure_.value = float(v);
    exposure_word_ = word;
    logLine("setExposure: %f ms", v);
}

void VoCamera::updateAutoexposureTarget(double percent) {
    std::lock_guard lock(lock_);
    if (const int st =
            vocam_property_set(ref_, VOCAM_PROP_AUTO_EXPOSURE_TARGET, toInt(2.55 * percent), 0);
        st < 0) {
        logLine("error: unable to set exposure property: st=%d", st);
        return;
    }
    auto_exposure_target_ = toInt(percent);
    logLine("updateAutoexposureTarget: %d", auto_exposure_target_);
}

void VoCamera::updateAutoexposure(bool on) {
    std::lock_guard lock(lock_);
    if ((exposure_.flags & VOCAM_PROP_FLAG_AUTO_AVAILABLE) == 0) {
        logLine("error: camera doesn't support auto-exposure");
        throw PropertyError("camera does not support auto exposure");
    }
    const std::uint32_t flags =
        on ? (exposure_.flags | VOCAM_PROP_FLAG_AUTO) : (exposure_.flags & ~VOCAM_PROP_FLAG_AUTO);
    // The word last read or sent, exactly: the property counts microseconds.
    if (vocam_property_set(ref_, VOCAM_PROP_EXPOSURE, exposure_word_, flags) < 0) {
        logLine("error: unable to set auto exposure");
        throw PropertySetError("unable to set auto exposure property");
    }
    exposure_.flags = flags;
    auto_exposure_ = on;
}

property *VoCamera::digitalProperty(int id) {
    switch (id) {
        case VOCAM_PROP_GAMMA:
            return &gamma_;
        case VOCAM_PROP_CONTRAST:
            return &contrast_;
        case VOCAM_PROP_BRIGHTNESS:
            return &brightness_;
        case VOCAM_PROP_HUE:
            return &hue_;
        case VOCAM_PROP_SATURATION:
            return &saturation_;
        default:
            return nullptr;
    }
}

void VoCamera::updateDigitalPropertyHelper(int id, double percent) {
    std::lock_guard lock(lock_);
    property *p = digitalProperty(id);
    if (p == nullptr) {
        logLine("error: unable to find gamme property %d", id);
        throw InvalidProperty("the given property is not valid");
    }
    double v = p->min_value + (double(p->max_value) - p->min_value) * percent / 100.0;
    v = std::clamp(v, double(p->min_value), double(p->max_value));
    if (const int st = vocam_property_set(ref_, id, toInt(100.0 * v), p->flags); st < 0) {
        logLine("error: unable to set digital property: st=%d", st);
        return;
    }
    p->value = float(v);
}

void VoCamera::setXMirror(bool on) {
    std::lock_guard lock(lock_);
    x_mirror_ = on;
    if (vocam_property_set(ref_, VOCAM_PROP_FLIPPING, (x_mirror_ ? 1 : 0) | (y_mirror_ ? 2 : 0),
                           0) < 0) {
        logLine("error: unable to set X mirror");
        throw PropertySetError("unable to set X-Mirror property");
    }
}

void VoCamera::setYMirror(bool on) {
    std::lock_guard lock(lock_);
    y_mirror_ = on;
    if (vocam_property_set(ref_, VOCAM_PROP_FLIPPING, (x_mirror_ ? 1 : 0) | (y_mirror_ ? 2 : 0),
                           0) < 0) {
        logLine("error: unable to set Y mirror");
        throw PropertySetError("unable to set Y-Mirror property");
    }
}

void VoCamera::setEncoding(int method) {
    std::lock_guard lock(lock_);
    if (method == 0 || method == 1 || method == 2 || method == 3 || method == 8) encoding_ = method;
}

void VoCamera::setLightSource(int matrix) {
    std::lock_guard lock(lock_);
    if ((matrix >= 1 && matrix <= 5) || matrix == 14) light_source_ = matrix;
}

void VoCamera::setSize(QSizeF size, QPointF location, int subsample) {
    std::lock_guard lock(lock_);
    if (streaming_) {
        logLine("error: unable to set size when streaming");
        throw StreamingError("unable to set video format when streaming");
    }
    _vocam_frame_format f{};
    f.xOffset = static_cast<std::uint32_t>(location.x());
    f.yOffset = static_cast<std::uint32_t>(location.y());
    f.width = static_cast<std::uint32_t>(size.width());
    f.height = static_cast<std::uint32_t>(size.height());
    f.pixelFormat = 0;
    f.subSampleX = static_cast<std::uint16_t>(subsample);
    f.subSampleY = static_cast<std::uint16_t>(subsample);
    if (vocam_set_video_format(ref_, &f) < 0) {
        logLine("error: unable to set video format");
        throw VideoFormatError("unable to set video format");
    }
    if (vocam_get_image_format(ref_, &format_) < 0) {
        logLine("error: unable to get image format");
        throw ImageFormatError("unable to get image format");
    }
    size_ = QSizeF(size.width() / subsample, size.height() / subsample);
    subsampling_ = subsample;
    location_ = location;
}

bool VoCamera::isTemperatureSupported() {
    std::lock_guard lock(lock_);
    logLine("temperature: %08X, supported=%08X", temperature_.flags,
            temperature_.flags & 0x80000000u);
    // The 4008 x 2672 camera sets the cooling flag without a cooler the
    // application may drive, so it is never offered cooling.
    if (maximum_size_ == QSizeF(4008, 2672)) return false;
    return (temperature_.flags & 0x80000000u) != 0;
}

void VoCamera::setTemperatureEnable(bool on) {
    std::lock_guard lock(lock_);
    if (!isTemperatureSupported()) return;
    const std::uint32_t flags =
        on ? (temperature_.flags | 0x8000u) : (temperature_.flags & ~0x8000u);
    const auto reg = vocam_temp_to_register(cooling_setpoint_);
    if (vocam_property_set(ref_, VOCAM_PROP_TEMPERATURE, static_cast<int>(reg), flags) < 0) {
        logLine("error: unable to set cooling temperature");
        throw PropertySetError("unable to set cooling temperature property");
    }
    temperature_.flags = flags;
    temperature_.value = cooling_setpoint_;
    cooling_setpoint_sent_ = true;
}

void VoCamera::setCoolingSetpoint(float celsius) {
    std::lock_guard lock(lock_);
    cooling_setpoint_ = std::clamp(celsius, temperature_.min_value,
                                   std::max(temperature_.min_value, temperature_.max_value));
    if (coolingOn()) setTemperatureEnable(true);
}

float VoCamera::coolingSetpoint() const {
    std::lock_guard lock(lock_);
    return cooling_setpoint_;
}

bool VoCamera::coolingSetpointSent() const {
    std::lock_guard lock(lock_);
    return cooling_setpoint_sent_;
}

bool VoCamera::coolingOn() const {
    std::lock_guard lock(lock_);
    return (temperature_.flags & 0x8000u) != 0;
}

std::optional<float> VoCamera::readTemperature() {
    std::lock_guard lock(lock_);
    int value = 0;
    std::uint32_t flags = 0;
    if (const int st = vocam_property_get(ref_, VOCAM_PROP_TEMPERATURE, &value, &flags); st < 0) {
        logLine("error: unable to read temperature property: st=%d", st);
        return std::nullopt;
    }
    return vocam_register_to_temp(static_cast<std::uint32_t>(value));
}

vocam::cli::CaptureFacts VoCamera::captureFacts() {
    std::lock_guard lock(lock_);
    std::optional<double> target;
    if (cooling_setpoint_sent_) target = cooling_setpoint_;
    return vocam::cli::readCaptureFacts(ref_, vocam::cli::softwareName("VoCam_Capture"), target);
}

namespace {
// What a profile holds: the exposure and the gains in the camera, the
// engine's tone, colour and digital gains, and the mirrors.
constexpr int kProfileProperties[] = {VOCAM_PROP_EXPOSURE,
                                      VOCAM_PROP_AUTO_EXPOSURE_TARGET,
                                      VOCAM_PROP_GAIN,
                                      VOCAM_PROP_GAIN_RED,
                                      VOCAM_PROP_GAIN_GREEN1,
                                      VOCAM_PROP_GAIN_GREEN2,
                                      VOCAM_PROP_GAIN_BLUE,
                                      VOCAM_PROP_DIGITAL_GAIN,
                                      VOCAM_PROP_DIGITAL_GAIN_RED,
                                      VOCAM_PROP_DIGITAL_GAIN_GREEN,
                                      VOCAM_PROP_DIGITAL_GAIN_BLUE,
                                      VOCAM_PROP_GAMMA,
                                      VOCAM_PROP_CONTRAST,
                                      VOCAM_PROP_BRIGHTNESS,
                                      VOCAM_PROP_SATURATION,
                                      VOCAM_PROP_HUE,
                                      VOCAM_PROP_FLIPPING};
}  // namespace

std::vector<PropertySetting> VoCamera::readSettings() {
    std::lock_guard lock(lock_);
    std::vector<PropertySetting> out;
    for (const int id : kProfileProperties) {
        PropertySetting p{id, 0, 0};
        if (const int st =
                vocam_property_get(ref_, static_cast<std::uint32_t>(id), &p.value, &p.flags);
            st < 0) {
            logLine("error: unable to read property %d: st=%d", id, st);
            throw InvalidProperty("the given property cannot be read");
        }
        out.push_back(p);
    }
    return out;
}

bool VoCamera::applySettings(const std::vector<PropertySetting> &settings) {
    std::lock_guard lock(lock_);
    bool all = true;
    for (const PropertySetting &p : settings) {
        if (std::find(std::begin(kProfileProperties), std::end(kProfileProperties), p.id) ==
            std::end(kProfileProperties)) {
            logLine("error: property %d is not one a profile sets", p.id);
            all = false;
            continue;
        }
        if (const int st =
                vocam_property_set(ref_, static_cast<std::uint32_t>(p.id), p.value, p.flags);
            st < 0) {
            logLine("error: unable to set property %d: st=%d", p.id, st);
            all = false;
        }
    }
    readProperties();
    return all;
}

void VoCamera::updateTotalGainProperty(property &total, const property &analogue,
                                       const property &digital) {
    total.value = analogue.value * digital.value;
    total.min_value = analogue.min_value * digital.min_value;
    total.max_value = analogue.max_value * digital.max_value;
    total.flags = 0;
}

void VoCamera::updateTotalGains() {
    std::lock_guard lock(lock_);
    updateTotalGainProperty(total_gain_, gain_, digital_gain_);
    updateTotalGainProperty(total_gain_red_, gain_red_, digital_gain_red_);
    updateTotalGainProperty(total_gain_green_, gain_green_, digital_gain_green_);
    updateTotalGainProperty(total_gain_blue_, gain_blue_, digital_gain_blue_);
}

int VoCamera::getPropertyHelper(int id) {
    std::lock_guard lock(lock_);
    int value = 0;
    std::uint32_t flags = 0;
    if (const int st = vocam_property_get(ref_, id, &value, &flags); st < 0) {
        logLine("error: unable to read gain property %d: st=%d", id, st);
        throw InvalidProperty("the given property cannot be read");
    }
    return value;
}

namespace {
struct Range {
    int min = 0, max = 0, value = 0;
    std::uint32_t flags = 0;
};
Range readRange(_vocam *ref, int id, const char *message) {
    Range r;
    if (const int st = vocam_property_get_range(ref, id, &r.min, &r.max, &r.value, &r.flags);
        st < 0) {
        logLine(message, st);
        throw InvalidProperty("the given property cannot be read");
    }
    return r;
}
property scaled(const Range &r, double unit) {
    return property{float(r.value / unit), float(r.min / unit), float(r.max / unit), r.flags};
}
}  // namespace

property VoCamera::getGainHelper(int id) {
    property p = scaled(readRange(ref_, id, "error: unable to read gain property: st=%d"), 4096.0);
    p.value = std::clamp(p.value, p.min_value, std::max(p.min_value, p.max_value));
    return p;
}

property VoCamera::getDigitalGainHelper(int id) {
    return scaled(readRange(ref_, id, "error: unable to read digital gain property: st=%d"), 100.0);
}

property VoCamera::getDigitalPropertyHelper(int id) {
    return scaled(readRange(ref_, id, "error: unable to read gamma property: st=%d"), 100.0);
}

property VoCamera::getExposureHelper(int *word) {
    Range r =
        readRange(ref_, VOCAM_PROP_EXPOSURE, "error: unable to read exposure property: st=%d");
    *word = r.value;
    // Microseconds of an hour-long exposure pass the largest int: the words are unsigned.
    property p{float(static_cast<std::uint32_t>(r.value) / 1000.0),
               float(static_cast<std::uint32_t>(r.min) / 1000.0),
               float(static_cast<std::uint32_t>(r.max) / 1000.0), r.flags};
    return p;
}

property VoCamera::getTemperatureHelper() {
    const Range r = readRange(ref_, VOCAM_PROP_TEMPERATURE,
                              "error: unable to read temperature property: st=%d");
    return property{vocam_register_to_temp(static_cast<std::uint32_t>(r.value)),
                    vocam_register_to_temp(static_cast<std::uint32_t>(r.min)),
                    vocam_register_to_temp(static_cast<std::uint32_t>(r.max)), r.flags};
}

#define VOCAPTURE_ACCESSOR(type, name) \
    type VoCamera::name() const {      \
        std::lock_guard lock(lock_);   \
        return name##_;                \
    }
VOCAPTURE_ACCESSOR(std::string, model_name)
VOCAPTURE_ACCESSOR(int, light_source)
VOCAPTURE_ACCESSOR(int, encoding)
VOCAPTURE_ACCESSOR(property, hue)
VOCAPTURE_ACCESSOR(property, saturation)
VOCAPTURE_ACCESSOR(property, brightness)
VOCAPTURE_ACCESSOR(property, contrast)
VOCAPTURE_ACCESSOR(property, gamma)
VOCAPTURE_ACCESSOR(property, temperature)
VOCAPTURE_ACCESSOR(int, auto_exposure_target)
VOCAPTURE_ACCESSOR(bool, auto_exposure)
VOCAPTURE_ACCESSOR(bool, x_mirror)
VOCAPTURE_ACCESSOR(bool, y_mirror)
VOCAPTURE_ACCESSOR(property, exposure)
VOCAPTURE_ACCESSOR(property, gain)
VOCAPTURE_ACCESSOR(property, gain_red)
VOCAPTURE_ACCESSOR(property, gain_green)
VOCAPTURE_ACCESSOR(property, gain_blue)
VOCAPTURE_ACCESSOR(property, digital_gain)
VOCAPTURE_ACCESSOR(property, digital_gain_red)
VOCAPTURE_ACCESSOR(property, digital_gain_green)
VOCAPTURE_ACCESSOR(property, digital_gain_blue)
VOCAPTURE_ACCESSOR(property, total_gain)
VOCAPTURE_ACCESSOR(property, total_gain_red)
VOCAPTURE_ACCESSOR(property, total_gain_green)
VOCAPTURE_ACCESSOR(property, total_gain_blue)
VOCAPTURE_ACCESSOR(int, subsampling)
VOCAPTURE_ACCESSOR(int, maximum_subsampling)
VOCAPTURE_ACCESSOR(QSizeF, maximum_size)
VOCAPTURE_ACCESSOR(QSizeF, size)
VOCAPTURE_ACCESSOR(QPointF, location)
VOCAPTURE_ACCESSOR(_VOCAM_IMAGE_FORMAT, format)
#undef VOCAPTURE_ACCESSOR

}  // namespace vocapture
