#include "vocam_ccd.h"

#include <fcntl.h>
#include <unistd.h>

#include <indilogger.h>
#include <stream/streammanager.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "vocamusb.h"
#include "vocamversion.h"

namespace vocam::indi {

namespace {

// The fan register: bit 31 says a fan is fitted, bit 15 that it runs.
constexpr std::int32_t kRegFan = 0x0730;
constexpr std::uint32_t kFanFitted = 0x80000000u, kFanOn = 0x8000u;

// Sets an exposure of `us` microseconds with the other flags the camera has
// kept: a driver that sets the exposure switches automatic exposure off.
int setManualExposure(_vocam *camera, std::uint32_t us) {
    int value = 0;
    std::uint32_t flags = 0;
    vocam_property_get(camera, VOCAM_PROP_EXPOSURE, &value, &flags);
    return vocam_property_set(camera, VOCAM_PROP_EXPOSURE, static_cast<int>(us),
                              flags & ~std::uint32_t{VOCAM_PROP_FLAG_AUTO});
}

std::uint64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(t.tv_nsec);
}

INDI_PIXEL_FORMAT streamFormat(const std::string &pattern) {
    if (pattern == "RGGB") return INDI_BAYER_RGGB;
    if (pattern == "GRBG") return INDI_BAYER_GRBG;
    if (pattern == "GBRG") return INDI_BAYER_GBRG;
    if (pattern == "BGGR") return INDI_BAYER_BGGR;
    return INDI_MONO;
}

double celsius(int word) {
    return vocam_register_to_temp(static_cast<std::uint32_t>(word));
}

}  // namespace

VoCamCCD::VoCamCCD(CameraEntry entry, const std::string &name, OthersFn others)
    : entry_(std::move(entry)), name_(name), others_(std::move(others)) {
    setDeviceName(name_.c_str());
    setVersion(VOCAM_VERSION_MAJOR, VOCAM_VERSION_MINOR);
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) == 0)
        pipeCallback_ = IEAddCallback(pipe_[0], outcomesReady, this);
}

VoCamCCD::~VoCamCCD() {
    closeCamera();
    if (pipeCallback_ >= 0) IERmCallback(pipeCallback_);
    for (int fd : pipe_)
        if (fd >= 0) close(fd);
}

const char *VoCamCCD::getDefaultName() {
    return name_.c_str();
}

void VoCamCCD::ISGetProperties(const char *dev) {
    // INDI asks every device of the driver; each answers for itself only.
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) != 0) return;
    INDI::CCD::ISGetProperties(dev);
}

bool VoCamCCD::initProperties() {
    INDI::CCD::initProperties();
    std::uint32_t capability = CCD_CAN_ABORT | CCD_CAN_SUBFRAME | CCD_HAS_STREAMING;
    if (entry_.subsampling) capability |= CCD_CAN_BIN;
    if (entry_.colour) capability |= CCD_HAS_BAYER;
    if (entry_.cooler) capability |= CCD_HAS_COOLER;
    SetCCDCapability(capability);
    // The cameras do not report their pixel size: clients may give it.
    PrimaryCCD.getCCDInfo()->p = IP_RW;

    GainNP[0].fill("GAIN", "Gain (factor)", "%.3f", 1, 16, 0.01, 1);
    GainNP.fill(getDeviceName(), "CCD_GAIN", "Gain", MAIN_CONTROL_TAB, IP_RW, 60, IPS_IDLE);
    DataRateSP.fill(getDeviceName(), "CCD_DATA_RATE", "Data rate", MAIN_CONTROL_TAB, IP_RW,
                    ISR_1OFMANY, 60, IPS_IDLE);
    CoolerSP[0].fill("COOLER_ON", "On", ISS_OFF);
    CoolerSP[1].fill("COOLER_OFF", "Off", ISS_ON);
    CoolerSP.fill(getDeviceName(), "CCD_COOLER", "Cooler", MAIN_CONTROL_TAB, IP_RW, ISR_1OFMANY, 0,
                  IPS_IDLE);
    // The camera reports no drive level: 100 while the cooler runs, 0 when off.
    CoolerPowerNP[0].fill("CCD_COOLER_VALUE", "On (100) or off (0)", "%.0f", 0, 100, 100, 0);
    CoolerPowerNP.fill(getDeviceName(), "CCD_COOLER_POWER", "Cooler power", MAIN_CONTROL_TAB, IP_RO,
                       60, IPS_IDLE);
    FanSP[0].fill("FAN_ON", "On", ISS_OFF);
    FanSP[1].fill("FAN_OFF", "Off", ISS_ON);
    FanSP.fill(getDeviceName(), "CCD_FAN", "Fan", MAIN_CONTROL_TAB, IP_RW, ISR_1OFMANY, 0,
               IPS_IDLE);
    addDebugControl();
    return true;
}

