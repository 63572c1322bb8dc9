// The camera-side fuzz cases in every build: the saved findings and inputs
// of the fuzzer's corpus, and a fixed run of seeded random cameras.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "fuzz/camera_case.h"

namespace {

TEST(CameraFuzzCases, SavedInputsEndWithACode) {
    vocam::fuzz::useSimulatedCameras();
    const std::filesystem::path corpus = VOCAM_CAMERA_CORPUS;
    int cases = 0;
    for (const auto &entry : std::filesystem::directory_iterator(corpus)) {
        SCOPED_TRACE(entry.path().string());
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), {}};
        vocam::fuzz::runCameraCase(input.data(), input.size());
        ++cases;
    }
    EXPECT_GT(cases, 0);
}

TEST(CameraFuzzCases, SeededRandomCamerasEndWithACode) {
    vocam::fuzz::useSimulatedCameras();
    std::mt19937 random(20261207);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::uint8_t> input(random() % 160);
        for (auto &b : input) b = static_cast<std::uint8_t>(random());
        vocam::fuzz::runCameraCase(input.data(), input.size());
    }
}

}  // namespace
