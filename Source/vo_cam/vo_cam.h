// The camera handle: everything the library knows about one open camera.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/camera.h"
#include "vo_cam/auto.h"
#include "vocamapi.h"
#include "votf/votf.h"

namespace vo {

// The colour engine and the tone curve the camera (or, where it refuses one,
// the engine) applies.
struct ColourPart {
    ColourPart() {
        for (int i = 0; i < 256; ++i) tone_lut[i] = static_cast<std::uint8_t>(i);
    }

    // The tone curve, as even a camera that never took one starts.
    std::uint8_t tone_lut[256];
    std::int64_t gamma = 100;
    std::int64_t contrast = 100;
    std::int64_t brightness = 0;

    // Created on first need by vo_usb_create_votf and loaded with the
    // model's correction matrices.
    std::unique_ptr<CVotf> converter;

    // Conversions take turns: the engine keeps scratch state of its own and
    // is created on first need.
    vo::Mutex lock;
};

// A notification slot (type 0: free).
struct CallbackSlot {
    vocam_callback callback = nullptr;
    void *context = nullptr;
    std::uint32_t type = 0;
};

}  // namespace vo

// The camera handle: the transport's part (transport/camera.h: the USB
// device, the camera's state, the stream) and the camera API's own parts:
// the colour engine, the auto algorithms' state and the callbacks.
struct _vocam : vo::UsbCamera {
    vo::ColourPart colour;
    vo::AutoPart algorithms;
    vo::CallbackSlot callbacks[4];
};

// Creates the handle's colour engine on first need (vo_usb_create_votf
// without taking the lock): 0, or why it could not be created.
int vo_create_votf_locked(vo::ColourPart &colour, const vo::CameraState &camera)
    VO_REQUIRES(colour.lock);

// The colour engine's white balance set from a measured colour (what
// AdjustWhiteBalanceForRGBvalues does), its engine created on first need.
int cam_adjust_white_balance(vo::ColourPart &colour, const vo::CameraState &camera, double red,
                             double green, double blue);

// Start-up runs once per process; a test process that plays several start-ups
// on the simulated bus forgets that it ran.
void vo_forget_bring_up();
