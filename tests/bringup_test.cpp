// Start-up: firmware download, re-enumeration, FPGA configuration,
// enumeration, open and close, and every way a file or a device can spoil
// them. Built as bringup_test on the simulated bus; the cases before the
// simulated bus's own run once more as umock_bringup_test, on libusb behind
// umockdev.
//
// Where the backends differ:
//   case                           simulated bus          libusb (usbfs)
//   cameras listed                 at once, in bus order  once the hotplug monitor saw them,
//                                                         newest first
//   a camera pulled, then read     kIOReturnNoDevice      the same, from the kernel's ENODEV
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <climits>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "Simulator/SimBus.h"
#include "Simulator/SimImages.h"
#include "device/vo_cameras.h"
#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "transport/vo_fx2.h"
#include "transport/vo_usb.h"
#include "usbhost/registry/Backends.h"
#include "vo_cam/vo_cam.h"

#ifdef VOCAM_TEST_LIBUSB
#include "support/umock/Camera.h"
#include "support/umock/Testbed.h"
using Bus = vocam::test::umock::Testbed;
#else
using Bus = vocam::sim::Bus;
#endif

using namespace vocam;
using sim::LogEntry;
using test::countOf;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

Bus &bus() {
    return Bus::instance();
}

std::shared_ptr<sim::CameraDevice> withSerial(std::uint32_t serial) {
    for (auto &d : bus().devices())
        if (d->config().serial == serial) return d;
    return nullptr;
}

// The test's own copy of the build's resource files, for a case to damage,
// remove or replace. Its path is longer than any fixed buffer a loader might
// cut it to: start-up must use resource folders whole.
struct TempResources {
    TempResources() {
        std::string pattern = (fs::temp_directory_path() / "vocam-resources-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        top = root = pattern;
        while (root.size() < 300) root += "/a_rather_long_folder_name";
        fs::create_directories(root);
        fs::copy(VOCAM_TEST_RESOURCES, root, fs::copy_options::recursive);
    }
    ~TempResources() {
        std::error_code ignored;
        fs::remove_all(top, ignored);
    }
    fs::path path(const std::string &name) const { return fs::path(root) / name; }
    void write(const std::string &name, const std::string &contents) const {
        fs::create_directories(path(name).parent_path());
        std::ofstream(path(name), std::ios::binary) << contents;
    }
    void remove(const std::string &name) const { fs::remove(path(name)); }
    std::string top, root;
};

// Start-up runs on a bus of simulated cameras and the test's own resource files.
class BringUp : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kActive) GTEST_SKIP() << "needs umockdev-wrapper";
        bus().clear();
        vo_forget_bring_up();
    }
    void TearDown() override {
        if (kActive) bus().clear();
    }
#ifdef VOCAM_TEST_LIBUSB
    static void SetUpTestSuite() {
        unsetenv("VOCAM_SIM");
    }
    // Until libusb lists `count` cameras of this product.
    static void listed(std::uint16_t vendor, std::uint16_t product, std::size_t count = 1) {
        test::umock::waitForDevices(usbhost::host(), {vendor, product, {}}, count);
    }
    static void unplug(const std::shared_ptr<sim::CameraDevice> &d) {
        bus().unplug(d);
    }
    static inline const bool kActive = Bus::active();
#else
    // The library chooses the simulated bus, which stays empty until a case fills it.
    static void SetUpTestSuite() {
        setenv("VOCAM_SIM", "model_02:state=ready", 0);
        bus().clear();
    }
    static void listed(std::uint16_t, std::uint16_t, std::size_t = 1) {}
    static void unplug(const std::shared_ptr<sim::CameraDevice> &d) {
        d->unplug();
    }
    static constexpr bool kActive = true;
