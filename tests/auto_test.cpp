// Frame statistics, the sharpness metric, and the white-balance and one-shot
// exposure arithmetic on frames made by hand (the camera only holds the
// properties they read and write).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "Simulator/SimProperties.h"
#include "reference/reference.h"
#include "support/OpenCamera.h"
#include "support/Stderr.h"
#include "vocamapi.h"

namespace {

using ::testing::HasSubstr;
using vocam::test::OpenCamera;
using vocam::test::StderrCapture;

std::vector<std::uint8_t> randomFrame(std::size_t bytes, unsigned seed) {
    std::mt19937 rng(seed);
    return vocam::ref::randomBytes(bytes, rng);
}

// A property's raw value.
int property(_vocam *h, std::uint32_t id) {
    int v = 0;
    std::uint32_t flags = 0;
    EXPECT_GE(vocam_property_get(h, id, &v, &flags), 0);
    return v;
}

// The exposure a one-shot step sets from `from` toward `target`, measured
// over the frame's first 64 x 64 pixels.
std::uint32_t oneShotExposure(_vocam *h, const std::uint8_t *frame, std::uint32_t from,
                              int target) {
    EXPECT_EQ(vocam_property_set(h, VOCAM_PROP_EXPOSURE, static_cast<int>(from), 0), 0);
    EXPECT_EQ(vocam_oneshot_autoexposure(h, target, frame, 0, 0, 64, 64, 0.0), 0);
    return static_cast<std::uint32_t>(property(h, VOCAM_PROP_EXPOSURE));
}

_FrameDesc desc(std::uint64_t fw, std::uint64_t fh, std::uint64_t x, std::uint64_t y,
                std::uint64_t w, std::uint64_t h) {
    return {fw, fh, 0, 0, 0, x, y, w, h};
}

// ---- Region description ----

TEST(FrameDesc, BorderNarrowsTheRegionAndOutsideRegionsAreRefused) {
    OpenCamera cam;  // 1280 x 1024, no subsampling
    _vocam *h = cam.handle();
    struct Case {
        int x, y, w, h, border;
        int result;
        std::uint64_t rx, ry, rw, rh;
    } cases[] = {
        {0, 0, 100, 50, 2, 0, 2, 2, 98, 48},            // left and top edges
        {1180, 974, 100, 50, 2, 0, 1180, 974, 98, 48},  // right and bottom edges
        {0, 0, 1280, 1024, 2, 0, 2, 2, 1276, 1020},     // whole frame
        {10, 20, 33, 17, 0, 0, 10, 20, 33, 17},         // untouched without a border
        {1181, 0, 100, 50, 0, -22, 0, 0, 0, 0},         // one column beyond the frame
        {0, 975, 100, 50, 0, -22, 0, 0, 0, 0},
        {-2, 0, 10, 10, 0, -22, 0, 0, 0, 0},
        {0, 0, 2, 10, 2, -22, 0, 0, 0, 0},  // nothing left inside the border
        {0, 0, 10, 10, -1, -22, 0, 0, 0, 0},
        {2147483647, 0, 1, 1, 0, -22, 0, 0, 0, 0},  // no wrap of x + width
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.w << "x" << c.h);
        _FrameDesc d;
        std::memset(&d, 0xAB, sizeof d);
        const _FrameDesc before = d;
        ASSERT_EQ(fill_FrameDesc(h, 7, &d, c.x, c.y, c.w, c.h, c.border), c.result);
        if (c.result != 0) {
            EXPECT_EQ(std::memcmp(&d, &before, sizeof d), 0);
            continue;
        }
        EXPECT_EQ(d.two_bytes_per_pixel + d.sample_second_byte + d.field_ordered, 0u);
        EXPECT_EQ(
            std::tie(d.frame_width, d.frame_height, d.roi_x, d.roi_y, d.roi_width, d.roi_height),
            std::make_tuple(1280u, 1024u, c.rx, c.ry, c.rw, c.rh));
    }
    _FrameDesc d{};
    EXPECT_EQ(fill_FrameDesc(nullptr, 0, &d, 0, 0, 8, 8, 0), -22);
    EXPECT_EQ(fill_FrameDesc(h, 0, nullptr, 0, 0, 8, 8, 0), -22);
    // A subsampled window is described in delivered pixels. The library's own
    // reads of the window, made on every automatic step, write no line (a
    // client's read does: format_test).
    auto f = vocam::test::window(0, 0, 640, 480, 2, 2);
    ASSERT_EQ(vocam_set_video_format(h, &f), 0);
    StderrCapture err;
    ASSERT_EQ(fill_FrameDesc(h, 0, &d, 0, 0, 320, 240, 0), 0);
    EXPECT_THAT(err.take(), ::testing::Not(HasSubstr("vocam_get_video_format")));
    EXPECT_EQ(std::tie(d.frame_width, d.frame_height), std::make_tuple(320u, 240u));
    EXPECT_EQ(fill_FrameDesc(h, 0, &d, 0, 0, 321, 240, 0), -22);
}

