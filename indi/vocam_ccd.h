// One camera as an INDI CCD device. Every INDI call, property change and
// message happens on INDI's event-loop thread; the camera's exposures and
// video run on the Capture thread, which hands its outcomes back through a
// pipe the event loop watches.
#pragma once

#include <indiccd.h>
#include <indipropertynumber.h>
#include <indipropertyswitch.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cameras.h"
#include "capture.h"

namespace vocam::indi {

class VoCamCCD : public INDI::CCD {
  public:
    // `others` lists the serial numbers the driver's other devices stand for,
    // so a device known only by its product does not take one of theirs.
    using OthersFn = std::function<std::vector<std::uint32_t>(const VoCamCCD *)>;
    VoCamCCD(CameraEntry entry, const std::string &name, OthersFn others);
    ~VoCamCCD() override;

    const CameraEntry &entry() const { return entry_; }

    const char *getDefaultName() override;
    void ISGetProperties(const char *dev) override;
    bool initProperties() override;
    bool updateProperties() override;
    bool ISNewNumber(const char *dev, const char *name, double values[], char *names[],
                     int n) override;
    bool ISNewSwitch(const char *dev, const char *name, ISState *states, char *names[],
                     int n) override;

  protected:
    bool Connect() override;
    bool Disconnect() override;
    void TimerHit() override;

    bool StartExposure(float duration) override;
    bool AbortExposure() override;
    bool UpdateCCDFrame(int x, int y, int w, int h) override;
    bool UpdateCCDBin(int hor, int ver) override;
    int SetTemperature(double temperature) override;
    bool StartStreaming() override;
    bool StopStreaming() override;
    bool SetCaptureFormat(uint8_t index) override;
    void addFITSKeywords(INDI::CCDChip *targetChip) override;
    bool processFastExposure(INDI::CCDChip *targetChip) override;
    bool saveConfigItems(FILE *fp) override;

  private:
    // The sensor's geometry and the camera's ranges, read at connection.
    struct Limits {
        std::uint32_t width = 0, height = 0;          // sensor pixels
        std::uint32_t unitWidth = 1, unitHeight = 1;  // steps of window sizes and corners
        std::uint32_t maxSubsample = 1;
        std::uint32_t exposureMinUs = 1, exposureMaxUs = 1;
        double gainMin = 1, gainMax = 1;  // factors
        double coolestC = 0, warmestC = 0;
        bool fan = false;
    };

    static void outcomesReady(int fd, void *self);
    void handleOutcomes();
    void exposed(Outcome &outcome);
    void failed(const std::string &why, bool gone);
    // The camera left: it is closed and the device disconnected, so that
    // connecting again opens it afresh once it is back.
    void lose(const std::string &why);
    void closeCamera();

    bool readLimits();
    // Sends a window (sensor pixels) and subsampling to the camera and
    // follows it in the chip, the streamer, the Bayer pattern and the data
    // rates.
    bool applyWindow(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
                     std::uint32_t binX, std::uint32_t binY);
    // The nearest window on the camera's steps and inside the sensor.
    void snapWindow(long &x, long &y, long &w, long &h) const;
    bool newFrame(double values[], char *names[], int n);
    bool newGain(double value);
    bool newPixelSize(double values[], char *names[], int n);
    bool setCooler(bool on);
    bool setFan(bool on);
    void readCooler();
    void readFan();
    void readBayer();
    void readDataRates(bool define);
    bool busyWithCamera(const char *what);
    std::uint32_t exposureUs(double seconds) const;

    CameraEntry entry_;
    std::string name_;
    OthersFn others_;
    CameraHandle camera_;
    std::unique_ptr<Capture> capture_;
    Limits limits_;

    int pipe_[2] = {-1, -1};  // the Capture thread's wake-up for the event loop
    int pipeCallback_ = -1;
    int timer_ = -1;

    // The exposure under way, if any; outcomes of older jobs are ignored.
    std::uint64_t job_ = 0;
    bool exposing_ = false;
    // Also cleared on the stream's own thread (see StopStreaming).
    std::atomic<bool> streaming_{false};
    std::chrono::steady_clock::time_point exposureStarted_;
    double exposureSeconds_ = 0;

    // The cooler's setpoint as last sent: the camera reports only its
    // reading.
    std::optional<double> setpoint_;
    bool coolerOn_ = false;

    // What the last frame's header says, written by the upload thread of
    // INDI's CCD base.
    std::mutex factsLock_;
    cli::CaptureFacts facts_;      // guarded by factsLock_
    std::int64_t startUtcNs_ = 0;  // guarded by factsLock_
    std::string bayer_;            // guarded by factsLock_

    INDI::PropertyNumber GainNP{1};
    INDI::PropertySwitch DataRateSP{0};
    std::vector<std::uint32_t> rates_;
    INDI::PropertySwitch CoolerSP{2};
    INDI::PropertyNumber CoolerPowerNP{1};
    INDI::PropertySwitch FanSP{2};
};

}  // namespace vocam::indi
