// The cameras the driver serves: found once when it starts, each becoming
// an INDI device, and opened again by serial number whenever a device
// connects. Nothing here knows INDI.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vocamapi.h"

namespace vocam::indi {

// What start-up learnt of one camera. A camera another program held then
// could not be asked its serial number or model: it is known by its USB
// product alone until it is first opened.
struct CameraEntry {
    std::uint32_t product = 0;
    std::uint32_t serial = 0;  // 0 while unknown
    std::string model;         // the USB product name; empty while unknown
    bool colour = false;
    bool cooler = false;
    bool subsampling = false;
    bool wide = false;  // 16-bit samples
};

// Closes the camera when it goes.
struct CameraCloser {
    void operator()(_vocam *camera) const { vocam_camera_close(&camera); }
};
using CameraHandle = std::unique_ptr<_vocam, CameraCloser>;

// The outcome of opening a camera: the handle, or why there is none, in
// words for the user.
struct Opened {
    CameraHandle camera;
    std::string why;
};

// Routes the library's failure lines to standard error (which indiserver
// logs) and keeps the recent lines, so a failed open can say why it failed.
void routeLibraryLines();

// Brings the cameras up (firmware, FPGA) and lists them. `resources` is the
// folder of the firmware and FPGA images; null for the installed one.
std::vector<CameraEntry> discoverCameras(const char *resources);

// INDI device names: the model, with the serial number added where two
// cameras of one model are attached; "VoCam camera 0x00A3" for a camera
// whose model could not be read.
std::vector<std::string> deviceNames(const std::vector<CameraEntry> &entries);

// Opens the camera of `entry`. One known only by its product takes the
// first camera of that product whose serial number is not in `taken`; its
// entry then learns serial, model and features.
Opened openCamera(CameraEntry &entry, const std::vector<std::uint32_t> &taken);

// Reads what a device needs to know of an open camera into `entry`.
void describeCamera(_vocam *camera, CameraEntry &entry);

}  // namespace vocam::indi
