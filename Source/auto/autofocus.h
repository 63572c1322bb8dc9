// The autofocus state of a camera, and the one place where the search reads
// and moves the lens. The handle keeps the state without knowing what it
// holds (vo_cam/vo_cam.h); only the algorithms reach inside.
#pragma once

#include <cstdint>
#include <memory>

#include "vo_cam/auto.h"
#include "vocamapi.h"

namespace vocam {

// Where the focus search reads the lens (range, position, flags: bit 0 the
// lower limit is not enforced, bit 1 the upper one) and commands it. Results
// are statuses: negative for failure. By default the focus property.
class FocusDrive {
  public:
    virtual ~FocusDrive() = default;
    virtual int read(int *min, int *max, int *position, std::uint32_t *flags) = 0;
    virtual int write(int position) = 0;
};

}  // namespace vocam

struct vocam_autofocus_state {
    _FrameDesc af_frame = {};
    std::int64_t af_step_budget = 0;
    std::uint64_t af_iterations = 0;
    // Measurements while climbing and refining, bounded by the step budget.
    std::uint64_t af_climb_steps = 0;
    std::uint32_t af_settled = 0;
    std::int64_t af_position = 0;
    std::int64_t af_previous_position = 0;
    std::int64_t af_target = 0;
    std::int64_t af_peak_position = 0;
    std::int64_t af_start_position = 0;
    std::int64_t af_step = 0;
    std::uint64_t af_state = 0;
    std::int32_t af_direction = 0;
    double af_metric = 0;
    double af_previous_metric = 0;
    double af_reference_metric = 0;
    std::int64_t af_best_position = 0;
    double af_best_metric = 0;
    // Null: the focus property of the camera.
    std::shared_ptr<vocam::FocusDrive> drive;
};

// The autofocus state the handle keeps for the algorithms, made on first need.
vocam_autofocus_state &vo_autofocus(vo::AutoPart &part);
