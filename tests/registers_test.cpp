// The register protocol and the identity reads made at open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "support/SimCamera.h"
#include "support/Stderr.h"
#include "vo_usb/vo_usb.h"

using vocam::sim::LogEntry;
using vocam::sim::StringFault;
using namespace vocam::usbhost;

namespace {

class Registers : public ::testing::Test {
  protected:
    vocam::test::SimCamera cam;
    vocam::test::StderrCapture err;
};

TEST_F(Registers, WordsTravelLittleEndianInOneRequest) {
    cam.device().setReg(0x0600, 0x12345678);
    std::uint16_t low = 0, high = 0;
    EXPECT_EQ(vo_usb_read_vocam_two_u16(cam.handle(), 0x0600, &low, &high), 0);
    EXPECT_EQ(std::make_tuple(low, high), std::make_tuple(0x5678, 0x1234));

    EXPECT_EQ(vo_usb_write_vocam_two_u16(cam.handle(), 0x0604, 0x5678, 0x1234), 0);
    const LogEntry e = cam.log().back();
    EXPECT_EQ(
        std::make_tuple(e.setup.bmRequestType, e.setup.bRequest, e.setup.wValue, e.setup.wIndex),
        std::make_tuple(0x40, 0x12, 0, 0x0604));
    EXPECT_EQ(e.data, (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(cam.device().reg(0x0604), 0x12345678u);
}

TEST_F(Registers, ArraysReadConsecutiveWordsAndAddressesAreCutTo16Bits) {
    for (std::uint16_t i = 0; i < 4; ++i) cam.device().setReg(0x0690 + 4 * i, 0xA0000000u + i);
    std::uint32_t words[4] = {};
    EXPECT_EQ(vo_usb_read_vocam_array(cam.handle(), 0x30690, words, 4), 0);
    EXPECT_EQ(cam.log().back().setup.wIndex, 0x0690);
    EXPECT_EQ(cam.log().back().setup.wLength, 16);
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(words[i], 0xA0000000u + i);

    const std::uint32_t out[2] = {0x01020304, 0xAABBCCDD};
    EXPECT_EQ(vo_usb_write_vocam_array(cam.handle(), 0x0700, out, 2), 0);
    EXPECT_EQ(cam.log().back().data,
              (std::vector<std::uint8_t>{4, 3, 2, 1, 0xDD, 0xCC, 0xBB, 0xAA}));
}

TEST_F(Registers, FailuresAreReportedAndLeaveOutputsAlone) {
    std::uint32_t word = 7;
    EXPECT_EQ(vo_usb_read_vocam_array(cam.handle(), 0x1000, &word, 0), -1);
    EXPECT_EQ(vo_usb_write_vocam_array(cam.handle(), 0x1000, &word, 0), -1);
    EXPECT_EQ(err.take(),
              "error: unable to read register from camera\n"
              "error: unable to write register to camera\n");
    EXPECT_TRUE(cam.log().empty());

    EXPECT_EQ(vo_usb_read_vocam_u32(nullptr, 0x1000, &word), -1);
    EXPECT_EQ(vo_usb_write_vocam_u32(nullptr, 0x1000, 1), -1);
    EXPECT_EQ(err.take(),
              "error: camera reference cannot be NULL\n"
              "error: camera reference cannot be NULL\n");

    cam.device().failControl(kIOReturnNotResponding);
    std::uint16_t low = 1, high = 2;
    EXPECT_EQ(vo_usb_read_vocam_two_u16(cam.handle(), 0x1000, &low, &high), -1);
    EXPECT_EQ(std::make_tuple(low, high), std::make_tuple(1, 2));  // left alone
    EXPECT_EQ(err.take(),
              "VOXUSBReadControlPipe Err 0xE00002ED -536870163\n"
              "error: unable to read register from camera\n");
}

TEST(SerialNumber, DigitsCountAndOtherCharactersDoNotStopTheParse) {
    EXPECT_EQ(usb_parse_serial_number("0012"), 12u);
    EXPECT_EQ(usb_parse_serial_number("12A"), 127u);
    EXPECT_EQ(usb_parse_serial_number(""), 0u);
    // A space is 32: (32 - 48) % 10 is -6, and the sum wraps as unsigned.
    EXPECT_EQ(usb_parse_serial_number("1 "), 10u - 6u);
    EXPECT_EQ(usb_parse_serial_number("4294967296"), 0u);
}

TEST(Identity, ModelNameSerialAndFirmwareVersionComeFromTheCamera) {
    vocam::test::SimCamera cam("model_16:state=ready:serial=4711:name=" + std::string(40, 'N'));
    vocam::test::StderrCapture err;
    EXPECT_EQ(usb_get_device_model_name(cam.handle()), 0);
    EXPECT_EQ(std::string(cam.handle()->model_name), std::string(31, 'N'));
    EXPECT_EQ(err.take(), "model name: '" + std::string(31, 'N') + "'\n");
    EXPECT_EQ(usb_get_device_serial_number(cam.handle()), 0);
    EXPECT_EQ(cam.handle()->serial_number, 4711u);

    // Two requests: the header first, then the whole descriptor.
    const auto log = cam.log();
    ASSERT_EQ(log.size(), 4u);
    const auto &s = log[0].setup;
    EXPECT_EQ(std::make_tuple(log[0].deviceLevel, s.bmRequestType, s.bRequest, s.wValue, s.wIndex,
                              s.wLength, log[0].noDataTimeoutMs, log[0].completionTimeoutMs),
              std::make_tuple(true, 0x80, 6, 0x0302, 0, 2, 5000u, 0u));
    EXPECT_EQ(log[1].setup.wLength, 2 + 2 * 40);
    EXPECT_EQ(log[3].setup.wValue, 0x0303);

    cam.device().setReg(0x000C, 0x00030102);
    usb_get_device_firmware_version(cam.handle());
    EXPECT_EQ(cam.handle()->firmware_version, 0x00030102u);
}

TEST(Identity, MalformedDescriptorsAreRefusedAndLeaveTheOutputAlone) {
    for (StringFault fault : {StringFault::WrongType, StringFault::OddLength}) {
        vocam::test::SimCamera cam("model_02:state=ready");
        cam.device().setStringFault(2, fault);
        char out[32] = "untouched";
        EXPECT_EQ(usb_get_string_descriptor(cam.handle(), 2, out, sizeof out, 0),
                  kIOReturnDeviceError);
        EXPECT_STREQ(out, "untouched");
        vocam::test::StderrCapture err;
        EXPECT_EQ(usb_get_device_model_name(cam.handle()), -1);
        EXPECT_EQ(err.take(), "error: unable to read camera's model name\n");
        EXPECT_EQ(cam.handle()->model_name[0], '\0');
    }
}

TEST(Identity, EmptyAndOverlongDescriptorsStayInsideTheBuffer) {
    vocam::test::SimCamera cam("model_02:state=ready:name=ABCDEFGHIJ");
    cam.device().setStringFault(2, StringFault::Empty);
    char out[32] = "untouched";
    EXPECT_EQ(usb_get_string_descriptor(cam.handle(), 2, out, sizeof out, 0), 0);
    EXPECT_STREQ(out, "");

    // Announces more than it sends: what never arrived reads as the end.
    cam.device().setStringFault(2, StringFault::Overlong);
    EXPECT_EQ(usb_get_string_descriptor(cam.handle(), 2, out, sizeof out, 0), 0);
    EXPECT_STREQ(out, "ABCD");

    EXPECT_EQ(usb_get_string_descriptor(cam.handle(), 2, out, 1, 0), -1);
    EXPECT_EQ(usb_get_string_descriptor(cam.handle(), 2, out, 0, 0), -1);
}

TEST(Identity, AFailedFirstRequestOrAMissingStringFailsSoftly) {
    vocam::test::SimCamera cam("model_02:state=ready:serial=99");
    cam.device().failControl(kIOReturnNotResponding);
    char out[32] = "untouched";
    EXPECT_EQ(usb_get_string_descriptor(cam.handle(), 3, out, sizeof out, 0), -1);
    EXPECT_STREQ(out, "untouched");

    vocam::test::StderrCapture err;
    cam.device().failControl(kIOReturnNotResponding);
    EXPECT_EQ(usb_get_device_serial_number(cam.handle()), -1);
    EXPECT_EQ(err.take(), "error: unable to read camera's serial number\n");
    EXPECT_EQ(cam.handle()->serial_number, 0u);
}

}  // namespace
