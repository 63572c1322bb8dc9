#include <gtest/gtest.h>
#include "support/umock/Camera.h"
#include "support/umock/Testbed.h"
#include "vo_usb/vo_usb.h"
TEST(Smoke, ReadsARegister) {
    ASSERT_TRUE(vocam::test::umock::Testbed::active());
    vocam::test::umock::LibusbCamera cam;
    std::uint32_t w = 0;
    EXPECT_EQ(vo_usb_read_vocam_u32(cam.handle(), 0x1000, &w), 0);
    EXPECT_EQ(w & 0xFFFF, 1280u);
    for (auto &r : vocam::test::umock::Testbed::instance().takeRequests()) printf("%s\n", r.c_str());
}
