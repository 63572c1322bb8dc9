// The auto algorithms on frames the simulated camera streams: white balance
// under its warm light, exposure, and the focus search driving the simulated
// lens through the search's lens seam.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <memory>
#include <tuple>
#include <vector>

#include "Simulator/SimLens.h"
#include "auto/autofocus.h"
#include "support/OpenCamera.h"
#include "support/Stderr.h"
#include "vocamapi.h"

namespace {

using vocam::sim::LensConfig;
using vocam::sim::SimLens;
using vocam::test::nextFrame;
using vocam::test::OpenCamera;
using vocam::test::StderrCapture;
using vocam::test::window;

// The grey patch of the scene, in a window around it.
constexpr int kPatchX = 144, kPatchY = 72, kPatchW = 96, kPatchH = 104;

// A BGGR camera (model_06, 1280 x 960) streaming as fast as frames are read.
class Streamed : public ::testing::Test {
  protected:
    std::unique_ptr<OpenCamera> cam;
    _vocam *h = nullptr;
    int width = 0, height = 0;

    virtual const char *camera() const { return "model_06:state=ready:fps=0"; }
    void SetUp() override {
        cam = std::make_unique<OpenCamera>(camera());
        h = cam->handle();
    }

    void stream(int x, int y, int w, int hh) {
        auto f = window(x, y, w, hh, 1, 1);
        ASSERT_EQ(vocam_set_video_format(h, &f), 0);
        ASSERT_EQ(vocam_enable_streaming(h), 0);
        ASSERT_EQ(vocam_start_streaming(h), 0);
        width = w;
        height = hh;
    }
    void TearDown() override {
        vocam_stop_streaming(h);
        vocam_disable_streaming(h);
    }
    // Calls `use` with a frame sent after everything done so far: frames
    // already read into the ring are passed over.
    template <class F>
    void freshFrame(F &&use) {
        for (int i = 0; i < 4; ++i) {
            const int index = nextFrame(h);
            ASSERT_GE(index, 0);
            if (i == 3) use(vocam_get_buffer_address(h, index));
            vocam_release_buffer(h, index);
        }
    }
    // Red/green and blue/green of the converted grey patch (identity
    // correction, the engine's digital gains).
    std::pair<double, double> convertedBalance(const std::uint8_t *frame) {
        std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
        _VOCAM_IMAGE_FORMAT image{};
        EXPECT_EQ(vocam_get_image_format(h, &image), 0);
        const std::uint32_t params[3] = {12, 1, 14};
        EXPECT_EQ(vocam_convert_frame_to_rgb(h, rgb.data(), frame, &image, params), 0);
        double sum[3] = {};
        for (int r = kPatchY + 2; r < kPatchY + kPatchH - 2; ++r)
            for (int c = kPatchX + 2; c < kPatchX + kPatchW - 2; ++c)
                for (int k = 0; k < 3; ++k) sum[k] += rgb[(std::size_t(r) * width + c) * 3 + k];
        return {sum[0] / sum[1], sum[2] / sum[1]};
    }
};

// The step's own arithmetic is auto_test's; here the camera's warm light is
// balanced in its BGGR phase, and a step then finds nothing to change.
TEST_F(Streamed, OneShotBalancesTheGreyPatchInOneCall) {
    stream(512, 384, 384, 256);
    freshFrame([&](const std::uint8_t *f) {
        const auto [rg, bg] = convertedBalance(f);
        EXPECT_GT(rg, 1.08);  // the warm light
        EXPECT_LT(bg, 0.85);
        StderrCapture out(STDOUT_FILENO);
        EXPECT_EQ(vocam_oneshot_autowhitebalance(h, f, kPatchX, kPatchY, kPatchW, kPatchH), 0);
    });
    StderrCapture quiet;
    freshFrame([&](const std::uint8_t *f) {
        EXPECT_EQ(vocam_whitebalance_step(h, f, kPatchX, kPatchY, kPatchW, kPatchH), 0);
        const auto [rg, bg] = convertedBalance(f);
        EXPECT_NEAR(rg, 1.0, 0.03);
        EXPECT_NEAR(bg, 1.0, 0.03);
    });
}

// ---- Focus ----

// The search's lens seam connected to the simulated lens.
class LensDrive : public vocam::FocusDrive {
  public:
    explicit LensDrive(std::shared_ptr<SimLens> lens) : lens_(std::move(lens)) {}
    int read(int *min, int *max, int *position, std::uint32_t *flags) override {
        std::tie(*min, *max, *position, *flags) = std::tuple(
            lens_->config().min, lens_->config().max, lens_->position(), lens_->config().flags);
        return 0;
    }

