// The camera object against simulated cameras: what it reads at start-up,
// how it converts units and splits gains, and the failures it names.
#include <QApplication>
#include <QtTest>

#include <cmath>

#include "CaptureHarness.h"

using namespace vocapture;
using namespace vocapture::test;

class CameraTest : public QObject {
    Q_OBJECT
    static VoCamera &up(const std::string &description) {
        if (!bringUp(description)) throw std::runtime_error("no camera");
        return *VoCamera::instance();
    }

  private slots:
    void cleanup() { takeDown(); }

    void startUpReadsTheCameraInDisplayUnits() {
        LogRecorder log;
        VoCamera &c = up("model_02:state=ready:serial=4242");
        QCOMPARE(c.maximum_size(), QSizeF(1280, 1024));
        QCOMPARE(c.size(), QSizeF(1280, 1024));
        QCOMPARE(c.serial_number(), 4242u);
        QCOMPARE(c.model_name(), std::string("VoCam model_02"));
        QCOMPARE(c.encoding(), 1);
        QCOMPARE(c.light_source(), 14);
        // The camera's target (128 of 255) is read as a percentage, not set.
        QCOMPARE(c.auto_exposure_target(), 50);
        QCOMPARE(sdkValue(VOCAM_PROP_AUTO_EXPOSURE_TARGET), 128);
        // Each record is the SDK's integer over the property's unit.
        struct Case {
            vocapture::property p;
            int id;
            double unit;
        };
        for (const Case &k :
             {Case{c.gain(), VOCAM_PROP_GAIN, 4096}, Case{c.gain_red(), VOCAM_PROP_GAIN_RED, 4096},
              Case{c.digital_gain(), VOCAM_PROP_DIGITAL_GAIN, 100},
              Case{c.gamma(), VOCAM_PROP_GAMMA, 100}, Case{c.hue(), VOCAM_PROP_HUE, 100},
              Case{c.exposure(), VOCAM_PROP_EXPOSURE, 1000}}) {
            int min = 0, max = 0, value = 0;
            std::uint32_t flags = 0;
            QCOMPARE(vocam_property_get_range(c.handle(), k.id, &min, &max, &value, &flags), 0);
            QCOMPARE(k.p.min_value, float(min / k.unit));
            QCOMPARE(k.p.value, float(value / k.unit));
            QCOMPARE(k.p.flags, flags);
            if (k.id != VOCAM_PROP_EXPOSURE || max / k.unit <= 1000)
                QCOMPARE(k.p.max_value, float(max / k.unit));
        }
        QCOMPARE(c.total_gain_red().value, c.gain_red().value * c.digital_gain_red().value);
        QCOMPARE(c.total_gain_red().max_value,
                 c.gain_red().max_value * c.digital_gain_red().max_value);
        QCOMPARE(log.count("maximum_size: 1280 x 1024"), 1);
        QCOMPARE(log.count("gain_green: "), 1);
    }

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

    void gainsSplitIntoAnalogueAndDigitalAndGreenSetsBothGreens() {
        VoCamera &c = up("model_02:state=ready");
        const int green2Before = sdkValue(VOCAM_PROP_GAIN_GREEN2);
        c.updateGainRed(30);
        QCOMPARE(sdkValue(VOCAM_PROP_GAIN_GREEN2), green2Before);
        const vocapture::property total = c.total_gain_green();
        c.updateGainGreen(75);
        const double t = total.min_value + (total.max_value - total.min_value) * 0.75;
        const vocapture::property a = c.gain_green();
        QVERIFY(t > a.max_value);  // beyond the analogue range: the digital part takes the rest
        QCOMPARE(a.value, a.max_value);
        QCOMPARE(sdkValue(VOCAM_PROP_GAIN_GREEN1), int(4096.0 * a.max_value));
        QCOMPARE(sdkValue(VOCAM_PROP_GAIN_GREEN2), int(4096.0 * a.max_value));
        QCOMPARE(c.digital_gain_green().value, float(t / a.max_value));
        QCOMPARE(sdkValue(VOCAM_PROP_DIGITAL_GAIN_GREEN), int(100.0 * float(t / a.max_value)));
        QVERIFY(std::fabs(c.total_gain_green().value - t) < 1e-4);
        // The ends of the range.
        c.updateGain(100);
        const vocapture::property digital = c.digital_gain();
        QCOMPARE(digital.value, digital.max_value);
        QCOMPARE(sdkValue(VOCAM_PROP_DIGITAL_GAIN), int(100.0 * digital.max_value));
        QCOMPARE(c.total_gain().value, c.gain().max_value * digital.max_value);
        c.updateGain(0);
        QCOMPARE(c.total_gain().value, c.total_gain().min_value);
    }

