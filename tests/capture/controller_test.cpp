// The window controller and its image worker on simulated cameras, offscreen:
// the controls it fills, the geometry list and changes, the white-balance
// countdown, the frame socket, stills and recordings, and cameras that
// misbehave. The library's conversions and ranges, and what the picture and
// recording files hold, are the library's and the command-line tool's suites'.
#include <QApplication>
#include <QScrollArea>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>

#include "CaptureApplication.h"
#include "CaptureHarness.h"
#include "Histogram.h"
#include "ImageViewer.h"
#include "Log.h"
#include "Simulator/SimLens.h"
#include "VoBitmapImage.h"
#include "VoCameraController.h"
#include "tests/support/Pictures.h"
#include "ui_MainWindow.h"
#include "ui_SettingsPanel.h"
#include "ui_StillImageWindow.h"
#include "vo_cam/vo_cam.h"
#include "votf/votf.h"

using namespace vocapture;
using namespace vocapture::test;

namespace {

QStringList comboItems(const QComboBox *combo) {
    QStringList out;
    for (int i = 0; i < combo->count(); ++i) out << combo->itemText(i);
    return out;
}

QByteArray rowsOf(const QImage &image) {
    QByteArray out;
    for (int y = 0; y < image.height(); ++y)
        out.append(reinterpret_cast<const char *>(image.constScanLine(y)), image.width() * 3);
    return out;
}

bool framesFlow(VoCameraController &c, int frames = 3) {
    const auto start = c.framesDelivered();
    return QTest::qWaitFor([&] { return c.framesDelivered() >= start + frames; }, 10000);
}

bool shows(ImageViewer *view, QSize size) {
    return QTest::qWaitFor([&] { return view->snapshot().size() == size; }, 5000);
}

// Everything one connection to `server` brings, until its end.
QByteArray nextMessage(QTcpServer &server) {
    if (!server.waitForNewConnection(10000)) return {};
    std::unique_ptr<QTcpSocket> client(server.nextPendingConnection());
    QByteArray message;
    while (client->state() == QAbstractSocket::ConnectedState || client->bytesAvailable() > 0) {
        if (client->bytesAvailable() == 0 && !client->waitForReadyRead(5000)) break;
        message += client->readAll();
    }
    return message;
}

// Time of a call, in seconds: a bound against hangs, not a speed.
template <typename F>
double timed(F &&f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

class ControllerTest : public QObject {
    Q_OBJECT
    std::unique_ptr<VoCameraController> controller;
    std::atomic<int> whiteBalanceSteps{0};

    // The window, on whatever the bus holds.
    VoCameraController &open(int port = 0) {
        controller = std::make_unique<VoCameraController>();
        controller->awakeFromNib(port);
        controller->window()->show();
        return *controller;
    }
    VoCameraController &start(const std::string &description, int port = 0) {
        if (!bringUp(description)) throw std::runtime_error("no camera");
        return open(port);
    }
    // The same, once frames flow.
    VoCameraController &live(const std::string &description, int port = 0) {
        auto &c = start(description, port);
        if (!framesFlow(c)) throw std::runtime_error("no frames");
        return c;
    }

  private slots:
    // The user's own settings stay untouched.
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        setLogSink([this](const std::string &line) {
            if (line.starts_with("do auto whitebalance ")) ++whiteBalanceSteps;
        });
    }
    void cleanupTestCase() { setLogSink({}); }

    void cleanup() {
        if (controller) controller->stopStreaming();
        controller.reset();
        takeDown();
    }

    void theViewCentresSmallPicturesAndScrollsLargeOnes() {
        QScrollArea area;
        auto *view = new ImageViewer;
        area.setWidget(view);
        view->setScrollView(&area);
        area.resize(420, 320);
        area.show();
        const QSize visible = area.maximumViewportSize();
        VoBitmapImage large(QSizeF(640, 480)), small(QSizeF(200, 100));
        view->setImage(&large);
        QCOMPARE(view->updateFrameSize(), QRect(0, 0, 640, 480));
        view->setImage(&small);
        QCOMPARE(large.owners(), 0);
        QVERIFY(large.bmp().isNull());  // the wrapper goes with the last holder
        QCOMPARE(view->updateFrameSize(),
                 QRect((visible.width() - 200) / 2, (visible.height() - 100) / 2, 200, 100));
        small.buffer()[0] = 0x7F;  // drawn from the buffer, not a copy of it
        QCOMPARE(QColor(view->snapshot().pixel(0, 0)).red(), 0x7F);
        // Fitted, the large picture fills the visible area's width and keeps
        // its proportions (that it is shown whole is the focus region's case).
        view->setImage(&large);
        view->setFit(true);
        const QRect fitted = view->updateFrameSize();
        QCOMPARE(fitted.width(), visible.width());
        QVERIFY(std::abs(fitted.height() - visible.width() * 3 / 4) <= 1);
        QCOMPARE(fitted.top(), (visible.height() - fitted.height()) / 2);
        view->releaseImage();
        QVERIFY(view->snapshot().isNull());
        QCOMPARE(small.owners(), 0);
    }

    void geometryList_data() {
        QTest::addColumn<QString>("camera");
        QTest::addColumn<QStringList>("entries");
        const QStringList large{"1280 x 1024", "1280 x 720", "1024 x 768",
                                "800 x 600",   "720 x 480",  "640 x 512 (subsampled by 2)",
                                "640 x 480"};
        QTest::newRow("large") << "model_02:state=ready"
                               << large + QStringList{"320 x 256 (subsampled by 4)", "320 x 240"};
        QTest::newRow("small, no subsampling")
            << "model_01:state=ready" << QStringList{"640 x 480", "320 x 240"};
    }

    void geometryList() {
        QFETCH(QString, camera);
        QFETCH(QStringList, entries);
        auto &c = start(camera.toStdString());
        QCOMPARE(comboItems(c.ui().geometry), entries);
        QCOMPARE(c.ui().geometry->currentText(), entries.front());
        // Taken where offered, refused elsewhere.
        c.updateGeometry("320 x 256 (subsampled by 4)");
        QCOMPARE(VoCamera::instance()->size(),
                 entries.join(';').contains("by 4") ? QSizeF(320, 256) : QSizeF(640, 480));
    }

    void geometryChoicesRestartTheWorkerOnACentredWindow() {
        auto &c = live("model_02:state=ready");
        c.updateGeometry("640 x 480");
        VoCamera &cam = *VoCamera::instance();
        QCOMPARE(cam.location(), QPointF(320, 272));
        QVERIFY(shows(c.videoViewer(), QSize(640, 480)));
        // Many changes in a row, each restarting the worker.
        const QStringList choices = comboItems(c.ui().geometry);
        for (int i = 0; i < 50; ++i) {
            c.updateGeometry(choices[i % choices.size()]);
            QVERIFY(c.currentlyStreaming());
            QCoreApplication::processEvents();
        }
        QVERIFY(framesFlow(c));
        QCOMPARE(cam.size(), QSizeF(720, 480));  // the last choice, 49 % 8
    }

    void aWhiteBalanceThatFailsEndsItsCountdown_data() {
        QTest::addColumn<bool>("readsFail");
        QTest::addColumn<QString>("message");
        QTest::newRow("reads fail") << true << "White balance failed: the camera did not answer";
        // Too dark to balance: every step refuses, so whatever the gains are
        // afterwards, the restore of the controls made them.
        QTest::newRow("too dark") << false
                                  << "White balance failed: the region is too dark or too bright";
    }

    void aWhiteBalanceThatFailsEndsItsCountdown() {
        QFETCH(bool, readsFail);
        QFETCH(QString, message);
        QVERIFY(vocam::sim::Bus::instance().configure("model_02:state=ready"));
        if (!readsFail) device().setReg(vocam::sim::kRegExposure + 4, 10);
        device().setReg(vocam::sim::kRegGainBlue + 4, 6873);  // 1.678
        VoCamera::initialize(VOCAM_TEST_RESOURCES);
        auto &c = open();
        QVERIFY(framesFlow(c));
        if (readsFail) device().failControl(vocam::usbhost::kIOReturnNotResponding, 1 << 20);
        c.doSingleShotWhitebalance();
        QVERIFY(QTest::qWaitFor([&] { return c.ui().singleShotWhitebalance->isEnabled(); }, 10000));
        device().failControl(0, 0);
        QCOMPARE(c.ui().statusBar->currentMessage(), message);
        QCOMPARE(device().reg(vocam::sim::kRegGainBlue + 4), 6873u);
        QCOMPARE(c.ui().gainBlueText->text(), QString("1.68"));
        QVERIFY(framesFlow(c));
    }

    void aDraggedRegionIsTheOneBalancedInACountdown() {
        auto &c = live("model_02:state=ready:size=640x480");
        ImageViewer *view = c.videoViewer();
        QVERIFY(QTest::qWaitFor([&] { return view->image() != nullptr; }, 5000));
        // The grey left of the slanted edge, dragged in view coordinates.
        const QRect picture(41, 321, 150, 100);
        const QPoint origin = view->updateFrameSize().topLeft();
        QTest::mousePress(view, Qt::LeftButton, {}, origin + picture.topLeft());
        QTest::mouseMove(view, origin + picture.center());
        QTest::mouseRelease(view, Qt::LeftButton, {}, origin + picture.bottomRight());
        QCOMPARE(c.whitebalanceRegion(), QRect(40, 320, 150, 100));  // whole 2x2 cells
        c.ui().xMirror->setChecked(true);  // the region stays on the same part of the scene
        QCOMPARE(c.whitebalanceRegion(), QRect(40, 320, 150, 100));
        QCOMPARE(view->markedRegion(), QRect(640 - 190, 320, 150, 100));
        c.ui().xMirror->setChecked(false);

        // Three steps, counted down once, the controls off meanwhile.
        whiteBalanceSteps = 0;
        c.doSingleShotWhitebalance();
        QVERIFY(!c.ui().gainRedSlider->isEnabled() && !c.ui().singleShotWhitebalance->isEnabled());
        c.doSingleShotWhitebalance();  // a second press while counting down
        QVERIFY(QTest::qWaitFor([&] { return c.ui().singleShotWhitebalance->isEnabled(); }, 10000));
        QCOMPARE(whiteBalanceSteps.load(), 3);
        QCOMPARE(c.ui().statusBar->currentMessage(), QString("White balance done"));
        QVERIFY(framesFlow(c));
        double sums[3] = {};
        const QImage shown = view->snapshot();
        for (int y = 330; y < 410; ++y)
            for (int x = 50; x < 180; ++x) {
                const QRgb p = shown.pixel(x, y);
                sums[0] += qRed(p), sums[1] += qGreen(p), sums[2] += qBlue(p);
            }
        const double redGreen = sums[0] / sums[1], blueGreen = sums[2] / sums[1];
        QVERIFY2(std::abs(redGreen - 1) < 0.03 && std::abs(blueGreen - 1) < 0.03,
                 qPrintable(QString("red/green %1, blue/green %2").arg(redGreen).arg(blueGreen)));
        QTest::mouseClick(c.ui().wholeFrame, Qt::LeftButton);
        QVERIFY(c.whitebalanceRegion().isEmpty() && view->markedRegion().isEmpty());
    }

    // 646 grey pixels make rows of 1938 bytes, which the conversion pads to
    // 1940: the buffer must hold them and every reader skip the pad.
    void aStillGoesToTheFrameClientWithoutRowPadsAndQuitOnce() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        auto &c = live("model_02:state=ready:color=0:size=646x480", server.serverPort());
        QVERIFY(shows(c.videoViewer(), QSize(646, 480)));
        const QByteArray onScreen = rowsOf(c.videoViewer()->snapshot());
        // A monochrome camera has no colour controls.
        QVERIFY(!c.ui().gainRedSlider->isEnabled() && !c.ui().singleShotWhitebalance->isEnabled());
        c.grabStillImage();
        QVERIFY(!c.stillImageWindow()->isVisible());
        const QByteArray message = nextMessage(server);
        const QByteArray header("@Image width=646 height=480 type=BMP\n");
        QVERIFY(message.startsWith(header));
        // A whole converted frame: the same as a conversion of another frame
        // of the same scene (the simulated camera sends the same picture at
        // every frame number).
        c.stopStreaming();
        const QByteArray expected = ownFrame(1940);
        QCOMPARE(message.mid(header.size()), expected);
        QCOMPARE(onScreen, expected);
        c.window()->close();  // the window's close, then the application's end: one quit
        c.closeSocket();
        QCOMPARE(nextMessage(server), QByteArray("@Quit\n"));
        QVERIFY(!server.waitForNewConnection(300));
    }

