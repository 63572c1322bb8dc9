#include "VoCameraController.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QMessageBox>
#include <QMetaObject>
#include <QSettings>
#include <QSpinBox>
#include <QStringList>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

#include "ImageViewer.h"
#include "Log.h"
#include "StillImage.h"
#include "VoBitmapImage.h"
#include "VoCamera.h"
#include "VoCameraSocket.h"
#include "ui_MainWindow.h"
#include "ui_SettingsPanel.h"
#include "ui_StillImageWindow.h"

namespace vocapture {

using namespace std::chrono_literals;

namespace {

struct Geometry {
    double width, height;
};
constexpr std::array<Geometry, 12> kStandardGeometries{{{3072, 2304},
                                                        {2560, 2040},
                                                        {2048, 1536},
                                                        {1920, 1080},
                                                        {1600, 1200},
                                                        {1280, 1024},
                                                        {1280, 720},
                                                        {1024, 768},
                                                        {800, 600},
                                                        {720, 480},
                                                        {640, 480},
                                                        {320, 240}}};

// How long the worker gets to notice a stop before its frame wait is ended
// from outside (a silent camera never answers it).
constexpr auto kWorkerGrace = 900ms;
// The worker's frame wait gives up this often to look at continueStreaming_,
// so that stopping never needs the stream ended under it while frames flow
// slowly or not at all.
constexpr std::uint32_t kWaitSliceMs = 150;

QString fmt(const char *format, double v) {
    return QString::asprintf(format, v);
}

// Half of a size, truncated, on a 16-pixel grid.
double halvedOnGrid(double v) {
    return static_cast<double>(static_cast<int>(v / 2) & ~0xF);
}

void setSliderQuietly(QSlider *slider, double percent) {
    const QSignalBlocker block(slider);
    slider->setValue(static_cast<int>(std::lround(percent)));
}

}  // namespace

QString exposureText(double ms) {
    if (ms > 100) return fmt("%.0fms", ms);
    if (ms >= 1) return fmt("%.1fms", ms);
    return fmt("%.2fms", ms);
}

VoCameraController::VoCameraController(QObject *parent)
    : QObject(parent),
      ui_(std::make_unique<Ui::MainWindow>()),
      settingsUi_(std::make_unique<Ui::SettingsPanel>()),
      stillUi_(std::make_unique<Ui::StillImageWindow>()),
      window_(std::make_unique<QMainWindow>()),
      stillWindow_(std::make_unique<QMainWindow>()),
      settings_(std::make_unique<QDialog>()) {
    ui_->setupUi(window_.get());
    settingsUi_->setupUi(settings_.get());
    stillUi_->setupUi(stillWindow_.get());
    ui_->videoViewer->setScrollView(ui_->videoScroll);
    stillUi_->imageViewer->setScrollView(stillUi_->stillScroll);
    window_->installEventFilter(this);

    auto &u = *ui_;
    connect(u.gainSlider, &QSlider::valueChanged, this, &VoCameraController::updateGain);
    connect(u.gainRedSlider, &QSlider::valueChanged, this, &VoCameraController::updateGainRed);
    connect(u.gainGreenSlider, &QSlider::valueChanged, this, &VoCameraController::updateGainGreen);
    connect(u.gainBlueSlider, &QSlider::valueChanged, this, &VoCameraController::updateGainBlue);
    connect(u.targetSlider, &QSlider::valueChanged, this, &VoCameraController::updateTarget);
    connect(u.exposureSlider, &QSlider::valueChanged, this, &VoCameraController::updateExposure);
    connect(u.xMirror, &QCheckBox::toggled, this, &VoCameraController::updateXMirror);
    connect(u.yMirror, &QCheckBox::toggled, this, &VoCameraController::updateYMirror);
    connect(u.autoExposure, &QCheckBox::toggled, this,
            &VoCameraController::updateAutoexposureEnable);
    connect(u.encoding, &QComboBox::textActivated, this, &VoCameraController::updateEncoding);
    connect(u.lightsource, &QComboBox::textActivated, this, &VoCameraController::updateLightSource);
    connect(u.geometry, &QComboBox::textActivated, this, &VoCameraController::updateGeometry);
    connect(u.singleShotWhitebalance, &QPushButton::clicked, this,
            &VoCameraController::doSingleShotWhitebalance);
    connect(u.grabStill, &QPushButton::clicked, this, &VoCameraController::grabStillImage);
    connect(u.actionGrabStill, &QAction::triggered, this, &VoCameraController::grabStillImage);
    connect(u.openSettings, &QPushButton::clicked, this, &VoCameraController::openCameraSettings);
    connect(u.actionSettings, &QAction::triggered, this, &VoCameraController::openCameraSettings);
    connect(u.actionQuit, &QAction::triggered, window_.get(), &QWidget::close);
    auto &s = *settingsUi_;
    connect(s.gammaSlider, &QSlider::valueChanged, this, &VoCameraController::updateGamma);
    connect(s.contrastSlider, &QSlider::valueChanged, this, &VoCameraController::updateContrast);
    connect(s.brightnessSlider, &QSlider::valueChanged, this,
            &VoCameraController::updateBrightness);
    connect(s.saturationSlider, &QSlider::valueChanged, this,
            &VoCameraController::updateSaturation);
    connect(s.hueSlider, &QSlider::valueChanged, this, &VoCameraController::updateHue);
    connect(s.cooling, &QCheckBox::toggled, this, &VoCameraController::updateCooling);
    connect(s.conversionThreads, &QSpinBox::valueChanged, this,
            &VoCameraController::updateConversionThreads);
    connect(stillUi_->actionSave, &QAction::triggered, this, &VoCameraController::saveStillImage);
    connect(stillUi_->actionClose, &QAction::triggered, stillWindow_.get(), &QWidget::close);

    connect(&statusTimer_, &QTimer::timeout, this, &VoCameraController::updateStatus);
}

VoCameraController::~VoCameraController() {
    stopStreaming();
    if (worker_.joinable()) worker_.join();
}

ImageViewer *VoCameraController::videoViewer() const {
    return ui_->videoViewer;
}
ImageViewer *VoCameraController::imageViewer() const {
    return stillUi_->imageViewer;
}

int VoCameraController::whitebalanceRequested() const {
    std::lock_guard lock(lock_);
    return whitebalanceRequested_;
}

std::uint64_t VoCameraController::framesDisplayed() const {
    return ui_->videoViewer->framesPainted();
}

// A control action that the camera refuses is reported and leaves the
// application running.
template <typename F>
void VoCameraController::guarded(F &&action) {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) return;
    try {
        action(*camera);
    } catch (const CaptureException &e) {
        logLine("error: %s: %s", e.name().c_str(), e.reason());
    }
}