bool VoCamCCD::updateProperties() {
    INDI::CCD::updateProperties();
    if (isConnected()) {
        // Back-to-back exposures would start on the base's upload thread; not
        // offered (each exposure here starts a fresh stream anyway).
        FastExposureToggleS[INDI_ENABLED].s = ISS_OFF;
        FastExposureToggleS[INDI_DISABLED].s = ISS_ON;
        deleteProperty(FastExposureToggleSP.name);
        deleteProperty(FastExposureCountNP.name);
        defineProperty(GainNP);
        if (!rates_.empty()) defineProperty(DataRateSP);
        if (HasCooler()) {
            defineProperty(CoolerSP);
            defineProperty(CoolerPowerNP);
            if (limits_.fan) defineProperty(FanSP);
        }
        timer_ = SetTimer(getCurrentPollingPeriod());
    } else {
        deleteProperty(GainNP.getName());
        if (!rates_.empty()) deleteProperty(DataRateSP.getName());
        if (HasCooler()) {
            deleteProperty(CoolerSP.getName());
            deleteProperty(CoolerPowerNP.getName());
            if (limits_.fan) deleteProperty(FanSP.getName());
        }
    }
    return true;
}

bool VoCamCCD::Connect() {
    if (pipeCallback_ < 0) {
        LOG_ERROR("The driver could not set up its event pipe");
        return false;
    }
    Opened opened = openCamera(entry_, others_(this));
    if (!opened.camera) {
        LOG_ERROR(opened.why.c_str());
        return false;
    }
    camera_ = std::move(opened.camera);
    if (!readLimits()) {
        closeCamera();
        return false;
    }
    capture_ = std::make_unique<Capture>(camera_.get(), [fd = pipe_[1]] {
        const char wake = 1;
        // A full pipe already holds a wake-up.
        [[maybe_unused]] const ssize_t ignored = write(fd, &wake, 1);
    });
    LOGF_INFO("%s, serial %u, connected.", entry_.model.c_str(), entry_.serial);
    // The driver's note on binning, for users who expect charge binning.
    if (CanBin())
        LOG_INFO(
            "Binning is the camera's subsampling (decimation): one pixel of each N x N is "
            "kept and no charge is added, so a binned frame is smaller, not brighter.");
    return true;
}

bool VoCamCCD::Disconnect() {
    closeCamera();
    return true;
}

void VoCamCCD::closeCamera() {
    if (timer_ >= 0) {
        RemoveTimer(timer_);
        timer_ = -1;
    }
    if (capture_) capture_->stop();
    capture_.reset();
    camera_.reset();
    exposing_ = false;
    streaming_ = false;
    InExposure = false;
}