    // Without a frame client the still window shows it at once (the FITS
    // still below); a frame client that does not listen leaves it there too.
    void aStillNobodyTakesIsKeptShownAndSaved() {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const int number = probe.serverPort();
        probe.close();
        auto &c = live("model_01:state=ready", number);
        QString problem;
        QVERIFY(!c.saveStillImageTo(QDir::temp().filePath("none.png"), &problem));
        QCOMPARE(problem, QString("there is no still image to save"));
        c.grabStillImage();
        QVERIFY(QTest::qWaitFor([&] { return c.stillImageWindow()->isVisible(); }, 5000));
        QVERIFY(shows(c.imageViewer(), QSize(640, 480)));
        QVERIFY(c.stillUi().stillStatusBar->currentMessage().contains(QString::number(number)));
        QVERIFY(c.ui().statusBar->currentMessage().startsWith("Still not sent to port"));
        // Saved as PNG or, 8 bits a sample, as a 24-bit TIFF; other names refused.
        const QImage shown = c.imageViewer()->snapshot();
        QTemporaryDir dir;
        QVERIFY(c.saveStillImageTo(dir.filePath("still.png")));
        QCOMPARE(rowsOf(QImage(dir.filePath("still.png")).convertToFormat(QImage::Format_RGB888)),
                 rowsOf(shown));
        QVERIFY(c.saveStillImageTo(dir.filePath("still.TIFF")));
        QCOMPARE(vocam::test::readTiff(dir.filePath("still.TIFF").toStdString()).bits, 8);
        QVERIFY(!c.saveStillImageTo(dir.filePath("still.bmp"), &problem));
        QVERIFY(problem.endsWith("the file name must end in .png, .tif, .tiff or .fits"));
        QVERIFY(!c.saveStillImageTo(dir.filePath("missing/still.png"), &problem));
        QVERIFY(problem.startsWith("error: cannot create a file"));
    }

