// The camera-side fuzz cases in every build: the saved findings and inputs
// of the fuzzer's corpus, then a fixed run of seeded random cameras.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "fuzz/camera_case.h"

namespace {

TEST(CameraFuzzCases, SavedAndSeededRandomInputsEndWithACode) {
    vocam::fuzz::useSimulatedCameras();
    int saved = 0;
    for (const auto &entry : std::filesystem::directory_iterator(VOCAM_CAMERA_CORPUS)) {
        SCOPED_TRACE(entry.path().string());
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), {}};
        vocam::fuzz::runCameraCase(input.data(), input.size());
        ++saved;
    }
    EXPECT_GT(saved, 0);
    std::mt19937 random(20261207);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::uint8_t> input(random() % 160);
        for (auto &b : input) b = static_cast<std::uint8_t>(random());
        vocam::fuzz::runCameraCase(input.data(), input.size());
    }
}

}  // namespace
