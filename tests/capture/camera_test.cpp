// The camera object against simulated cameras: what it reads at start-up in
// display units, how it splits gains and words exposures, and the failures it
// reports. Its controls as the window drives them are the controller suite's.
#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include "CaptureHarness.h"
#include "StillImage.h"
#include "tests/support/Pictures.h"

using namespace vocapture;
using namespace vocapture::test;

class CameraTest : public QObject {
    Q_OBJECT
    static VoCamera &up(const std::string &description) {
        if (!bringUp(description)) throw std::runtime_error("no camera");
        return *VoCamera::instance();
    }

    // The SDK's own bounds of a property: {min, max}.
    static std::pair<int, int> sdkRange(int id) {
        int min = 0, max = 0, value = 0;
        std::uint32_t flags = 0;
        vocam_property_get_range(VoCamera::instance()->handle(), id, &min, &max, &value, &flags);
        return {min, max};
    }

    // The exception `act` raises, named with its reason.
    static QString raised(const std::function<void()> &act) {
        try {
            act();
        } catch (const CaptureException &e) {
            return QString::fromStdString(e.name()) + ": " + e.reason();
        }
        return "none";
    }

  private slots:
    void cleanup() { takeDown(); }

    void aControlFailureAnywhereInStartUpLeavesNoCamera() {
        // Each request of opening and reading the camera fails in turn (with
        // all after it), until start-up gets through: none may end the process.
        for (int after = 0;; ++after) {
            QVERIFY(vocam::sim::Bus::instance().configure("model_05:state=ready"));
            device().failControl(vocam::usbhost::kIOReturnNotResponding, 1 << 20, after);
            VoCamera::initialize(VOCAM_TEST_RESOURCES);
            if (VoCamera::instance() != nullptr) break;
            QVERIFY2(!device().isOpen(), qPrintable(QString("left open at request %1").arg(after)));
            QVERIFY(VoCamera::lastOpen() != OpenResult::Opened);
            QVERIFY(after < 1000);
        }
        device().failControl(0, 0);
    }

    void startUpReadsDisplayUnitsAndGainsSplitIntoAnalogueAndDigital() {
        VoCamera &c = up("model_02:state=ready");
        QCOMPARE(c.encoding(), 1);
        QCOMPARE(c.light_source(), 14);
        // The camera's target (128 of 255) is read as a percentage, not set.
        QCOMPARE(c.auto_exposure_target(), 50);
        QCOMPARE(sdk(VOCAM_PROP_AUTO_EXPOSURE_TARGET).value, 128);
        // The image properties in 1/100 (the gains' units are checked as
        // they are written back); a colour's total gain is the product of its parts.
        QCOMPARE(c.gamma().value, float(sdk(VOCAM_PROP_GAMMA).value / 100.0));
        QCOMPARE(c.total_gain_red().value, c.gain_red().value * c.digital_gain_red().value);
        // Red leaves the second green alone; green sets both.
        const int green2Before = sdk(VOCAM_PROP_GAIN_GREEN2).value;
        c.updateGainRed(30);
        QCOMPARE(sdk(VOCAM_PROP_GAIN_GREEN2).value, green2Before);
        const vocapture::property total = c.total_gain_green();
        c.updateGainGreen(75);
        // Beyond the analogue range: the analogue part at its top, which is
        // the SDK's top (read and written in the same unit), the digital part the rest.
        const double t = total.min_value + (total.max_value - total.min_value) * 0.75;
        const vocapture::property a = c.gain_green();
        const int top = sdkRange(VOCAM_PROP_GAIN_GREEN1).second;
        QCOMPARE(sdk(VOCAM_PROP_GAIN_GREEN1).value, top);
        QCOMPARE(sdk(VOCAM_PROP_GAIN_GREEN2).value, top);
        QCOMPARE(sdk(VOCAM_PROP_DIGITAL_GAIN_GREEN).value, int(100.0 * float(t / a.max_value)));
        c.updateGain(100);
        QCOMPARE(sdk(VOCAM_PROP_DIGITAL_GAIN).value, sdkRange(VOCAM_PROP_DIGITAL_GAIN).second);
        QCOMPARE(c.total_gain().value, c.gain().max_value * c.digital_gain().max_value);
        c.updateGain(0);
        QCOMPARE(c.total_gain().value, c.total_gain().min_value);
    }

