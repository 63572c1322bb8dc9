#include "VoCameraController.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QInputDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QStringList>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "FrameQueue.h"
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
// How often the bus is looked at while there is no live camera.
constexpr int kProbeMs = 2000;
// A white-balance outcome: a step threw (the gains could not be read back).
constexpr int kStepThrew = -1000;
// The histogram counts every second pixel of every second row, and it and
// the focus score are taken ten times a second: enough to follow a hand on
// the focus ring, at a fraction of the cost of every frame.
constexpr int kHistogramStep = 2;
constexpr std::int64_t kAnalysisIntervalNs = 100'000'000;
// Exposures from a second on show their progress.
constexpr double kProgressFromMs = 1000;

QString fmt(const char *format, double v) {
    return QString::asprintf(format, v);
}

// Half of a size, truncated, on a 16-pixel grid.
double halvedOnGrid(double v) {
    return static_cast<double>(static_cast<int>(v / 2) & ~0xF);
}

constexpr std::array<std::pair<const char *, int>, 3> kEncodings{
    {{"Fast", 1}, {"Good", 2}, {"Best", 3}}};
constexpr std::array<std::pair<const char *, int>, 6> kLightSources{{{"None", 14},
                                                                     {"Fluorescent", 1},
                                                                     {"Daylight", 2},
                                                                     {"Incandescent", 3},
                                                                     {"Xenon Flash", 4},
                                                                     {"Halogen", 5}}};

template <std::size_t N>
const char *nameOf(const std::array<std::pair<const char *, int>, N> &table, int id) {
    for (const auto &[name, value] : table)
        if (value == id) return name;
    return nullptr;
}

void setSliderQuietly(QSlider *slider, double percent) {
    const QSignalBlocker block(slider);
    slider->setValue(static_cast<int>(std::lround(percent)));
}

// Where the exposure slider stands: longer exposures than it reaches put it at its end.
double exposureSliderPercent(property exposure) {
    exposure.max_value = exposureSliderLongest(exposure);
    return std::min(100.0, percentageOf(exposure));
}

// "12.5 s" below a minute, "4:05" (minutes and seconds) from there on.
QString duration(double seconds) {
    if (seconds < 60) return QString::asprintf("%.1f s", seconds);
    const auto whole = static_cast<long long>(seconds);
    return QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
}

}  // namespace

QRect mirroredRegion(QRect region, QSize frame, bool flipX, bool flipY) {
    if (region.isEmpty()) return region;
    if (flipX) region.moveLeft(frame.width() - region.x() - region.width());
    if (flipY) region.moveTop(frame.height() - region.y() - region.height());
    return region;
}

// The writer is closed after the queue that feeds it has written its last frame.
struct VoCameraController::Recording {
    Recording(const QString &file, const _VOCAM_IMAGE_FORMAT &format, const std::string &instrument,
              std::function<void()> onFailure)
        : path(file),
          frameBytes(format.ImageSize),
          writer(file.toStdString(), format, instrument),
          queue(
              format.ImageSize, FrameQueue::slotsFor(format.ImageSize),
              [this](const std::uint8_t *frame, std::int64_t start) {
                  return writer.add(frame, start);
              },
              std::move(onFailure)) {}

    const QString path;
    const std::size_t frameBytes;
    vocam::cli::SerWriter writer;
    FrameQueue queue;
    std::uint64_t lastSequence = 0;  // the image worker's alone
};

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
    connect(u.exposureEntry, &QDoubleSpinBox::valueChanged, this,
            &VoCameraController::updateExposureMs);
    connect(u.grabStill, &QPushButton::clicked, this, &VoCameraController::grabStillImage);
    connect(u.record, &QPushButton::clicked, this, &VoCameraController::toggleRecording);
    connect(u.actionGrabStill, &QAction::triggered, this, &VoCameraController::grabStillImage);
    connect(u.openSettings, &QPushButton::clicked, this, &VoCameraController::openCameraSettings);
    connect(u.actionSettings, &QAction::triggered, this, &VoCameraController::openCameraSettings);
    connect(u.actionQuit, &QAction::triggered, window_.get(), &QWidget::close);
    connect(u.rescan, &QPushButton::clicked, this, &VoCameraController::rescan);
    connect(u.actionRescan, &QAction::triggered, this, &VoCameraController::rescan);
    connect(u.actionSaveProfile, &QAction::triggered, this,
            &VoCameraController::saveProfileInteractively);
    connect(u.actionLoadProfile, &QAction::triggered, this,
            &VoCameraController::loadProfileInteractively);
    connect(u.wholeFrame, &QPushButton::clicked, this, [this] { setWhitebalanceRegion({}); });
    connect(u.videoViewer, &ImageViewer::regionSelected, this,
            &VoCameraController::setWhitebalanceRegion);
    connect(u.videoViewer, &ImageViewer::shownRegionChanged, this,
            &VoCameraController::updateFocusRegion);
    connect(u.zoom, &QComboBox::currentIndexChanged, this,
            [this](int index) { setZoomFit(index == 1); });
    connect(u.actionZoomActual, &QAction::triggered, this, [this] { setZoomFit(false); });
    connect(u.actionZoomFit, &QAction::triggered, this, [this] { setZoomFit(true); });
    connect(u.logScale, &QCheckBox::toggled, u.histogram, &HistogramView::setLogScale);
    connect(u.resetFocus, &QPushButton::clicked, this, &VoCameraController::resetBestFocus);
    connect(u.analysisGroup, &QGroupBox::toggled, this, [this](bool on) {
        analysisOn_ = on;
        ui_->histogram->setHistogram({});
        ui_->focusText->setText(tr("Focus: -"));
    });
    u.videoViewer->setSelectable(true);
    u.wholeFrame->setEnabled(false);
    rateText_ = new QLabel(window_.get());
    temperatureText_ = new QLabel(window_.get());
    u.statusBar->addPermanentWidget(temperatureText_);
    u.statusBar->addPermanentWidget(rateText_);
    rateText_->hide();
    temperatureText_->hide();
    auto &s = *settingsUi_;
    connect(s.gammaSlider, &QSlider::valueChanged, this, &VoCameraController::updateGamma);
    connect(s.contrastSlider, &QSlider::valueChanged, this, &VoCameraController::updateContrast);
    connect(s.brightnessSlider, &QSlider::valueChanged, this,
            &VoCameraController::updateBrightness);
    connect(s.saturationSlider, &QSlider::valueChanged, this,
            &VoCameraController::updateSaturation);
    connect(s.hueSlider, &QSlider::valueChanged, this, &VoCameraController::updateHue);
    connect(s.cooling, &QCheckBox::toggled, this, &VoCameraController::updateCooling);
    connect(s.coolingSetpoint, &QDoubleSpinBox::valueChanged, this,
            &VoCameraController::updateCoolingSetpoint);
    connect(s.conversionThreads, &QSpinBox::valueChanged, this,
            &VoCameraController::updateConversionThreads);
    connect(stillUi_->actionSave, &QAction::triggered, this, &VoCameraController::saveStillImage);
    connect(stillUi_->actionClose, &QAction::triggered, stillWindow_.get(), &QWidget::close);

    connect(&statusTimer_, &QTimer::timeout, this, &VoCameraController::updateStatus);
    connect(&progressTimer_, &QTimer::timeout, this, &VoCameraController::showProgress);
    connect(&probeTimer_, &QTimer::timeout, this, &VoCameraController::probeBus);
    u.exposureProgress->hide();
    u.recordText->hide();
}

