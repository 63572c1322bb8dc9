// VoCam_Capture: live video from the first camera, with its controls.
//
//   VoCam_Capture [-port N] [--threads N] [--resources DIR] [--screenshot FILE [--frames N]]
#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>

#include "CaptureApplication.h"
#include "Log.h"

int main(int argc, char **argv) {
    // Without a display the program still runs, drawing offscreen.
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("VoCam");
    QCoreApplication::setApplicationName("VoCam_Capture");
    vocapture::openLog("VoCam_Capture");

    QCommandLineParser parser;
    parser.setApplicationDescription("Live video from the first VoCam camera.");
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    const QCommandLineOption port(
        "port", "Send still images to the client on this local TCP port (0: show them).", "N");
    const QCommandLineOption screenshot(
        "screenshot", "Show N frames, save the main window as a PNG file and quit.", "FILE");
    const QCommandLineOption frames("frames", "Frames to show before the screenshot (default 1).",
                                    "N", "1");
    const QCommandLineOption resources("resources", "Folder of the firmware and FPGA images.",
                                       "DIR");
    const QCommandLineOption timeout("screenshot-timeout",
                                     "Give up waiting for frames after MS milliseconds.", "MS");
    const QCommandLineOption threads(
        "threads",
        "Threads converting a large frame: 0 all cores (up to 8), 1 to 8; wins over the stored "
        "setting.",
        "N");
    parser.addOptions({port, screenshot, frames, resources, timeout, threads});
    parser.process(app);

    vocapture::CaptureOptions options;
    bool ok = true;
    if (parser.isSet(port)) {
        options.port = parser.value(port).toInt(&ok);
        if (!ok || options.port < 0 || options.port > 65535) {
            std::fprintf(stderr, "VoCam_Capture: invalid port '%s'\n",
                         qPrintable(parser.value(port)));
            return 2;
        }
    }
    if (parser.isSet(threads)) {
        options.threads = parser.value(threads).toInt(&ok);
        if (!ok || options.threads < 0 || options.threads > 8) {
            std::fprintf(stderr, "VoCam_Capture: invalid thread count '%s' (0 to 8)\n",
                         qPrintable(parser.value(threads)));
            return 2;
        }
    }
    options.frames = parser.value(frames).toInt(&ok);
    if (!ok || options.frames < 1) {
        std::fprintf(stderr, "VoCam_Capture: invalid frame count '%s'\n",
                     qPrintable(parser.value(frames)));
        return 2;
    }
    options.screenshot = parser.value(screenshot);
    options.resourceRoot = parser.value(resources);
    options.screenshotTimeoutMs = parser.value(timeout).toInt();

    vocapture::CaptureApplication capture(options);
    capture.applicationDidFinishLaunching();
    return QApplication::exec();
}