    void exposureGoesInMicrosecondsUpToAnHourAndAutoExposureKeepsIt() {
        VoCamera &c = up("model_05:state=ready:autoexp=1");
        // The slider covers the first 500 ms; typed in, the unsigned word
        // reaches the hour (which no int holds) and no further.
        const vocapture::property e = c.exposure();
        c.updateExposure(10);
        const double tenth = e.min_value + (500.0 - e.min_value) * 0.10;
        QCOMPARE(sdk(VOCAM_PROP_EXPOSURE).value, int(1000.0 * tenth));
        c.updateAutoexposure(true);
        QCOMPARE(sdk(VOCAM_PROP_EXPOSURE).value, int(1000.0 * tenth));
        QVERIFY(sdk(VOCAM_PROP_EXPOSURE).flags & VOCAM_PROP_FLAG_AUTO);
        QVERIFY(c.auto_exposure());
        c.updateAutoexposure(false);
        QVERIFY(!(sdk(VOCAM_PROP_EXPOSURE).flags & VOCAM_PROP_FLAG_AUTO));
        for (const auto &[ms, word] : {std::pair{2400000.5, 2400000500u},
                                       {5e6, 3600000000u},
                                       {0.0, std::uint32_t(sdkRange(VOCAM_PROP_EXPOSURE).first)}}) {
            c.setExposureMs(ms);
            QCOMPARE(static_cast<std::uint32_t>(sdk(VOCAM_PROP_EXPOSURE).value), word);
            QCOMPARE(c.exposure().value, float(word / 1000.0));
        }
        // A camera whose longest exposure is under a second has all of it on the slider.
        QCOMPARE(exposureSliderLongest({10, 0.01f, 800, 0}), 800.0f);
    }

    // A still from a camera with 16-bit samples keeps them in a 48-bit TIFF.
    void aSixteenBitFrameGivesDeepSamplesThatATiffKeepsAndAnEightBitFrameNone() {
        VoCamera &c = up("model_01:state=ready");
        // No simulated camera delivers 16-bit samples: a synthetic frame is
        // converted as the worker converts a still, while the camera streams.
        constexpr std::uint32_t w = 64, h = 32;
        const _VOCAM_IMAGE_FORMAT format{sizeof format,           w, h, 1, w * h * 2,
                                         {VOCAM_LAYOUT_LSB_FIRST}};
        const std::string raw = vocam::test::syntheticDeepFrame(w, h, true);
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(raw.data());
        StillImage still{QImage(w, h, QImage::Format_RGB888), {}, nullptr};
        std::vector<std::uint16_t> none(3);
        c.startStreaming();
        QVERIFY(c.convertRawImageDeep(bytes, format, still.deep));
        QVERIFY(!c.convertRawImageDeep(bytes, c.format(), none));
        c.stopStreaming();
        QVERIFY(none.empty());
        QTemporaryDir dir;
        saveStill(still, dir.filePath("deep.tif"));
        const auto tiff = vocam::test::readTiff(dir.filePath("deep.tif").toStdString());
        QCOMPARE(tiff.bits, 16);
        QVERIFY(tiff.samples<std::uint16_t>() == still.deep);
    }

    void coolingStartsAtTheCoolestWithinReachExceptOnThe4008x2672Sensor() {
        VoCamera &c = up("model_05:state=ready");
        c.setTemperatureEnable(true);
        QCOMPARE(device().properties().temperatureTarget(),
                 vocam_temp_to_register(c.temperature().min_value));
        c.setCoolingSetpoint(-100);
        QCOMPARE(c.coolingSetpoint(), c.temperature().min_value);
        c.setTemperatureEnable(false);
        QVERIFY(!(sdk(VOCAM_PROP_TEMPERATURE).flags & VOCAM_PROP_FLAG_ON));
        takeDown();

        QVERIFY(bringUp("model_05:state=ready:size=4008x2672"));
        VoCamera::instance()->setTemperatureEnable(true);
        QVERIFY(!(sdk(VOCAM_PROP_TEMPERATURE).flags & VOCAM_PROP_FLAG_ON));
    }

    void refusalsAndFailuresRaiseTheirNamedExceptions() {
        VoCamera &c = up("model_02:state=ready:autoexp=0");
        QCOMPARE(raised([&] { c.updateAutoexposure(true); }),
                 "PropertyError: camera does not support auto exposure");
        QCOMPARE(raised([&] { c.waitForImage(); }),
                 "ImageCaptureError: unable to wait for image capture");
        QCOMPARE(raised([&] { c.releaseImage(5); }), "ImageCaptureError: unable to relase buffer");
        c.startStreaming();
        const QSizeF before = c.size();
        QCOMPARE(raised([&] { c.setSize(QSizeF(320, 240)); }),
                 "StreamingError: unable to set video format when streaming");
        QCOMPARE(c.size(), before);  // the geometry stays as it was
        c.stopStreaming();
        device().unplug();
        QCOMPARE(raised([&] { c.setSize(QSizeF(640, 480)); }),
                 "VideoFormatError: unable to set video format");
        // A setting the camera could not take is not reported as made.
        takeDown();
        QVERIFY(bringUp("model_05:state=ready:autoexp=1"));
        device().unplug();
        QCOMPARE(raised([] { VoCamera::instance()->updateAutoexposure(true); }),
                 "PropertySetError: unable to set auto exposure property");
        QCOMPARE(raised([] { VoCamera::instance()->setTemperatureEnable(true); }),
                 "PropertySetError: unable to set cooling temperature property");
    }
};

VOCAPTURE_TEST_MAIN(CameraTest)
#include "camera_test.moc"