    int write(int position) override {
        writes.push_back(position);
        lens_->command(position);
        return 0;
    }
    std::vector<int> writes;

  private:
    std::shared_ptr<SimLens> lens_;
};

struct Search {
    int result = 0, calls = 0;
    std::shared_ptr<SimLens> lens;
    std::shared_ptr<LensDrive> drive;
};

class Focus : public Streamed {
  protected:
    // Paced frames: the lens moves in time, between frames.
    const char *camera() const override { return "model_06:state=ready:fps=100"; }

    // Searches over the region given, or the window but for a margin of 16
    // pixels.
    Search run(LensConfig config, int maxCalls = 3000, std::array<int, 4> region = {}) {
        if (region[2] == 0) region = {16, 16, width - 32, height - 32};
        Search s;
        s.lens = std::make_shared<SimLens>(config);
        s.drive = std::make_shared<LensDrive>(s.lens);
        cam->device().attachLens(s.lens);
        vo_autofocus(h->algorithms).drive = s.drive;
        // The first measurement is taken at once: on a frame through the lens.
        freshFrame([](const std::uint8_t *) {});
        EXPECT_EQ(vocam_autofocus_start(h, region[0], region[1], region[2], region[3]), 0);
        while (s.calls < maxCalls) {
            const int index = nextFrame(h);
            if (index < 0) break;
            s.result = vocam_autofocus_process(h, vocam_get_buffer_address(h, index));
            vocam_release_buffer(h, index);
            ++s.calls;
            if (s.result < 0) break;
        }
        return s;
    }
};

// The colour patches on their dark surround: edges of all contrasts.
constexpr int kPatchesX = 256, kPatchesY = 256;

TEST_F(Focus, SearchEndsWithinOneStepOfFocusFromAnywhere) {
    stream(kPatchesX, kPatchesY, 256, 256);
    struct Case {
        int start, focus;
        int within = 100;  // one step: a 32nd of the range
    } cases[] = {{0, 2200},
                 {3200, 900},
                 {1500, 0},
                 {1700, 3200},
                 // Coming down, the parabola through the last three positions
                 // puts the peak below the middle one, on the side of travel.
                 {2900, 1234, 30}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << ", focus " << c.focus);
        const Search s = run({.focus = c.focus, .start = c.start});
        EXPECT_EQ(s.result, -1);
        EXPECT_NEAR(s.lens->position(), c.focus, c.within);
    }
}

TEST_F(Focus, SceneWithoutContrastTurnsBackAtTheLimitAndGivesUp) {
    stream(512, 384, 384, 256);
    // Inside the grey patch every pixel equals its same-colour neighbours.
    const Search s =
        run({.start = 1600, .blurScale = 0}, 2000, {kPatchX, kPatchY, kPatchW, kPatchH});
    EXPECT_EQ(s.result, -60);
    // Upwards two steps at a time to the top, then back to the start and on
    // downwards; every searching measurement moved the lens once, and the
    // 37th gave up. No position beyond the lens's travel was sent.
    const auto &w = s.drive->writes;
    ASSERT_EQ(w.size(), 37u);
    const std::vector<int> head = {1800, 2000, 2200, 2400, 2600, 2800, 3000, 3200, 1400};
    EXPECT_EQ(std::vector<int>(w.begin(), w.begin() + 9), head);
    EXPECT_EQ(w[9], 1200);
    for (int position : w) EXPECT_TRUE(position >= 0 && position <= 3200) << position;
}

