// The converter's band pool runs every job exactly once and survives
// thread-count changes; wide frames band as the whole frame does. Built for
// the thread sanitizer too. Every method, depth, orientation and tone setting
// in bands on several threads is compared with the models in convert_test.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include "color/band_pool.h"
#include "reference/reference.h"
#include "votf/colora.h"
#include "votf/votf.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using vocam::ref::randomBytes;

TEST(BandPool, RunsEveryJobOnceAndSurvivesManyRounds) {
    for (unsigned threads : {1u, 2u, 3u, 7u}) {
        vocam::colour::BandPool pool(threads);
        ASSERT_GE(pool.size(), 1u);
        ASSERT_LE(pool.size(), threads);
        for (std::size_t jobs : {0u, 1u, 5u, 64u}) {
            std::vector<std::atomic<int>> runs(jobs);
            std::atomic<unsigned> badWorker{0};
            struct Ctx {
                std::vector<std::atomic<int>> *runs;
                std::atomic<unsigned> *bad;
                unsigned size;
            } ctx{&runs, &badWorker, pool.size()};
            for (int round = 0; round < 3; ++round)
                pool.run(
                    jobs,
                    [](void *c, std::size_t j, unsigned worker) {
                        auto &x = *static_cast<Ctx *>(c);
                        (*x.runs)[j].fetch_add(1);
                        if (worker >= x.size) x.bad->fetch_add(1);
                    },
                    &ctx);
            for (std::size_t j = 0; j < jobs; ++j) EXPECT_EQ(runs[j].load(), 3) << j;
            EXPECT_EQ(badWorker.load(), 0u);
        }
    }
}

TEST(ConversionThreads, SettingAndRefusal) {
    CVotf v;
    EXPECT_EQ(v.GetConversionThreads(), vocam::colour::ConversionBands::DefaultThreads());
    EXPECT_EQ(v.SetConversionThreads(3), 0);
    EXPECT_EQ(v.GetConversionThreads(), 3u);
    EXPECT_EQ(v.SetConversionThreads(9), -22);
    EXPECT_EQ(v.GetConversionThreads(), 3u);
    // A lower count after a conversion on more threads replaces the pool.
    v.bands->parallelMinPixels = 0;
    v.bands->bandRows = 4;
    std::vector<std::uint8_t> raw(16 * 16, 7), rgb(16 * 16 * 3);
    std::uint32_t fmt[13] = {52, 16, 16, 0, 0};
    std::uint8_t params[12] = {12, 0, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0};
    ASSERT_EQ(v.ConvertToRgb(rgb.data(), raw.data(), 24, fmt, params), 0);
    ASSERT_EQ(v.SetConversionThreads(2), 0);
    ASSERT_EQ(v.ConvertToRgb(rgb.data(), raw.data(), 24, fmt, params), 0);
    ASSERT_NE(v.bands->Pool(2), nullptr);
    EXPECT_EQ(v.bands->Pool(2)->size(), 2u);
    EXPECT_EQ(v.SetConversionThreads(0), 0);
    EXPECT_EQ(v.GetConversionThreads(), vocam::colour::ConversionBands::DefaultThreads());
}

// Frames wider than the edge-detecting kernel's row ring, with a tone table:
// bands read their samples one at a time and still give the whole frame.
TEST(ConversionThreads, WideEdgeDetectingFramesWithATableBandAsTheWholeFrame) {
    std::mt19937 rng(5);
    CVotf whole, banded;
    ASSERT_EQ(whole.SetConversionThreads(1), 0);
    whole.bands->bandRows = 1u << 30;
    ASSERT_EQ(banded.SetConversionThreads(2), 0);
    banded.bands->bandRows = 4;
    banded.bands->parallelMinPixels = 0;
    for (CVotf *v : {&whole, &banded}) {
        ASSERT_EQ(v->SetGamma(170, 15), 0);
        ASSERT_EQ(v->SetHue(20.0), 0);
    }
    const std::uint32_t w = 8200, h = 12;
    for (bool wide : {false, true})
        for (unsigned bits : {24u, 32u}) {
            const std::uint32_t fmt[13] = {52, w, h, wide ? 1u : 0u, 0, 0x12};
            const std::uint32_t params[11] = {44, 2, 14, 1, 0, 0, 0x3F800000u, 0, 0x3F800000u};
            const Bytes raw = randomBytes(std::size_t(w) * h * (wide ? 2 : 1), rng);
            Bytes want = randomBytes(4 * std::size_t(w) * h, rng), got = want;
            ASSERT_EQ(whole.ConvertToRgb(want.data(), raw.data(), bits, fmt, params), 0);
            ASSERT_EQ(banded.ConvertToRgb(got.data(), raw.data(), bits, fmt, params), 0);
            EXPECT_EQ(got, want) << "wide " << wide << " bits " << bits;
        }
}

}  // namespace
