// The application object: starts the SDK and the camera at launch, routes
// SIGTERM and SIGINT into an orderly quit, stops everything at termination,
// and runs the headless screenshot mode.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <memory>

namespace vocapture {

class VoCameraController;

struct CaptureOptions {
    int port = -1;                // -1: not on the command line, use the stored setting
    QString screenshot;           // empty: an ordinary interactive run
    int frames = 1;               // frames to show before the screenshot
    QString resourceRoot;         // empty: the library's installed data folder
    int screenshotTimeoutMs = 0;  // 0: a limit from the number of frames
    int threads = -1;             // conversion threads; -1: the stored setting
};

class CaptureApplication : public QObject {
    Q_OBJECT
  public:
    explicit CaptureApplication(CaptureOptions options, QObject *parent = nullptr);
    ~CaptureApplication() override;

    // Launch: signal handling, SDK and camera, the window; then the
    // screenshot's watch when one was asked for.
    void applicationDidFinishLaunching();
    // Termination: the worker, the frame client and the camera, in that order.
    void applicationShouldTerminate();

    VoCameraController &controller() const { return *controller_; }
    // The port the command line or the stored setting gives.
    int configuredPort() const;
    // The conversion threads the command line or the stored setting gives
    // (0: the cores, up to 8).
    int configuredThreads() const;

  private:
    void watchScreenshot();
    void finishScreenshot(int status, const QString &problem);
    void onSignal();

    CaptureOptions options_;
    std::unique_ptr<VoCameraController> controller_;
    std::unique_ptr<QSocketNotifier> signalNotifier_;
    QTimer screenshotTimer_;
    qint64 screenshotDeadline_ = 0;
    bool terminated_ = false;
};

}  // namespace vocapture