    // The cooler takes its setpoint once cooling is on; a still saved as
    // FITS holds its raw frame and the settings it was taken with.
    void aCooledCamerasFitsStillHoldsItsRawFrameAndTheSettingsItWasTakenWith() {
        auto &c = start("model_05:state=ready:size=640x480");
        auto &s = c.settingsUi();
        QVERIFY(s.cooling->isEnabled() && !s.cooling->isChecked());
        c.updateStatus();
        QCOMPARE(s.temperatureText->text(), QString("Sensor 20.0 °C"));
        s.coolingSetpoint->setValue(-10);
        QCOMPARE(device().properties().temperatureTarget(), vocam_temp_to_register(20));
        s.cooling->setChecked(true);
        QCOMPARE(device().properties().temperatureTarget(), vocam_temp_to_register(-10));
        s.coolingSetpoint->setValue(-15);
        QCOMPARE(device().properties().temperatureTarget(), vocam_temp_to_register(-15));
        device().properties().elapse(std::chrono::seconds(10));
        c.updateStatus();
        QCOMPARE(s.temperatureText->text(), QString("Sensor 10.0 °C, cooling to -15.0 °C"));
        c.ui().exposureEntry->setValue(30);
        QVERIFY(framesFlow(c));  // at the new exposure
        c.grabStillImage();
        QVERIFY(c.stillImageWindow()->isVisible());
        QVERIFY(shows(c.imageViewer(), QSize(640, 480)));
        c.ui().exposureEntry->setValue(40);  // after the still: not what it was taken with
        QVERIFY(framesFlow(c));  // the ring buffer the still came from went back long ago
        QTemporaryDir dir;
        const QString path = dir.filePath("m42.fits");
        QString problem;
        QVERIFY2(c.saveStillImageTo(path, &problem), qPrintable(problem));
        c.stopStreaming();
        c.ui().exposureEntry->setValue(30);
        const vocam::test::Fits fits = vocam::test::readFits(path.toStdString());
        QVERIFY(fits.data.starts_with(ownFrame().toStdString()));
        QCOMPARE(fits.number("EXPTIME"), 0.03);
        QCOMPARE(fits.number("SET-TEMP"), -15.0);
        QVERIFY(fits.cards.at("SWCREATE").starts_with("VoCam_Capture (VoCamSDK "));
        const auto start = QDateTime::fromString(
            QString::fromStdString(fits.cards.at("DATE-OBS")) + "Z", Qt::ISODateWithMs);
        QVERIFY(std::abs(start.secsTo(QDateTime::currentDateTimeUtc())) < 60);
    }

