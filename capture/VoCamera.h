// The application's one open camera: the SDK's flat calls wrapped with the
// application's view of each adjustable property (value, range and flags in
// display units), slider percentages, the split of a total gain into an
// analogue and a digital part, and named exceptions for failures that leave
// that view unusable.
#pragma once

#include <QPointF>
#include <QRect>
#include <QSizeF>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "astro.h"
#include "vocamapi.h"

namespace vocapture {

// A failure with the name the rest of the application reports it by.
class CaptureException : public std::runtime_error {
  public:
    CaptureException(const char *name, const char *reason)
        : std::runtime_error(reason), name_(name) {}
    const std::string &name() const { return name_; }
    const char *reason() const { return what(); }

  private:
    std::string name_;
};

#define VOCAPTURE_EXCEPTION(Name)                                              \
    class Name : public CaptureException {                                     \
      public:                                                                  \
        explicit Name(const char *reason) : CaptureException(#Name, reason) {} \
    }
VOCAPTURE_EXCEPTION(ImageCaptureError);
VOCAPTURE_EXCEPTION(InvalidProperty);
VOCAPTURE_EXCEPTION(PropertyError);
VOCAPTURE_EXCEPTION(PropertySetError);
VOCAPTURE_EXCEPTION(StreamingError);
VOCAPTURE_EXCEPTION(VideoFormatError);
VOCAPTURE_EXCEPTION(ImageFormatError);
#undef VOCAPTURE_EXCEPTION

// One adjustable property in display units; `flags` is the SDK's word,
// handed back unchanged on every set.
struct property {
    float value = 0;
    float min_value = 0;
    float max_value = 0;
    std::uint32_t flags = 0;
};

// Percentage of a record's range its value stands at (what a 0..100 slider shows).
double percentageOf(const property &p);

// The longest exposure in milliseconds the exposure slider reaches: the
// camera's own longest, unless that passes a second (an hour on cooled
// models), when the slider stops at 500 ms and longer ones are typed in.
float exposureSliderLongest(const property &exposure);

// One property as the SDK holds it, for a settings profile: the integer and
// flags words exactly as read, so that writing them back restores the same.
struct PropertySetting {
    int id = 0;
    int value = 0;
    std::uint32_t flags = 0;
};

// Why there is, or is not, a camera.
enum class OpenResult {
    Opened,    // the instance exists (from probe: a camera is ready to open)
    NoCamera,  // nothing on the bus to open
    InUse,     // a camera is there, but another program holds it
    Failed,    // the SDK or the camera failed while opening or reading it
};

class VoCamera {
  public:
    // Starts the SDK and opens the first camera once; a failure, also one of
    // the reads after the opening, leaves no instance and the camera closed.
    // The resource root is kept for reopen.
    static OpenResult initialize(const char *resourceRoot = nullptr);
    static VoCamera *instance();
    static void cleanup();
    // The answer of the last initialize.
    static OpenResult lastOpen();
    // Drops the instance, if any, and opens again (a rescan).
    static OpenResult reopen();
    // Looks at the bus without keeping anything open: Opened when a camera
    // is ready to be opened, InUse when one is held elsewhere, else NoCamera.
    static OpenResult probe();

    ~VoCamera();
    VoCamera(const VoCamera &) = delete;
    VoCamera &operator=(const VoCamera &) = delete;

    bool isColor();
    bool supportsSubsampling();

    void startStreaming();
    void stopStreaming();
    // Ends the SDK stream without freeing its buffers, so that a frame wait
    // blocked on a silent camera returns; stopStreaming finishes the job.
    void interruptStreaming();