void VoCameraController::awakeFromNib(int serverPort) {
    stillWindow_->hide();
    serverPort_ = serverPort;
    statusClock_.start();
    statusTimer_.start(1000);
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) {
        logLine("error: VoCamera instance is NULL!");
        ui_->statusBar->showMessage(tr("No camera found"));
        return;
    }
    auto &u = *ui_;
    try {
        setSliderQuietly(u.gainSlider, percentageOf(camera->total_gain()));
        updateGain(u.gainSlider->value());
        if (camera->isColor()) {
            setSliderQuietly(u.gainRedSlider, percentageOf(camera->total_gain_red()));
            updateGainRed(u.gainRedSlider->value());
            setSliderQuietly(u.gainGreenSlider, percentageOf(camera->total_gain_green()));
            updateGainGreen(u.gainGreenSlider->value());
            setSliderQuietly(u.gainBlueSlider, percentageOf(camera->total_gain_blue()));
            updateGainBlue(u.gainBlueSlider->value());
        } else {
            u.gainRedSlider->setEnabled(false);
            u.gainGreenSlider->setEnabled(false);
            u.gainBlueSlider->setEnabled(false);
            u.singleShotWhitebalance->setEnabled(false);
        }
        auto &s = *settingsUi_;
        setSliderQuietly(s.gammaSlider, percentageOf(camera->gamma()));
        setSliderQuietly(s.contrastSlider, percentageOf(camera->contrast()));
        setSliderQuietly(s.brightnessSlider, percentageOf(camera->brightness()));
        setSliderQuietly(s.saturationSlider, percentageOf(camera->saturation()));
        setSliderQuietly(s.hueSlider, percentageOf(camera->hue()));
        updateGamma(s.gammaSlider->value());
        updateContrast(s.contrastSlider->value());
        updateBrightness(s.brightnessSlider->value());
        updateSaturation(s.saturationSlider->value());
        updateHue(s.hueSlider->value());

        setSliderQuietly(u.exposureSlider, percentageOf(camera->exposure()));
        const bool autoOn = camera->auto_exposure();
        if (autoOn) {
            u.exposureSlider->setEnabled(false);
            const QSignalBlocker block(u.autoExposure);
            u.autoExposure->setChecked(true);
        }
        u.targetSlider->setEnabled(autoOn);
        setSliderQuietly(u.targetSlider, camera->auto_exposure_target());
        updateExposure(u.exposureSlider->value());
        updateTarget(u.targetSlider->value());

        u.encoding->addItems({"Fast", "Good", "Best"});
        u.encoding->setCurrentText("Fast");
        u.lightsource->addItems(
            {"None", "Fluorescent", "Daylight", "Incandescent", "Xenon Flash", "Halogen"});
        u.lightsource->setCurrentText("None");

        // The full sensor stands first, then the standard sizes it can hold,
        // each preceded by the subsampled size that falls between it and the
        // larger one before it.
        const QSizeF maximum = camera->maximum_size();
        if (camera->size() != maximum || camera->subsampling() != 1) camera->setSize(maximum);
        const QSizeF size = camera->size();
        u.geometry->addItem(QString::asprintf("%.0f x %.0f", size.width(), size.height()));
        u.geometry->setCurrentIndex(0);
        double w2 = halvedOnGrid(maximum.width()), h2 = halvedOnGrid(maximum.height());
        int f = 2;
        const bool subsampling = camera->supportsSubsampling();
        for (std::size_t i = 0; i < kStandardGeometries.size(); ++i) {
            const Geometry g = kStandardGeometries[i];
            if (size.width() < g.width || size.height() < g.height) {
                logLine("skipping resolution %.0f x %.0f", g.width, g.height);
                continue;
            }
            if (size.width() == g.width && size.height() == g.height) continue;
            if (subsampling && i > 0 && f <= 4 && w2 < kStandardGeometries[i - 1].width &&
                w2 >= g.width) {
                u.geometry->addItem(QString::asprintf("%.0f x %.0f (subsampled by %d)", w2, h2, f));
                w2 = halvedOnGrid(w2);
                h2 = halvedOnGrid(h2);
                f *= 2;
            }
            u.geometry->addItem(QString::asprintf("%.0f x %.0f", g.width, g.height));
        }

        if (camera->isTemperatureSupported()) {
            camera->setTemperatureEnable(false);
        } else {
            settingsUi_->cooling->setEnabled(false);
        }
        s.model_name->setText(
            QString::asprintf("Camera Model Name: %s", camera->model_name().c_str()));
        s.serial_number->setText(
            QString::asprintf("Serial Number: %08d", static_cast<int>(camera->serial_number())));
        const std::uint32_t fw = camera->firmware_version() & 0xFFFF,
                            fpga = camera->fpga_version() & 0xFFFF;
        s.firmware_version->setText(
            QString::asprintf("Camera Firmware Version: %d.%02d", fw >> 8, fw & 0xFF));
        s.fpga_version->setText(
            QString::asprintf("Camera FPGA Version: %d.%02d", fpga >> 8, fpga & 0xFF));
    } catch (const CaptureException &e) {
        logLine("error: %s: %s", e.name().c_str(), e.reason());
    }
    continueStreaming_ = 0;
    currentlyStreaming_ = 0;
    startStreaming();
}