#endif

    // The first of the cameras described.
    std::shared_ptr<sim::CameraDevice> configure(const char *description) {
        EXPECT_TRUE(bus().configure(description)) << description;
        return bus().devices().at(0);
    }
    // Runs start-up; returns what it logged and leaves its duration in `seconds`.
    std::string init(const std::string &root = "") {
        test::StderrCapture err;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(vocam_init(root.empty() ? files.root.c_str() : root.c_str()), 0);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return err.take();
    }
    // Opens the camera, which must be refused: the log must name why.
    void expectRefusedAtOpen(sim::CameraDevice &device, const std::string &line) {
        test::StderrCapture err;
        _vocam *cam = nullptr;
        EXPECT_EQ(vocam_camera_open_by_pid(&cam, device.product()), 0);
        EXPECT_EQ(cam, nullptr);
        const std::string log = err.take();
        EXPECT_EQ(countOf(log, line), 1) << log;
        EXPECT_FALSE(device.isOpen());
    }
    // Loads a bitstream of a vendor A camera as the opener would; what it logged.
    std::string loadFpga(std::uint16_t product = 0x00A1) {
        test::StderrCapture err;
        std::uint8_t *buffer = nullptr;
        std::uint32_t size = 0;
        EXPECT_EQ(usb_load_fpga_contents(kCameraVendorA, product, 2, &buffer, &size), -1);
        EXPECT_EQ(buffer, nullptr);
        return err.take();
    }
    // Opens the camera of this product, which must be there.
    static _vocam *opened(std::uint16_t product) {
        _vocam *cam = nullptr;
        EXPECT_EQ(vocam_camera_open_by_pid(&cam, product), 0);
        return cam;
    }
    TempResources files;
    // The files the start-up cases spoil: a bitstream of model_02, firmware of model_16.
    const std::string fpga2 = files.root + "/vocam02/fpga2.rbf",
                      firm13 = files.root + "/vocam13/firm2.HEX";
    double seconds = 0;
};

TEST_F(BringUp, DownloadsEachControllerOnceThenConfiguresEachFpgaOnce) {
    // Cameras of both camera vendors and one under the controller maker's ID.
    configure("model_02,model_16,model_01");
    const auto boot = withSerial(1000);
    std::string log = init();
    EXPECT_EQ(countOf(log, "FW was downloaded to device\n"), 3) << log;
    EXPECT_EQ(countOf(log, "FPGA loaded\n"), 2) << log;  // model_16 has no FPGA
    EXPECT_GE(seconds, 2.5);
    for (std::uint32_t serial : {1000u, 1001u, 1002u}) {
        auto d = withSerial(serial);
        ASSERT_TRUE(d) << serial;
        EXPECT_EQ(
            std::make_tuple(d->config().state, d->subclass(), d->product() & 0x8000, d->isOpen()),
            std::make_tuple(sim::BootState::Ready, 0, 0, false))
            << serial;
    }
    // The controllers left the bus; new devices came back in their place.
    EXPECT_FALSE(boot->present());

    // Start-up runs once: a second call touches nothing but the resource root.
    for (auto &d : bus().devices()) d->clearLog();
    EXPECT_EQ(init("/elsewhere"), "");
    EXPECT_STREQ(RESOURCE_FILE_ROOT, "/elsewhere");
    for (auto &d : bus().devices()) EXPECT_TRUE(d->log().empty());
}

TEST_F(BringUp, ABusyControllerIsTriedFiveTimes) {
    configure("model_16")->holdByOtherClient(5);
    // Four pauses between five attempts; a sixth would have been let in.
    const std::string log = init();
    EXPECT_GE(seconds, 0.4);
    EXPECT_THAT(log, HasSubstr("Exclusive access err, sleeping on it 1\nExclusive access err, "
                               "sleeping on it 2\nExclusive access err, sleeping on it 3\n"
                               "Exclusive access err, sleeping on it 4\nExclusive access err, "
                               "sleeping on it 5\nunable to open device: e00002c5\n"));

    // Released after two refusals: the third attempt downloads.
    vo_forget_bring_up();
    bus().devices().at(0)->holdByOtherClient(2);
    const std::string second = init();
    EXPECT_EQ(countOf(second, "Exclusive access err"), 2);
    EXPECT_EQ(countOf(second, "FW was downloaded to device\n"), 1);
}

