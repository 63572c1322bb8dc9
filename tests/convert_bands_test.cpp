// Conversions in row bands on the converter's pool give the bytes of the
// whole-frame conversion for every thread count, method, depth, orientation
// and tone setting; the pool survives thread-count changes and runs every
// job exactly once. Built for the thread sanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include "color/band_pool.h"
#include "reference/matrix.h"
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
    EXPECT_GE(v.GetConversionThreads(), 1u);
    EXPECT_LE(v.GetConversionThreads(), 8u);
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

// One converter per thread count, reused across frames so that the pools
// and scratch rows live on; the whole-frame conversion is the reference.
TEST(ConversionThreads, EveryThreadCountGivesTheWholeFrameBytes) {
    std::mt19937 rng(77);
    CVotf whole, banded[4];
    const unsigned counts[4] = {1, 2, 3, 7};
    CVotf *const all[] = {&whole, &banded[0], &banded[1], &banded[2], &banded[3]};
    ASSERT_EQ(whole.SetConversionThreads(1), 0);
    whole.bands->bandRows = 1u << 30;  // one band: the whole-frame path
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(banded[i].SetConversionThreads(counts[i]), 0);
        banded[i].bands->bandRows = 6;
        banded[i].bands->parallelMinPixels = 0;
    }
    for (CVotf *v : all) {
        ASSERT_EQ(v->SetHue(20.0), 0);
        ASSERT_EQ(v->SetSaturation(1.3, 0.8), 0);
    }
    const std::uint32_t w = 46, h = 62;  // 3 x 46 is no multiple of 4
    for (unsigned method : {0u, 1u, 2u, 3u, 8u, 9u})
        for (unsigned bits : {24u, 32u, 48u})
            for (int trial = 0; trial < 6; ++trial) {
                const bool wide = bits == 48 || (rng() & 1);
                const bool tone = rng() & 1;
                for (CVotf *v : all) ASSERT_EQ(v->SetGamma(tone ? 170 : 100, 15), 0);
                std::uint32_t fmt[13] = {52, w, h, wide ? 1u : 0u, 0};
                fmt[5] = rng() & 0x1E;  // byte order, phase, storage order
                // Size, method, correction, mirrors, then saturation 1.0 and Y gain 1.25
                // (in host order, as the format words).
                const std::uint32_t flipX = rng() & 1, flipY = rng() & 1;
                const std::uint32_t params[11] = {44,          method, trial % 3 == 0 ? 0u : 14u,
                                                  flipX,       flipY,  0,
                                                  0x3F800000u, 0,      0x3FA00000u};
                const Bytes raw = randomBytes(std::size_t(w) * h * (wide ? 2 : 1), rng);
                const Bytes fill = randomBytes(6 * std::size_t(w) * h + 16, rng);
                Bytes want = fill;
                const int st = whole.ConvertToRgb(want.data(), raw.data(), bits, fmt, params);
                for (int i = 0; i < 4; ++i) {
                    Bytes got = fill;
                    ASSERT_EQ(banded[i].ConvertToRgb(got.data(), raw.data(), bits, fmt, params),
                              st);
                    ASSERT_EQ(got, want) << "method " << method << " bits " << bits << " threads "
                                         << counts[i] << " flags " << fmt[5] << " tone " << tone;
                }
            }
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