VoCameraController::~VoCameraController() {
    stopRecording(tr("the application closed"));
    endWorker();
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
    // A camera that left answers nothing: its controls are off until a rescan.
    if (camera == nullptr || state_ == CameraState::Gone) return;
    try {
        action(*camera);
    } catch (const CaptureException &e) {
        logLine("error: %s: %s", e.name().c_str(), e.reason());
    }
}

void VoCameraController::awakeFromNib(int serverPort) {
    stillWindow_->hide();
    serverPort_ = serverPort;
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) {
        logLine("error: VoCamera instance is NULL!");
        switch (VoCamera::lastOpen()) {
            case OpenResult::InUse:
                enterState(CameraState::InUse);
                break;
            case OpenResult::Failed:
                enterState(CameraState::Failed);
                break;
            default:
                enterState(CameraState::NoCamera);
        }
        return;
    }
    setUpCamera(*camera);
}

QString VoCameraController::stateText(CameraState state) {
    switch (state) {
        case CameraState::NoCamera:
            return tr("No camera found");
        case CameraState::InUse:
            return tr("The camera is in use by another program");
        case CameraState::Failed:
            return tr("The camera could not be opened");
        case CameraState::Gone:
            return tr("The camera is gone");
        case CameraState::Live:
            break;
    }
    return {};
}

void VoCameraController::enterState(CameraState state) {
    state_ = state;
    const bool live = state == CameraState::Live;
    auto &u = *ui_;
    for (QWidget *w : std::initializer_list<QWidget *>{
             u.exposureGroup, u.imageGroup, u.whitebalanceRegionText, u.grabStill, u.record,
             u.openSettings, u.analysisGroup, settingsUi_->toneGroup, settingsUi_->coolingGroup})
        w->setEnabled(live);
    VoCamera *camera = VoCamera::instance();
    u.singleShotWhitebalance->setEnabled(live && camera != nullptr && camera->isColor());
    for (QAction *a : {u.actionGrabStill, u.actionSettings, u.actionSaveProfile,
                       u.actionLoadProfile, u.actionZoomActual, u.actionZoomFit})
        a->setEnabled(live);
    u.wholeFrame->setEnabled(live && !whitebalanceRegion().isEmpty());
    u.rescan->setVisible(!live);
    u.actionRescan->setEnabled(!live);
    rateText_->setVisible(live);
    if (live) {
        u.videoViewer->setMessage({});
        u.statusBar->clearMessage();
        statusClock_.start();
        lastDelivered_ = delivered_;
        lastDisplayed_ = framesDisplayed();
        statusTimer_.start(1000);
        progressTimer_.start(250);
        probeTimer_.stop();
        return;
    }
    {
        // A countdown that lost its camera leaves nothing disabled behind.
        std::lock_guard lock(lock_);
        whitebalanceRequested_ = 0;
    }
    statusTimer_.stop();
    progressTimer_.stop();
    u.exposureProgress->hide();
    temperatureText_->hide();
    u.histogram->setHistogram({});
    u.focusText->setText(tr("Focus: -"));
    const QString text = stateText(state);
    u.videoViewer->setMessage(
        text + "\n" +
        tr("Rescan looks again; a camera that becomes free or is plugged in is "
           "opened by itself."));
    u.statusBar->showMessage(text);
    if (state != CameraState::Gone) window_->setWindowTitle(tr("VoCam Capture"));
    // A camera that failed is not tried again unasked: it would fail again.
    if (state == CameraState::Failed)
        probeTimer_.stop();
    else
        probeTimer_.start(kProbeMs);
}

void VoCameraController::setUpCamera(VoCamera &camera) {
    auto &u = *ui_;
    auto &s = *settingsUi_;
    try {
        const bool colour = camera.isColor();
        for (QSlider *slider : {u.gainRedSlider, u.gainGreenSlider, u.gainBlueSlider})
            slider->setEnabled(colour);
        {
            std::lock_guard lock(lock_);
            whitebalanceRegion_ = {};
        }
        u.videoViewer->setMarkedRegion({});
        u.whitebalanceRegionText->setText(
            tr("Region: whole frame (drag on the picture to choose)"));
        u.whitebalanceRegionText->setVisible(colour);
        u.wholeFrame->setVisible(colour);

        for (QComboBox *combo : {u.encoding, u.lightsource}) {
            const QSignalBlocker block(combo);
            combo->clear();
        }
        for (const auto &[name, id] : kEncodings) u.encoding->addItem(name);
        u.encoding->setCurrentText(nameOf(kEncodings, camera.encoding()));
        for (const auto &[name, id] : kLightSources) u.lightsource->addItem(name);
        u.lightsource->setCurrentText(nameOf(kLightSources, camera.light_source()));
        buildGeometryList(camera);

        cooled_ = camera.isTemperatureSupported();
        s.cooling->setEnabled(cooled_);
        s.coolingSetpoint->setEnabled(cooled_);
        {
            const vocapture::property t = camera.temperature();
            const QSignalBlocker block(s.coolingSetpoint);
            s.coolingSetpoint->setRange(t.min_value, std::max(t.min_value, t.max_value));
            s.coolingSetpoint->setValue(camera.coolingSetpoint());
        }
        {
            // The entry reaches the camera's whole range; the slider the part
            // of it ordinary work needs.
            const vocapture::property e = camera.exposure();
            const QSignalBlocker block(u.exposureEntry);
            u.exposureEntry->setRange(e.min_value, std::max(e.min_value, e.max_value));
        }
        showCameraValues(camera);

        s.model_name->setText(
            QString::asprintf("Camera Model Name: %s", camera.model_name().c_str()));
        s.serial_number->setText(
            QString::asprintf("Serial Number: %08d", static_cast<int>(camera.serial_number())));
        const std::uint32_t fw = camera.firmware_version() & 0xFFFF,
                            fpga = camera.fpga_version() & 0xFFFF;
        s.firmware_version->setText(
            QString::asprintf("Camera Firmware Version: %d.%02d", fw >> 8, fw & 0xFF));
        s.fpga_version->setText(
            QString::asprintf("Camera FPGA Version: %d.%02d", fpga >> 8, fpga & 0xFF));
        // The serial as the vocam command shows it.
        window_->setWindowTitle(QString::asprintf(
            "%s (serial %u) - VoCam Capture", camera.model_name().c_str(), camera.serial_number()));
    } catch (const CaptureException &e) {
        logLine("error: %s: %s", e.name().c_str(), e.reason());
    }
    resetBestFocus();
    enterState(CameraState::Live);
    showTemperature(camera);
    continueStreaming_ = 0;
    currentlyStreaming_ = 0;
    startStreaming();
}