    int waitForImage();
    // The same, giving up after `milliseconds` without a frame (no value),
    // so that a caller can look at its own flags between slices instead of
    // depending on the stream being ended to return.
    std::optional<int> waitForImage(std::uint32_t milliseconds);
    std::uint8_t *getImage(int index);
    // The frame's number in the stream and its arrival (CLOCK_MONOTONIC
    // nanoseconds); zeros when the library has no record of it.
    vocam_frame_info frameInfo(int index);
    void releaseImage(int index);
    // Both answer the row stride of the picture written: grey pictures pad
    // their rows to 4 bytes, so it is not always 3 x width. 0 on a failure.
    std::uint32_t convertRawImage(const std::uint8_t *raw, std::uint8_t *bitmap);
    // The same for a frame of another layout than the camera's current one.
    std::uint32_t convertRawImage(const std::uint8_t *raw, const _VOCAM_IMAGE_FORMAT &format,
                                  std::uint8_t *bitmap);
    // A frame in `format` at 16 bits a sample (width x height x 3 samples,
    // red, green, blue) with the settings of convertRawImage. Only frames of
    // 16-bit samples have more to keep than the 8-bit picture: for others
    // `deep` is emptied and the answer is false, as it is on a failure.
    bool convertRawImageDeep(const std::uint8_t *raw, const _VOCAM_IMAGE_FORMAT &format,
                             std::vector<std::uint16_t> &deep);
    // Threads converting one large frame: 0 the cores (up to 8), 1 to 8.
    void setConversionThreads(int threads);
    // One white-balance step over `region` of the raw frame (delivered
    // pixels; empty: the whole frame). The SDK's answer: 1 applied, 0 nothing
    // to change, -35 too dark or too bright, -22 a region that does not fit.
    // Throws when the gains cannot be read back afterwards.
    int updateWhitebalance(const std::uint8_t *raw, QRect region = {});
    // Reads the colour gains again: all of them or, on a failure, none.
    void updateColorGains();
    // The SDK's sharpness measure over `region` of the raw frame (delivered
    // pixels, kept two pixels from the edges); negative when it cannot be had.
    double focusScore(const std::uint8_t *raw, QRect region);

    void updateGain(double percent) { setGainHelper(1, percent); }
    void updateGainRed(double percent) { setGainHelper(2, percent); }
    void updateGainGreen(double percent) { setGainHelper(3, percent); }
    void updateGainBlue(double percent) { setGainHelper(4, percent); }
    void setGainHelper(int selector, double percent);

    // `percent` of the slider's span (up to exposureSliderLongest).
    void updateExposure(double percent);
    // Any exposure in the camera's range, in milliseconds (clamped to it).
    void setExposureMs(double ms);
    void updateAutoexposureTarget(double percent);
    void updateAutoexposure(bool on);

    void updateGamma(double percent) { updateDigitalPropertyHelper(VOCAM_PROP_GAMMA, percent); }
    void updateContrast(double percent) {
        updateDigitalPropertyHelper(VOCAM_PROP_CONTRAST, percent);
    }
    void updateBrightness(double percent) {
        updateDigitalPropertyHelper(VOCAM_PROP_BRIGHTNESS, percent);
    }
    void updateHue(double percent) { updateDigitalPropertyHelper(VOCAM_PROP_HUE, percent); }
    void updateSaturation(double percent) {
        updateDigitalPropertyHelper(VOCAM_PROP_SATURATION, percent);
    }
    void updateDigitalPropertyHelper(int id, double percent);

    void setXMirror(bool on);
    void setYMirror(bool on);
    void setEncoding(int method);
    void setLightSource(int matrix);

    void setSize(QSizeF size) { setSize(size, QPointF(0, 0), 1); }
    void setSize(QSizeF size, QPointF location) { setSize(size, location, 1); }
    void setSize(QSizeF size, QPointF location, int subsample);

    bool isTemperatureSupported();
    // Sends the setpoint with the cooling switch (the coolest the camera
    // allows until one is chosen).
    void setTemperatureEnable(bool on);
    // Chooses the setpoint in degrees Celsius, sent at once while cooling is on.
    void setCoolingSetpoint(float celsius);
    float coolingSetpoint() const;
    // Whether the camera has been sent the setpoint (one found cooling
    // heads for a target the application does not know).
    bool coolingSetpointSent() const;
    bool coolingOn() const;
    // The sensor's reading in degrees Celsius; nothing when it cannot be read.
    std::optional<float> readTemperature();
    // What a FITS or SER file records about the camera now: model, serial,
    // exposure, gains, temperature (and the setpoint, once this program has
    // sent it), window.
    vocam::cli::CaptureFacts captureFacts();