TEST_F(BringUp, EnumerationCountsBeyondItsCapacityAndOpenFindsBySerialProductOrAny) {
    configure("model_02:state=ready,model_02:state=ready:serial=77,model_16:state=ready");
    listed(kCameraVendorA, 0x00A1, 2);
    listed(kCameraVendorB, 0x03AD);
    test::StderrCapture err;
    vocam_version records[3];
    std::memset(records, 0xEE, sizeof records);
    std::uint32_t count = 2;
    EXPECT_EQ(vocam_enum_cameras(records, &count), 3);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::tie(records[0].product_id, records[1].product_id), std::make_tuple(0xA1, 0xA1));
    EXPECT_EQ((std::set{records[0].serial_number, records[1].serial_number}),
              (std::set{1000u, 77u}));
    EXPECT_EQ(records[2].zero, 0xEEEEEEEEu);  // beyond the capacity: untouched

    auto device = withSerial(77);
    device->setReg(0x000C, 0x00050003);  // the firmware version
    _vocam *cam = nullptr;
    vocam_version wanted{0, 0x00A1, 77, 0, 0, 0}, got;
    ASSERT_EQ(vocam_camera_open(&cam, &wanted), 0);
    ASSERT_NE(cam, nullptr);
    std::memset(&got, 0xFF, sizeof got);
    vocam_get_version(cam, &got);
    EXPECT_EQ(std::tie(got.zero, got.product_id, got.serial_number, got.release_number,
                       got.firmware_version, got.high_speed),
              std::make_tuple(0u, 0xA1u, 77u, std::uint32_t{device->release()}, 0x00050003u, 1u));
    // A model with an FPGA streams on alternate 2; video stays off.
    EXPECT_EQ(std::make_tuple(device->isOpen(), device->alternate(), device->reg(0x0214)),
              std::make_tuple(true, 2, 0u));
    EXPECT_EQ(vocam_camera_close(&cam), 0);
    EXPECT_EQ(std::make_tuple(cam, device->isOpen(), device->alternate()),
              std::make_tuple(nullptr, false, 0));

    wanted.serial_number = 4242;  // nobody has it
    EXPECT_EQ(vocam_camera_open(&cam, &wanted), 0);
    EXPECT_EQ(cam, nullptr);

    ASSERT_NE(cam = opened(0x03AD), nullptr);
    EXPECT_EQ(withSerial(1002)->alternate(), 1);  // no FPGA: alternate 1
    EXPECT_EQ(vocam_supports_subsampling(cam), 0);
    vocam_camera_close(&cam);

    ASSERT_EQ(vocam_camera_open_any(&cam), 0);
    ASSERT_NE(cam, nullptr);
    vocam_get_version(cam, &got);
    EXPECT_EQ(got.product_id, 0x00A1u);
    // The model table, not the camera, says whether it may be subsampled.
    EXPECT_EQ(vocam_supports_subsampling(cam), 1);
    vocam_camera_close(&cam);

    EXPECT_EQ(vocam_camera_open(&cam, nullptr), -1);
    EXPECT_EQ(vocam_camera_open_by_pid(&cam, 0x7777), -1);
    bus().clear();
    EXPECT_EQ(vocam_camera_open_any(&cam), -1);
}

TEST_F(BringUp, ACameraPulledWhileOpenStillClosesCleanly) {
    auto device = configure("model_02:state=ready");
    listed(kCameraVendorA, 0x00A1);
    test::StderrCapture err;
    _vocam *cam = opened(0x00A1);
    ASSERT_NE(cam, nullptr);
    unplug(device);
    std::uint32_t word = 0;
    EXPECT_EQ(vo_usb_read_vocam_u32(cam, 0x1000, &word), -1);
    EXPECT_THAT(err.take(), HasSubstr("VOXUSBReadControlPipe Err 0xE00002C0"));
    EXPECT_EQ(vocam_camera_close(&cam), 0);
    EXPECT_EQ(cam, nullptr);
}

#ifndef VOCAM_TEST_LIBUSB  // the simulated bus's own cases

std::vector<LogEntry> firmwareLoads(const std::vector<LogEntry> &log) {
    std::vector<LogEntry> out;
    for (const auto &e : log)
        if (e.kind == LogEntry::Kind::Control && e.setup.bRequest == 0xA0) out.push_back(e);
    return out;
}

// Writes of the FPGA register and status reads, in order, as "W<value>" and "R".
std::string fpgaTraffic(const std::vector<LogEntry> &log) {
    std::string out;
    for (const auto &e : log) {
        if (e.kind == LogEntry::Kind::BulkOut) out += "B ";
        if (e.kind != LogEntry::Kind::Control || e.setup.bRequest != 0x12 ||
            e.setup.wIndex != 0x0008)
            continue;
        if (e.setup.bmRequestType & 0x80) {
            out += "R ";
        } else {
            std::uint32_t v = 0;
            std::memcpy(&v, e.data.data(), 4);
            out += v == 0 ? "W0 " : "W1 ";
        }
    }
    return out;
}