void VoCameraController::updateGain(int percent) {
    guarded([&](VoCamera &c) {
        c.updateGain(percent);
        ui_->gainText->setText(fmt("%.2f", c.total_gain().value));
    });
}

void VoCameraController::updateGainRed(int percent) {
    guarded([&](VoCamera &c) {
        c.updateGainRed(percent);
        ui_->gainRedText->setText(fmt("%.2f", c.total_gain_red().value));
    });
}

void VoCameraController::updateGainGreen(int percent) {
    guarded([&](VoCamera &c) {
        c.updateGainGreen(percent);
        ui_->gainGreenText->setText(fmt("%.2f", c.total_gain_green().value));
    });
}

void VoCameraController::updateGainBlue(int percent) {
    guarded([&](VoCamera &c) {
        c.updateGainBlue(percent);
        ui_->gainBlueText->setText(fmt("%.2f", c.total_gain_blue().value));
    });
}

void VoCameraController::updateTarget(int percent) {
    guarded([&](VoCamera &c) {
        c.updateAutoexposureTarget(percent);
        ui_->targetText->setText(QString::asprintf("%d", c.auto_exposure_target()));
    });
}

void VoCameraController::updateExposure(int percent) {
    guarded([&](VoCamera &c) {
        c.updateExposure(percent);
        ui_->exposureText->setText(exposureText(c.exposure().value));
    });
}

