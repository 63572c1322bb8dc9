// What bring-up left of each device: a camera whose files are missing does
// not come up, and the state listing says so instead of showing no camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Simulator/SimBus.h"
#include "support/Resources.h"
#include "support/Stderr.h"
#include "vo_cam/vo_cam.h"

namespace {

using namespace vocam;

class CameraStates : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::useSimulatedBus(); }
    void SetUp() override { vo_forget_bring_up(); }
    void TearDown() override { sim::Bus::instance().clear(); }

    // serial -> state, from a listing of at most 8.
    std::vector<std::pair<std::uint32_t, int>> states() {
        vocam_camera_state records[8];
        std::uint32_t count = 8;
        // The count is read only after the call has written it.
        const int listed = vocam_get_camera_states(records, &count);
        EXPECT_EQ(listed, static_cast<int>(count));
        std::vector<std::pair<std::uint32_t, int>> out;
        for (std::uint32_t i = 0; i < count && i < 8; ++i)
            out.emplace_back(records[i].serial_number, records[i].state);
        std::sort(out.begin(), out.end());
        return out;
    }
    test::TempResources files;
};

TEST_F(CameraStates, TellAFailedBringUpFromNoCamera) {
    // model_02 and model_03 wait for firmware; model_05 for its FPGA;
    // model_16 has no FPGA to load.
    ASSERT_TRUE(sim::Bus::instance().configure(
        "model_02:serial=11,model_03:serial=12,model_05:state=fpga:serial=13,"
        "model_16:state=ready:serial=14"));
    EXPECT_EQ(states(), (std::vector<std::pair<std::uint32_t, int>>{{0, VOCAM_STATE_NO_FIRMWARE},
                                                                    {0, VOCAM_STATE_NO_FIRMWARE},
                                                                    {13, VOCAM_STATE_NO_FPGA},
                                                                    {14, VOCAM_STATE_READY}}));

    // model_03's firmware and model_05's bitstream are missing: start-up
    // still answers 0, and only the listing shows who did not come up.
    files.remove("vocam03/firm2.HEX");
    files.remove("vocam04/fpga2.rbf");
    {
        test::StderrCapture quiet;
        ASSERT_EQ(vocam_init(files.root().c_str()), 0);
    }
    std::uint32_t found = 0;
    EXPECT_EQ(vocam_enum_cameras(nullptr, &found), 3);
    EXPECT_EQ(states(), (std::vector<std::pair<std::uint32_t, int>>{{0, VOCAM_STATE_NO_FIRMWARE},
                                                                    {11, VOCAM_STATE_READY},
                                                                    {13, VOCAM_STATE_NO_FPGA},
                                                                    {14, VOCAM_STATE_READY}}));

    // A camera held by another client cannot be asked.
    _vocam *held = nullptr;
    ASSERT_EQ(vocam_camera_open_by_pid(&held, 0x03AD), 0);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(states(), (std::vector<std::pair<std::uint32_t, int>>{{0, VOCAM_STATE_NO_FIRMWARE},
                                                                    {0, VOCAM_STATE_UNREACHABLE},
                                                                    {11, VOCAM_STATE_READY},
                                                                    {13, VOCAM_STATE_NO_FPGA}}));
    vocam_camera_close(&held);

    // Capacity 0 counts without writing; a missing count is refused.
    std::uint32_t count = 0;
    EXPECT_EQ(vocam_get_camera_states(nullptr, &count), 4);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(vocam_get_camera_states(nullptr, nullptr), VOCAM_EINVAL);
}

}  // namespace
