#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "support/Stderr.h"
#include "vo_cam.h"

namespace {

TEST(ModelName, BufferMustHoldNameAndTerminator) {
    _vocam handle;
    strcpy(handle.model_name, "VoCam 1234");
    char exact[11];
    EXPECT_EQ(vocam_get_model_name(&handle, exact, sizeof exact), 0);
    EXPECT_STREQ(exact, "VoCam 1234");

    vocam::test::StderrCapture err;
    char shorter[10] = "untouched";
    EXPECT_EQ(vocam_get_model_name(&handle, shorter, sizeof shorter), -22);
    EXPECT_STREQ(shorter, "untouched");
    EXPECT_EQ(err.take(), "error: provided string is too small for model name");
}

TEST(Version, WordsComeFromTheHandle) {
    _vocam handle;
    handle.product_id = 0x00A1;
    handle.serial_number = 1234;
    handle.release_number = 0x0102;
    handle.firmware_version = 0x00050003;
    handle.device_speed = vocam::usbhost::kSpeedHigh;
    vocam_version v;
    memset(&v, 0xFF, sizeof v);
    EXPECT_EQ(vocam_get_version(&handle, &v), 0);
    EXPECT_EQ(std::tie(v.zero, v.product_id, v.serial_number, v.release_number, v.firmware_version,
                       v.high_speed),
              std::make_tuple(0u, 0x00A1u, 1234u, 0x0102u, 0x00050003u, 1u));
    handle.device_speed = vocam::usbhost::kSpeedFull;
    vocam_get_version(&handle, &v);
    EXPECT_EQ(v.high_speed, 0u);
}

}  // namespace