bool VoCamCCD::readLimits() {
    _vocam *h = camera_.get();
    Limits l;
    int value = 0, min = 0, max = 0;
    std::uint32_t flags = 0;
    const auto get = [&](std::uint32_t id, std::uint32_t fallback) {
        int v = 0;
        std::uint32_t f = 0;
        return vocam_property_get(h, id, &v, &f) >= 0 && v > 0 ? static_cast<std::uint32_t>(v)
                                                               : fallback;
    };
    l.width = get(VOCAM_PROP_MAX_WIDTH, 0);
    l.height = get(VOCAM_PROP_MAX_HEIGHT, 0);
    l.unitWidth = get(VOCAM_PROP_UNIT_WIDTH, 1);
    l.unitHeight = get(VOCAM_PROP_UNIT_HEIGHT, 1);
    l.maxSubsample = entry_.subsampling ? get(VOCAM_PROP_MAX_SUBSAMPLING, 1) : 1;
    if (l.width == 0 || l.height == 0 ||
        vocam_property_get_range(h, VOCAM_PROP_EXPOSURE, &min, &max, &value, &flags) < 0) {
        LOG_ERROR("The camera did not report its sensor and exposure range");
        return false;
    }
    // The camera's words are unsigned: an hour's exposure is beyond an int.
    l.exposureMinUs = std::max<std::uint32_t>(static_cast<std::uint32_t>(min), 1);
    l.exposureMaxUs = std::max(static_cast<std::uint32_t>(max), l.exposureMinUs);
    int gain = 4096;
    if (vocam_property_get_range(h, VOCAM_PROP_GAIN, &min, &max, &gain, &flags) >= 0) {
        l.gainMin = static_cast<std::uint32_t>(min) / 4096.0;
        l.gainMax = static_cast<std::uint32_t>(max) / 4096.0;
    }
    if (entry_.cooler &&
        vocam_property_get_range(h, VOCAM_PROP_TEMPERATURE, &min, &max, &value, &flags) >= 0) {
        l.coolestC = celsius(min);
        l.warmestC = celsius(max);
    }
    std::uint32_t fan = 0;
    l.fan = entry_.cooler && vo_usb_read_vocam_u32(h, kRegFan, &fan) == 0 && (fan & kFanFitted);
    limits_ = l;

    // Capabilities follow the camera as it is now (a device known only by
    // its product learns them here).
    std::uint32_t capability = GetCCDCapability() & ~(CCD_CAN_BIN | CCD_HAS_BAYER | CCD_HAS_COOLER);
    if (entry_.subsampling) capability |= CCD_CAN_BIN;
    if (entry_.colour) capability |= CCD_HAS_BAYER;
    if (entry_.cooler) capability |= CCD_HAS_COOLER;
    SetCCDCapability(capability);
    const int bits = entry_.wide ? 16 : 8;
    if (m_CaptureFormats.empty()) {
        CaptureFormat format;
        format.name = entry_.colour ? "INDI_RAW" : "INDI_MONO";
        format.label = entry_.colour ? "Raw mosaic" : "Mono";
        format.bitsPerPixel = static_cast<uint8_t>(bits);
        format.isDefault = true;
        addCaptureFormat(format);
    }

    SetCCDParams(static_cast<int>(l.width), static_cast<int>(l.height), bits,
                 PrimaryCCD.getPixelSizeX(), PrimaryCCD.getPixelSizeY());
    PrimaryCCD.setFrameBufferSize(l.width * l.height * static_cast<std::uint32_t>(bits / 8));
    PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", l.exposureMinUs / 1e6,
                             l.exposureMaxUs / 1e6, 0.001, false);
    PrimaryCCD.setMinMaxStep("CCD_FRAME", "X", 0, l.width - l.unitWidth, l.unitWidth, false);
    PrimaryCCD.setMinMaxStep("CCD_FRAME", "Y", 0, l.height - l.unitHeight, l.unitHeight, false);
    PrimaryCCD.setMinMaxStep("CCD_FRAME", "WIDTH", l.unitWidth, l.width, l.unitWidth, false);
    PrimaryCCD.setMinMaxStep("CCD_FRAME", "HEIGHT", l.unitHeight, l.height, l.unitHeight, false);
    if (CanBin()) {
        PrimaryCCD.setMinMaxStep("CCD_BINNING", "HOR_BIN", 1, l.maxSubsample, 1, false);
        PrimaryCCD.setMinMaxStep("CCD_BINNING", "VER_BIN", 1, l.maxSubsample, 1, false);
    }
    GainNP[0].setMinMax(l.gainMin, l.gainMax);
    GainNP[0].setValue(static_cast<std::uint32_t>(gain) / 4096.0);
    if (HasCooler()) {
        TemperatureN[0].min = l.coolestC;
        TemperatureN[0].max = l.warmestC;
    }

    // The window the camera was left in is kept, not reset.
    _vocam_frame_format window{};
    vocam_get_video_format(h, &window);
    PrimaryCCD.setFrame(window.xOffset, window.yOffset, window.width, window.height);
    PrimaryCCD.setBin(static_cast<uint8_t>(std::max<std::uint16_t>(window.subSampleX, 1)),
                      static_cast<uint8_t>(std::max<std::uint16_t>(window.subSampleY, 1)));
    readBayer();
    Streamer->setSize(static_cast<uint16_t>(PrimaryCCD.getSubW() / PrimaryCCD.getBinX()),
                      static_cast<uint16_t>(PrimaryCCD.getSubH() / PrimaryCCD.getBinY()));
    readDataRates(false);
    if (HasCooler()) readCooler();
    if (limits_.fan) readFan();
    return true;
}

std::uint32_t VoCamCCD::exposureUs(double seconds) const {
    const double us = std::round(seconds * 1e6);
    return static_cast<std::uint32_t>(std::clamp(us, static_cast<double>(limits_.exposureMinUs),
                                                 static_cast<double>(limits_.exposureMaxUs)));
}

bool VoCamCCD::busyWithCamera(const char *what) {
    if (!exposing_ && !streaming_) return false;
    LOGF_ERROR("Cannot %s while an exposure or the video stream runs.", what);
    return true;
}

void VoCamCCD::TimerHit() {
    if (!isConnected() || !camera_) return;
    if (exposing_) {
        const double spent =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - exposureStarted_)
                .count();
        PrimaryCCD.setExposureLeft(std::max(0.0, exposureSeconds_ - spent));
    }
    if (HasCooler()) readCooler();
    // An idle camera that left the bus is noticed here; a busy one by its
    // stream.
    if (!capture_->busy()) {
        int value = 0;
        std::uint32_t flags = 0;
        if (vocam_property_get(camera_.get(), VOCAM_PROP_EXPOSURE, &value, &flags) < 0) {
            lose("The camera left the bus");
            return;
        }
    }
    timer_ = SetTimer(getCurrentPollingPeriod());
}

// ---- Exposures ----

bool VoCamCCD::StartExposure(float duration) {
    if (!camera_) return false;
    if (Streamer->isBusy()) {
        LOG_ERROR("The video stream runs: stop it (and any recording) before an exposure.");
        return false;
    }
    const double shortest = limits_.exposureMinUs / 1e6, longest = limits_.exposureMaxUs / 1e6;
    if (!(duration >= shortest - 1e-7 && duration <= longest + 1e-7)) {
        LOGF_ERROR("Exposure %g s is outside the camera's %g to %g s.", duration, shortest,
                   longest);
        return false;
    }
    const std::uint32_t us = exposureUs(duration);
    if (const int r = setManualExposure(camera_.get(), us); r < 0) {
        LOGF_ERROR("The camera refused an exposure of %u us (%s).", us, vocam_strerror(r));
        return false;
    }
    const std::uint64_t setNs = monotonicNs();
    PrimaryCCD.setExposureDuration(duration);
    exposureSeconds_ = duration;
    exposureStarted_ = std::chrono::steady_clock::now();
    exposing_ = true;
    InExposure = true;
    capture_->expose(++job_, us, setNs, setpoint_);
    return true;
}