void VoCameraController::updateGamma(int percent) {
    guarded([&](VoCamera &c) {
        c.updateGamma(percent);
        settingsUi_->gammaText->setText(fmt("%.1f", c.gamma().value));
    });
}

void VoCameraController::updateContrast(int percent) {
    guarded([&](VoCamera &c) {
        c.updateContrast(percent);
        settingsUi_->contrastText->setText(fmt("%.1f", c.contrast().value));
    });
}

void VoCameraController::updateBrightness(int percent) {
    guarded([&](VoCamera &c) {
        c.updateBrightness(percent);
        settingsUi_->brightnessText->setText(fmt("%.1f", c.brightness().value));
    });
}

void VoCameraController::updateSaturation(int percent) {
    guarded([&](VoCamera &c) {
        c.updateSaturation(percent);
        settingsUi_->saturationText->setText(fmt("%.1f", c.saturation().value));
    });
}

void VoCameraController::updateHue(int percent) {
    guarded([&](VoCamera &c) {
        c.updateHue(percent);
        settingsUi_->hueText->setText(fmt("%.1f", c.hue().value));
    });
}

void VoCameraController::updateXMirror(bool on) {
    guarded([&](VoCamera &c) { c.setXMirror(on); });
}

void VoCameraController::updateYMirror(bool on) {
    guarded([&](VoCamera &c) { c.setYMirror(on); });
}

void VoCameraController::updateCooling(bool on) {
    guarded([&](VoCamera &c) { c.setTemperatureEnable(on); });
}

void VoCameraController::updateAutoexposureEnable(bool on) {
    guarded([&](VoCamera &c) {
        c.updateAutoexposure(on);
        ui_->exposureSlider->setEnabled(!on);
        ui_->targetSlider->setEnabled(on);
        if (!on) c.updateExposure(percentageOf(c.exposure()));
    });
}

void VoCameraController::updateEncoding(const QString &text) {
    guarded([&](VoCamera &c) {
        int method = 0;
        if (text == "Fast")
            method = 1;
        else if (text == "Good")
            method = 2;
        else if (text == "Best")
            method = 3;
        else
            logLine("error: attempting to set invalid encoding type '%s'", qPrintable(text));
        if (method != 0) c.setEncoding(method);
        logLine("set encoding to %s [%d]", qPrintable(text), method);
    });
}

void VoCameraController::updateLightSource(const QString &text) {
    guarded([&](VoCamera &c) {
        static const std::array<std::pair<const char *, int>, 6> sources{{{"None", 14},
                                                                          {"Fluorescent", 1},
                                                                          {"Daylight", 2},
                                                                          {"Incandescent", 3},
                                                                          {"Xenon Flash", 4},
                                                                          {"Halogen", 5}}};
        int matrix = 0;
        for (const auto &[name, id] : sources)
            if (text == name) matrix = id;
        if (matrix == 0)
            logLine("error: attempting to set invalid light source '%s'", qPrintable(text));
        else
            c.setLightSource(matrix);
        logLine("set ligtht source to %s [%d]", qPrintable(text), matrix);
    });
}

