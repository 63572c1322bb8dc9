// Writes the firmware (Intel HEX) and FPGA images of every simulated model
// below a resource folder, under the file names the model table gives.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>

#include "Simulator/SimDevice.h"
#include "Simulator/SimImages.h"
#include "device/vo_cameras.h"

namespace {

// The whole chain: the build names a folder below one it has not made yet
// (not every generator creates an output's parents).
bool makeFolder(const std::string &path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RESOURCE_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    std::map<std::string, std::string>
        written;  // file -> contents, to catch two models claiming one name
    auto write = [&](const char *pattern, unsigned release, const std::string &contents) {
        char name[128];
        std::snprintf(name, sizeof name, pattern, release);
        const std::string file = root + "/" + name;
        if (auto it = written.find(file); it != written.end()) return it->second == contents;
        const std::string folder = file.substr(0, file.rfind('/'));
        if (!makeFolder(folder)) return false;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << contents;
        written[file] = contents;
        return static_cast<bool>(out);
    };
    for (std::uint32_t i = 0; i < camera_id_count; ++i) {
        const model_table_entry &e = camera_ids[i];
        const vocam::sim::CameraConfig camera =
            vocam::sim::defaultCameraConfig(static_cast<int>(i));
        bool ok =
            write(e.firmware_file, camera.release,
                  vocam::sim::toIntelHex(vocam::sim::makeFirmwareImage(e.vendor_id, e.product_id)));
        if (ok && e.fpga_file != nullptr) {
            const auto image = vocam::sim::makeFpgaImage(e.product_id);
            ok = write(e.fpga_file, camera.release, std::string(image.begin(), image.end()));
        }
        if (!ok) {
            std::fprintf(stderr, "error: cannot write the images of model_%02u below %s\n", i + 1,
                         root.c_str());
            return 1;
        }
    }
    return 0;
}