bool VoCamCCD::processFastExposure(INDI::CCDChip *) {
    return true;  // fast exposure is not offered: see updateProperties
}

bool VoCamCCD::AbortExposure() {
    if (!exposing_) return true;
    ++job_;  // what the aborted job still hands back is not waited for
    if (capture_) capture_->stop();
    exposing_ = false;
    InExposure = false;
    LOG_INFO("Exposure aborted.");
    return true;
}

void VoCamCCD::outcomesReady(int fd, void *self) {
    char drain[64];
    while (read(fd, drain, sizeof drain) > 0) {
    }
    static_cast<VoCamCCD *>(self)->handleOutcomes();
}

void VoCamCCD::handleOutcomes() {
    if (!capture_) return;
    for (Outcome &o : capture_->takeOutcomes()) {
        if (o.job != job_) continue;
        switch (o.kind) {
            case Outcome::Kind::Exposed:
                if (exposing_) exposed(o);
                break;
            case Outcome::Kind::Failed:
                if (exposing_) failed(o.why, o.gone);
                break;
            case Outcome::Kind::Aborted:
                break;
            case Outcome::Kind::StreamEnded:
                if (!streaming_) break;
                LOG_ERROR(o.why.c_str());
                streaming_ = false;
                if (Streamer->isRecording()) Streamer->close();
                Streamer->setStream(false);
                if (o.gone) lose(o.why);
                break;
        }
        if (!capture_) return;  // the camera was lost
    }
}

void VoCamCCD::exposed(Outcome &o) {
    exposing_ = false;
    InExposure = false;
    const std::size_t bytes = o.frame.pixels.size();
    const auto expected = static_cast<std::size_t>(PrimaryCCD.getSubW() / PrimaryCCD.getBinX()) *
                          static_cast<std::size_t>(PrimaryCCD.getSubH() / PrimaryCCD.getBinY()) *
                          static_cast<std::size_t>(PrimaryCCD.getBPP() / 8);
    if (bytes != expected || bytes > static_cast<std::size_t>(PrimaryCCD.getFrameBufferSize())) {
        failed("The camera sent a frame of " + std::to_string(o.frame.width) + " x " +
                   std::to_string(o.frame.height) + " pixels, not the frame set",
               false);
        return;
    }
    {
        // INDI writes the file holding the buffer's lock: pixels and header
        // facts change together, so a header always describes its pixels.
        std::lock_guard buffer(ccdBufferLock);
        std::memcpy(PrimaryCCD.getFrameBuffer(), o.frame.pixels.data(), bytes);
        std::lock_guard guard(factsLock_);
        facts_ = std::move(o.facts);
        startUtcNs_ = o.startUtcNs;
    }
    PrimaryCCD.setExposureLeft(0);
    ExposureComplete(&PrimaryCCD);
}

void VoCamCCD::failed(const std::string &why, bool gone) {
    exposing_ = false;
    InExposure = false;
    setCurrentPollingPeriod(getPollingPeriod());  // a short exposure may have quickened it
    PrimaryCCD.setExposureFailed();
    LOG_ERROR(why.c_str());
    if (gone) lose(why);
}

void VoCamCCD::lose(const std::string &why) {
    if (Streamer->isBusy()) {
        if (Streamer->isRecording()) Streamer->close();
        Streamer->setStream(false);
    }
    closeCamera();
    LOGF_ERROR("%s: disconnected. Connect again once the camera is back.", why.c_str());
    setConnected(false, IPS_ALERT);
    updateProperties();
}