void VoCameraController::buildGeometryList(VoCamera &camera) {
    auto &u = *ui_;
    const QSignalBlocker block(u.geometry);
    u.geometry->clear();
    // The full sensor stands first, then the standard sizes it can hold,
    // each preceded by the subsampled size that falls between it and the
    // larger one before it, as far as the camera subsamples.
    const QSizeF maximum = camera.maximum_size();
    u.geometry->addItem(QString::asprintf("%.0f x %.0f", maximum.width(), maximum.height()));
    double w2 = halvedOnGrid(maximum.width()), h2 = halvedOnGrid(maximum.height());
    int f = 2;
    const int largestFactor = camera.supportsSubsampling() ? camera.maximum_subsampling() : 1;
    for (std::size_t i = 0; i < kStandardGeometries.size(); ++i) {
        const Geometry g = kStandardGeometries[i];
        if (maximum.width() < g.width || maximum.height() < g.height) {
            logLine("skipping resolution %.0f x %.0f", g.width, g.height);
            continue;
        }
        if (maximum.width() == g.width && maximum.height() == g.height) continue;
        if (i > 0 && f <= 4 && f <= largestFactor && w2 < kStandardGeometries[i - 1].width &&
            w2 >= g.width) {
            u.geometry->addItem(QString::asprintf("%.0f x %.0f (subsampled by %d)", w2, h2, f));
            w2 = halvedOnGrid(w2);
            h2 = halvedOnGrid(h2);
            f *= 2;
        }
        u.geometry->addItem(QString::asprintf("%.0f x %.0f", g.width, g.height));
    }
    // A window the camera was left in stays as it is, named until another is chosen.
    const QSizeF size = camera.size();
    const QPointF at = camera.location();
    const int factor = camera.subsampling();
    if (size == maximum && factor == 1 && at == QPointF(0, 0)) {
        u.geometry->setCurrentIndex(0);
        u.geometry->setPlaceholderText({});
    } else {
        QString window = QString::asprintf("%.0f x %.0f at %.0f, %.0f", size.width(), size.height(),
                                           at.x(), at.y());
        if (factor > 1) window += QString::asprintf(" (subsampled by %d)", factor);
        u.geometry->setPlaceholderText(window);
        u.geometry->setCurrentIndex(-1);
    }
}

void VoCameraController::showCameraValues(VoCamera &camera) {
    auto &u = *ui_;
    auto &s = *settingsUi_;
    setSliderQuietly(u.gainSlider, percentageOf(camera.total_gain()));
    u.gainText->setText(fmt("%.2f", camera.total_gain().value));
    if (camera.isColor()) {
        setSliderQuietly(u.gainRedSlider, percentageOf(camera.total_gain_red()));
        setSliderQuietly(u.gainGreenSlider, percentageOf(camera.total_gain_green()));
        setSliderQuietly(u.gainBlueSlider, percentageOf(camera.total_gain_blue()));
        u.gainRedText->setText(fmt("%.2f", camera.total_gain_red().value));
        u.gainGreenText->setText(fmt("%.2f", camera.total_gain_green().value));
        u.gainBlueText->setText(fmt("%.2f", camera.total_gain_blue().value));
    }
    setSliderQuietly(s.gammaSlider, percentageOf(camera.gamma()));
    setSliderQuietly(s.contrastSlider, percentageOf(camera.contrast()));
    setSliderQuietly(s.brightnessSlider, percentageOf(camera.brightness()));
    setSliderQuietly(s.saturationSlider, percentageOf(camera.saturation()));
    setSliderQuietly(s.hueSlider, percentageOf(camera.hue()));
    s.gammaText->setText(fmt("%.1f", camera.gamma().value));
    s.contrastText->setText(fmt("%.1f", camera.contrast().value));
    s.brightnessText->setText(fmt("%.1f", camera.brightness().value));
    s.saturationText->setText(fmt("%.1f", camera.saturation().value));
    s.hueText->setText(fmt("%.1f", camera.hue().value));

    showExposure(camera);
    const bool autoOn = camera.auto_exposure();
    u.exposureSlider->setEnabled(!autoOn);
    u.exposureEntry->setEnabled(!autoOn);
    u.targetSlider->setEnabled(autoOn);
    setSliderQuietly(u.targetSlider, camera.auto_exposure_target());
    u.targetText->setText(QString::asprintf("%d", camera.auto_exposure_target()));
    const auto check = [](QCheckBox *box, bool on) {
        const QSignalBlocker block(box);
        box->setChecked(on);
    };
    check(u.autoExposure, autoOn);
    check(u.xMirror, camera.x_mirror());
    check(u.yMirror, camera.y_mirror());
    check(s.cooling, cooled_ && camera.coolingOn());
}

void VoCameraController::showExposure(VoCamera &camera) {
    const vocapture::property e = camera.exposure();
    setSliderQuietly(ui_->exposureSlider, exposureSliderPercent(e));
    const QSignalBlocker block(ui_->exposureEntry);
    ui_->exposureEntry->setValue(e.value);
}