    // Each end has its own caller: the button, a new geometry, the camera's
    // loss, the application's end, and a write the disk refuses.
    void aRecordingEndsWithAReadableFileWhateverEndsIt_data() {
        QTest::addColumn<QString>("ended");  // what the last line says ended it; empty: the user
        QTest::newRow("asked") << QString();
        QTest::newRow("geometry") << "the geometry changed";
        QTest::newRow("gone") << "the camera is gone";
        QTest::newRow("quit") << "the application closed";
        // Room for three frames and two of their times: the fourth fails,
        // and the third gives way to the times of the others.
        QTest::newRow("full") << "cannot write 'full.ser': " + QString(std::strerror(EFBIG));
    }

    void aRecordingEndsWithAReadableFileWhateverEndsIt() {
        QFETCH(QString, ended);
        const QString name = QTest::currentDataTag();
        QVERIFY(bringUp("model_02:state=ready:size=640x480"));
        const QByteArray frame = ownFrame();
        CaptureOptions options;
        options.port = 0;
        CaptureApplication application(options);
        application.applicationDidFinishLaunching();
        VoCameraController &c = application.controller();
        QTemporaryDir dir;
        rlimit unlimited{};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = unlimited;
        if (name == "full") limit.rlim_cur = 178 + 3 * 307200 + 16;
        setrlimit(RLIMIT_FSIZE, &limit);
        QVERIFY(c.startRecording(dir.filePath(name)));  // ".ser" is added
        QVERIFY(!c.startRecording(dir.filePath(name)));
        if (name != "full") {
            QVERIFY(QTest::qWaitFor([&] { return c.framesRecorded() >= 3; }, 10000));
            c.showProgress();
            QVERIFY(c.ui().recordText->text().startsWith("Recording " + name + ".ser: "));
        }
        if (name == "asked")
            c.ui().record->click();
        else if (name == "geometry")
            c.updateGeometry("320 x 240");
        else if (name == "gone")
            device().unplug();
        else if (name == "quit")
            application.applicationShouldTerminate();
        QVERIFY(QTest::qWaitFor([&] { return !c.recording(); }, 10000));
        setrlimit(RLIMIT_FSIZE, &unlimited);

        const auto ser = vocam::test::readSer(dir.filePath(name + ".ser").toStdString());
        QVERIFY(ser.whole && ser.frames.size() >= (name == "full" ? 2u : 3u));
        QCOMPARE(ser.instrument, std::string("VoCam model_02"));
        for (const std::string &f : ser.frames) QVERIFY(f == frame.toStdString());
        QVERIFY(std::abs(ser.unixSeconds(ser.times.front()) - QDateTime::currentSecsSinceEpoch()) <
                60);
        // The line that ends it counts the frames the file holds.
        QString line = c.ui().recordText->text();
        line.replace(QRegularExpression("\\d+ dropped"), "N dropped");
        const QString frames = QString::number(ser.frames.size());
        QCOMPARE(line,
                 ended.isEmpty()
                     ? "Recorded " + frames + " frame(s) to asked.ser, N dropped"
                     : QString("Recording stopped: %1; %2.ser holds %3 frame(s) and their "
                               "times, N dropped%4")
                           .arg(ended, name, frames,
                                name == "full" ? " (the last 1 made room for the times)" : ""));
    }