void VoCamCCD::addFITSKeywords(INDI::CCDChip *targetChip) {
    INDI::CCD::addFITSKeywords(targetChip);
    fitsfile *fits = *targetChip->fitsFilePointer();
    if (fits == nullptr) return;
    cli::CaptureFacts facts;
    std::int64_t start = 0;
    std::string pattern;
    {
        std::lock_guard guard(factsLock_);
        facts = facts_;
        start = startUtcNs_;
        pattern = bayer_;
    }
    // INDI's own keywords are replaced where the camera knows better (the
    // exposure it made, its reading, when the frame began, its model): each
    // keyword appears once.
    int status = 0;
    fits_update_key_str(fits, "ROWORDER", "TOP-DOWN",
                        "the first row stored is the top of the picture", &status);
    fits_update_key_fixdbl(fits, "EXPTIME", facts.exposureSeconds, 6, "[s] exposure time", &status);
    fits_update_key_dbl(fits, "GAIN", facts.gain, -12, "analogue gain as a factor (1 is unity)",
                        &status);
    if (facts.colourGains) {
        const auto &g = *facts.colourGains;
        fits_update_key_dbl(fits, "REDGAIN", g[0], -12, "analogue gain of the red sites", &status);
        fits_update_key_dbl(fits, "GRN1GAIN", g[1], -12, "analogue gain of the greens on red rows",
                            &status);
        fits_update_key_dbl(fits, "GRN2GAIN", g[2], -12, "analogue gain of the greens on blue rows",
                            &status);
        fits_update_key_dbl(fits, "BLUEGAIN", g[3], -12, "analogue gain of the blue sites",
                            &status);
    }
    if (facts.sensorCelsius)
        fits_update_key_fixdbl(fits, "CCD-TEMP", *facts.sensorCelsius, 3,
                               "[C] sensor temperature at the frame's end", &status);
    if (facts.targetCelsius)
        fits_update_key_fixdbl(fits, "SET-TEMP", *facts.targetCelsius, 3, "[C] the cooler's target",
                               &status);
    fits_update_key_lng(fits, "XBINNING", facts.binX, "subsampling across (decimation)", &status);
    fits_update_key_lng(fits, "YBINNING", facts.binY, "subsampling down (decimation)", &status);
    fits_update_key_lng(fits, "XORGSUBF", facts.originX, "window's left column on the sensor",
                        &status);
    fits_update_key_lng(fits, "YORGSUBF", facts.originY, "window's top row on the sensor", &status);
    if (!pattern.empty()) {
        fits_update_key_str(fits, "BAYERPAT", pattern.c_str(),
                            "colour mosaic from the first stored pixel", &status);
        fits_update_key_lng(fits, "XBAYROFF", 0, "the mosaic's column offset, in BAYERPAT already",
                            &status);
        fits_update_key_lng(fits, "YBAYROFF", 0, "the mosaic's row offset, in BAYERPAT already",
                            &status);
    }
    fits_update_key_str(fits, "DATE-OBS", cli::isoUtc(start).c_str(),
                        "UTC start: arrival less EXPTIME", &status);
    fits_write_comment(fits, "DATE-OBS: when the frame arrived at the computer, on its UTC clock,",
                       &status);
    fits_write_comment(fits, "less EXPTIME; the readout and the USB transfer are not taken off.",
                       &status);
    fits_update_key_str(fits, "INSTRUME", facts.model.c_str(), "camera model", &status);
    fits_update_key_str(fits, "SERIALNO", std::to_string(facts.serial).c_str(),
                        "camera serial number", &status);
    fits_update_key_str(fits, "SWCREATE", facts.software.c_str(), "software that wrote this file",
                        &status);
    if (status != 0) {
        char text[FLEN_STATUS] = {};
        fits_get_errstatus(status, text);
        LOGF_WARN("The FITS header is incomplete: %s", text);
    }
}

// ---- Window and binning ----

void VoCamCCD::snapWindow(long &x, long &y, long &w, long &h) const {
    const auto snap = [](long &at, long &size, long unit, long limit) {
        at = std::clamp(at, 0L, std::max(0L, limit - unit)) / unit * unit;
        size = std::max(unit, size / unit * unit);
        size = std::min(size, (limit - at) / unit * unit);
    };
    snap(x, w, limits_.unitWidth, limits_.width);
    snap(y, h, limits_.unitHeight, limits_.height);
}

bool VoCamCCD::applyWindow(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
                           std::uint32_t binX, std::uint32_t binY) {
    _vocam_frame_format f{};
    f.xOffset = x;
    f.yOffset = y;
    f.width = w;
    f.height = h;
    f.subSampleX = static_cast<std::uint16_t>(binX);
    f.subSampleY = static_cast<std::uint16_t>(binY);
    if (const int r = vocam_set_video_format(camera_.get(), &f); r != 0) {
        LOGF_ERROR("The camera refused the frame %u,%u %ux%u binned %ux%u (%s).", x, y, w, h, binX,
                   binY, vocam_strerror(r));
        return false;
    }
    PrimaryCCD.setFrame(x, y, w, h);
    PrimaryCCD.setBin(static_cast<uint8_t>(binX), static_cast<uint8_t>(binY));
    Streamer->setSize(static_cast<uint16_t>(w / binX), static_cast<uint16_t>(h / binY));
    readBayer();
    readDataRates(true);
    return true;
}

bool VoCamCCD::UpdateCCDFrame(int x, int y, int w, int h) {
    if (!camera_ || busyWithCamera("change the frame")) return false;
    if (x < 0 || y < 0 || w <= 0 || h <= 0) return false;
    return applyWindow(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
                       static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h),
                       static_cast<std::uint32_t>(PrimaryCCD.getBinX()),
                       static_cast<std::uint32_t>(PrimaryCCD.getBinY()));
}

bool VoCamCCD::UpdateCCDBin(int hor, int ver) {
    if (!camera_ || busyWithCamera("change the binning")) return false;
    const int most = static_cast<int>(limits_.maxSubsample);
    if (hor < 1 || ver < 1 || hor > most || ver > most) {
        LOGF_ERROR("Binning %dx%d is outside what the camera offers (1 to %d); it was not sent.",
                   hor, ver, most);
        return false;
    }
    return applyWindow(static_cast<std::uint32_t>(PrimaryCCD.getSubX()),
                       static_cast<std::uint32_t>(PrimaryCCD.getSubY()),
                       static_cast<std::uint32_t>(PrimaryCCD.getSubW()),
                       static_cast<std::uint32_t>(PrimaryCCD.getSubH()),
                       static_cast<std::uint32_t>(hor), static_cast<std::uint32_t>(ver));
}