void VoCameraController::updateGeometry(const QString &text) {
    guarded([&](VoCamera &c) {
        logLine("current geometry: %s", qPrintable(text));
        const QStringList parts = text.split(' ');
        if (parts.size() != 3 &&
            (parts.size() < 6 || parts[3] != "(subsampled" || parts[4] != "by")) {
            logLine("error: invalid selection %s", qPrintable(text));
            return;
        }
        const QSizeF maximum = c.maximum_size();
        const int maxW = static_cast<int>(maximum.width()),
                  maxH = static_cast<int>(maximum.height());
        int width, height, factor = 1;
        if (parts.size() == 3) {
            width = parts[0].toInt();
            height = parts[2].toInt();
        } else {
            factor = parts[5].left(1).toInt();
            if (factor < 1) {
                logLine("error: invalid selection %s", qPrintable(text));
                return;
            }
            width = factor * ((maxW / factor) & ~0xF);
            height = factor * ((maxH / factor) & ~0xF);
        }
        if (width <= 0 || height <= 0 || width > maxW || height > maxH) {
            logLine("error: invalid selection %s", qPrintable(text));
            return;
        }
        const int x = (maxW - width) / 2, y = (maxH - height) / 2;
        logLine("select geometry: %d x %d @ %d x %d [subsampled '%d']", width, height, x, y,
                factor);
        const bool wasRunning = currentlyStreaming_ != 0;
        if (wasRunning) stopStreaming();
        std::this_thread::sleep_for(100ms);
        try {
            c.setSize(QSizeF(width, height), QPointF(x, y), factor);
        } catch (const CaptureException &e) {
            logLine("error: %s: %s", e.name().c_str(), e.reason());
        }
        std::this_thread::sleep_for(100ms);
        if (wasRunning) startStreaming();
    });
}

void VoCameraController::doSingleShotWhitebalance() {
    ui_->gainRedSlider->setEnabled(false);
    ui_->gainGreenSlider->setEnabled(false);
    ui_->gainBlueSlider->setEnabled(false);
    ui_->singleShotWhitebalance->setEnabled(false);
    std::lock_guard lock(lock_);
    if (whitebalanceRequested_ == 0) whitebalanceRequested_ = 9;
}

void VoCameraController::grabStillImage() {
    stillImageRequested_ = 1;
    if (serverPort_ == 0 && !stillWindow_->isVisible()) {
        stillWindow_->setAttribute(Qt::WA_ShowWithoutActivating);
        stillWindow_->show();
        stillWindow_->raise();
    }
}

void VoCameraController::openCameraSettings() {
    logLine("camera settings window requested");
    if (!settings_->isVisible()) {
        settings_->show();
        settings_->raise();
        settings_->activateWindow();
    }
}

void VoCameraController::saveStillImage() {
    if (stillUi_->imageViewer->snapshot().isNull()) {
        QMessageBox::information(stillWindow_.get(), tr("Save Still Image"),
                                 tr("There is no still image to save."));
        return;
    }
    const QString png = tr("PNG images (*.png)"), tiff = tr("TIFF images (*.tif *.tiff)");
    QString filter = png;
    QString path = QFileDialog::getSaveFileName(stillWindow_.get(), tr("Save Still Image"),
                                                "still.png", png + ";;" + tiff, &filter);
    if (path.isEmpty()) return;
    // A name typed without its kind takes the kind of the chosen filter.
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != "png" && suffix != "tif" && suffix != "tiff")
        path += filter == tiff ? ".tif" : ".png";
    QString problem;
    if (!saveStillImageTo(path, &problem))
        QMessageBox::warning(stillWindow_.get(), tr("Save Still Image"), problem);
}

bool VoCameraController::saveStillImageTo(const QString &path, QString *problem) {
    // Copied first, so that the worker may reuse the buffer while the file is written.
    const StillImage still = stillUi_->imageViewer->stillSnapshot();
    try {
        saveStill(still, path);
        return true;
    } catch (const std::exception &e) {
        logLine("error: unable to save %s: %s", qPrintable(path), e.what());
        if (problem != nullptr) *problem = QString::fromStdString(e.what());
        return false;
    }
}

