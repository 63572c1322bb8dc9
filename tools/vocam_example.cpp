// Brings up the attached cameras, lists them, opens the first one and shows
// its identity, geometry and data rates, then streams, converts the newest
// frame to RGB and saves it as a PNG file.
//
//   vocam_example [RESOURCE_FOLDER [PNG_FILE [THREADS]]]
//
// THREADS: threads the conversion of a large frame may use (0, the default:
// the cores available, at most 8).
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "vocamapi.h"
#include "vocamusb.h"

namespace {

bool savePng(const char *path, const std::vector<std::uint8_t> &rgb, std::uint32_t width,
             std::uint32_t height, std::uint32_t stride) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path, 0, rgb.data(), static_cast<png_int_32>(stride),
                                   nullptr) != 0;
}

// Streams until one frame arrives, converts it and saves it.
int grabFrame(_vocam *camera, const char *path) {
    _VOCAM_IMAGE_FORMAT format{};
    format.Size = sizeof format;
    if (vocam_get_image_format(camera, &format) != 0) return -1;
    if (int r = vocam_enable_streaming(camera); r < 0) return r;
    int index = vocam_start_streaming(camera);
    for (int attempt = 0; index >= 0 && attempt < 50; ++attempt) {
        index = vocam_wait_for_capture_to_buffer(camera);
        if (index >= 0) break;
        if (index == -96) break;  // the stream ended
        index = 0;                // the newest frame was taken for the next read: wait again
    }
    conversion_params params{};
    params.size = sizeof params;
    params.demosaicMethod = vocam_is_color(camera) ? 3 : 0;  // gradient-corrected
    params.correctionMatrix = vocam_is_color(camera) ? 1 : 0;
    params.saturation = 1.0f;
    params.gainOrGain0 = 1.0f;
    // Grey pictures have rows padded to 4 bytes: the library says how large.
    std::uint32_t stride = 0;
    std::size_t bytes = 0;
    int result = vocam_get_rgb_frame_size(camera, &format, &params, &stride, &bytes);
    std::vector<std::uint8_t> rgb(bytes);
    if (result == 0) result = index;
    if (index >= 0) {
        if (result >= 0)
            result = vocam_convert_frame_to_rgb(
                camera, rgb.data(), vocam_get_buffer_address(camera, index), &format, &params);
        vocam_release_buffer(camera, index);
    }
    vocam_stop_streaming(camera);
    vocam_disable_streaming(camera);
    if (result < 0) return result;
    if (!savePng(path, rgb, format.Width, format.Height, stride)) return -1;
    std::printf("saved a %u x %u frame to %s\n", format.Width, format.Height, path);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Without a folder the library uses its installed data folder.
    const char *resources = argc > 1 && argv[1][0] != '\0' ? argv[1] : nullptr;
    const char *picture = argc > 2 ? argv[2] : "vocam_frame.png";
    const unsigned long threads = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 0;
    if (int r = vocam_init(resources); r < 0) {
        std::printf("start-up failed: %s (%d)\n", vocam_strerror(r), r);
        return 1;
    }
    std::printf("cameras brought up with the firmware and FPGA images of %s\n", RESOURCE_FILE_ROOT);
    vocam_version cameras[8];
    std::uint32_t count = 8;
    const int found = vocam_enum_cameras(cameras, &count);
    if (found < 0) {
        std::printf("enumeration failed: %d\n", found);
        return 1;
    }
    std::printf("%d camera(s) on the bus\n", found);
    for (std::uint32_t i = 0; i < count && i < 8; ++i)
        std::printf("  product 0x%04X  serial %u  release 0x%04X  firmware 0x%08X  %s speed\n",
                    cameras[i].product_id, cameras[i].serial_number, cameras[i].release_number,
                    cameras[i].firmware_version, cameras[i].high_speed ? "high" : "full");
    if (found == 0) return 0;

    _vocam *camera = nullptr;
    if (vocam_camera_open(&camera, &cameras[0]) < 0 || camera == nullptr) {
        std::printf("unable to open the first camera\n");
        return 1;
    }
    char name[32] = {};
    vocam_get_model_name(camera, name, sizeof name);
    std::printf("opened '%s' (%s, model %s subsampling)\n", name,
                vocam_is_color(camera) ? "colour" : "monochrome",
                vocam_supports_subsampling(camera) ? "allows" : "does not allow");
    std::uint16_t w = 0, h = 0;
    if (vo_usb_read_vocam_two_u16(camera, 0x1000, &w, &h) == 0)
        std::printf("  sensor        %u x %u\n", w, h);
    if (vo_usb_read_vocam_two_u16(camera, 0x100C, &w, &h) == 0)
        std::printf("  frame         %u x %u\n", w, h);
    if (vo_usb_read_vocam_two_u16(camera, 0x1040, &w, &h) == 0)
        std::printf("  data rates    %u .. %u kpixel/s\n", w, h);
    std::uint32_t word = 0;
    if (vo_usb_read_vocam_u32(camera, 0x1048, &word) == 0)
        std::printf("  current rate  %u kpixel/s\n", word);
    if (vo_usb_read_vocam_u32(camera, 0x0008, &word) == 0)
        std::printf("  FPGA          %s\n", word & 0x20 ? "configured" : "not configured");
    if (int r = vocam_set_conversion_threads(camera, static_cast<std::uint32_t>(threads)); r < 0) {
        std::printf("unable to convert on %lu threads: %d\n", threads, r);
        vocam_camera_close(&camera);
        return 1;
    }
    const int grabbed = grabFrame(camera, picture);
    if (grabbed < 0) std::printf("unable to grab a frame: %d\n", grabbed);
    vocam_camera_close(&camera);
    return grabbed < 0 ? 1 : 0;
}