// A frame off the camera's steps or outside the sensor is moved onto them
// and said so (the property in alert), never sent as asked.
bool VoCamCCD::newFrame(double values[], char *names[], int n) {
    INDI::PropertyNumber frame = getNumber("CCD_FRAME");
    double asked[4] = {
        static_cast<double>(PrimaryCCD.getSubX()), static_cast<double>(PrimaryCCD.getSubY()),
        static_cast<double>(PrimaryCCD.getSubW()), static_cast<double>(PrimaryCCD.getSubH())};
    const char *keys[4] = {"X", "Y", "WIDTH", "HEIGHT"};
    bool valid = true;
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k)
            if (std::strcmp(names[i], keys[k]) == 0) {
                asked[k] = values[i];
                valid = valid && std::isfinite(values[i]) && values[i] >= 0 && values[i] < 1e6;
            }
    if (!valid) {
        LOG_ERROR("A frame is four whole numbers from 0: it was not sent.");
        frame.setState(IPS_ALERT);
        frame.apply();
        return true;
    }
    long x = std::lround(std::floor(asked[0])), y = std::lround(std::floor(asked[1]));
    long w = std::lround(std::floor(asked[2])), h = std::lround(std::floor(asked[3]));
    snapWindow(x, y, w, h);
    if (!UpdateCCDFrame(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w),
                        static_cast<int>(h))) {
        frame.setState(IPS_ALERT);
        frame.apply();
        return true;
    }
    const bool moved = x != asked[0] || y != asked[1] || w != asked[2] || h != asked[3];
    if (moved)
        LOGF_WARN(
            "Frame %g,%g %gx%g is not on the camera's steps of %ux%u pixels inside its %ux%u "
            "sensor: "
            "%ld,%ld %ldx%ld was set instead.",
            asked[0], asked[1], asked[2], asked[3], limits_.unitWidth, limits_.unitHeight,
            limits_.width, limits_.height, x, y, w, h);
    frame.setState(moved ? IPS_ALERT : IPS_OK);
    frame.apply();
    return true;
}

void VoCamCCD::readBayer() {
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    std::string pattern;
    if (entry_.colour && vocam_get_image_format(camera_.get(), &format) == 0) {
        if (const char *mosaic = cli::bayerPattern(format.VocamReserved[0])) pattern = mosaic;
    }
    {
        std::lock_guard guard(factsLock_);
        bayer_ = pattern;
    }
    Streamer->setPixelFormat(streamFormat(pattern), static_cast<uint8_t>(entry_.wide ? 16 : 8));
    if (!HasBayer() || pattern.empty()) return;
    // The library describes the frame as delivered, the window's phase
    // included, so the offsets stay 0.
    IUSaveText(&BayerT[0], "0");
    IUSaveText(&BayerT[1], "0");
    IUSaveText(&BayerT[2], pattern.c_str());
    if (isConnected()) IDSetText(&BayerTP, nullptr);
}

// ---- Gain, data rate, pixel size ----

bool VoCamCCD::newGain(double value) {
    if (!camera_) return false;
    if (!(value >= limits_.gainMin - 1e-9 && value <= limits_.gainMax + 1e-9)) {
        LOGF_ERROR("Gain %g is outside the camera's %g to %g; it was not sent.", value,
                   limits_.gainMin, limits_.gainMax);
        GainNP.setState(IPS_ALERT);
        GainNP.apply();
        return true;
    }
    int current = 0;
    std::uint32_t flags = 0;
    vocam_property_get(camera_.get(), VOCAM_PROP_GAIN, &current, &flags);
    const long word = std::clamp(std::lround(value * 4096), std::lround(limits_.gainMin * 4096),
                                 std::lround(limits_.gainMax * 4096));
    if (const int r =
            vocam_property_set(camera_.get(), VOCAM_PROP_GAIN, static_cast<int>(word), flags);
        r < 0) {
        LOGF_ERROR("The camera refused gain %g (%s).", value, vocam_strerror(r));
        GainNP.setState(IPS_ALERT);
        GainNP.apply();
        return true;
    }
    if (vocam_property_get(camera_.get(), VOCAM_PROP_GAIN, &current, &flags) >= 0)
        GainNP[0].setValue(static_cast<std::uint32_t>(current) / 4096.0);
    GainNP.setState(IPS_OK);
    GainNP.apply();
    return true;
}

void VoCamCCD::readDataRates(bool define) {
    const int count = vocam_count_available_data_rates(camera_.get());
    std::vector<std::uint32_t> rates(static_cast<std::size_t>(std::max(count, 0)));
    rates.resize(static_cast<std::size_t>(
        std::max(0, vocam_enum_available_data_rates(camera_.get(), rates.data(),
                                                    static_cast<int>(rates.size())))));
    std::uint32_t now = 0;
    vocam_get_data_rate(camera_.get(), &now);
    // A window may bring other rates: the list is drawn again.
    const bool changed = rates != rates_;
    if (changed && define && !rates_.empty()) deleteProperty(DataRateSP.getName());
    if (changed) {
        rates_ = rates;
        DataRateSP.resize(rates_.size());
        for (std::size_t i = 0; i < rates_.size(); ++i)
            DataRateSP[i].fill("RATE_" + std::to_string(rates_[i]),
                               std::to_string(rates_[i]) + " kpixel/s", ISS_OFF);
    }
    for (std::size_t i = 0; i < rates_.size(); ++i)
        DataRateSP[i].setState(rates_[i] == now ? ISS_ON : ISS_OFF);
    if (!define || rates_.empty()) return;
    if (changed)
        defineProperty(DataRateSP);
    else
        DataRateSP.apply();
}