// ---- Statistics ----

// The four sums of a region, of a description that must be accepted.
std::array<std::uint32_t, 4> sums(const _FrameDesc &d, const std::uint8_t *f) {
    std::array<std::uint32_t, 4> s{};
    EXPECT_EQ(BayerOrMonoComputeSums(&d, f, 0, s.data()), 0);
    return s;
}

// The four sums of a progressive region against a pixel-by-pixel model.
void expectModelSums(const _FrameDesc &d, const std::uint8_t *f) {
    std::array<std::uint32_t, 4> model{};
    for (std::uint64_t r = 0; r < (d.roi_height & ~1ull); ++r)
        for (std::uint64_t c = 0; c < (d.roi_width & ~1ull); ++c)
            model[(r & 1) * 2 + (c & 1)] += f[(d.roi_y + r) * d.frame_width + d.roi_x + c];
    EXPECT_EQ(sums(d, f), model) << d.roi_x << "," << d.roi_y << " " << d.roi_width << "x"
                                 << d.roi_height;
}

TEST(Statistics, SumsOfEachCellPositionOverOddAndEvenRegions) {
    const auto frame = randomFrame(200 * 90, 1);
    // Odd corners, odd sizes, widths around the vector length, a single cell.
    const std::uint64_t regions[][4] = {{0, 0, 200, 90}, {3, 5, 37, 21},    {1, 1, 16, 2},
                                        {7, 2, 33, 31},  {150, 60, 50, 30}, {5, 5, 2, 2}};
    for (const auto &g : regions)
        expectModelSums(desc(200, 90, g[0], g[1], g[2], g[3]), frame.data());
    // Rows longer than the vector lanes hold before they are emptied, with
    // every tail length after the wide blocks.
    const auto wide = randomFrame(20000 * 6, 4);
    for (std::uint64_t w : {19998u, 19951u, 16384u, 16401u, 16423u})
        expectModelSums(desc(20000, 6, 1, 1, w, 5), wide.data());
}

TEST(Statistics, SumsWrapAtThirtyTwoBits) {
    // A 9000 x 8000 all-255 region: each sum is 255 x 18,000,000 =
    // 4,590,000,000, which wraps.
    std::vector<std::uint8_t> white(9000ull * 8000, 255);
    EXPECT_EQ(sums(desc(9000, 8000, 0, 0, 9000, 8000), white.data())[0],
              static_cast<std::uint32_t>(4590000000ull));
}

// A field-ordered frame holds the same rows as a progressive one, even rows
// first; its sums over the same region must match.
std::vector<std::uint8_t> toFields(const std::vector<std::uint8_t> &p, int w, int h) {
    std::vector<std::uint8_t> f(p.size());
    for (int r = 0; r < h; ++r) std::memcpy(&f[((r & 1) * (h / 2) + r / 2) * w], &p[r * w], w);
    return f;
}

TEST(Statistics, FieldOrderedFramesMatchTheirProgressiveRows) {
    const int w = 40, h = 30;
    const auto progressive = randomFrame(w * h, 2);
    const auto fields = toFields(progressive, w, h);
    const std::uint64_t regions[][4] = {{0, 0, 40, 30}, {3, 4, 21, 12}, {6, 2, 8, 26}};
    for (const auto &g : regions) {
        _FrameDesc p = desc(w, h, g[0], g[1], g[2], g[3]), f = p;
        f.field_ordered = 1;
        EXPECT_EQ(sums(p, progressive.data()), sums(f, fields.data())) << g[1];
        // The sharpness's vertical neighbours are one field row away.
        if (g[0] >= 2 && g[1] >= 2 && g[0] + g[2] + 2 <= w && g[1] + g[3] + 2 <= h) {
            EXPECT_DOUBLE_EQ(vocam_autofocus_calculation(&p, progressive.data()),
                             vocam_autofocus_calculation(&f, fields.data()));
        }
    }
}

