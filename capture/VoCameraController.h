// The main window's controller: fills the controls from the camera, turns
// each control action into a camera call, and runs the image worker that
// converts frames into three bitmap buffers for the live view, the still
// window and the frame socket, and hands the raw frames to a recording. It
// also says which state the application is in (a camera live, none, one
// held elsewhere, one that failed or left) and looks for a camera again
// when there is none.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "Histogram.h"
#include "VoCamera.h"

namespace Ui {
class MainWindow;
class SettingsPanel;
class StillImageWindow;
}  // namespace Ui

namespace vocapture {

class ImageViewer;
class VoBitmapImage;

// What the window shows: live video, or why there is none.
enum class CameraState { NoCamera, InUse, Failed, Live, Gone };

// A rectangle of a mirrored picture on the raw frame it came from (and back:
// mirroring is its own inverse), in pixels of a `frame`-sized picture.
QRect mirroredRegion(QRect region, QSize frame, bool flipX, bool flipY);

class VoCameraController : public QObject {
    Q_OBJECT
  public:
    explicit VoCameraController(QObject *parent = nullptr);
    ~VoCameraController() override;

    // Fills the controls, builds the geometry list and starts live video, or
    // shows why there is no camera. Nothing is written to the camera.
    // `serverPort` 0 shows still images in their window instead of sending them.
    void awakeFromNib(int serverPort);

    void startStreaming();
    // Returns once the worker has ended; a worker stuck in the wait of a
    // silent camera is released by ending the camera's stream.
    void stopStreaming();
    // Tells the frame client that the application closes, once.
    void closeSocket();

    CameraState cameraState() const { return state_; }
    // The state's line, as the status bar and the view show it.
    static QString stateText(CameraState state);

    QMainWindow *window() const { return window_.get(); }
    QMainWindow *stillImageWindow() const { return stillWindow_.get(); }
    QDialog *settingsWindow() const { return settings_.get(); }
    Ui::MainWindow &ui() const { return *ui_; }
    Ui::SettingsPanel &settingsUi() const { return *settingsUi_; }
    Ui::StillImageWindow &stillUi() const { return *stillUi_; }
    ImageViewer *videoViewer() const;
    ImageViewer *imageViewer() const;

    int serverPort() const { return serverPort_; }
    int whitebalanceRequested() const;
    bool currentlyStreaming() const { return currentlyStreaming_; }
    bool cameraGone() const { return cameraGone_; }
    // How often stopping had to end the camera's stream to get the worker back.
    int streamInterruptions() const { return streamInterruptions_; }
    std::uint64_t framesDelivered() const { return delivered_; }
    std::uint64_t framesDisplayed() const;
    // Writes the still image shown to `path` (.png, .tif, .tiff or .fits):
    // false, with the reason in `problem`, when it cannot.
    bool saveStillImageTo(const QString &path, QString *problem = nullptr);

    // Starts writing the raw frames to a SER file (".ser" is added to a name
    // without it): false, with the reason in `problem`, when it cannot.
    bool startRecording(const QString &path, QString *problem = nullptr);
    // Ends the recording, if any: the frames queued are written, then the
    // frame times, and the file is closed. `why` says what ended it (empty:
    // the user). Answers the line shown about it, empty without a recording.
    QString stopRecording(const QString &why = {});
    bool recording() const;
    // Of the recording running: frames in the file, and frames the camera
    // sent that it will not hold (the disk or the worker fell behind).
    std::uint64_t framesRecorded() const;
    std::uint64_t framesDropped() const;
    // The conversion threads the command line or the stored setting gives,
    // shown in the settings panel without storing them again.
    void setConversionThreads(int threads);
    // Shows the delivered and displayed rates since the last call, the
    // frames skipped and, on a cooled camera, the sensor's temperature.
    void updateStatus();

    // The camera's settings under a name (QSettings group "profiles"), and
    // back: false, with the reason in `problem`, when it cannot be done.
    bool saveProfile(const QString &name, QString *problem = nullptr);
    bool loadProfile(const QString &name, QString *problem = nullptr);
    static QStringList profileNames();

    // The white balance's region on the raw frame (empty: the whole frame),
    // and the focus score's (the part of the picture shown).
    QRect whitebalanceRegion() const;
    QRect focusRegion() const;
    // The latest focus score and the best since the region or the geometry
    // changed (negative: none yet).
    double focusScore() const;
    double bestFocusScore() const;