long rateReads(const sim::CameraDevice &device) {
    return std::ranges::count_if(device.log(), [](const LogEntry &e) {
        return e.kind == LogEntry::Kind::Control && e.setup.wIndex == 0x1050;
    });
}

TEST_F(BringUp, NoPauseWithoutADownloadAndOneFpgaPassPerProduct) {
    // Three table entries share product 0x01A5; the camera is visited once.
    configure("model_12:state=fpga,model_02:state=ready");
    const std::string log = init();
    EXPECT_LT(seconds, 2.0);
    EXPECT_EQ(countOf(log, "Raw device added.\n"), 0) << log;
    // Configured on the third status read after the end of the data.
    EXPECT_EQ(fpgaTraffic(withSerial(1000)->log()), "R W1 B W0 R R R ");
    // An FPGA that is already configured costs one status read, nothing else.
    EXPECT_EQ(fpgaTraffic(withSerial(1001)->log()), "R ");
}

// A bitstream that is missing, damaged or not taken by the camera: each is
// said as such, the attempt is still framed by its begin and end writes, and
// the FPGA stays unconfigured.
TEST_F(BringUp, FailedBitstreamsAreNamedAndLeaveTheFpgaUnconfigured) {
    configure("model_02:state=fpga,model_05:state=fpga,model_12:state=fpga");
    const auto missing = bus().devices().at(0);
    files.remove("vocam02/fpga2.rbf");
    bus().devices().at(1)->failBulk(usbhost::kIOReturnPipeStalled, 0);
    auto image = sim::makeFpgaImage(0x01A5);
    image[100] ^= 1;
    files.write("vocam10/fpga0.rbf", std::string(image.begin(), image.end()));
    const std::string log = init();
    EXPECT_THAT(
        log, HasSubstr("loading FPGA binary from disk\nerror: unable to open fpga file " + fpga2 +
                       ": No such file or directory\nerror: unable to load FPGA\n"));
    EXPECT_EQ(fpgaTraffic(missing->log()), "R W1 W0 R R R R R R R R R R ");
    EXPECT_EQ(countOf(log, "error: unable to send FPGA binary to camera\n"), 1) << log;
    EXPECT_EQ(countOf(log, "sent FPGA binary to camera\n"), 1) << log;  // the damaged one
    EXPECT_EQ(countOf(log, "usb_load_fpga: unable to load FPGA: timeout\n"), 3) << log;
    for (auto &d : bus().devices()) EXPECT_FALSE(d->fpgaConfigured());
}

// What the bitstream reader refuses by name before it allocates or reads.
TEST_F(BringUp, TheBitstreamReaderRefusesWhatCannotBeAnImage) {
    init();  // the resource root, on an empty bus
    fs::resize_file(files.path("vocam02/fpga2.rbf"), (64u << 20) + 1);
    EXPECT_EQ(loadFpga(), "error: fpga file " + fpga2 + " is larger than 67108864 bytes\n");
    // A device node behind the name would read as an empty image.
    files.remove("vocam02/fpga2.rbf");
    fs::create_symlink("/dev/null", files.path("vocam02/fpga2.rbf"));
    EXPECT_EQ(loadFpga(), "error: fpga file " + fpga2 + " is not a regular file\n");
    EXPECT_EQ(loadFpga(0x7777), "error: unable to find specified camera");
    const std::string tooLong = "/" + std::string(PATH_MAX, 'x');
    vocam_init(tooLong.c_str());
    EXPECT_EQ(countOf(loadFpga(), "is longer than the system takes"), 1);
}

