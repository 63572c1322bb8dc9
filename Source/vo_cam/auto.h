// What the exported auto calls (vo_cam/auto.cpp) run: the auto algorithms,
// which sit above the camera API and define these (auto/). Declared here so
// that the exported wrappers reach them without an include running upward.
// Each runs on a caller already admitted and returns what its exported call
// does.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "transport/camera.h"
#include "vocamapi.h"

struct vocam_autofocus_state;

namespace vo {

// Frees the auto algorithms' state; defined with them (auto/).
struct AutofocusDeleter {
    void operator()(vocam_autofocus_state *state) const noexcept;
};

// The auto algorithms' state: theirs alone, made on their first call
// (auto/autofocus.h); the handle only keeps it.
struct AutoPart {
    std::once_flag made;
    std::unique_ptr<vocam_autofocus_state, AutofocusDeleter> autofocus;
};

}  // namespace vo

// The window as vocam_get_video_format reports it, without its line: the
// library's own frequent readers (the automatic calls) would fill the log.
void cam_read_format(vo::UsbCamera *handle, _vocam_frame_format *out);

// What vocam_get_image_format does.
int cam_image_format(vo::UsbCamera *handle, _VOCAM_IMAGE_FORMAT *out);

namespace vocam::autoalg {

// An open camera as the algorithms reach it: the camera API's properties,
// which route each identifier to the part of the handle that owns it (the
// registers, the tone curve, the colour engine, the stream's timing), the
// colour engine's correction, the transport's part for frames and windows,
// and the algorithms' own state. The handle itself stays with the camera API
// (vo_cam/auto.cpp). Results are those of the camera API's calls. A view:
// cheap to copy, valid while the exported call that made it runs.
class Camera {
  public:
    explicit Camera(_vocam &handle) : handle_(handle) {}

    int propertyRange(std::uint32_t id, int *min, int *max, int *value, std::uint32_t *flags);
    int setProperty(std::uint32_t id, int value, std::uint32_t flags);
    // The compatibility view in the property's own unit: 1, or 0 on failure.
    int unitProperty(std::uint32_t id, float *value, std::uint32_t *flags);
    int setUnitProperty(std::uint32_t id, float value, int flags);
    int unitPropertyRange(std::uint32_t id, float *min, float *max, float *value,
                          std::uint32_t *flags);
    // The colour engine's white balance set from a measured colour.
    int adjustWhiteBalance(double red, double green, double blue);
    vo::UsbCamera &transport();
    vo::AutoPart &own();

  private:
    _vocam &handle_;
};

// White balance (auto/whitebalance.cpp): an incremental step over the
// analogue and digital gains, a one-shot recomputation of the analogue gains,
// and a correction in the colour engine alone.
int whitebalance_step(Camera camera, const std::uint8_t *frame, int x, int y, int width, int height,
                      float target_red_ratio, float target_blue_ratio);
int oneshot_whitebalance(Camera camera, const std::uint8_t *frame, int x, int y, int width,
                         int height, float target_red_ratio, float target_blue_ratio);
int digital_whitebalance(Camera camera, const std::uint8_t *frame, int x, int y, int width,
                         int height, float target_red_ratio, float target_blue_ratio);

// One-shot exposure, gain and iris (auto/exposure.cpp).
enum class Control { Exposure, Gain, Iris };
int oneshot(Control control, Camera camera, std::uint32_t target, const std::uint8_t *frame, int x,
            int y, int width, int height);

// The focus search (auto/autofocus.cpp).
int autofocus_start(Camera camera, int x, int y, int width, int height);
int autofocus_process(Camera camera, const std::uint8_t *frame);

// Frame descriptions and the statistics passes (auto/frame.cpp): a region of
// the camera's current window, a frame's 2x2-cell sums and its sharpness.
int describe_region(vo::UsbCamera *handle, _FrameDesc *fd, int x, int y, int width, int height,
                    int border);
int cell_sums(const _FrameDesc *fd, const std::uint8_t *frame, std::uint32_t sums[4]);
double sharpness(const _FrameDesc *fd, const std::uint8_t *frame);

}  // namespace vocam::autoalg
