// What the capture application's tests share: a simulated camera brought up
// for the application's camera object, and a record of what it logs.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTest>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Log.h"
#include "Simulator/SimBus.h"
#include "VoCamera.h"

namespace vocapture::test {

class LogRecorder {
  public:
    LogRecorder() {
        setLogSink([this](const std::string &line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogRecorder() { setLogSink({}); }
    int count(const std::string &start) const {
        std::lock_guard lock(mutex_);
        return int(
            std::ranges::count_if(lines_, [&](const auto &l) { return l.starts_with(start); }));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Puts one camera on the simulated bus and lets the application open it.
inline bool bringUp(const std::string &description) {
    if (!vocam::sim::Bus::instance().configure(description)) return false;
    VoCamera::initialize(VOCAM_TEST_RESOURCES);
    return VoCamera::instance() != nullptr;
}

inline void takeDown() {
    VoCamera::cleanup();
    vocam::sim::Bus::instance().clear();
}

inline vocam::sim::CameraDevice &device() {
    return *vocam::sim::Bus::instance().devices().at(0);
}

inline int sdkValue(int id, std::uint32_t *flags = nullptr) {
    int value = 0;
    std::uint32_t f = 0;
    vocam_property_get(VoCamera::instance()->handle(), id, &value, &f);
    if (flags != nullptr) *flags = f;
    return value;
}
inline std::uint32_t sdkFlags(int id) {
    std::uint32_t flags = 0;
    sdkValue(id, &flags);
    return flags;
}

// One frame of the open camera, raw or as the camera object converts it
// (rows `stride` bytes apart, given back without their pads), while nothing
// else streams.
inline QByteArray ownFrame(std::size_t stride = 0) {
    VoCamera &cam = *VoCamera::instance();
    cam.startStreaming();
    const int index = cam.waitForImage();
    QByteArray out;
    if (stride == 0) {
        out = QByteArray(reinterpret_cast<const char *>(cam.getImage(index)),
                         qsizetype(cam.format().ImageSize));
    } else {
        const int width = int(cam.size().width()), height = int(cam.size().height());
        QByteArray padded(qsizetype(stride) * height, 0);
        if (cam.convertRawImage(cam.getImage(index),
                                reinterpret_cast<std::uint8_t *>(padded.data())) != stride)
            padded.clear();
        for (int y = 0; y < height && !padded.isEmpty(); ++y)
            out += padded.mid(qsizetype(y) * qsizetype(stride), width * 3);
    }
    cam.releaseImage(index);
    cam.stopStreaming();
    return out;
}

// Every word of the camera's register space, and the cooler's target,
// which no register shows.
inline std::map<std::uint32_t, std::uint32_t> cameraSettings() {
    std::map<std::uint32_t, std::uint32_t> words;
    for (std::uint32_t address = 0; address < 0x10000; address += 4)
        if (const std::uint32_t v = device().reg(static_cast<std::uint16_t>(address)); v != 0)
            words[address] = v;
    words[0x10000] = device().properties().temperatureTarget();
    return words;
}

// Offscreen drawing and a simulated bus, before Qt or the library start.
#define VOCAPTURE_TEST_MAIN(TestClass)                  \
    int main(int argc, char **argv) {                   \
        setenv("QT_QPA_PLATFORM", "offscreen", 1);      \
        setenv("VOCAM_SIM", "model_02:state=ready", 1); \
        QApplication app(argc, argv);                   \
        TestClass test;                                 \
        return QTest::qExec(&test, argc, argv);         \
    }

}  // namespace vocapture::test
