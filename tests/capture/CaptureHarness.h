// What the capture application's tests share: a simulated camera brought up
// for the application's camera object.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTest>

#include <map>
#include <string>

#include "Simulator/SimBus.h"
#include "VoCamera.h"

namespace vocapture::test {

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

// A property as the library holds it, in its own units.
struct SdkProperty {
    int value = 0;
    std::uint32_t flags = 0;
};
inline SdkProperty sdk(int id) {
    SdkProperty p;
    vocam_property_get(VoCamera::instance()->handle(), id, &p.value, &p.flags);
    return p;
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