void VoCameraController::showTemperature(VoCamera &camera) {
    if (!cooled_) {
        temperatureText_->hide();
        settingsUi_->temperatureText->setText(tr("Sensor: no cooler"));
        return;
    }
    const std::optional<float> t = camera.readTemperature();
    QString text = t ? QString::asprintf("Sensor %.1f °C", *t) : tr("Sensor: no reading");
    // A cooler found running has a target this program never learnt.
    if (camera.coolingOn())
        text += camera.coolingSetpointSent()
                    ? QString::asprintf(", cooling to %.1f °C", camera.coolingSetpoint())
                    : tr(", cooling");
    temperatureText_->setText(text);
    temperatureText_->show();
    settingsUi_->temperatureText->setText(text);
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
        const QSignalBlocker block(ui_->exposureEntry);
        ui_->exposureEntry->setValue(c.exposure().value);
    });
}

void VoCameraController::updateExposureMs(double ms) {
    guarded([&](VoCamera &c) {
        c.setExposureMs(ms);
        showExposure(c);
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
    showMirroredRegions();
}

void VoCameraController::updateYMirror(bool on) {
    guarded([&](VoCamera &c) { c.setYMirror(on); });
    showMirroredRegions();
}

void VoCameraController::showMirroredRegions() {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) return;
    // Both regions stay where they were on the sensor: the picture moves over them.
    ui_->videoViewer->setMarkedRegion(mirroredRegion(whitebalanceRegion(), camera->size().toSize(),
                                                     camera->x_mirror(), camera->y_mirror()));
    updateFocusRegion();
}

void VoCameraController::updateCooling(bool on) {
    guarded([&](VoCamera &c) {
        c.setTemperatureEnable(on);
        showTemperature(c);
    });
}

void VoCameraController::updateCoolingSetpoint(double celsius) {
    guarded([&](VoCamera &c) {
        c.setCoolingSetpoint(static_cast<float>(celsius));
        showTemperature(c);
    });
}

void VoCameraController::updateAutoexposureEnable(bool on) {
    guarded([&](VoCamera &c) {
        // Switching off sends the exposure kept before, exactly as it was.
        c.updateAutoexposure(on);
        ui_->exposureSlider->setEnabled(!on);
        ui_->exposureEntry->setEnabled(!on);
        ui_->targetSlider->setEnabled(on);
        if (!on) showExposure(c);
    });
}

void VoCameraController::updateEncoding(const QString &text) {
    guarded([&](VoCamera &c) {
        int method = 0;
        for (const auto &[name, id] : kEncodings)
            if (text == name) method = id;
        if (method == 0)
            logLine("error: attempting to set invalid encoding type '%s'", qPrintable(text));
        else
            c.setEncoding(method);
        logLine("set encoding to %s [%d]", qPrintable(text), method);
    });
}

void VoCameraController::updateLightSource(const QString &text) {
    guarded([&](VoCamera &c) {
        int matrix = 0;
        for (const auto &[name, id] : kLightSources)
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
            if (factor < 1 || factor > c.maximum_subsampling()) {
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
        // A recording holds frames of one size.
        stopRecording(tr("the geometry changed"));
        const bool wasRunning = currentlyStreaming_ != 0;
        if (wasRunning) stopStreaming();
        std::this_thread::sleep_for(100ms);
        try {
            c.setSize(QSizeF(width, height), QPointF(x, y), factor);
            ui_->geometry->setPlaceholderText({});
        } catch (const CaptureException &e) {
            logLine("error: %s: %s", e.name().c_str(), e.reason());
        }
        // Regions of the old frame mean nothing in the new one.
        setWhitebalanceRegion({});
        resetBestFocus();
        std::this_thread::sleep_for(100ms);
        if (wasRunning) startStreaming();
    });
}

void VoCameraController::doSingleShotWhitebalance() {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr || state_ != CameraState::Live || !camera->isColor()) return;
    ui_->gainRedSlider->setEnabled(false);
    ui_->gainGreenSlider->setEnabled(false);
    ui_->gainBlueSlider->setEnabled(false);
    ui_->singleShotWhitebalance->setEnabled(false);
    std::lock_guard lock(lock_);
    if (whitebalanceRequested_ == 0) {
        whitebalanceRequested_ = 9;
        whitebalanceOutcome_ = 1;
    }
}

void VoCameraController::grabStillImage() {
    if (VoCamera::instance() == nullptr || state_ != CameraState::Live) return;
    stillImageRequested_ = 1;
    if (serverPort_ == 0 && !stillWindow_->isVisible()) {
        stillWindow_->setAttribute(Qt::WA_ShowWithoutActivating);
        stillWindow_->show();
        stillWindow_->raise();
    }
}

void VoCameraController::openCameraSettings() {
    if (VoCamera::instance() == nullptr || state_ != CameraState::Live) return;
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
    const QString png = tr("PNG images (*.png)"), tiff = tr("TIFF images (*.tif *.tiff)"),
                  fits = tr("FITS images, the raw frame (*.fits *.fit *.fts)");
    QString filter = png;
    QString path =
        QFileDialog::getSaveFileName(stillWindow_.get(), tr("Save Still Image"), "still.png",
                                     png + ";;" + tiff + ";;" + fits, &filter);
    if (path.isEmpty()) return;
    // A name typed without its kind takes the kind of the chosen filter.
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (!QStringList{"png", "tif", "tiff", "fits", "fit", "fts"}.contains(suffix))
        path += filter == tiff ? ".tif" : filter == fits ? ".fits" : ".png";
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

std::shared_ptr<VoCameraController::Recording> VoCameraController::currentRecording() const {
    std::lock_guard lock(recordingLock_);
    return recording_;
}

bool VoCameraController::recording() const {
    return currentRecording() != nullptr;
}

std::uint64_t VoCameraController::framesRecorded() const {
    const auto r = currentRecording();
    return r ? r->queue.written() : 0;
}

std::uint64_t VoCameraController::framesDropped() const {
    const auto r = currentRecording();
    return r ? r->queue.dropped() : 0;
}

bool VoCameraController::startRecording(const QString &path, QString *problem) {
    const auto refuse = [&](const QString &why) {
        if (problem != nullptr) *problem = why;
        return false;
    };
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr || state_ != CameraState::Live)
        return refuse(tr("There is no camera to record from."));
    if (recording()) return refuse(tr("A recording is already running."));
    QString file = path;
    if (QFileInfo(file).suffix().toLower() != "ser") file += ".ser";
    std::shared_ptr<Recording> recording;
    try {
        // A disk that fills up is seen on the writer's thread; the recording
        // ends on this one (unless it has ended meanwhile).
        recording =
            std::make_shared<Recording>(file, camera->format(), camera->model_name(), [this] {
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        if (const auto r = currentRecording(); r && r->queue.failed())
                            stopRecording();
                    },
                    Qt::QueuedConnection);
            });
    } catch (const std::exception &e) {
        logLine("error: unable to record to %s: %s", qPrintable(file), e.what());
        return refuse(QString::fromStdString(e.what()));
    }
    {
        std::lock_guard lock(recordingLock_);
        recording_ = recording;
    }
    logLine("recording to %s", qPrintable(file));
    ui_->record->setText(tr("Stop Re&cording"));
    showProgress();
    return true;
}