TEST_F(BringUp, FirmwareTrafficIsOneRequestPerRecordBetweenHoldAndRelease) {
    auto boot = configure("model_16");
    const auto image = sim::makeFirmwareImage(kCameraVendorB, 0x03AD);
    // Blank lines first and CR LF line ends load like any other file.
    files.write("vocam13/firm2.HEX", "\r\n\n" + sim::toIntelHex(image));
    init();
    const auto loads = firmwareLoads(boot->log());
    const std::size_t records = (image.size() + 15) / 16;
    ASSERT_EQ(loads.size(), records + 2);
    // The controller is held in reset by 1 at 0xE600 and released by 0.
    for (const auto &[e, hold] : {std::pair(loads.front(), 1), std::pair(loads.back(), 0)}) {
        EXPECT_EQ(e.setup.wValue, 0xE600);
        EXPECT_EQ(e.data, std::vector<std::uint8_t>{std::uint8_t(hold)});
    }
    for (std::size_t i = 0; i < records; ++i) {
        const LogEntry &e = loads[1 + i];
        EXPECT_EQ(std::tie(e.deviceLevel, e.setup.bmRequestType, e.setup.wValue, e.setup.wIndex,
                           e.noDataTimeoutMs, e.completionTimeoutMs),
                  std::make_tuple(true, 0x40, 16 * i, 0, 5000u, 0u))
            << i;
        EXPECT_TRUE(std::equal(e.data.begin(), e.data.end(), image.begin() + 16 * i));
    }
}

TEST_F(BringUp, FileNamesFollowTheReleaseNumber) {
    // Release 0x000A selects firmA.HEX; the fixed firm1.HEX serves release 2 of 0x01A5 only.
    configure("model_02:release=A,model_13");
    files.write("vocam02/firmA.HEX",
                sim::toIntelHex(sim::makeFirmwareImage(kCameraVendorA, 0x00A1)));
    files.write("vocam02/fpgaA.rbf", std::string(1, '\0'));
    files.write("vocam10/firm1.HEX",
                sim::toIntelHex(sim::makeFirmwareImage(kCameraVendorB, 0x01A5)));
    files.remove("vocam10/firm0.HEX");
    const std::string log = init();
    EXPECT_EQ(countOf(log, "FW was downloaded to device\n"), 2) << log;
    EXPECT_EQ(withSerial(1000)->release(), 0x000A);
}

// The loader reads and checks the whole file before it writes a byte: a
// missing, damaged, oversized or irregular one (a FIFO would block a loader
// that waited for its writer) is named and leaves its controller as it was.
TEST_F(BringUp, SpoiledFirmwareIsNamedAndWritesNothing) {
    configure("model_16,model_03,model_02,model_05");
    const std::string hex = sim::toIntelHex(sim::makeFirmwareImage(kCameraVendorB, 0x03AD));
    files.write("vocam13/firm2.HEX", hex.substr(0, hex.rfind(':')));  // no end record
    files.remove("vocam03/firm2.HEX");
    files.write("vocam02/firm2.HEX", std::string((1 << 20) + 1, '\n'));
    files.remove("vocam04/firm2.HEX");
    ASSERT_EQ(::mkfifo(files.path("vocam04/firm2.HEX").c_str(), 0600), 0);
    const std::string log = init();
    const std::string root = files.root;
    for (const std::string &line :
         {"error: damaged firmware file " + firm13 + ": line 378: no end record\n",
          "error: unable to open firmware file " + root + "/vocam03/firm2.HEX\n",
          "error: firmware file " + root + "/vocam02/firm2.HEX is larger than 1048576 bytes\n",
          "error: firmware file " + root + "/vocam04/firm2.HEX is not a regular file\n"})
        EXPECT_EQ(countOf(log, line), 1) << line << log;
    EXPECT_EQ(countOf(log, "unable to download to device: -1 ffffffff\n"), 4);
    EXPECT_LT(seconds, 2.0);  // nothing was downloaded, so no pause
    for (auto &d : bus().devices()) {
        EXPECT_TRUE(firmwareLoads(d->log()).empty());
        EXPECT_EQ(d->config().state, sim::BootState::Boot);
        EXPECT_TRUE(d->present());
    }
}

TEST(FirmwareFile, EachDamageIsNamedWithItsLine) {
    const struct {
        const char *text;
        int line;
        const char *reason;
    } cases[] = {
        {"garbage\n:00000001FF\n", 1, "a record must start with ':'"},
        {":0100000011EE\n:01000000G1EE\n", 2, "not a hexadecimal digit"},
        {":0100000011EF\n", 1, "checksum mismatch"},
        {":0200000011EE\n", 1, "length does not match the record"},
        {":01400001AA14\n", 1, "end record with data"},
        {":020000040000FA\n", 1, "unsupported record type"},
        {":0100000011EE\n", 2, "no end record"},
        {":0100", 1, "record too short or of odd length"},
        {":00000001FF\n:0100000011EE\n", 2, "data after the end record"},
        // A record may end at the top of the controller's RAM but not past it.
        {":01400000AA15\n", 1, "address outside the controller's RAM"},
        {":023FFF00AABB5B\n:00000001FF\n", 1, "address outside the controller's RAM"},
        {":013FFF00AA17\n:00000001FF\n", 0, ""},
    };
    for (const auto &c : cases) {
        std::string reason;
        EXPECT_EQ(hex_validate(c.text, reason), c.line) << c.text;
        EXPECT_EQ(reason, c.reason) << c.text;
    }
}