    void exposureGoesInMicrosecondsAndAutoExposureKeepsTheUnit() {
        VoCamera &c = up("model_02:state=ready:autoexp=1");
        c.updateExposure(10);
        const vocapture::property e = c.exposure();
        const double expected = e.min_value + (exposureSliderLongest(e) - e.min_value) * 0.10;
        QCOMPARE(e.value, float(expected));
        QCOMPARE(sdkValue(VOCAM_PROP_EXPOSURE), int(1000.0 * expected));
        c.updateAutoexposure(true);
        QCOMPARE(sdkValue(VOCAM_PROP_EXPOSURE), int(1000.0 * expected));
        QVERIFY(sdkFlags(VOCAM_PROP_EXPOSURE) & VOCAM_PROP_FLAG_AUTO);
        QVERIFY(c.auto_exposure());
        c.updateAutoexposure(false);
        QVERIFY(!(sdkFlags(VOCAM_PROP_EXPOSURE) & VOCAM_PROP_FLAG_AUTO));
    }

    void longExposuresReachTheWholeRangeAndTheSliderTheFirst500ms() {
        VoCamera &c = up("model_05:state=ready");
        int min = 0, max = 0, value = 0;
        std::uint32_t flags = 0;
        vocam_property_get_range(c.handle(), VOCAM_PROP_EXPOSURE, &min, &max, &value, &flags);
        QVERIFY(max < 0);  // an hour in microseconds does not fit an int
        QCOMPARE(c.exposure().max_value, 3600000.0f);
        QCOMPARE(exposureSliderLongest(c.exposure()), 500.0f);
        c.updateExposure(100);
        QCOMPARE(sdkValue(VOCAM_PROP_EXPOSURE), 500000);
        // Typed in: the unsigned word, up to the hour and no further.
        for (const auto &[ms, word] : {std::pair{2400000.5, 2400000500u},
                                       {5e6, 3600000000u},
                                       {0.0, static_cast<std::uint32_t>(min)}}) {
            c.setExposureMs(ms);
            QCOMPARE(static_cast<std::uint32_t>(sdkValue(VOCAM_PROP_EXPOSURE)), word);
            QCOMPARE(c.exposure().value, float(word / 1000.0));
        }
        // A camera whose longest exposure is under a second has all of it on the slider.
        QCOMPARE(exposureSliderLongest({10, 0.01f, 800, 0}), 800.0f);
    }

