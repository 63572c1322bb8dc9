#include "camera_case.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Simulator/SimBus.h"
#include "support/Watchdog.h"
#include "vocamapi.h"

namespace vocam::fuzz {

namespace {

// Reads the input as a stream of fields; past its end every field is 0.
class Input {
  public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | std::uint32_t{u16()} << 16; }
    bool flag() { return (byte() & 1) != 0; }

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Registers the open sequence reads, and what the camera may answer there.
constexpr std::uint16_t kOpenRegisters[] = {0x0690, 0x0694, 0x0698, 0x069C, 0x0730, 0x1000, 0x1004,
                                            0x1008, 0x100C, 0x1014, 0x1018, 0x101C, 0x1040, 0x104C};

std::uint32_t fold(std::uint32_t side) {
    return side > 4096 && side <= 16384 ? side % 4097 : side;
}

void check(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "camera fuzz: %s\n", what);
    std::abort();
}

void stream(_vocam *h, Input &in, sim::CameraDevice &device) {
    _vocam_frame_format f{};
    if (in.flag()) {
        f.xOffset = in.u16();
        f.yOffset = in.u16();
        f.width = in.u16();
        f.height = in.u16();
        f.subSampleX = in.byte();
        f.subSampleY = in.byte();
        vocam_set_video_format(h, &f);
    }
    vocam_get_video_format(h, &f);
    _VOCAM_IMAGE_FORMAT image{};
    vocam_get_image_format(h, &image);
    const std::uint8_t faults = in.byte();
    if (faults & 1) device.video().shortFrames(in.u32(), 1 + (in.byte() & 3));
    if (faults & 2)
        device.video().failReads(static_cast<std::int32_t>(0xE0000000u | in.u16()),
                                 1 + (in.byte() & 3));
    if (vocam_enable_streaming(h) != 0) return;
    if (vocam_start_streaming(h) == 0) {
        bool stopped = false;
        {
            // Stops the stream if the frames have not come within a bound:
            // the waits must then end. A large first frame (rendered in
            // seconds under the sanitizers) often outlasts the bound, so a
            // stop lands while the camera still writes into a ring buffer:
            // the stream gives that read up and must keep its buffer.
            test::Watchdog watchdog(std::chrono::milliseconds(250), "frames",
                                    [h] { vocam_stop_streaming(h); });
            for (int frames = 0, tries = 0; frames < 2 && tries < 1000; ++tries) {
                const int index = vocam_wait_for_capture_to_buffer(h);
                if (index == -22) continue;
                if (index < 0) break;
                check(index <= 2, "wait handed out no buffer of the ring");
                const std::uint32_t size = vocam_get_video_frame_size(h);
                const std::uint8_t *frame = vocam_get_buffer_address(h, index);
                check(frame != nullptr, "a held buffer has no address");
                volatile std::uint8_t last =
                    size > 0 ? frame[size - 1] : 0;  // the whole frame is ours
                (void)last;
                vocam_release_buffer(h, index);
                ++frames;
            }
            stopped = watchdog.fired();
        }
        if (!stopped) vocam_stop_streaming(h);
    }
    vocam_disable_streaming(h);
}

}  // namespace

void useSimulatedCameras() {
    setenv("VOCAM_SIM", "model_02:state=ready", 1);
    vocam_set_log_handler([](int, const char *, void *) {}, nullptr);
    sim::Bus::instance().clear();
}

void runCameraCase(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    sim::CameraConfig config = sim::defaultCameraConfig(in.byte() % 33);
    config.state = sim::BootState::Ready;
    config.fps = 0;
    config.serial = in.u32();
    const std::uint8_t nameLength = in.byte() % 40;
    config.productName.clear();
    for (std::uint8_t i = 0; i < nameLength; ++i)
        config.productName += static_cast<char>(in.byte());
    config.dataRates.resize(in.byte() % 9);
    for (auto &rate : config.dataRates) rate = in.u16();
    sim::Bus &bus = sim::Bus::instance();
    auto device = bus.attach(config);
    const std::uint8_t stringFaults = in.byte();
    device->setStringFault(2, static_cast<sim::StringFault>(stringFaults % 5));
    device->setStringFault(3, static_cast<sim::StringFault>((stringFaults / 5) % 5));
    const std::uint16_t overridden = in.u16();
    for (std::size_t i = 0; i < sizeof kOpenRegisters / sizeof kOpenRegisters[0]; ++i) {
        if (!(overridden & (1u << i))) continue;
        std::uint32_t value = in.u32();
        // Sizes a real sensor may have above 4096 pixels cost a case seconds
        // of rendering and hundreds of megabytes, and find nothing smaller
        // ones do not: they are folded down. Beyond 16384 they stay, to be
        // refused.
        if (kOpenRegisters[i] == 0x1000 || kOpenRegisters[i] == 0x100C)
            value = fold(value & 0xFFFF) | fold(value >> 16) << 16;
        device->setReg(kOpenRegisters[i], value);
    }

    _vocam *h = nullptr;
    const int r = vocam_camera_open_by_pid(&h, device->product());
    check(r <= 0, "open returned a positive result");
    if (h != nullptr) {
        check(r == 0, "open failed but left a handle");
        vocam_version version{};
        vocam_get_version(h, &version);
        std::uint32_t rates[300];
        const int n = vocam_enum_available_data_rates(h, rates, 300);
        check(n >= 0 && n <= 256, "more data rates than any camera lists");
        stream(h, in, *device);
        vocam_camera_close(&h);
        check(h == nullptr, "close left the handle");
    }
    check(!device->isOpen(), "the camera stayed open");
    bus.clear();
}

}  // namespace vocam::fuzz