TEST(Statistics, TwoBytePixelsCountOneChosenByte) {
    std::vector<std::uint8_t> wide(16 * 4 * 2);
    for (std::size_t i = 0; i < wide.size(); i += 2) wide[i] = 3, wide[i + 1] = 200;
    _FrameDesc d = desc(16, 4, 0, 0, 16, 4);
    d.two_bytes_per_pixel = 1;
    EXPECT_EQ(sums(d, wide.data())[3], 3u * 16);
    d.sample_second_byte = 1;
    EXPECT_EQ(sums(d, wide.data())[3], 200u * 16);
}

TEST(Statistics, DescriptionsThatLeaveTheFrameAreRefusedUntouched) {
    std::vector<std::uint8_t> frame(64 * 64, 1);
    const _FrameDesc bad[] = {
        desc(64, 64, 60, 0, 8, 8),                 // beyond the right edge
        desc(64, 64, 0, 60, 8, 8),                 // below the bottom
        desc(64, 64, UINT64_MAX - 2, 0, 8, 8),     // x + width wraps
        desc(1ull << 33, 1ull << 33, 0, 0, 8, 8),  // the frame's size wraps
        desc(UINT64_MAX / 2, 3, 0, 0, 8, 2),
    };
    for (const _FrameDesc &d : bad) {
        std::uint32_t s[4] = {7, 7, 7, 7};
        EXPECT_EQ(BayerOrMonoComputeSums(&d, frame.data(), 0, s), -22);
        EXPECT_EQ(s[0] + s[1] + s[2] + s[3], 28u);
        EXPECT_EQ(vocam_autofocus_calculation(&d, frame.data()), -22.0);
    }
    const _FrameDesc ok = desc(64, 64, 2, 2, 8, 8);
    std::uint32_t s[4] = {};
    EXPECT_EQ(BayerOrMonoComputeSums(nullptr, frame.data(), 0, s), -22);
    EXPECT_EQ(BayerOrMonoComputeSums(&ok, nullptr, 0, s), -22);
    EXPECT_EQ(vocam_autofocus_calculation(&ok, nullptr), -22.0);
    // The sharpness needs two pixels of neighbours on every side.
    const _FrameDesc edge = desc(64, 64, 1, 2, 8, 8);
    EXPECT_EQ(vocam_autofocus_calculation(&edge, frame.data()), -22.0);
}

// ---- Sharpness ----

double modelSharpness(const _FrameDesc &d, const std::uint8_t *f) {
    const std::int64_t w = static_cast<std::int64_t>(d.frame_width);
    double sum = 0;
    for (std::uint64_t r = d.roi_y; r < d.roi_y + d.roi_height; ++r)
        for (std::uint64_t c = d.roi_x; c < d.roi_x + d.roi_width; ++c) {
            const std::uint8_t *p = f + r * d.frame_width + c;
            const int v = *p == 255 ? 259 : *p;
            const int l = 4 * v - p[-2] - p[2] - p[-2 * w] - p[2 * w];
            sum += l * l;
        }
    return sum / static_cast<double>(d.roi_width * d.roi_height);
}

TEST(Sharpness, RandomAndExtremeRegionsMatchTheModel) {
    // A random frame, rows long enough to need the wide accumulator, widths
    // that leave a tail after the vector blocks, and the largest terms
    // everywhere: 255 among 0s and 0 among 255s alternate in 2 x 2 blocks.
    auto noise = randomFrame(4300 * 12, 3);
    std::vector<std::uint8_t> blocks(4300 * 12);
    for (int r = 0; r < 12; ++r)
        for (int c = 0; c < 4300; ++c) blocks[r * 4300 + c] = ((r / 2 + c / 2) % 2) ? 0 : 255;
    for (const auto *frame : {&noise, &blocks})
        for (std::uint64_t width : {4296u, 4291u, 13u}) {
            const _FrameDesc n = desc(4300, 12, 2, 2, width, 8);
            EXPECT_DOUBLE_EQ(vocam_autofocus_calculation(&n, frame->data()),
                             modelSharpness(n, frame->data()))
                << width;
        }
}

// ---- White balance on crafted frames ----

// A camera whose whole frame shows one Bayer cell: red, two greens, blue
// (model_02 is RGGB).
class Balance : public ::testing::Test {
  protected:
    OpenCamera cam;
    _vocam *h = cam.handle();
    std::vector<std::uint8_t> frame = std::vector<std::uint8_t>(1280 * 1024);

    void paint(int r, int g1, int g2, int b) {
        for (int y = 0; y < 1024; ++y)
            for (int x = 0; x < 1280; ++x)
                frame[y * 1280 + x] =
                    static_cast<std::uint8_t>((y & 1) ? ((x & 1) ? b : g2) : ((x & 1) ? g1 : r));
    }
    int raw(std::uint32_t id) { return property(h, id); }
    // The camera's red, blue, green 1 and green 2 gains, in 1/4096.
    std::array<int, 4> gains() { return {raw(41), raw(42), raw(43), raw(44)}; }
};

