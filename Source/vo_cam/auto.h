// What the exported auto calls (vo_cam/auto.cpp) run: the auto algorithms,
// which sit above the camera API and define these (auto/). Declared here so
// that the exported wrappers reach them without an include running upward.
// Each runs on a caller already admitted and returns what its exported call
// does.
#pragma once

#include <cstdint>

#include "vo_cam/vo_cam.h"

namespace vocam::autoalg {

// White balance (auto/whitebalance.cpp): an incremental step over the
// analogue and digital gains, a one-shot recomputation of the analogue gains,
// and a correction in the colour engine alone.
int whitebalance_step(_vocam *handle, const std::uint8_t *frame, int x, int y, int width,
                      int height, float target_red_ratio, float target_blue_ratio);
int oneshot_whitebalance(_vocam *handle, const std::uint8_t *frame, int x, int y, int width,
                         int height, float target_red_ratio, float target_blue_ratio);
int digital_whitebalance(_vocam *handle, const std::uint8_t *frame, int x, int y, int width,
                         int height, float target_red_ratio, float target_blue_ratio);

// One-shot exposure, gain and iris (auto/exposure.cpp).
enum class Control { Exposure, Gain, Iris };
int oneshot(Control control, _vocam *handle, std::uint32_t target, const std::uint8_t *frame, int x,
            int y, int width, int height);

// The focus search (auto/autofocus.cpp).
int autofocus_start(_vocam *handle, int x, int y, int width, int height);
int autofocus_process(_vocam *handle, const std::uint8_t *frame);

// Frame descriptions and the statistics passes (auto/frame.cpp): a region of
// the camera's current window, a frame's 2x2-cell sums and its sharpness.
int describe_region(vo::UsbCamera *handle, _FrameDesc *fd, int x, int y, int width, int height,
                    int border);
int cell_sums(const _FrameDesc *fd, const std::uint8_t *frame, std::uint32_t sums[4]);
double sharpness(const _FrameDesc *fd, const std::uint8_t *frame);

}  // namespace vocam::autoalg