    void coolingFollowsTheFlagExceptOnThe4008x2672Sensor() {
        VoCamera &c = up("model_05:state=ready");
        QVERIFY(c.isTemperatureSupported());
        c.setTemperatureEnable(true);
        QVERIFY(sdkFlags(VOCAM_PROP_TEMPERATURE) & VOCAM_PROP_FLAG_ON);
        QCOMPARE(c.temperature().value, c.temperature().min_value);
        // The setpoint, the coolest until one is chosen, goes to the camera at
        // once while cooling is on and with the switch otherwise, inside the
        // cooler's reach; the reading follows the sensor.
        auto &cooler = device().properties();
        QCOMPARE(cooler.temperatureTarget(), vocam_temp_to_register(c.temperature().min_value));
        c.setCoolingSetpoint(-10);
        QCOMPARE(cooler.temperatureTarget(), vocam_temp_to_register(-10));
        cooler.elapse(std::chrono::minutes(10));
        QCOMPARE(*c.readTemperature(), -10.0f);
        c.setTemperatureEnable(false);
        QVERIFY(!(sdkFlags(VOCAM_PROP_TEMPERATURE) & VOCAM_PROP_FLAG_ON));
        c.setCoolingSetpoint(-5);
        QCOMPARE(cooler.temperatureTarget(), vocam_temp_to_register(-10));
        c.setCoolingSetpoint(-100);
        QCOMPARE(c.coolingSetpoint(), c.temperature().min_value);
        takeDown();

        QVERIFY(bringUp("model_05:state=ready:size=4008x2672"));
        QVERIFY(!VoCamera::instance()->isTemperatureSupported());
        VoCamera::instance()->setTemperatureEnable(true);
        QVERIFY(!(sdkFlags(VOCAM_PROP_TEMPERATURE) & VOCAM_PROP_FLAG_ON));
    }

    void aGeometryWithSubsamplingIsTheSizeOfItsFrames() {
        VoCamera &c = up("model_02:state=ready");
        c.setSize(QSizeF(1280, 1024), QPointF(0, 0), 2);
        QCOMPARE(c.size(), QSizeF(640, 512));
        QCOMPARE(c.subsampling(), 2);
    }

    void failuresRaiseTheirNamedExceptions() {
        VoCamera &c = up("model_02:state=ready:autoexp=0");
        struct Case {
            const char *name, *reason;
            std::function<void()> act;
        };
        const std::vector<Case> cases{
            {"InvalidProperty", "the given property is not valid", [&] { c.setGainHelper(7, 50); }},
            {"InvalidProperty", "the given property is not valid",
             [&] { c.updateDigitalPropertyHelper(99, 50); }},
            {"InvalidProperty", "the given property cannot be read",
             [&] { c.getPropertyHelper(9999); }},
            {"PropertyError", "camera does not support auto exposure",
             [&] { c.updateAutoexposure(true); }},
            {"ImageCaptureError", "unable to wait for image capture", [&] { c.waitForImage(); }},
            {"ImageCaptureError", "unable to relase buffer", [&] { c.releaseImage(5); }},
            {"StreamingError", "unable to set video format when streaming",
             [&] {
                 c.startStreaming();
                 const QSizeF before = c.size();
                 try {
                     c.setSize(QSizeF(320, 240));
                 } catch (...) {
                     c.stopStreaming();
                     QCOMPARE(c.size(), before);  // the geometry stays as it was
                     throw;
                 }
             }},
            {"VideoFormatError", "unable to set video format",
             [&] {
                 device().unplug();
                 c.setSize(QSizeF(640, 480));
             }},
        };
        for (const Case &k : cases) {
            try {
                k.act();
                QFAIL(qPrintable(QString("no %1 for '%2'").arg(k.name, k.reason)));
            } catch (const CaptureException &e) {
                QCOMPARE(e.name(), std::string(k.name));
                QCOMPARE(QString(e.reason()), QString(k.reason));
            }
        }
        takeDown();
        QVERIFY(bringUp("model_05:state=ready:autoexp=1"));
        device().unplug();
        for (auto act : {+[] { VoCamera::instance()->updateAutoexposure(true); },
                         +[] { VoCamera::instance()->setTemperatureEnable(true); }}) {
            try {
                act();
                QFAIL("a setting the camera could not take was reported as made");
            } catch (const PropertySetError &e) {
                QVERIFY(QString(e.reason()).startsWith("unable to set "));
            }
        }
    }
};

VOCAPTURE_TEST_MAIN(CameraTest)
#include "camera_test.moc"