bool VoCamCCD::newPixelSize(double values[], char *names[], int n) {
    // The cameras do not report their pixel size: a client may give it, and
    // it is kept in the configuration. The sensor's size and depth stay the
    // camera's.
    INDI::PropertyNumber info = getNumber("CCD_INFO");
    double x = PrimaryCCD.getPixelSizeX(), y = PrimaryCCD.getPixelSizeY();
    bool valid = true;
    for (int i = 0; i < n; ++i) {
        const bool both = std::strcmp(names[i], "CCD_PIXEL_SIZE") == 0;
        if (!both && std::strcmp(names[i], "CCD_PIXEL_SIZE_X") != 0 &&
            std::strcmp(names[i], "CCD_PIXEL_SIZE_Y") != 0)
            continue;
        valid = valid && values[i] > 0 && values[i] <= 100;
        if (both || names[i][15] == 'X') x = values[i];
        if (both || names[i][15] == 'Y') y = values[i];
    }
    if (!valid) {
        LOG_ERROR("A pixel size is from 0 to 100 microns; it was not taken.");
        info.setState(IPS_ALERT);
        info.apply();
        return true;
    }
    PrimaryCCD.setPixelSize(x, y);
    info.setState(IPS_OK);
    info.apply();
    saveConfig(true, "CCD_INFO");
    return true;
}

// ---- Cooling ----

void VoCamCCD::readCooler() {
    int word = 0;
    std::uint32_t flags = 0;
    if (vocam_property_get(camera_.get(), VOCAM_PROP_TEMPERATURE, &word, &flags) < 0) return;
    TemperatureN[0].value = celsius(word);
    coolerOn_ = (flags & VOCAM_PROP_FLAG_ON) != 0;
    CoolerSP[0].setState(coolerOn_ ? ISS_ON : ISS_OFF);
    CoolerSP[1].setState(coolerOn_ ? ISS_OFF : ISS_ON);
    CoolerPowerNP[0].setValue(coolerOn_ ? 100 : 0);
    if (!isConnected()) return;
    IDSetNumber(&TemperatureNP, nullptr);
    CoolerSP.apply();
    CoolerPowerNP.apply();
}

void VoCamCCD::readFan() {
    std::uint32_t word = 0;
    if (vo_usb_read_vocam_u32(camera_.get(), kRegFan, &word) != 0) return;
    const bool on = (word & kFanOn) != 0;
    FanSP[0].setState(on ? ISS_ON : ISS_OFF);
    FanSP[1].setState(on ? ISS_OFF : ISS_ON);
    if (isConnected()) FanSP.apply();
}

int VoCamCCD::SetTemperature(double temperature) {
    if (!camera_) return -1;
    const std::uint32_t word = vocam_temp_to_register(static_cast<float>(temperature));
    if (const int r =
            vocam_property_set(camera_.get(), VOCAM_PROP_TEMPERATURE, static_cast<int>(word),
                               VOCAM_PROP_FLAG_PRESENT | VOCAM_PROP_FLAG_ON);
        r < 0) {
        LOGF_ERROR("The camera refused the setpoint %.1f C (%s).", temperature, vocam_strerror(r));
        return -1;
    }
    setpoint_ = temperature;
    LOGF_INFO("Cooling to %.1f C.", temperature);
    readCooler();
    // The camera switches its fan with the cooler.
    if (limits_.fan) readFan();
    return std::fabs(TemperatureN[0].value - temperature) < 0.1 ? 1 : 0;
}

bool VoCamCCD::setCooler(bool on) {
    int reading = 0;
    std::uint32_t flags = 0;
    vocam_property_get(camera_.get(), VOCAM_PROP_TEMPERATURE, &reading, &flags);
    // Switched on without a setpoint, the cooler holds the temperature it
    // has now.
    const double target = setpoint_.value_or(celsius(reading));
    const std::uint32_t word = vocam_temp_to_register(static_cast<float>(target));
    if (const int r =
            vocam_property_set(camera_.get(), VOCAM_PROP_TEMPERATURE, static_cast<int>(word),
                               VOCAM_PROP_FLAG_PRESENT | (on ? VOCAM_PROP_FLAG_ON : 0));
        r < 0) {
        LOGF_ERROR("The camera refused to switch the cooler %s (%s).", on ? "on" : "off",
                   vocam_strerror(r));
        CoolerSP.setState(IPS_ALERT);
        CoolerSP.apply();
        return true;
    }
    setpoint_ = target;
    if (!on) {
        // Nothing is being reached any more.
        m_TemperatureCheckTimer.stop();
        TemperatureNP.s = IPS_IDLE;
    }
    LOGF_INFO("Cooler %s (setpoint %.1f C).", on ? "on" : "off", target);
    CoolerSP.setState(IPS_OK);
    readCooler();
    if (limits_.fan) readFan();
    return true;
}

