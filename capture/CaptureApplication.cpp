#include "CaptureApplication.h"

#include <QApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QImageWriter>
#include <QMainWindow>
#include <QPixmap>
#include <QScreen>
#include <QSettings>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "ImageViewer.h"
#include "Log.h"
#include "VoCamera.h"
#include "VoCameraController.h"

namespace vocapture {

namespace {
// The handler may only write to this pipe; the event loop reads it.
int signalPipe[2] = {-1, -1};

// The library's lines join the application's own in the system log.
void fromLibrary(int, const char *line, void *) {
    std::string text(line);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    logLine("%s", text.c_str());
}

void onTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(signalPipe[1], &byte, 1);
    errno = saved;
}
}  // namespace

CaptureApplication::CaptureApplication(CaptureOptions options, QObject *parent)
    : QObject(parent),
      options_(std::move(options)),
      controller_(std::make_unique<VoCameraController>()) {
    connect(controller_.get(), &VoCameraController::terminateRequested, qApp,
            &QCoreApplication::quit, Qt::QueuedConnection);
    connect(qApp, &QCoreApplication::aboutToQuit, this,
            &CaptureApplication::applicationShouldTerminate);
}

CaptureApplication::~CaptureApplication() {
    applicationShouldTerminate();
}

int CaptureApplication::configuredPort() const {
    if (options_.port >= 0) return options_.port;
    return QSettings().value("port", 0).toInt();
}

int CaptureApplication::configuredThreads() const {
    if (options_.threads >= 0) return options_.threads;
    const int stored = QSettings().value("conversionThreads", 0).toInt();
    return stored >= 0 && stored <= 8 ? stored : 0;
}

void CaptureApplication::applicationDidFinishLaunching() {
    if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        signalNotifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        connect(signalNotifier_.get(), &QSocketNotifier::activated, this,
                &CaptureApplication::onSignal);
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    // A file-size limit ends a recording with EFBIG, as a full disk does,
    // instead of the process.
    signal(SIGXFSZ, SIG_IGN);
    vocam_set_log_handler(fromLibrary, nullptr);

    const QByteArray root = options_.resourceRoot.toLocal8Bit();
    VoCamera::initialize(options_.resourceRoot.isEmpty() ? nullptr : root.constData());
    controller_->setConversionThreads(configuredThreads());
    controller_->awakeFromNib(configuredPort());
    controller_->window()->show();
    if (!options_.screenshot.isEmpty()) watchScreenshot();
}

void CaptureApplication::onSignal() {
    char bytes[16];
    while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    logLine("quit requested by a signal");
    QCoreApplication::quit();
}

void CaptureApplication::applicationShouldTerminate() {
    if (terminated_) return;
    terminated_ = true;
    controller_->stopRecording(tr("the application closed"));
    controller_->stopStreaming();
    controller_->closeSocket();
    VoCamera::cleanup();
    vocam_set_log_handler(nullptr, nullptr);
}

void CaptureApplication::watchScreenshot() {
    if (VoCamera::instance() == nullptr) {
        // Nothing will ever arrive: show the window as it stands.
        const QString why =
            VoCamera::lastOpen() == OpenResult::InUse    ? "the camera is in use by another program"
            : VoCamera::lastOpen() == OpenResult::Failed ? "the camera could not be opened"
                                                         : "no camera found";
        QTimer::singleShot(300, this, [this, why] { finishScreenshot(1, why); });
        return;
    }
    // Each frame takes its exposure as well.
    const auto exposureMs = static_cast<qint64>(VoCamera::instance()->exposure().value);
    const qint64 limit = options_.screenshotTimeoutMs > 0
                             ? options_.screenshotTimeoutMs
                             : 15000 + (200 + exposureMs) * options_.frames;
    screenshotDeadline_ = QDateTime::currentMSecsSinceEpoch() + limit;
    connect(&screenshotTimer_, &QTimer::timeout, this, [this] {
        if (controller_->framesDisplayed() >= static_cast<std::uint64_t>(options_.frames)) {
            screenshotTimer_.stop();
            // One more turn of the loop, so that the frame just painted is on the screen.
            QTimer::singleShot(50, this, [this] { finishScreenshot(0, {}); });
        } else if (controller_->cameraGone()) {
            screenshotTimer_.stop();
            finishScreenshot(1, "the camera is gone");
        } else if (QDateTime::currentMSecsSinceEpoch() > screenshotDeadline_) {
            screenshotTimer_.stop();
            finishScreenshot(1, QString::asprintf(
                                    "only %llu of %d frames were shown",
                                    static_cast<unsigned long long>(controller_->framesDisplayed()),
                                    options_.frames));
        }
    });
    screenshotTimer_.start(10);
}

void CaptureApplication::finishScreenshot(int status, const QString &problem) {
    QMainWindow *window = controller_->window();
    if (status == 0) {
        controller_->updateStatus();
        QCoreApplication::processEvents();
    }
    QPixmap shot;
    // On a real display the window's pixels are read back from the screen.
    if (QGuiApplication::platformName() != "offscreen" && window->screen() != nullptr)
        shot = window->screen()->grabWindow(window->winId());
    if (shot.isNull()) shot = window->grab();
    QImageWriter writer(options_.screenshot, "png");
    if (!writer.write(shot.toImage())) {
        std::fprintf(stderr, "VoCam_Capture: unable to write %s: %s\n",
                     qPrintable(options_.screenshot), qPrintable(writer.errorString()));
        status = 1;
    } else {
        std::printf("screenshot written to %s\n", qPrintable(options_.screenshot));
        std::fflush(stdout);
    }
    if (!problem.isEmpty()) std::fprintf(stderr, "VoCam_Capture: %s\n", qPrintable(problem));
    QCoreApplication::exit(status);
}

}  // namespace vocapture
