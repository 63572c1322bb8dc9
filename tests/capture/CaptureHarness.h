// What the capture application's tests share: a simulated camera brought up
// for the application's camera object, and a record of what it logs.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTest>

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
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    int count(const std::string &start) const {
        int n = 0;
        for (const auto &l : lines())
            if (l.rfind(start, 0) == 0) ++n;
        return n;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
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

// Whether the converted pixel (x, y) may show the camera's per-frame stamp:
// one 64-bit word every 4 KiB of the raw frame, and the last whole word.
// Demosaicking spreads a raw pixel over its neighbours, hence the margin.
inline bool nearStamp(int x, int y, int width, int height) {
    const std::size_t size = std::size_t(width) * height;
    auto near = [&](std::size_t offset) {
        const int sx = int(offset % width), sy = int(offset / width);
        return y >= sy - 2 && y <= sy + 2 && x >= sx - 2 && x <= sx + 8 + 2;
    };
    for (std::size_t at = 0; at + 8 <= size; at += 4096)
        if (near(at)) return true;
    return near((size / 8 - 1) * 8);
}

// Pixels of two RGB pictures that differ away from the stamps.
inline int differingPixels(const QByteArray &a, const QByteArray &b, int width, int height) {
    int n = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const qsizetype i = (qsizetype(y) * width + x) * 3;
            if (nearStamp(x, y, width, height)) continue;
            if (a.mid(i, 3) != b.mid(i, 3)) ++n;
        }
    return n;
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
