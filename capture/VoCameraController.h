// The main window's controller: fills the controls from the camera, turns
// each control action into a camera call, and runs the image worker that
// converts frames into three bitmap buffers for the live view, the still
// window and the frame socket.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Ui {
class MainWindow;
class SettingsPanel;
class StillImageWindow;
}  // namespace Ui

namespace vocapture {

class ImageViewer;
class VoBitmapImage;

// Texts the controls show, shared with the checks of them.
QString exposureText(double ms);

class VoCameraController : public QObject {
    Q_OBJECT
  public:
    explicit VoCameraController(QObject *parent = nullptr);
    ~VoCameraController() override;

    // Fills the controls, builds the geometry list and starts live video.
    // `serverPort` 0 shows still images in their window instead of sending them.
    void awakeFromNib(int serverPort);

    void startStreaming();
    // Returns once the worker has ended; a worker stuck in the wait of a
    // silent camera is released by ending the camera's stream.
    void stopStreaming();
    void closeSocket();

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
    // Writes the still image shown to `path` (.png, .tif or .tiff): false,
    // with the reason in `problem`, when it cannot.
    bool saveStillImageTo(const QString &path, QString *problem = nullptr);
    // The conversion threads the command line or the stored setting gives,
    // shown in the settings panel without storing them again.
    void setConversionThreads(int threads);
    // Shows the delivered and displayed rates since the last call, and the frames skipped.
    void updateStatus();

  public slots:
    void updateGain(int percent);
    void updateGainRed(int percent);
    void updateGainGreen(int percent);
    void updateGainBlue(int percent);
    void updateTarget(int percent);
    void updateExposure(int percent);
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
    void openCameraSettings();
    void saveStillImage();
    // The settings panel's choice: applied and stored.
    void updateConversionThreads(int threads);

  signals:
    // The main window was closed: the application should quit.
    void terminateRequested();

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void updateImageWorker();
    void restoreColorControls();
    void showCameraGone();
    void sendStill(const VoBitmapImage &image);
    template <typename F>
    void guarded(F &&action);

    std::unique_ptr<Ui::MainWindow> ui_;
    std::unique_ptr<Ui::SettingsPanel> settingsUi_;
    std::unique_ptr<Ui::StillImageWindow> stillUi_;
    std::unique_ptr<QMainWindow> window_;
    std::unique_ptr<QMainWindow> stillWindow_;
    std::unique_ptr<QDialog> settings_;

    int serverPort_ = 0;
    mutable std::mutex lock_;  // guards whitebalanceRequested_
    int whitebalanceRequested_ = 0;
    std::atomic<int> stillImageRequested_{0};
    std::atomic<int> continueStreaming_{0};
    std::atomic<int> currentlyStreaming_{0};
    std::atomic<bool> cameraGone_{false};
    std::atomic<int> streamInterruptions_{0};
    std::thread worker_;

    std::atomic<std::uint64_t> delivered_{0};
    std::uint64_t frameNumber_ = 0;  // worker only
    QTimer statusTimer_;
    QElapsedTimer statusClock_;
    std::uint64_t lastDelivered_ = 0, lastDisplayed_ = 0;
};

}  // namespace vocapture