    void aLongExposureIsTypedInShowsItsProgressAndStopsPromptly() {
        auto &c = start("model_05:state=ready:size=640x480");
        QVERIFY(framesFlow(c, 1));
        auto &u = c.ui();
        // The slider covers the first 500 ms; the entry the camera's whole range.
        QCOMPARE(u.exposureEntry->maximum(), 3600000.0);
        u.exposureEntry->setValue(5000);
        QCOMPARE(u.exposureSlider->value(), 100);
        // A frame or two may still come at the old period; then the camera
        // exposes for 5 s, which the progress follows, and the frame comes:
        // the stream is not ended as silent.
        const QRegularExpression progress(
            "^(Exposing: 4\\.\\d s of 5\\.0 s|Exposed 5\\.0 s: waiting for the frame \\(.*\\))$");
        QVERIFY(QTest::qWaitFor(
            [&] { return u.exposureProgress->isVisible() && u.exposureProgress->value() >= 900; },
            10000));
        QVERIFY2(progress.match(u.exposureProgress->text()).hasMatch(),
                 qPrintable(u.exposureProgress->text()));
        const std::uint64_t before = c.framesDelivered();
        QVERIFY(QTest::qWaitFor([&] { return c.framesDelivered() > before; }, 10000));
        QVERIFY(QTest::qWaitFor([&] { return u.exposureProgress->value() < 500; }, 1000));
        // A stop during the next exposure does not wait for it to end: the
        // worker's wait gives up in slices and sees the stop by itself, ending
        // the stream under it stays a fallback.
        QTest::qWait(1000);
        QVERIFY(timed([&] { c.stopStreaming(); }) < 2.0);
        QCOMPARE(c.streamInterruptions(), 0);
        QVERIFY(!c.cameraGone() && !VoCamera::instance()->streaming());
    }

