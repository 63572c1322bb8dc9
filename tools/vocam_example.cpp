// Brings up the attached cameras, lists them, opens the first one and shows
// its identity, geometry and data rates, and a few of its registers.
//
//   vocam_example [RESOURCE_FOLDER]
#include <cstdint>
#include <cstdio>

#include "vocamapi.h"
#include "vocamusb.h"

int main(int argc, char **argv) {
    const char *resources = argc > 1 ? argv[1] : VOCAM_BUILD_RESOURCES;
    std::printf("bringing cameras up (firmware and FPGA images from %s)\n", resources);
    if (int r = vocam_init(resources); r < 0) {
        std::printf("start-up failed: %d\n", r);
        return 1;
    }
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
    std::printf("opened '%s' (%s, model %s subsampling)\n", name, vocam_is_color(camera) ? "colour" : "monochrome",
                vocam_supports_subsampling(camera) ? "allows" : "does not allow");
    std::uint16_t w = 0, h = 0;
    if (vo_usb_read_vocam_two_u16(camera, 0x1000, &w, &h) == 0) std::printf("  sensor        %u x %u\n", w, h);
    if (vo_usb_read_vocam_two_u16(camera, 0x100C, &w, &h) == 0) std::printf("  frame         %u x %u\n", w, h);
    if (vo_usb_read_vocam_two_u16(camera, 0x1040, &w, &h) == 0)
        std::printf("  data rates    %u .. %u kpixel/s\n", w, h);
    std::uint32_t word = 0;
    if (vo_usb_read_vocam_u32(camera, 0x1048, &word) == 0) std::printf("  current rate  %u kpixel/s\n", word);
    if (vo_usb_read_vocam_u32(camera, 0x0008, &word) == 0)
        std::printf("  FPGA          %s\n", word & 0x20 ? "configured" : "not configured");
    vocam_camera_close(&camera);
    return 0;
}