void VoCameraController::setConversionThreads(int threads) {
    const QSignalBlocker block(settingsUi_->conversionThreads);
    settingsUi_->conversionThreads->setValue(threads);
    guarded([&](VoCamera &c) { c.setConversionThreads(threads); });
}

void VoCameraController::updateConversionThreads(int threads) {
    guarded([&](VoCamera &c) { c.setConversionThreads(threads); });
    QSettings().setValue("conversionThreads", threads);
}

bool VoCameraController::eventFilter(QObject *watched, QEvent *event) {
    if (watched == window_.get() && event->type() == QEvent::Close) {
        closeSocket();
        emit terminateRequested();
    }
    return QObject::eventFilter(watched, event);
}

void VoCameraController::startStreaming() {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) {
        logLine("error: unable to create camera object");
        return;
    }
    if (currentlyStreaming_) return;
    if (worker_.joinable()) worker_.join();  // one that ended by itself
    continueStreaming_ = 1;
    cameraGone_ = false;
    camera->startStreaming();
    std::this_thread::sleep_for(10ms);
    // Running from here on: a second start must not launch a second worker
    // before this one has marked itself.
    currentlyStreaming_ = 1;
    worker_ = std::thread([this] { updateImageWorker(); });
}

void VoCameraController::stopStreaming() {
    if (currentlyStreaming_) {
        continueStreaming_ = 0;
        VoCamera *camera = VoCamera::instance();
        const auto deadline = std::chrono::steady_clock::now() + kWorkerGrace;
        while (currentlyStreaming_ && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        // Still waiting for a frame that does not come: ending the stream
        // releases the wait.
        if (currentlyStreaming_ && camera != nullptr) {
            ++streamInterruptions_;
            camera->interruptStreaming();
        }
    }
    if (worker_.joinable()) worker_.join();
    if (VoCamera *camera = VoCamera::instance()) camera->stopStreaming();
}

void VoCameraController::closeSocket() {
    if (serverPort_ == 0) return;
    if (auto socket = VoCameraSocket::initWithPort(serverPort_)) socket->sendData("@Quit\n", 6);
}

void VoCameraController::sendStill(const VoBitmapImage &image) {
    auto socket = VoCameraSocket::initWithPort(serverPort_);
    if (!socket) return;
    char header[1024];
    const int n = std::snprintf(header, sizeof header, "@Image width=%.0f height=%.0f type=BMP\n",
                                image.size().width(), image.size().height());
    if (!socket->sendData(header, static_cast<std::size_t>(n))) return;
    // The message holds rows of 3 x width bytes, without the pad a grey
    // picture's rows carry in the buffer.
    const auto row = static_cast<std::size_t>(image.size().width()) * 3;
    const auto rows = static_cast<std::size_t>(image.size().height());
    const auto stride = static_cast<std::size_t>(image.stride());
    if (stride == row) {
        socket->sendData(image.buffer(), row * rows);
        return;
    }
    for (std::size_t y = 0; y < rows; ++y)
        if (!socket->sendData(image.buffer() + y * stride, row)) return;
}

void VoCameraController::updateImageWorker() {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) {
        logLine("error: unable to create camera object");
        currentlyStreaming_ = 0;
        return;
    }
    const QSizeF size = camera->size();
    std::array<std::unique_ptr<VoBitmapImage>, 3> buffers;
    for (auto &b : buffers) b = std::make_unique<VoBitmapImage>(size);
    VoBitmapImage *current = buffers[0].get();
    current->lockImage();
    ImageViewer *live = ui_->videoViewer;
    ImageViewer *still = stillUi_->imageViewer;
    bool lost = false;

    while (continueStreaming_) {
        int index;
        const std::uint8_t *raw;
        try {
            const std::optional<int> next = camera->waitForImage(kWaitSliceMs);
            if (!next) continue;
            index = *next;
            raw = camera->getImage(index);
        } catch (const CaptureException &) {
            logLine("error: exception when starting or waiting or getting image");
            lost = continueStreaming_ != 0;
            break;
        }
        const std::int64_t arrival = steadyNowNs();
        ++delivered_;
        if (raw != nullptr) current->setStride(camera->convertRawImage(raw, current->buffer()));
        // Taken now, while the raw frame is still held: a still from a camera
        // with 16-bit samples keeps them for saving.
        const bool stillWanted = stillImageRequested_.exchange(0) != 0;
        if (stillWanted && serverPort_ == 0 && raw != nullptr)
            camera->convertRawImageDeep(raw, camera->format(), current->deep());

        int m;
        {
            std::lock_guard lock(lock_);
            m = whitebalanceRequested_;
        }
        if (m != 0) {
            if (m != 1 && m % 3 == 0 && raw != nullptr) {
                logLine("do auto whitebalance [index=%d, wb=%d]", index, m);
                camera->updateWhitebalance(raw);
            }
            {
                std::lock_guard lock(lock_);
                --whitebalanceRequested_;
            }
            if (m == 1)
                QMetaObject::invokeMethod(
                    this, [this] { restoreColorControls(); }, Qt::QueuedConnection);
        }

        try {
            camera->releaseImage(index);
        } catch (const CaptureException &) {
            lost = continueStreaming_ != 0;
            break;
        }
        live->setImage(current, arrival, ++frameNumber_);
        QMetaObject::invokeMethod(live, &ImageViewer::updateImageWindow, Qt::QueuedConnection);
        if (stillWanted) {
            if (serverPort_ != 0) {
                sendStill(*current);
            } else {
                still->setImage(current);
                QMetaObject::invokeMethod(still, &ImageViewer::updateImageWindow,
                                          Qt::QueuedConnection);
            }
        }
        current->releaseImage();
        current = nullptr;
        while (continueStreaming_ && current == nullptr) {
            for (auto &b : buffers)
                if (b->available()) {
                    current = b.get();
                    current->lockImage();
                    break;
                }
            if (current == nullptr) std::this_thread::sleep_for(100us);
        }
    }

    if (current != nullptr) current->releaseImage();
    live->releaseImage();
    still->releaseImage();
    buffers = {};
    cameraGone_ = lost;
    if (lost)
        QMetaObject::invokeMethod(
            this, [this] { showCameraGone(); }, Qt::QueuedConnection);
    currentlyStreaming_ = 0;
}