    void conversionThreadsComeFromTheCommandLineOrTheSettingsPanel() {
        QSettings().remove("conversionThreads");
        auto &c = start("model_01:state=ready");
        const auto engineThreads = [] {
            return VoCamera::instance()->handle()->colour.converter->GetConversionThreads();
        };
        // Given at start-up: shown and applied, not stored.
        c.setConversionThreads(3);
        QCOMPARE(c.settingsUi().conversionThreads->value(), 3);
        QCOMPARE(engineThreads(), 3u);
        QVERIFY(!QSettings().contains("conversionThreads"));
        // Chosen in the panel: applied and stored for the next run.
        c.settingsUi().conversionThreads->setValue(1);
        QCOMPARE(engineThreads(), 1u);
        QCOMPARE(QSettings().value("conversionThreads").toInt(), 1);
        QSettings().remove("conversionThreads");
    }

    // No camera at start, one another program holds, and one that leaves
    // during a white-balance countdown: each is named, nothing reaches for it
    // or stays switched off for good, and the camera that comes is opened.
    void withoutACameraTheWindowSaysWhyAndWaitsForOne_data() {
        QTest::addColumn<QString>("bus");
        QTest::addColumn<QString>("message");
        QTest::newRow("none") << ""
                              << "No camera found";
        QTest::newRow("held") << "model_01:state=ready:busy=1000"
                              << "The camera is in use by another program";
        QTest::newRow("gone") << "model_01:state=ready"
                              << "The camera is gone";
    }

