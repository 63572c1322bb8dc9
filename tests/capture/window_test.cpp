// The program in a real X window (run under Xvfb): its screenshot of the
// main window shows, unscaled, the same picture a conversion of a frame from
// the same simulated camera gives, with room for the controls beside it.
#include <QApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "CaptureHarness.h"
#include "ImageViewer.h"
#include "VoCameraController.h"

using namespace vocapture;
using namespace vocapture::test;

namespace {
const char *const kCamera = "model_02:state=ready:size=640x480";

// Where `picture` lies in `shot`, matched exactly.
QPoint findPicture(const QImage &shot, const QImage &picture) {
    const int w = picture.width(), h = picture.height();
    // A few points inside the colour patches pick candidate places quickly.
    const QPoint probes[] = {{75, 300}, {200, 300}, {330, 430}, {460, 300}, {590, 430}};
    for (int oy = 0; oy + h <= shot.height(); ++oy)
        for (int ox = 0; ox + w <= shot.width(); ++ox)
            if (std::ranges::all_of(probes,
                                    [&](QPoint p) {
                                        return shot.pixel(ox + p.x(), oy + p.y()) ==
                                               picture.pixel(p);
                                    }) &&
                shot.copy(ox, oy, w, h).convertToFormat(picture.format()) == picture)
                return {ox, oy};
    return {-1, -1};
}

// The program on the X server, on a bus of `bus`, its window shot to `shot`.
std::unique_ptr<QProcess> runProgram(const char *bus, const QString &shot, QStringList args = {}) {
    auto program = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.insert("VOCAM_SIM", bus);
    program->setProcessEnvironment(env);
    program->start(VOCAM_CAPTURE_PROGRAM,
                   QStringList{"--resources", VOCAM_TEST_RESOURCES, "--screenshot", shot} + args);
    program->waitForFinished(60000);
    return program;
}
}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
  private slots:
    void theLiveViewShowsAConvertedFrameBesideTheControls() {
        QTemporaryDir dir;
        const QString shotPath = dir.filePath("window.png");
        const auto program = runProgram(kCamera, shotPath, {"--frames", "3"});
        QVERIFY2(program->exitStatus() == QProcess::NormalExit && program->exitCode() == 0,
                 program->readAllStandardError().constData());
        const QImage shot = QImage(shotPath).convertToFormat(QImage::Format_RGB32);

        // The same camera, the same start-up, converted here.
        QVERIFY(bringUp(kCamera));
        VoCameraController controller;
        controller.awakeFromNib(0);
        QVERIFY(QTest::qWaitFor([&] { return controller.framesDelivered() >= 3; }, 10000));
        controller.stopStreaming();
        const QByteArray rgb = ownFrame(1920);  // rows of 1920 bytes, unpadded
        QCOMPARE(rgb.size(), 1920 * 480);
        const QImage picture = QImage(reinterpret_cast<const uchar *>(rgb.constData()), 640, 480,
                                      1920, QImage::Format_RGB888)
                                   .convertToFormat(QImage::Format_RGB32);

        const QPoint at = findPicture(shot, picture);
        QVERIFY2(at.x() >= 0, "the converted frame is not in the window's picture");
        // Unscaled and centred in its scroll area, room for the controls to its right.
        QVERIFY(at.x() > 0 && at.y() > 0);
        QVERIFY(shot.width() - at.x() - 660 > 300);
        takeDown();
    }

    void withoutACameraTheWindowIsShotAndTheRunFails() {
        QTemporaryDir dir;
        const QString shotPath = dir.filePath("empty.png");
        // The description is refused: an empty bus.
        const auto program = runProgram("model_02:state=ready:unknownkey=1", shotPath);
        QCOMPARE(program->exitCode(), 1);
        QVERIFY(program->readAllStandardError().contains("no camera found"));
        QVERIFY(!QImage(shotPath).isNull());
    }
};

VOCAPTURE_TEST_MAIN(WindowTest)
#include "window_test.moc"