QString VoCameraController::stopRecording(const QString &why) {
    std::shared_ptr<Recording> r;
    {
        std::lock_guard lock(recordingLock_);
        r = std::move(recording_);
        recording_.reset();
    }
    if (!r) return {};
    r->queue.finish();
    r->writer.finish();
    const QString name = QFileInfo(r->path).fileName();
    const auto frames = static_cast<qulonglong>(r->writer.frames());
    const auto dropped = static_cast<qulonglong>(r->queue.dropped());
    QString text;
    if (const int error = r->writer.error(); error != 0 || !why.isEmpty()) {
        // A failed write is what ended it, whatever came after.
        const QString reason = error != 0
                                   ? tr("cannot write '%1': %2")
                                         .arg(name, QString::fromLocal8Bit(std::strerror(error)))
                                   : why;
        text = tr("Recording stopped: %1; %2 holds %3 frame(s) and their times, %4 dropped")
                   .arg(reason, name)
                   .arg(frames)
                   .arg(dropped);
        if (const auto gave = r->writer.droppedForTrailer(); gave != 0)
            text += tr(" (the last %1 made room for the times)").arg(static_cast<qulonglong>(gave));
    } else {
        text = tr("Recorded %1 frame(s) to %2, %3 dropped").arg(frames).arg(name).arg(dropped);
    }
    logLine("%s", qPrintable(text));
    ui_->record->setText(tr("Re&cord SER..."));
    ui_->recordText->setText(text);
    ui_->recordText->show();
    ui_->statusBar->showMessage(text, 15000);
    return text;
}

void VoCameraController::toggleRecording() {
    if (recording()) {
        stopRecording();
        return;
    }
    if (VoCamera::instance() == nullptr || state_ != CameraState::Live) return;
    QSettings settings;
    const QString folder = settings.value("recordingFolder", QDir::homePath()).toString();
    const QString suggested = QDir(folder).filePath(
        QDateTime::currentDateTime().toString("'capture-'yyyyMMdd-HHmmss'.ser'"));
    const QString path = QFileDialog::getSaveFileName(window_.get(), tr("Record SER"), suggested,
                                                      tr("SER recordings (*.ser)"));
    if (path.isEmpty()) return;
    settings.setValue("recordingFolder", QFileInfo(path).absolutePath());
    QString problem;
    if (!startRecording(path, &problem))
        QMessageBox::warning(window_.get(), tr("Record SER"), problem);
}

void VoCameraController::showProgress() {
    VoCamera *camera = VoCamera::instance();
    auto &u = *ui_;
    if (const auto r = currentRecording()) {
        u.recordText->show();
        u.recordText->setText(tr("Recording %1: %2 frame(s) written, %3 dropped")
                                  .arg(QFileInfo(r->path).fileName())
                                  .arg(static_cast<qulonglong>(r->queue.written()))
                                  .arg(static_cast<qulonglong>(r->queue.dropped())));
    }
    const double exposure = camera != nullptr ? camera->exposure().value / 1000.0 : 0;
    const bool show =
        state_ == CameraState::Live && currentlyStreaming_ && exposure * 1000 >= kProgressFromMs;
    u.exposureProgress->setVisible(show);
    if (!show) return;
    // The camera sends a frame when its exposure ends, so the time since the
    // last one is how far the next has got; beyond the exposure it is read out.
    const double elapsed = double(steadyNowNs() - lastFrameNs_.load()) / 1e9;
    u.exposureProgress->setValue(
        static_cast<int>(std::lround(1000 * std::min(1.0, elapsed / exposure))));
    u.exposureProgress->setFormat(
        elapsed < exposure ? tr("Exposing: %1 of %2").arg(duration(elapsed), duration(exposure))
                           : tr("Exposed %1: waiting for the frame (%2)")
                                 .arg(duration(exposure), duration(elapsed)));
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
    lastFrameNs_ = steadyNowNs();
    camera->startStreaming();
    std::this_thread::sleep_for(10ms);
    // Running from here on: a second start must not launch a second worker
    // before this one has marked itself.
    currentlyStreaming_ = 1;
    worker_ = std::thread([this] { updateImageWorker(); });
}

void VoCameraController::stopStreaming() {
    if (VoCamera::instance() == nullptr) {
        logLine("error: unable to create camera object");
        endWorker();
        return;
    }
    endWorker();
}

void VoCameraController::endWorker() {
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
    // The window's close and the application's end both come here; the
    // client hears it once.
    if (serverPort_ == 0 || quitSent_) return;
    quitSent_ = true;
    if (auto socket = VoCameraSocket::initWithPort(serverPort_)) socket->sendData("@Quit\n", 6);
}

bool VoCameraController::sendStill(const VoBitmapImage &image, std::string *problem) {
    auto socket = VoCameraSocket::initWithPort(serverPort_, problem);
    if (!socket) return false;
    char header[1024];
    const int n = std::snprintf(header, sizeof header, "@Image width=%.0f height=%.0f type=BMP\n",
                                image.size().width(), image.size().height());
    if (!socket->sendData(header, static_cast<std::size_t>(n), problem)) return false;
    // The message holds rows of 3 x width bytes, without the pad a grey
    // picture's rows carry in the buffer.
    const auto row = static_cast<std::size_t>(image.size().width()) * 3;
    const auto rows = static_cast<std::size_t>(image.size().height());
    const auto stride = static_cast<std::size_t>(image.stride());
    if (stride == row) return socket->sendData(image.buffer(), row * rows, problem);
    for (std::size_t y = 0; y < rows; ++y)
        if (!socket->sendData(image.buffer() + y * stride, row, problem)) return false;
    return true;
}