    // The camera's adjustable properties as the SDK holds them, and the same
    // written back; the records are read again afterwards. Throws on a read
    // failure; a refused write is logged and answered false.
    std::vector<PropertySetting> readSettings();
    bool applySettings(const std::vector<PropertySetting> &settings);

    void updateTotalGains();
    int getPropertyHelper(int id);

    // Snapshots, safe from any thread.
    std::string model_name() const;
    std::uint32_t serial_number() const { return serial_number_; }
    std::uint32_t firmware_version() const { return firmware_version_; }
    std::uint32_t fpga_version() const { return fpga_version_; }
    int light_source() const;
    int encoding() const;
    property hue() const;
    property saturation() const;
    property brightness() const;
    property contrast() const;
    property gamma() const;
    property temperature() const;
    int auto_exposure_target() const;
    bool auto_exposure() const;
    bool x_mirror() const;
    bool y_mirror() const;
    property exposure() const;
    property gain() const;
    property gain_red() const;
    property gain_green() const;
    property gain_blue() const;
    property digital_gain() const;
    property digital_gain_red() const;
    property digital_gain_green() const;
    property digital_gain_blue() const;
    property total_gain() const;
    property total_gain_red() const;
    property total_gain_green() const;
    property total_gain_blue() const;
    int subsampling() const;
    // The largest subsampling factor the camera takes.
    int maximum_subsampling() const;
    QSizeF maximum_size() const;
    QSizeF size() const;
    QPointF location() const;
    _VOCAM_IMAGE_FORMAT format() const;
    bool streaming() const { return streaming_; }
    _vocam *handle() const { return ref_; }

  private:
    VoCamera() = default;
    bool init();
    void readProperties();

    property getGainHelper(int id);
    property getDigitalGainHelper(int id);
    property getDigitalPropertyHelper(int id);
    // Also gives the camera's word (microseconds, unsigned in an int).
    property getExposureHelper(int *word);
    property getTemperatureHelper();
    static void updateTotalGainProperty(property &total, const property &analogue,
                                        const property &digital);
    property *digitalProperty(int id);
    conversion_params conversionParams() const;

    // The worker converts and balances while the main thread changes
    // settings, and both reach the same colour engine through the SDK, so
    // every property, conversion and format call holds this lock. The frame
    // wait and the stream calls do not: they block, or end what blocks.
    mutable std::recursive_mutex lock_;

    _vocam *ref_ = nullptr;
    _VOCAM_IMAGE_FORMAT format_{};
    QSizeF maximum_size_;
    QSizeF size_;
    QPointF location_;
    int subsampling_ = 1;
    int maximum_subsampling_ = 1;
    float cooling_setpoint_ = 0;
    bool cooling_setpoint_sent_ = false;
    property gain_, gain_red_, gain_green_, gain_blue_;
    property digital_gain_, digital_gain_red_, digital_gain_green_, digital_gain_blue_;
    property total_gain_, total_gain_red_, total_gain_green_, total_gain_blue_;
    property exposure_, temperature_, gamma_, brightness_, contrast_, hue_, saturation_;
    int exposure_word_ = 0;  // as last read or sent: auto exposure sends it back exactly
    bool auto_exposure_ = false;
    bool x_mirror_ = false, y_mirror_ = false;
    int encoding_ = 1;
    int light_source_ = 14;
    int auto_exposure_target_ = 50;
    std::atomic<bool> streaming_{false};
    std::atomic<bool> interrupted_{false};
    std::uint32_t firmware_version_ = 0, fpga_version_ = 0, serial_number_ = 0;
    std::string model_name_;

    static std::unique_ptr<VoCamera> instance_;
    static OpenResult lastOpen_;
    static std::string resourceRoot_;
    static bool hasResourceRoot_;
};

}  // namespace vocapture