  public slots:
    void updateGain(int percent);
    void updateGainRed(int percent);
    void updateGainGreen(int percent);
    void updateGainBlue(int percent);
    void updateTarget(int percent);
    void updateExposure(int percent);
    // The exposure entry: any exposure the camera takes, in milliseconds.
    void updateExposureMs(double ms);
    void updateGamma(int percent);
    void updateContrast(int percent);
    void updateBrightness(int percent);
    void updateSaturation(int percent);
    void updateHue(int percent);
    void updateXMirror(bool on);
    void updateYMirror(bool on);
    void updateCooling(bool on);
    void updateAutoexposureEnable(bool on);
    void updateEncoding(const QString &text);
    void updateLightSource(const QString &text);
    void updateGeometry(const QString &text);
    void doSingleShotWhitebalance();
    void grabStillImage();
    // The Record button: asks for a file and starts, or stops.
    void toggleRecording();
    // The exposure's progress during long exposures, and the recording's counts.
    void showProgress();
    void openCameraSettings();
    void saveStillImage();
    // The settings panel's choice: applied and stored.
    void updateConversionThreads(int threads);
    void updateCoolingSetpoint(double celsius);
    // Closes what is left of the camera and opens the first one found.
    void rescan();
    // While there is no live camera: opens one as soon as one is ready.
    void probeBus();
    // A region of the live picture (picture pixels; empty: the whole frame).
    void setWhitebalanceRegion(QRect picture);
    void setZoomFit(bool fit);
    void resetBestFocus();
    void saveProfileInteractively();
    void loadProfileInteractively();

  signals:
    // The main window was closed: the application should quit.
    void terminateRequested();

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void updateImageWorker();
    void restoreColorControls();
    void showCameraGone();
    // False, with the reason, when the still did not reach the client.
    bool sendStill(const VoBitmapImage &image, std::string *problem);
    void showStillNotSent(const QString &problem);
    void showAnalysis();
    void updateFocusRegion();
    void showMirroredRegions();
    void enterState(CameraState state);
    // Fills every control from the camera without writing to it.
    void setUpCamera(VoCamera &camera);
    void buildGeometryList(VoCamera &camera);
    void showCameraValues(VoCamera &camera);
    void showExposure(VoCamera &camera);
    void showTemperature(VoCamera &camera);
    // Ends the worker and the camera's stream, without a word when there is no camera.
    void endWorker();
    template <typename F>
    void guarded(F &&action);

    std::unique_ptr<Ui::MainWindow> ui_;
    std::unique_ptr<Ui::SettingsPanel> settingsUi_;
    std::unique_ptr<Ui::StillImageWindow> stillUi_;
    std::unique_ptr<QMainWindow> window_;
    std::unique_ptr<QMainWindow> stillWindow_;
    std::unique_ptr<QDialog> settings_;

    int serverPort_ = 0;
    CameraState state_ = CameraState::NoCamera;
    bool cooled_ = false;  // the camera has a cooler the application may drive
    bool quitSent_ = false;
    QTimer probeTimer_;
    QLabel *rateText_ = nullptr;         // owned by the status bar
    QLabel *temperatureText_ = nullptr;  // owned by the status bar

    // Guards the white-balance countdown, its outcome and both regions.
    mutable std::mutex lock_;
    int whitebalanceRequested_ = 0;
    int whitebalanceOutcome_ = 0;  // the step's worst answer, or kStepThrew
    QRect whitebalanceRegion_, focusRegion_;

    // Filled by the worker, shown by the main thread.
    mutable std::mutex analysisLock_;
    Histogram histogram_;
    double focus_ = -1, bestFocus_ = -1;
    // Counts the resets of the score: a score the worker computed over a
    // region that changed meanwhile is dropped, not compared with the new.
    std::uint64_t focusEpoch_ = 0;
    std::atomic<bool> analysisOn_{true};
    std::atomic<bool> analysisPosted_{false};

    std::atomic<int> stillImageRequested_{0};
    std::atomic<int> continueStreaming_{0};
    std::atomic<int> currentlyStreaming_{0};
    std::atomic<bool> cameraGone_{false};
    std::atomic<int> streamInterruptions_{0};
    std::thread worker_;

    // A SER recording: its writer and the queue that feeds it. The worker
    // takes a reference for each frame; the main thread starts and ends it.
    struct Recording;
    mutable std::mutex recordingLock_;
    std::shared_ptr<Recording> recording_;
    std::shared_ptr<Recording> currentRecording() const;
    QTimer progressTimer_;
    // When the last frame arrived (or video started), steady-clock nanoseconds.
    std::atomic<std::int64_t> lastFrameNs_{0};

    std::atomic<std::uint64_t> delivered_{0};
    std::uint64_t frameNumber_ = 0;  // worker only
    QTimer statusTimer_;
    QElapsedTimer statusClock_;
    std::uint64_t lastDelivered_ = 0, lastDisplayed_ = 0;
};

}  // namespace vocapture