void VoCameraController::updateImageWorker() {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) {
        logLine("error: unable to create camera object");
        currentlyStreaming_ = 0;
        return;
    }
    const QSizeF size = camera->size();
    const std::size_t frameBytes = camera->format().ImageSize;
    const bool grey = !camera->isColor();
    std::array<std::unique_ptr<VoBitmapImage>, 3> buffers;
    for (auto &b : buffers) b = std::make_unique<VoBitmapImage>(size);
    VoBitmapImage *current = buffers[0].get();
    current->lockImage();
    ImageViewer *live = ui_->videoViewer;
    ImageViewer *still = stillUi_->imageViewer;
    bool lost = false;
    std::int64_t lastAnalysis = 0;

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
        lastFrameNs_ = arrival;
        ++delivered_;
        const vocam_frame_info info = camera->frameInfo(index);
        // The library's stamp, on the same clock, is nearer the frame's end.
        const std::int64_t stamp =
            info.timestamp_ns != 0 ? static_cast<std::int64_t>(info.timestamp_ns) : arrival;
        // Copied before the conversion, so that the recording misses no frame
        // the view would have shown.
        if (const auto r = currentRecording(); r && raw != nullptr && r->frameBytes == frameBytes) {
            if (r->lastSequence != 0 && info.sequence > r->lastSequence + 1)
                r->queue.countDropped(info.sequence - r->lastSequence - 1);
            if (info.sequence != 0) r->lastSequence = info.sequence;
            r->queue.offer(raw, vocam::cli::exposureStartUtc(static_cast<std::uint64_t>(stamp),
                                                             camera->exposure().value / 1000.0));
        }
        if (raw != nullptr) current->setStride(camera->convertRawImage(raw, current->buffer()));
        // Taken now, while the raw frame is still held: a still keeps its
        // frame as sent (for FITS), with the camera's settings, and from a
        // camera with 16-bit samples its deep picture (also one meant for a
        // client, which is kept should the client not take it).
        const bool stillWanted = stillImageRequested_.exchange(0) != 0;
        current->raw().reset();
        if (stillWanted && raw != nullptr) {
            const _VOCAM_IMAGE_FORMAT format = camera->format();
            camera->convertRawImageDeep(raw, format, current->deep());
            auto frame = std::make_shared<RawFrame>();
            frame->bytes.assign(raw, raw + format.ImageSize);
            frame->format = format;
            frame->facts = camera->captureFacts();
            frame->startUtcNs = vocam::cli::exposureStartUtc(static_cast<std::uint64_t>(stamp),
                                                             frame->facts.exposureSeconds);
            current->raw() = std::move(frame);
        }

        const bool analyse =
            analysisOn_ && raw != nullptr && arrival - lastAnalysis >= kAnalysisIntervalNs;
        if (analyse) lastAnalysis = arrival;
        double score = -1;
        int m;
        QRect balanceRegion, scoreRegion;
        std::uint64_t epoch;
        {
            // Before the region: a change of region bumps the epoch after it.
            std::lock_guard lock(analysisLock_);
            epoch = focusEpoch_;
        }
        {
            std::lock_guard lock(lock_);
            m = whitebalanceRequested_;
            balanceRegion = whitebalanceRegion_;
            scoreRegion = focusRegion_;
        }
        if (analyse && !scoreRegion.isEmpty()) score = camera->focusScore(raw, scoreRegion);
        if (m != 0) {
            if (m != 1 && m % 3 == 0 && raw != nullptr) {
                logLine("do auto whitebalance [index=%d, wb=%d]", index, m);
                int outcome;
                try {
                    outcome = camera->updateWhitebalance(raw, balanceRegion);
                } catch (const CaptureException &e) {
                    // A gain that cannot be read back (a failed transfer, a
                    // camera pulled out): the countdown goes on, and a camera
                    // that is gone shows at the next frame's wait.
                    logLine("error: %s: %s", e.name().c_str(), e.reason());
                    outcome = kStepThrew;
                }
                std::lock_guard lock(lock_);
                if (outcome < 0 && (whitebalanceOutcome_ >= 0 || outcome == kStepThrew))
                    whitebalanceOutcome_ = outcome;
            }
            {
                std::lock_guard lock(lock_);
                if (whitebalanceRequested_ > 0) --whitebalanceRequested_;
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
        if (analyse) {
            const QSize s = size.toSize();
            Histogram h = computeHistogram(current->buffer(), s.width(), s.height(),
                                           current->stride(), kHistogramStep, grey);
            {
                std::lock_guard lock(analysisLock_);
                histogram_ = std::move(h);
                if (epoch == focusEpoch_) {
                    focus_ = score;
                    if (score > bestFocus_) bestFocus_ = score;
                }
            }
            // One request at a time: the main thread shows the newest when it gets to it.
            if (!analysisPosted_.exchange(true))
                QMetaObject::invokeMethod(
                    this, [this] { showAnalysis(); }, Qt::QueuedConnection);
        }
        if (stillWanted) {
            std::string problem;
            if (serverPort_ == 0 || !sendStill(*current, &problem)) {
                still->setImage(current);
                QMetaObject::invokeMethod(still, &ImageViewer::updateImageWindow,
                                          Qt::QueuedConnection);
            }
            if (serverPort_ != 0 && !problem.empty())
                QMetaObject::invokeMethod(
                    this,
                    [this, text = QString::fromStdString(problem)] { showStillNotSent(text); },
                    Qt::QueuedConnection);
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
    if (camera == nullptr || state_ != CameraState::Live) return;
    // The sliders only show where the balance left the gains: sending their
    // rounded positions back would undo part of it.
    showCameraValues(*camera);
    auto &u = *ui_;
    u.gainRedSlider->setEnabled(true);
    u.gainGreenSlider->setEnabled(true);
    u.gainBlueSlider->setEnabled(true);
    u.singleShotWhitebalance->setEnabled(true);
    int outcome;
    {
        std::lock_guard lock(lock_);
        outcome = whitebalanceOutcome_;
    }
    QString text = tr("White balance done");
    if (outcome == kStepThrew)
        text = tr("White balance failed: the camera did not answer");
    else if (outcome == VOCAM_EEXPOSURE)
        text = tr("White balance failed: the region is too dark or too bright");
    else if (outcome < 0)
        text = tr("White balance failed: the region does not fit the frame");
    u.statusBar->showMessage(text, 10000);
}

void VoCameraController::showCameraGone() {
    logLine("error: the camera is gone");
    auto &u = *ui_;
    u.gainRedSlider->setEnabled(true);
    u.gainGreenSlider->setEnabled(true);
    u.gainBlueSlider->setEnabled(true);
    enterState(CameraState::Gone);
    stopRecording(tr("the camera is gone"));
}

void VoCameraController::showStillNotSent(const QString &problem) {
    const QString text =
        tr("The still image was not sent to port %1 (%2); it is kept here: File > Save keeps it.")
            .arg(serverPort_)
            .arg(problem);
    stillUi_->stillStatusBar->showMessage(text);
    ui_->statusBar->showMessage(tr("Still not sent to port %1 (%2): see the Still Image window")
                                    .arg(serverPort_)
                                    .arg(problem),
                                15000);
    if (!stillWindow_->isVisible()) {
        stillWindow_->setAttribute(Qt::WA_ShowWithoutActivating);
        stillWindow_->show();
        stillWindow_->raise();
    }
}

void VoCameraController::showAnalysis() {
    analysisPosted_ = false;
    if (!analysisOn_ || state_ != CameraState::Live) return;
    Histogram h;
    double score, best;
    {
        std::lock_guard lock(analysisLock_);
        h = histogram_;
        score = focus_;
        best = bestFocus_;
    }
    ui_->histogram->setHistogram(h);
    ui_->focusText->setText(score < 0 ? tr("Focus: -")
                                      : QString::asprintf("Focus: %.1f (best %.1f)", score, best));
}

double VoCameraController::focusScore() const {
    std::lock_guard lock(analysisLock_);
    return focus_;
}

double VoCameraController::bestFocusScore() const {
    std::lock_guard lock(analysisLock_);
    return bestFocus_;
}

void VoCameraController::resetBestFocus() {
    std::lock_guard lock(analysisLock_);
    focus_ = bestFocus_ = -1;
    ++focusEpoch_;
}

QRect VoCameraController::whitebalanceRegion() const {
    std::lock_guard lock(lock_);
    return whitebalanceRegion_;
}

QRect VoCameraController::focusRegion() const {
    std::lock_guard lock(lock_);
    return focusRegion_;
}

void VoCameraController::updateFocusRegion() {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr) return;
    const QSize frame = camera->size().toSize();
    const QRect shown = ui_->videoViewer->shownRegion();
    const QRect raw = mirroredRegion(shown, frame, camera->x_mirror(), camera->y_mirror());
    {
        std::lock_guard lock(lock_);
        if (raw == focusRegion_) return;
        focusRegion_ = raw;
    }
    // Scores of different parts of the picture do not compare.
    resetBestFocus();
}

void VoCameraController::setWhitebalanceRegion(QRect picture) {
    VoCamera *camera = VoCamera::instance();
    QRect raw;
    if (camera != nullptr && !picture.isEmpty()) {
        const QSize frame = camera->size().toSize();
        raw = mirroredRegion(picture.intersected(QRect(QPoint(0, 0), frame)), frame,
                             camera->x_mirror(), camera->y_mirror());
        // The colour mosaic repeats every two pixels: the region keeps whole cells.
        raw = QRect(raw.x() & ~1, raw.y() & ~1, raw.width() & ~1, raw.height() & ~1);
        if (raw.width() < 2 || raw.height() < 2) raw = {};
    }
    {
        std::lock_guard lock(lock_);
        whitebalanceRegion_ = raw;
    }
    auto &u = *ui_;
    if (raw.isEmpty()) {
        u.videoViewer->setMarkedRegion({});
        u.whitebalanceRegionText->setText(
            tr("Region: whole frame (drag on the picture to choose)"));
    } else {
        const QSize frame = camera->size().toSize();
        u.videoViewer->setMarkedRegion(
            mirroredRegion(raw, frame, camera->x_mirror(), camera->y_mirror()));
        u.whitebalanceRegionText->setText(tr("Region: %1 x %2 at %3, %4")
                                              .arg(raw.width())
                                              .arg(raw.height())
                                              .arg(raw.x())
                                              .arg(raw.y()));
    }
    u.wholeFrame->setEnabled(state_ == CameraState::Live && !raw.isEmpty());
}

void VoCameraController::setZoomFit(bool fit) {
    auto &u = *ui_;
    {
        const QSignalBlocker block(u.zoom);
        u.zoom->setCurrentIndex(fit ? 1 : 0);
    }
    u.videoViewer->setFit(fit);
    updateFocusRegion();
}

void VoCameraController::rescan() {
    if (state_ == CameraState::Live) return;
    endWorker();
    const OpenResult result = VoCamera::reopen();
    if (VoCamera *camera = VoCamera::instance()) {
        setUpCamera(*camera);
        return;
    }
    enterState(result == OpenResult::InUse    ? CameraState::InUse
               : result == OpenResult::Failed ? CameraState::Failed
                                              : CameraState::NoCamera);
}

void VoCameraController::probeBus() {
    if (state_ == CameraState::Live) return;
    const OpenResult seen = VoCamera::probe();
    if (seen == OpenResult::Opened) {
        rescan();
        return;
    }
    // The message follows the bus: a camera that appears held, or that goes.
    if (state_ == CameraState::NoCamera && seen == OpenResult::InUse)
        enterState(CameraState::InUse);
    else if (state_ == CameraState::InUse && seen == OpenResult::NoCamera)
        enterState(CameraState::NoCamera);
}

void VoCameraController::updateStatus() {
    if (state_ != CameraState::Live) return;
    if (VoCamera *camera = VoCamera::instance()) showTemperature(*camera);
    const double seconds = statusClock_.restart() / 1000.0;
    const std::uint64_t delivered = delivered_, displayed = framesDisplayed();
    if (seconds <= 0) return;
    const double deliveredFps = double(delivered - lastDelivered_) / seconds;
    const double displayedFps = double(displayed - lastDisplayed_) / seconds;
    lastDelivered_ = delivered;
    lastDisplayed_ = displayed;
    rateText_->setText(QString::asprintf(
        "%.1f fps delivered, %.1f fps displayed, %llu skipped", deliveredFps, displayedFps,
        static_cast<unsigned long long>(delivered - std::min(delivered, displayed))));
}

namespace {
const char *const kProfiles = "profiles";

bool validProfileName(const QString &name, QString *problem) {
    if (name.trimmed().isEmpty() || name.contains('/') || name.contains('\\')) {
        if (problem != nullptr)
            *problem =
                QObject::tr("'%1' cannot name a profile: give a name without / or \\").arg(name);
        return false;
    }
    return true;
}
}  // namespace

QStringList VoCameraController::profileNames() {
    QSettings settings;
    settings.beginGroup(kProfiles);
    return settings.childGroups();
}

bool VoCameraController::saveProfile(const QString &name, QString *problem) {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr || state_ != CameraState::Live) {
        if (problem != nullptr) *problem = tr("There is no camera to take the settings from.");
        return false;
    }
    if (!validProfileName(name, problem)) return false;
    std::vector<PropertySetting> values;
    try {
        values = camera->readSettings();
    } catch (const CaptureException &e) {
        if (problem != nullptr) *problem = tr("The camera did not answer: %1").arg(e.reason());
        return false;
    }
    QSettings settings;
    if (!settings.isWritable()) {
        if (problem != nullptr)
            *problem = tr("The settings file %1 cannot be written.").arg(settings.fileName());
        return false;
    }
    settings.beginGroup(kProfiles);
    settings.remove(name);
    settings.beginGroup(name);
    for (const PropertySetting &p : values) {
        settings.setValue(QString("property%1/value").arg(p.id), p.value);
        settings.setValue(QString("property%1/flags").arg(p.id), p.flags);
    }
    settings.setValue("encoding", camera->encoding());
    settings.setValue("lightSource", camera->light_source());
    if (ui_->geometry->currentIndex() >= 0)
        settings.setValue("geometry", ui_->geometry->currentText());
    if (cooled_) {
        settings.setValue("cooling", camera->coolingOn());
        settings.setValue("coolingSetpoint", camera->coolingSetpoint());
    }
    settings.endGroup();
    settings.endGroup();
    logLine("saved settings profile '%s'", qPrintable(name));
    return true;
}