bool VoCamCCD::setFan(bool on) {
    std::uint32_t word = 0;
    if (vo_usb_read_vocam_u32(camera_.get(), kRegFan, &word) != 0 ||
        vo_usb_write_vocam_u32(camera_.get(), kRegFan, on ? word | kFanOn : word & ~kFanOn) != 0) {
        LOGF_ERROR("The camera did not switch its fan %s.", on ? "on" : "off");
        FanSP.setState(IPS_ALERT);
        FanSP.apply();
        return true;
    }
    FanSP.setState(IPS_OK);
    readFan();
    return true;
}

// ---- Video ----

bool VoCamCCD::StartStreaming() {
    if (!camera_) return false;
    if (exposing_) {
        LOG_ERROR("An exposure is under way: the video stream starts once it is done.");
        return false;
    }
    const double asked = Streamer->getTargetExposure();
    const std::uint32_t us = exposureUs(asked);
    if (std::fabs(us / 1e6 - asked) > 1e-6) {
        // Clamped into the camera's range, and said so.
        LOGF_WARN("Streaming exposure %g s is outside the camera's range: %g s is used.", asked,
                  us / 1e6);
        INDI::PropertyNumber exposure = getNumber("STREAMING_EXPOSURE");
        exposure[0].setValue(us / 1e6);
        exposure.setState(IPS_ALERT);
        exposure.apply();
    }
    if (const int r = setManualExposure(camera_.get(), us); r < 0) {
        LOGF_ERROR("The camera refused the streaming exposure (%s).", vocam_strerror(r));
        return false;
    }
    INDI::StreamManager *streamer = Streamer.get();
    streaming_ = true;
    capture_->stream(++job_, [streamer](const std::uint8_t *data, std::size_t bytes) {
        streamer->newFrame(data, static_cast<uint32_t>(bytes));
    });
    return true;
}

bool VoCamCCD::StopStreaming() {
    // Also called on the stream's own thread (a recording that reached its
    // length): it only asks, and the thread is joined by the next user.
    streaming_ = false;
    if (capture_) capture_->requestStop();
    return true;
}

bool VoCamCCD::SetCaptureFormat(uint8_t) {
    return true;  // one format: the camera's raw frames
}

// ---- Properties from clients ----

bool VoCamCCD::ISNewNumber(const char *dev, const char *name, double values[], char *names[],
                           int n) {
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0 && camera_) {
        if (GainNP.isNameMatch(name)) {
            for (int i = 0; i < n; ++i)
                if (std::strcmp(names[i], "GAIN") == 0) return newGain(values[i]);
            return false;
        }
        if (std::strcmp(name, "CCD_FRAME") == 0) return newFrame(values, names, n);
        if (std::strcmp(name, FastExposureCountNP.name) == 0) return true;
        if (std::strcmp(name, "CCD_INFO") == 0) return newPixelSize(values, names, n);
    }
    return INDI::CCD::ISNewNumber(dev, name, values, names, n);
}

bool VoCamCCD::ISNewSwitch(const char *dev, const char *name, ISState *states, char *names[],
                           int n) {
    if (dev != nullptr && std::strcmp(dev, getDeviceName()) == 0 && camera_) {
        const auto chosen = [&]() -> const char * {
            for (int i = 0; i < n; ++i)
                if (states[i] == ISS_ON) return names[i];
            return nullptr;
        };
        if (CoolerSP.isNameMatch(name)) {
            const char *on = chosen();
            return on == nullptr || setCooler(std::strcmp(on, "COOLER_ON") == 0);
        }
        if (FanSP.isNameMatch(name)) {
            const char *on = chosen();
            return on == nullptr || setFan(std::strcmp(on, "FAN_ON") == 0);
        }
        if (std::strcmp(name, FastExposureToggleSP.name) == 0) {
            LOG_WARN("Fast exposure is not offered by this driver.");
            return true;
        }
        if (DataRateSP.isNameMatch(name)) {
            const char *on = chosen();
            unsigned rate = 0;
            if (on == nullptr || std::sscanf(on, "RATE_%u", &rate) != 1 ||
                std::find(rates_.begin(), rates_.end(), rate) == rates_.end()) {
                LOG_ERROR("That data rate is not one the camera offers.");
                DataRateSP.setState(IPS_ALERT);
                DataRateSP.apply();
                return true;
            }
            const int r = vocam_set_data_rate(camera_.get(), rate);
            if (r < 0) LOGF_ERROR("The camera refused %u kpixel/s (%s).", rate, vocam_strerror(r));
            DataRateSP.setState(r < 0 ? IPS_ALERT : IPS_OK);
            readDataRates(true);
            return true;
        }
    }
    return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool VoCamCCD::saveConfigItems(FILE *fp) {
    INDI::CCD::saveConfigItems(fp);
    GainNP.save(fp);  // the base keeps CCD_INFO, writable here
    return true;
}

}  // namespace vocam::indi