TEST_F(Balance, StepMovesGainsNinetyPercent) {
    // Red 200, green 100, blue 100: the greens and blue want twice as much.
    paint(200, 100, 100, 100);
    EXPECT_EQ(vocam_whitebalance_step(h, frame.data(), 100, 100, 64, 64), 1);
    // Levels 1, 1.9, 1.9, 1.9; the camera keeps 1/4096 steps.
    EXPECT_EQ(gains(), (std::array{4096, 7782, 7782, 7782}));
    for (std::uint32_t id : {72u, 73u, 74u}) EXPECT_EQ(raw(id), 100) << id;

    // With a red target of 2 the same region is all but balanced.
    const int green = raw(VOCAM_PROP_GAIN_GREEN1);
    EXPECT_EQ(vocam_whitebalance_step_ex(h, frame.data(), 100, 100, 64, 64, 2.0f, 0.98f), 0);
    EXPECT_EQ(raw(VOCAM_PROP_GAIN_GREEN1), green);
}

TEST_F(Balance, RefusedRegionsAndDarkOrBrightRegionsChangeNothing) {
    const auto before = gains();
    // Mean pixel levels of 16 and below are too dark, of 240 and above
    // clipped; neutral regions in between need nothing.
    for (auto [r, g, b, result] :
         {std::array{0, 4, 0, -35}, std::array{16, 16, 16, -35}, std::array{17, 17, 17, 0},
          std::array{239, 239, 239, 0}, std::array{255, 240, 230, -35},
          std::array{255, 255, 255, -35}}) {
        paint(r, g, g, b);
        EXPECT_EQ(vocam_whitebalance_step(h, frame.data(), 0, 0, 64, 64), result) << g;
        if (result == 0) continue;
        EXPECT_EQ(vocam_oneshot_autowhitebalance(h, frame.data(), 0, 0, 64, 64), -35);
        EXPECT_EQ(vocam_digital_whitebalance(h, frame.data(), 0, 0, 64, 64), -35);
    }
    for (auto [x, y, w, hh] :
         {std::array{1, 0, 64, 64}, std::array{0, 3, 64, 64}, std::array{0, 0, 63, 64},
          std::array{0, 0, 64, 0}, std::array{1224, 0, 58, 64}}) {
        EXPECT_EQ(vocam_whitebalance_step(h, frame.data(), x, y, w, hh), -22);
        EXPECT_EQ(vocam_oneshot_autowhitebalance(h, frame.data(), x, y, w, hh), -22);
        EXPECT_EQ(vocam_digital_whitebalance(h, frame.data(), x, y, w, hh), -22);
    }
    EXPECT_EQ(vocam_whitebalance_step(h, nullptr, 0, 0, 64, 64), -22);
    EXPECT_EQ(vocam_whitebalance_step(nullptr, frame.data(), 0, 0, 64, 64), -22);
    EXPECT_EQ(vocam_oneshot_autowhitebalance(h, nullptr, 0, 0, 64, 64), -22);
    EXPECT_EQ(vocam_digital_whitebalance(h, nullptr, 0, 0, 64, 64), -22);
    EXPECT_EQ(gains(), before);
}

TEST_F(Balance, OneShotRecomputesTheGainsAndTracesOnStandardOutput) {
    paint(200, 100, 100, 100);  // mean 125
    // gtest reports on standard output too: the capture ends before any check.
    StderrCapture out(STDOUT_FILENO);
    const int result = vocam_oneshot_autowhitebalance(h, frame.data(), 0, 0, 64, 64);
    const std::string trace = out.take();
    EXPECT_EQ(result, 0);
    EXPECT_THAT(trace, HasSubstr("vocam_oneshot_autowhitebalance_ex: averages: "
                                 "200.000000/100.000000/100.000000/100.000000, samples: 4096\n"
                                 "vocam_oneshot_autowhitebalance_ex: average: 125.000000\n"));
    EXPECT_EQ(gains(), (std::array{2560, 5120, 5120, 5120}));
}

TEST_F(Balance, OneShotScalesGainsIntoTheRange) {
    // Averages 8, 100, 100, 100 (mean 77) at a red gain of 4: red wants
    // 4 x 77 / 8 = 38.5, beyond the maximum of 8. All four come down by
    // 8 / 38.5, which leaves the others at 0.16, below the minimum of 0.25;
    // all four go up to that, and red is then cut back to 8.
    paint(8, 100, 100, 100);
    ASSERT_TRUE(VocamSetProperty(h, 41, 4.0f, 0));
    EXPECT_EQ(vocam_oneshot_autowhitebalance(h, frame.data(), 0, 0, 64, 64), 0);
    EXPECT_EQ(gains(), (std::array{32768, 1024, 1024, 1024}));
}