void VoCameraController::restoreColorControls() {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) return;
    auto &u = *ui_;
    setSliderQuietly(u.gainRedSlider, percentageOf(camera->total_gain_red()));
    setSliderQuietly(u.gainGreenSlider, percentageOf(camera->total_gain_green()));
    setSliderQuietly(u.gainBlueSlider, percentageOf(camera->total_gain_blue()));
    updateGainRed(u.gainRedSlider->value());
    updateGainGreen(u.gainGreenSlider->value());
    updateGainBlue(u.gainBlueSlider->value());
    u.gainRedSlider->setEnabled(true);
    u.gainGreenSlider->setEnabled(true);
    u.gainBlueSlider->setEnabled(true);
    u.singleShotWhitebalance->setEnabled(true);
}

void VoCameraController::showCameraGone() {
    logLine("error: the camera is gone");
    ui_->videoViewer->setMessage(tr("The camera is gone"));
    ui_->statusBar->showMessage(tr("The camera is gone"));
    statusTimer_.stop();
}

void VoCameraController::updateStatus() {
    const double seconds = statusClock_.restart() / 1000.0;
    const std::uint64_t delivered = delivered_, displayed = framesDisplayed();
    if (seconds <= 0) return;
    const double deliveredFps = double(delivered - lastDelivered_) / seconds;
    const double displayedFps = double(displayed - lastDisplayed_) / seconds;
    lastDelivered_ = delivered;
    lastDisplayed_ = displayed;
    ui_->statusBar->showMessage(QString::asprintf(
        "%.1f fps delivered, %.1f fps displayed, %llu skipped", deliveredFps, displayedFps,
        static_cast<unsigned long long>(delivered - std::min(delivered, displayed))));
}

}  // namespace vocapture