    void withoutACameraTheWindowSaysWhyAndWaitsForOne() {
        QFETCH(QString, bus);
        QFETCH(QString, message);
        const QString why = QTest::currentDataTag();
        QCOMPARE(bringUp(bus.toStdString()), why == "gone");
        auto &c = open();
        if (why == "gone") {
            QVERIFY(framesFlow(c));
            c.doSingleShotWhitebalance();
            device().unplug();
            QVERIFY(QTest::qWaitFor([&] { return c.cameraState() == CameraState::Gone; }, 10000));
        }
        QCOMPARE(c.ui().statusBar->currentMessage(), message);
        QVERIFY(c.videoViewer()->message().startsWith(message));
        QCOMPARE(c.videoViewer()->image(), nullptr);
        QVERIFY(c.ui().rescan->isVisible());
        QCOMPARE(c.whitebalanceRequested(), 0);
        QVERIFY(!c.ui().singleShotWhitebalance->isEnabled() && !c.ui().grabStill->isEnabled());
        c.doSingleShotWhitebalance();
        c.grabStillImage();
        c.openCameraSettings();
        QVERIFY(!c.ui().gainRedSlider->testAttribute(Qt::WA_ForceDisabled));
        QVERIFY(!c.stillImageWindow()->isVisible() && !c.settingsWindow()->isVisible());
        QVERIFY(timed([&] { c.stopStreaming(); }) < 3.0);

        if (why == "held")
            device().holdByOtherClient(0);
        else
            vocam::sim::Bus::instance().configure("model_02:state=ready");
        QVERIFY(QTest::qWaitFor([&] { return c.cameraState() == CameraState::Live; }, 10000));
        QVERIFY(framesFlow(c));
        QVERIFY(!c.ui().rescan->isVisible() && c.ui().grabStill->isEnabled());
        QVERIFY(c.ui().gainRedSlider->isEnabled() && c.ui().singleShotWhitebalance->isEnabled());
    }

    // A colour camera with a cooler and a fan: every kind of setting.
    void openingAndClosingLeaveTheCameraAsItWas() {
        QVERIFY(vocam::sim::Bus::instance().configure("model_05:state=ready"));
        // Values no slider position gives, and a window the geometry list
        // does not hold, left by another program.
        vocam_init(VOCAM_TEST_RESOURCES);
        _vocam *h = nullptr;
        vocam_camera_open_any(&h);
        QVERIFY(h != nullptr);
        const _vocam_frame_format window{64, 48, 800, 600, 0, 2, 0, 2, 0};
        QCOMPARE(vocam_set_video_format(h, &window), 0);
        for (const auto &[id, value] : {std::pair{VOCAM_PROP_EXPOSURE, 20333},
                                        {VOCAM_PROP_GAIN, 4501},
                                        {VOCAM_PROP_GAIN_RED, 4133},
                                        {VOCAM_PROP_GAIN_BLUE, 6873},
                                        {VOCAM_PROP_AUTO_EXPOSURE_TARGET, 77}})
            vocam_property_set(h, id, value, 0);
        vocam_camera_close(&h);
        const auto before = cameraSettings();
        {
            CaptureOptions options;
            options.port = 0;
            options.resourceRoot = VOCAM_TEST_RESOURCES;
            CaptureApplication application(options);
            application.applicationDidFinishLaunching();
            QVERIFY(framesFlow(application.controller()));
            const auto &geometry = *application.controller().ui().geometry;
            QCOMPARE(geometry.currentIndex(), -1);  // kept, and named
            QCOMPARE(geometry.placeholderText(), QString("400 x 300 at 64, 48 (subsampled by 2)"));
            application.controller().openCameraSettings();
            application.controller().updateStatus();
            application.applicationShouldTerminate();
        }
        QVERIFY(cameraSettings() == before);
    }