TEST_F(Balance, OneShotWithoutSeparateGreenGainsBalancesRedAndBlueAgainstGreen) {
    paint(200, 100, 100, 100);
    const int green = raw(43);
    // The camera does not answer the first read, of green 1's block.
    cam.device().failControl(static_cast<vocam::usbhost::IOReturn>(0xE00002EDu), 1);
    EXPECT_EQ(vocam_oneshot_autowhitebalance(h, frame.data(), 0, 0, 64, 64), 0);
    // 0.625 and 1.25 over the greens' 1.25.
    EXPECT_EQ((std::array{raw(41), raw(42), raw(43)}), (std::array{2048, 4096, green}));
}

TEST_F(Balance, DigitalBalanceGoesToTheColourEngineOnly) {
    paint(200, 100, 100, 100);
    ASSERT_EQ(vocam_property_set(h, VOCAM_PROP_CORRECTION_MATRIX, 14, 0), 1);
    const int red = raw(41);
    EXPECT_EQ(vocam_digital_whitebalance(h, frame.data(), 0, 0, 64, 64), 0);
    EXPECT_EQ(raw(41), red);
    // The engine's red now falls below its blue and green.
    EXPECT_LT(raw(72), raw(73));
    EXPECT_LT(raw(72), raw(74));
    // The engine's own refusals are votf_test's.
    EXPECT_EQ(AdjustWhiteBalanceForRGBvalues(nullptr, 1, 1, 1), -22);
}

// ---- One-shot exposure, gain and iris ----

TEST_F(Balance, OneShotExposureGainAndIrisArithmetic) {
    auto &props = cam.device().properties();
    paint(64, 64, 64, 64);  // each pixel 64: mean 64
    EXPECT_EQ(oneShotExposure(h, frame.data(), 1000, 128), 2000u);
    EXPECT_EQ(vocam_oneshot_autogain(h, 128, frame.data(), 0, 0, 64, 64), 0);
    EXPECT_EQ(raw(VOCAM_PROP_GAIN), 8192);
    // Brighter than the target: down, but not below the minimum (10).
    EXPECT_EQ(oneShotExposure(h, frame.data(), 2000, 1), 31u);
    EXPECT_EQ(oneShotExposure(h, frame.data(), 31, 0), 10u);
    // Black: 20 % more.
    paint(0, 0, 0, 0);
    EXPECT_EQ(oneShotExposure(h, frame.data(), 1000, 128), 1200u);
    // From an exposure of 1 a ratio of 4 starts at 2: 8.
    ASSERT_TRUE(props.poke(vocam::sim::kRegExposure + 8, 1));
    ASSERT_TRUE(props.poke(vocam::sim::kRegExposure + 4, 1));
    paint(32, 32, 32, 32);
    EXPECT_EQ(vocam_oneshot_autoexposure(h, 128, frame.data(), 0, 0, 64, 64, 0.0), 0);
    EXPECT_EQ(raw(VOCAM_PROP_EXPOSURE), 8);
    // No iris on these cameras; bad regions as for every measurement.
    EXPECT_EQ(vocam_oneshot_autoiris(h, 128, frame.data(), 0, 0, 64, 64), -5);
    EXPECT_EQ(vocam_oneshot_autoexposure(h, 128, frame.data(), 1250, 0, 64, 64, 0.0), -22);
    EXPECT_EQ(vocam_oneshot_autogain(h, 128, nullptr, 0, 0, 64, 64), -22);
    EXPECT_EQ(vocam_oneshot_autogain(nullptr, 128, frame.data(), 0, 0, 64, 64), -22);
}

// A cooled camera exposes for up to an hour, beyond the largest int: the
// one-shot reads the register words unsigned.
TEST(LongExposure, OneShotReadsTheWordsUnsigned) {
    OpenCamera cam("model_05:state=ready:fps=0");
    _vocam *h = cam.handle();
    std::vector<std::uint8_t> frame(2048 * 1536, 64);
    for (auto [from, target, to] : {std::array<std::uint32_t, 3>{3000000000u, 32, 1500000000u},
                                    {3000000000u, 128, 3600000000u}})
        EXPECT_EQ(oneShotExposure(h, frame.data(), from, int(target)), to)
            << from << " toward " << target;
}

}  // namespace
