// What each simulated model looks like on the wire: identity from the model
// table, and sensor, colour, cooling and data rates chosen to cover the
// variety of real cameras (small and large sensors, colour phases, mono,
// cooled astronomy cameras, models without an FPGA).
#include <cstdio>
#include <stdexcept>

#include "Simulator/SimDevice.h"
#include "device/vo_cameras.h"

namespace vocam::sim {

namespace {

// What a model looks like on the wire, keyed by the model table's product and
// release key (one product may stand for several models, told apart by their
// release).
struct ModelLook {
    std::uint16_t product, release;
    std::uint16_t width, height;
    std::uint32_t colorCode;
    std::uint8_t maxSubsample;
    bool cooling, fan;
    std::uint32_t messageMask;
};

constexpr std::uint16_t kAny = kAnyRelease;

constexpr ModelLook kLooks[] = {
    {0x0613, kAny, 640, 480, 8, 1, false, false, 0x1},
    {0x00A1, kAny, 1280, 1024, 24, 4, false, false, 0x1},
    {0x04A2, kAny, 1600, 1200, 9, 2, false, false, 0x1},
    {0x04F7, kAny, 640, 480, 0, 1, false, false, 0},
    {0x00A3, kAny, 2048, 1536, 10, 4, true, true, 0x1},
    {0x01AC, kAny, 1280, 960, 11, 2, false, false, 0x1},
    {0x01A2, kAny, 752, 480, 0, 1, false, false, 0},
    {0x01A7, kAny, 752, 480, 8, 1, false, false, 0x1},
    {0x01A4, kAny, 1280, 1024, 0, 1, false, false, 0},
    {0x04AE, kAny, 1280, 1024, 8, 1, false, false, 0x1},
    {0x01A5, 0, 1024, 768, 12, 1, false, false, 0},
    {0x01A5, 1, 1024, 768, 12, 1, false, false, 0},
    {0x01A5, 2, 1024, 768, 12, 1, false, false, 0x1},
    {0x01AF, kAny, 2592, 1944, 25, 1, false, false, 0x1},
    {0x01A8, kAny, 3072, 2048, 8, 4, true, true, 0x1},
    {0x03AD, kAny, 1280, 1024, 26, 1, false, false, 0x1},
    {0x008C, kAny, 640, 480, 0, 1, false, false, 0},
    {0x018C, kAny, 1280, 1024, 11, 1, false, false, 0x1},
    {0x0085, kAny, 1600, 1200, 8, 1, false, false, 0x1},
    {0x0092, kAny, 1280, 1024, 0, 1, false, false, 0},
    {0x0096, kAny, 2048, 2048, 9, 1, true, false, 0x1},
    {0x009A, kAny, 1920, 1080, 8, 1, false, false, 0x1},
    {0x019A, kAny, 1920, 1080, 27, 1, false, false, 0x1},
    {0x018A, kAny, 2448, 2048, 8, 1, false, false, 0x1},
    {0x009E, kAny, 4096, 3072, 8, 1, true, true, 0x1},
    {0x0097, kAny, 1280, 960, 0, 1, false, false, 0},
    {0x0180, kAny, 1280, 960, 10, 1, false, false, 0x1},
    {0x008D, kAny, 3296, 2472, 8, 1, true, true, 0x1},
    {0x01CD, kAny, 2048, 1536, 13, 1, false, false, 0x1},
    {0x019B, kAny, 2048, 1536, 14, 1, false, false, 0x1},
    {0x008B, kAny, 4096, 4096, 0, 1, true, true, 0},
    {0x01C5, kAny, 1280, 1024, 15, 1, false, false, 0x1},
    {0x01C8, kAny, 2592, 1944, 8, 1, false, false, 0x1},
};

const ModelLook &lookOf(const model_table_entry &entry) {
    for (const ModelLook &look : kLooks)
        if (look.product == entry.product_id && look.release == entry.release_key) return look;
    // Every model of the table has a look: a new model needs one here.
    throw std::logic_error("a model of the table has no simulated look");
}

}  // namespace

CameraConfig defaultCameraConfig(int model) {
    const model_table_entry &entry = camera_ids[model];
    const ModelLook &look = lookOf(entry);
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