bool VoCameraController::loadProfile(const QString &name, QString *problem) {
    VoCamera *camera = VoCamera::instance();
    if (camera == nullptr || state_ != CameraState::Live) {
        if (problem != nullptr) *problem = tr("There is no camera to give the settings to.");
        return false;
    }
    if (!validProfileName(name, problem)) return false;
    if (!profileNames().contains(name)) {
        if (problem != nullptr) *problem = tr("There is no profile named '%1'.").arg(name);
        return false;
    }
    QSettings settings;
    settings.beginGroup(kProfiles);
    settings.beginGroup(name);
    std::vector<PropertySetting> values;
    for (const QString &group : settings.childGroups()) {
        if (!group.startsWith("property")) continue;
        bool ok = false;
        const int id = group.mid(8).toInt(&ok);
        if (!ok) continue;
        values.push_back({id, settings.value(group + "/value").toInt(),
                          settings.value(group + "/flags").toUInt()});
    }
    const QString geometry = settings.value("geometry").toString();
    const char *encoding = nameOf(kEncodings, settings.value("encoding").toInt());
    const char *lightSource = nameOf(kLightSources, settings.value("lightSource").toInt());
    const bool hasCooling = settings.contains("cooling");
    const bool cooling = settings.value("cooling").toBool();
    const double setpoint = settings.value("coolingSetpoint").toDouble();
    settings.endGroup();
    settings.endGroup();

    auto &u = *ui_;
    if (!geometry.isEmpty() && u.geometry->findText(geometry) >= 0 &&
        (u.geometry->currentIndex() < 0 || u.geometry->currentText() != geometry)) {
        u.geometry->setCurrentText(geometry);
        updateGeometry(geometry);
    }
    bool all = true;
    try {
        all = camera->applySettings(values);
        if (hasCooling && cooled_) {
            camera->setCoolingSetpoint(static_cast<float>(setpoint));
            camera->setTemperatureEnable(cooling);
            const QSignalBlocker block(settingsUi_->coolingSetpoint);
            settingsUi_->coolingSetpoint->setValue(camera->coolingSetpoint());
        }
    } catch (const CaptureException &e) {
        logLine("error: %s: %s", e.name().c_str(), e.reason());
        all = false;
    }
    if (encoding != nullptr) {
        u.encoding->setCurrentText(encoding);
        updateEncoding(encoding);
    }
    if (lightSource != nullptr) {
        u.lightsource->setCurrentText(lightSource);
        updateLightSource(lightSource);
    }
    showCameraValues(*camera);
    showTemperature(*camera);
    if (!all) {
        if (problem != nullptr)
            *problem = tr("The camera refused part of the profile '%1' (see the log).").arg(name);
        return false;
    }
    logLine("loaded settings profile '%s'", qPrintable(name));
    return true;
}

void VoCameraController::saveProfileInteractively() {
    bool ok = false;
    const QString name =
        QInputDialog::getText(window_.get(), tr("Save Settings Profile"), tr("Profile name:"),
                              QLineEdit::Normal, QString(), &ok);
    if (!ok) return;
    QString problem;
    if (saveProfile(name, &problem))
        ui_->statusBar->showMessage(tr("Settings saved as '%1'").arg(name), 5000);
    else
        QMessageBox::warning(window_.get(), tr("Save Settings Profile"), problem);
}

void VoCameraController::loadProfileInteractively() {
    const QStringList names = profileNames();
    if (names.isEmpty()) {
        QMessageBox::information(window_.get(), tr("Load Settings Profile"),
                                 tr("No profile has been saved yet."));
        return;
    }
    bool ok = false;
    const QString name = QInputDialog::getItem(window_.get(), tr("Load Settings Profile"),
                                               tr("Profile:"), names, 0, false, &ok);
    if (!ok) return;
    QString problem;
    if (loadProfile(name, &problem))
        ui_->statusBar->showMessage(tr("Settings of '%1' loaded").arg(name), 5000);
    else
        QMessageBox::warning(window_.get(), tr("Load Settings Profile"), problem);
}

}  // namespace vocapture
