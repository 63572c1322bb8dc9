// What each simulated model looks like on the wire: identity from the model
// table, and sensor, colour, cooling and data rates chosen to cover the
// variety of real cameras (small and large sensors, colour phases, mono,
// cooled astronomy cameras, models without an FPGA).
#include <cstdio>

#include "Simulator/SimDevice.h"
#include "device/vo_cameras.h"

namespace vocam::sim {

namespace {

struct ModelLook {
    std::uint16_t width, height;
    std::uint32_t colorCode;
    std::uint8_t maxSubsample;
    bool cooling, fan;
    std::uint32_t messageMask;
};

// Indexed by model table position.
constexpr ModelLook kLooks[] = {
    {640, 480, 8, 1, false, false, 0x1},    {1280, 1024, 24, 4, false, false, 0x1},
    {1600, 1200, 9, 2, false, false, 0x1},  {640, 480, 0, 1, false, false, 0},
    {2048, 1536, 10, 4, true, true, 0x1},   {1280, 960, 11, 2, false, false, 0x1},
    {752, 480, 0, 1, false, false, 0},      {752, 480, 8, 1, false, false, 0x1},
    {1280, 1024, 0, 1, false, false, 0},    {1280, 1024, 8, 1, false, false, 0x1},
    {1024, 768, 12, 1, false, false, 0},    {1024, 768, 12, 1, false, false, 0},
    {1024, 768, 12, 1, false, false, 0x1},  {2592, 1944, 25, 1, false, false, 0x1},
    {3072, 2048, 8, 4, true, true, 0x1},    {1280, 1024, 26, 1, false, false, 0x1},
    {640, 480, 0, 1, false, false, 0},      {1280, 1024, 11, 1, false, false, 0x1},
    {1600, 1200, 8, 1, false, false, 0x1},  {1280, 1024, 0, 1, false, false, 0},
    {2048, 2048, 9, 1, true, false, 0x1},   {1920, 1080, 8, 1, false, false, 0x1},
    {1920, 1080, 27, 1, false, false, 0x1}, {2448, 2048, 8, 1, false, false, 0x1},
    {4096, 3072, 8, 1, true, true, 0x1},    {1280, 960, 0, 1, false, false, 0},
    {1280, 960, 10, 1, false, false, 0x1},  {3296, 2472, 8, 1, true, true, 0x1},
    {2048, 1536, 13, 1, false, false, 0x1}, {2048, 1536, 14, 1, false, false, 0x1},
    {4096, 4096, 0, 1, true, true, 0},      {1280, 1024, 15, 1, false, false, 0x1},
    {2592, 1944, 8, 1, false, false, 0x1},
};
static_assert(sizeof kLooks / sizeof kLooks[0] == 33);

}  // namespace

CameraConfig defaultCameraConfig(int model) {
    const model_table_entry &entry = camera_ids[model];
    const ModelLook &look = kLooks[model];
    CameraConfig c;
    c.model = model;
    c.vendor = entry.vendor_id;
    c.product = entry.product_id;
    c.release = entry.release_key == kAnyRelease ? 2 : entry.release_key;
    c.hasFpga = entry.fpga_file != nullptr;
    c.state = BootState::Boot;
    char name[32];
    std::snprintf(name, sizeof name, "VoCam model_%02d", model + 1);
    c.productName = name;
    c.colorCode = look.colorCode;
    c.width = look.width;
    c.height = look.height;
    c.maxSubsample = look.maxSubsample;
    c.cooling = look.cooling;
    c.fan = look.fan;
    c.messageMask = look.messageMask;
    c.firmwareVersion = 0x00120000u | static_cast<std::uint32_t>(0x0100 + model);
    // Rates in kilopixels per second, slowest first.
    c.dataRates = {12000, 24000, 48000};
    return c;
}

}  // namespace vocam::sim