// Refused, and closed again for another client to have.
TEST_F(BringUp, AnUnknownModelIsRefused) {
    // Product 0x01A5 exists for releases 0, 1 and 2 only.
    auto device = configure("model_11:state=ready:release=7");
    expectRefusedAtOpen(*device,
                        "error: unsupported camera: product 0x01A5, release 0x0007\n"
                        "error: unable to open usb device\n");
}

// What open makes of the registers a camera (model_05) starts with.
TEST_F(BringUp, OpenReadsGeometryColourTemperatureAndRates) {
    using Check = void (*)(const _vocam &, sim::CameraDevice &);
    const struct {
        std::vector<std::pair<std::uint16_t, std::uint32_t>> registers;
        std::string log;
        Check check;
    } cases[] = {
        {{{0x0690, 0x80008000u}, {0x0730, 0x80000000u}, {0x1014, 24}},  // cooler on, fan off
         "format: rggb\nsubsampling is available: max=4\n",
         [](const _vocam &c, sim::CameraDevice &d) {
             // The fan follows the cooler; a model with an FPGA runs at its fastest rate.
             EXPECT_EQ(std::make_tuple(d.reg(0x0730), d.reg(0x1010), d.reg(0x1048)),
                       std::make_tuple(0x80008000u, 8u, 48000u));
             EXPECT_EQ(std::tie(c.camera.fan_on, c.camera.color_id, c.camera.data_rate_count,
                                c.camera.max_width, c.colour.gamma),
                       std::make_tuple(true, 8u, 3, 2048, 100));
             EXPECT_EQ(c.colour.tone_lut[200], 200);
         }},
        {{{0x1014, 7}},
         "error: unsupported image format 7\n",  // stays monochrome
         [](const _vocam &c, sim::CameraDevice &d) {
             EXPECT_EQ(std::tie(c.camera.color_id, c.camera.is_color), std::make_tuple(0u, 0));
             EXPECT_EQ(d.reg(0x1010), 0u);
         }},
        {{{0x101C, 0x0101}},
         "subsampling is not available\n",  // only the low byte counts
         [](const _vocam &c, sim::CameraDevice &) {
             EXPECT_EQ(c.camera.subsampling_available, 0);
         }},
        {{{0x104C, 0}, {0x1048, 777}},
         "kps count: 0\n",  // no rates: the current one stays
         [](const _vocam &c, sim::CameraDevice &d) {
             EXPECT_EQ(c.camera.data_rate_count, 0);
             EXPECT_EQ(d.reg(0x1048), 777u);
         }},
        {{{0x0690, 0x80008000u}, {0x0730, 0x80008000u}},
         "sn=1000",  // a matching fan: no write
         [](const _vocam &c, sim::CameraDevice &d) {
             EXPECT_TRUE(c.camera.temperature_supported && c.camera.fan_on);
             for (const auto &e : d.log())
                 EXPECT_FALSE(e.setup.wIndex == 0x0730 && !(e.setup.bmRequestType & 0x80));
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.log);
        auto device = configure("model_05:state=ready");
        for (auto [reg, value] : c.registers) device->setReg(reg, value);
        test::StderrCapture err;
        _vocam *cam = opened(0x00A3);
        ASSERT_NE(cam, nullptr);
        const std::string log = err.take();
        EXPECT_THAT(log, HasSubstr(c.log));
        c.check(*cam, *device);
        vocam_camera_close(&cam);
        sim::Bus::instance().clear();
    }
}

TEST_F(BringUp, AnOddDataRateCountFillsTheListExactly) {
    sim::CameraConfig config = sim::defaultCameraConfig(4);  // model_05
    config.state = sim::BootState::Ready;
    config.dataRates = {11, 22, 33, 44, 55, 66};
    auto device = sim::Bus::instance().attach(config);
    device->setReg(0x104C, 5);
    _vocam *cam = opened(0x00A3);
    ASSERT_NE(cam, nullptr);
    std::uint32_t rates[8] = {};
    ASSERT_EQ(vocam_enum_available_data_rates(cam, rates, 8), 5);
    // The fifth is the low half of the third read; its high half (66) is dropped.
    EXPECT_EQ(rates[4], 55u);
    EXPECT_EQ(rates[5], 0u);
    EXPECT_EQ(rateReads(*device), 3);  // nothing beyond the count is read
    vocam_camera_close(&cam);
}

// A sensor of no pixels or of more than a buffer is made for, and a
// subsampling factor of 0, are a damaged camera: refused at open by name. So
// is a data-rate count no camera could mean, before a rate is read (such a
// count would once read 0x1050 for ever: a 16-bit counter stepping by 2
// never passes 0xFFFF).
TEST_F(BringUp, ImpossibleGeometryOrDataRateCountRefusesTheCamera) {
    const struct {
        std::uint16_t reg;
        std::uint32_t value;
        const char *line;
    } cases[] = {
        {0x1000, 600u << 16, "error: camera reports a 0x600 sensor: camera refused\n"},
        {0x1000, 600u << 16 | 20000, "error: camera reports a 20000x600 sensor: camera refused\n"},
        {0x1018, 1u << 16, "error: camera reports subsampling 0x1: camera refused\n"},
        {0x100C, 0xFFFFu << 16 | 0xFFFF,
         "error: camera reports a 65535x65535 window at 0,0 on its 2048x1536 sensor: camera "
         "refused\n"},
        {0x1008, 1u, "error: camera reports a 2048x1536 window at 1,0 on its 2048x1536 sensor"},
        {0x104C, 0x10002u, "error: data-rate count "},
        {0x104C, 257u, "error: data-rate count "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        auto device = configure("model_05:state=ready");
        device->setReg(c.reg, c.value);
        expectRefusedAtOpen(*device, c.line);
        if (c.reg == 0x104C) {
            EXPECT_EQ(rateReads(*device), 0);
        }
        bus().clear();
    }
}

// A device that another client is closing a moment before is waited for:
// tried five times before it is skipped (a release within them is taken).
TEST_F(BringUp, ABusyCameraIsTriedFiveTimesBeforeItIsSkipped) {
    auto device = configure("model_05:state=ready");
    device->holdByOtherClient(1000);
    expectRefusedAtOpen(*device, "usb_open_device: usb device open error");
    int opens = 0;
    for (const auto &e : device->log()) opens += e.kind == LogEntry::Kind::Open;
    EXPECT_EQ(opens, 5);
}

// Callers racing for the cameras each get one of their own: none settles
// on a camera another has just taken while a free one is left.
TEST_F(BringUp, ConcurrentOpenAnyGivesEveryCallerAFreeCamera) {
    configure(
        "model_02:state=ready,model_02:state=ready,model_16:state=ready,model_02:state=ready");
    constexpr int kCallers = 4;
    test::StderrCapture err;
    std::atomic<bool> go{false};
    _vocam *cams[kCallers] = {};
    std::vector<std::thread> callers;
    for (auto &cam : cams)
        callers.emplace_back([&go, &cam] {
            while (!go) std::this_thread::yield();
            EXPECT_EQ(vocam_camera_open_any(&cam), 0);
        });
    go = true;
    for (auto &t : callers) t.join();
    std::set<std::uint32_t> serials;
    for (auto &cam : cams) {
        if (cam == nullptr) continue;
        vocam_version v{};
        vocam_get_version(cam, &v);
        serials.insert(v.serial_number);
        vocam_camera_close(&cam);
    }
    EXPECT_EQ(serials, (std::set<std::uint32_t>{1000, 1001, 1002, 1003}));
}

// A camera that cannot stream is refused at open with the reason.
TEST_F(BringUp, ACameraWithoutItsStreamingSettingIsRefusedAtOpen) {
    auto descriptor = [](std::initializer_list<std::vector<std::uint8_t>> settings) {
        std::vector<std::uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 250};
        std::uint8_t alternate = 0;
        for (const auto &endpoints : settings) {
            d.insert(d.end(), {9, 4, 0, alternate++,
                               static_cast<std::uint8_t>(endpoints.size() / 2), 0xFF, 0, 0, 0});
            for (std::size_t i = 0; i < endpoints.size(); i += 2)
                d.insert(d.end(), {7, 5, endpoints[i], endpoints[i + 1], 0x00, 0x02, 0});
        }
        d[2] = static_cast<std::uint8_t>(d.size());
        return d;
    };
    const struct {
        std::vector<std::uint8_t> configuration;
        const char *line;
    } cases[] = {
        {descriptor({{}, {0x02, 2, 0x86, 2}}), "error: unable to select alternate setting 2: "},
        {descriptor({{}, {0x02, 2}, {0x86, 1}}),  // isochronous
         "error: alternate setting 2 has no bulk IN endpoint for frames\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        sim::CameraConfig config = sim::defaultCameraConfig(4);  // model_05
        config.state = sim::BootState::Ready;
        config.configuration = c.configuration;
        expectRefusedAtOpen(*sim::Bus::instance().attach(config), c.line);
        sim::Bus::instance().clear();
    }
}

// An unknown release is AnUnknownModelIsRefused's; a model
// without matrices is properties_test's (AModelWithoutMatricesFailsOnceThenWorks).
TEST(ModelTable, ARecordSearchEndsAtTheTerminator) {
    const std::uint8_t *payload = nullptr;
    std::uint32_t length = 0;
    // model_09 lists 92 bytes for a 72-byte blob: the terminator ends the search.
    EXPECT_EQ(vo_find_model_record(&camera_ids[8], 1, &payload, &length), 0);
    EXPECT_EQ(length, 60u);
    EXPECT_EQ(vo_find_model_record(&camera_ids[8], 2, &payload, &length), -14);
}

// serial -> state, from a listing of at most 8.
std::vector<std::pair<std::uint32_t, int>> states() {
    vocam_camera_state records[8];
    std::uint32_t count = 8;
    const int listed = vocam_get_camera_states(records, &count);
    EXPECT_EQ(listed, static_cast<int>(count));
    std::vector<std::pair<std::uint32_t, int>> out;
    for (std::uint32_t i = 0; i < count && i < 8; ++i)
        out.emplace_back(records[i].serial_number, records[i].state);
    std::sort(out.begin(), out.end());
    return out;
}

// Boot controllers are listed without being opened, and the state listing
// tells a failed start-up from no camera (start-up itself still answers 0).
TEST_F(BringUp, BootControllersAreListedBeforeStartUpAndStatesAfterIt) {
    configure(
        "model_02:serial=11,model_03:serial=12,model_05:state=fpga:serial=13,"
        "model_16:state=ready:serial=14");
    using States = std::vector<std::pair<std::uint32_t, int>>;
    vocam_version records[4];
    std::memset(records, 0xEE, sizeof records);
    std::uint32_t count = 1;
    EXPECT_EQ(vocam_enum_boot_controllers(records, &count), 2);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::tie(records[0].product_id, records[0].serial_number, records[0].zero),
              std::make_tuple(bus().devices()[0]->product(), 0u, 0u));
    EXPECT_EQ(records[1].zero, 0xEEEEEEEEu);
    for (auto &d : bus().devices()) EXPECT_FALSE(d->isOpen());
    EXPECT_EQ(vocam_enum_boot_controllers(nullptr, nullptr), -22);

    // model_03's firmware and model_05's bitstream are missing.
    files.remove("vocam03/firm2.HEX");
    files.remove("vocam04/fpga2.rbf");
    init();
    EXPECT_EQ(states(), (States{{0, VOCAM_STATE_NO_FIRMWARE},
                                {11, VOCAM_STATE_READY},
                                {13, VOCAM_STATE_NO_FPGA},
                                {14, VOCAM_STATE_READY}}));
    // A camera held by another client cannot be asked.
    _vocam *held = opened(0x03AD);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(states(), (States{{0, VOCAM_STATE_NO_FIRMWARE},
                                {0, VOCAM_STATE_UNREACHABLE},
                                {11, VOCAM_STATE_READY},
                                {13, VOCAM_STATE_NO_FPGA}}));
    vocam_camera_close(&held);
    // Capacity 0 counts without writing; a missing count is refused.
    count = 0;
    EXPECT_EQ(vocam_get_camera_states(nullptr, &count), 4);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(vocam_get_camera_states(nullptr, nullptr), VOCAM_EINVAL);
}

#endif

}  // namespace