// Where the controller enforces no limit, climbing and refining are bounded
// all the same: a lens held at the end of its travel is not driven on.
TEST_F(Focus, SearchesEndWhereALimitIsNotEnforced) {
    stream(kPatchesX, kPatchesY, 256, 256);
    for (auto [flags, focus] : {std::pair{2u, 1600}, std::pair{1u, 0}}) {
        const Search s = run({.focus = focus, .start = 1000, .flags = flags}, 1000);
        EXPECT_LT(s.result, 0) << flags;
        EXPECT_LT(s.calls, 1000) << flags;
    }
}

TEST_F(Focus, LensThatNeverSettlesIsNeverMeasured) {
    stream(kPatchesX, kPatchesY, 256, 256);
    const Search s = run({.start = 1000, .hunting = true}, 60);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.calls, 60);
    // Only the first call, which measures without waiting, moved the lens.
    EXPECT_EQ(s.drive->writes.size(), 1u);
}

TEST_F(Focus, WithoutALensThePropertyIsRefusedAndNothingMoves) {
    stream(kPatchesX, kPatchesY, 256, 256);
    vo_autofocus(h->algorithms).drive.reset();
    EXPECT_EQ(vocam_autofocus_start(h, 0, 0, width, height), -22);
    freshFrame([&](const std::uint8_t *f) { EXPECT_EQ(vocam_autofocus_process(h, f), -5); });
    // A null frame is refused before the lens is touched.
    auto drive = std::make_shared<LensDrive>(std::make_shared<SimLens>(LensConfig{}));
    vo_autofocus(h->algorithms).drive = drive;
    ASSERT_EQ(vocam_autofocus_start(h, 0, 0, width, height), 0);
    const auto before = vo_autofocus(h->algorithms).af_state;
    EXPECT_EQ(vocam_autofocus_process(h, nullptr), -22);
    EXPECT_EQ(vo_autofocus(h->algorithms).af_state, before);
    EXPECT_TRUE(drive->writes.empty());
    // A region outside the frame.
    EXPECT_EQ(vocam_autofocus_start(h, 200, 0, 100, 100), -22);
}

// A frame held across a change of window is measured as the window it was
// taken in; a region or a focus search that does not fit it is refused.
TEST_F(Streamed, AHeldFrameIsMeasuredWithItsOwnGeometryAfterAWindowChange) {
    stream(512, 384, 128, 64);
    const int index = nextFrame(h);
    ASSERT_GE(index, 0);
    ASSERT_EQ(vocam_stop_streaming(h), 0);
    const std::uint8_t *held = vocam_get_buffer_address(h, index);
    auto exposureAfterOneShot = [&] {
        EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_EXPOSURE, 5000, 0), 0);
        EXPECT_EQ(vocam_oneshot_autoexposure(h, 100, held, 0, 0, 128, 64, 0.0), 0);
        int value = 0;
        std::uint32_t flags = 0;
        EXPECT_EQ(vocam_property_get(h, VOCAM_PROP_EXPOSURE, &value, &flags), 0);
        return value;
    };
    const int before = exposureAfterOneShot();
    auto full = window(0, 0, 1280, 960, 1, 1);
    ASSERT_EQ(vocam_set_video_format(h, &full), 0);
    EXPECT_EQ(exposureAfterOneShot(), before);
    EXPECT_EQ(vocam_whitebalance_step(h, held, 0, 0, 256, 128), -22);
    EXPECT_EQ(vocam_oneshot_autogain(h, 100, held, 0, 0, 256, 128), -22);
    vo_autofocus(h->algorithms).drive =
        std::make_shared<LensDrive>(std::make_shared<SimLens>(LensConfig{}));
    ASSERT_EQ(vocam_autofocus_start(h, 16, 16, 256, 128), 0);
    EXPECT_EQ(vocam_autofocus_process(h, held), -22);
    EXPECT_EQ(vocam_release_buffer(h, index), 0);
}

}  // namespace