    // The controls follow the camera, and a profile of them restores it.
    void controlsFollowTheCameraAndAProfileRestoresItExactly() {
        QSettings().remove("profiles");
        auto &c = live("model_02:state=ready:serial=77");
        auto &u = c.ui();
        VoCamera &cam = *VoCamera::instance();
        QCOMPARE(c.settingsUi().serial_number->text(), QString("Serial Number: 00000077"));
        QCOMPARE(c.window()->windowTitle(), QString("VoCam model_02 (serial 77) - VoCam Capture"));
        QVERIFY(c.settingsUi().firmware_version->text().startsWith("Camera Firmware Version: "));
        u.gainSlider->setValue(40);
        QCOMPARE(u.gainText->text(), QString::asprintf("%.2f", cam.total_gain().value));
        c.settingsUi().gammaSlider->setValue(30);
        QCOMPARE(c.settingsUi().gammaText->text(), QString::asprintf("%.1f", cam.gamma().value));
        c.updateEncoding("Best");
        QCOMPARE(cam.encoding(), 3);
        u.gainBlueSlider->setValue(37);
        u.yMirror->setChecked(true);
        c.updateLightSource("Xenon Flash");
        const auto saved = cam.readSettings();
        QString problem;
        QVERIFY2(c.saveProfile("night", &problem), qPrintable(problem));

        u.gainBlueSlider->setValue(80);
        u.yMirror->setChecked(false);
        c.updateLightSource("None");
        QVERIFY(c.loadProfile("night"));
        const auto loaded = cam.readSettings();
        for (std::size_t i = 0; i < saved.size(); ++i)
            QVERIFY2(loaded[i].value == saved[i].value && loaded[i].flags == saved[i].flags,
                     qPrintable(QString("property %1").arg(saved[i].id)));
        QVERIFY(u.yMirror->isChecked());
        QCOMPARE(cam.light_source(), 4);

        QVERIFY(!c.loadProfile("day", &problem));
        QCOMPARE(problem, QString("There is no profile named 'day'."));
        QVERIFY(!c.saveProfile("a/b", &problem));
        QSettings().remove("profiles");
    }

    void theHistogramCountsSampledLevelsAndTheLogScaleLiftsTails() {
        // Two rows of four pixels, padded to 16 bytes a row.
        const std::uint8_t rgb[32] = {10, 20, 30, 10, 20, 30, 11, 21, 31, 12, 22, 32, 0,  0,
                                      0,  0,  10, 20, 30, 40, 50, 60, 13, 23, 33, 14, 24, 34};
        const Histogram all = computeHistogram(rgb, 4, 2, 16, 1, false);
        QCOMPARE(all.samples, std::uint64_t{8});
        QCOMPARE(all.counts[0][10], 3u);  // two in the first row, one in the second
        Histogram tail;
        tail.counts[1][0] = 1000;
        tail.counts[1][255] = 1;
        QCOMPARE(histogramHeights(tail, 1, false)[0], 1.0);
        QVERIFY(histogramHeights(tail, 1, true)[255] > 0.09);
    }

    void theHistogramAndTheFocusScoreFollowThePicture() {
        auto &c = start("model_02:state=ready");
        auto lens = std::make_shared<vocam::sim::SimLens>(vocam::sim::LensConfig{});
        lens->command(1600);  // in focus
        device().attachLens(lens);
        QVERIFY(QTest::qWaitFor([&] { return lens->position() == 1600; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return c.ui().histogram->histogram().samples > 0; }, 5000));
        QCOMPARE(c.ui().histogram->histogram().samples, std::uint64_t{640 * 512});
        // 1:1 shows part of the picture; fitted, all of it.
        QVERIFY(c.focusRegion().width() < 1280 && c.focusRegion().height() < 1024);
        QCOMPARE(c.focusRegion(), c.videoViewer()->shownRegion());
        c.ui().zoom->setCurrentIndex(1);
        QCOMPARE(c.focusRegion(), QRect(0, 0, 1280, 1024));
        QVERIFY(QTest::qWaitFor([&] { return c.focusScore() > 0; }, 5000));
        const double sharp = c.focusScore();
        lens->command(3200);
        QVERIFY(QTest::qWaitFor([&] { return c.focusScore() < sharp / 2; }, 10000));
        QVERIFY(c.bestFocusScore() >= sharp);
        QVERIFY(c.ui().focusText->text().contains(" (best "));
        c.resetBestFocus();
        QVERIFY(QTest::qWaitFor([&] { return c.bestFocusScore() > 0; }, 5000));
        QVERIFY(c.bestFocusScore() < sharp / 2);
    }
};

VOCAPTURE_TEST_MAIN(ControllerTest)
#include "controller_test.moc"
