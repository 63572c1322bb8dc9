// Frame-driven focus search: each call waits for the lens to settle, measures
// the region's sharpness and commands the next position, climbing to the
// sharpest position, refining it with a parabola and coming at it from the
// side it travelled.
#include <algorithm>
#include <climits>
#include <mutex>

#include "auto/autofocus.h"
#include "auto/frame.h"
#include "transport/vo_usb.h"
#include "vo_cam/auto.h"

using vocam::autoalg::Camera;

namespace {

constexpr std::uint32_t kFocus = 22;
// Region margin: the sharpness reads neighbours two pixels out.
constexpr int kBorder = 2;
constexpr double kDecisive = 1.3;    // rise or fall against the reference
constexpr double kSmallRise = 1.04;  // half steps from here
constexpr double kFallFromBest = 0.6;
constexpr std::int64_t kStepsPastPeak = 8;
constexpr std::uint64_t kSearchCalls = 36;

enum State : std::uint64_t {
    kFirst = 0,
    kSearch = 1,
    kSearchHalf = 2,
    kReversed = 3,
    kClimb = 4,
    kResend = 5,
    kRefine = 6,
    kApproach = 7,
    kArrived = 8,
    kDone = 9,
};

int readLens(Camera &camera, int *min, int *max, int *position, std::uint32_t *flags) {
    auto &drive = vo_autofocus(camera.own()).drive;
    if (drive) return drive->read(min, max, position, flags);
    return camera.propertyRange(kFocus, min, max, position, flags);
}

int moveLens(Camera &camera, std::int64_t target) {
    const int position = target > INT_MAX   ? INT_MAX
                         : target < INT_MIN ? INT_MIN
                                            : static_cast<int>(target);
    auto &drive = vo_autofocus(camera.own()).drive;
    if (drive) return drive->write(position);
    return camera.setProperty(kFocus, position, 0);
}

// The lens's limits for one call. Bit 0 of the flags lifts the lower limit,
// bit 1 the upper one.
struct Limits {
    std::int64_t min, max;
    std::uint32_t flags;
    bool lowerHolds() const { return (flags & 1) == 0; }
    bool upperHolds() const { return (flags & 2) == 0; }
};

bool atLimit(const vocam_autofocus_state &af, const Limits &l) {
    if (af.af_direction < 1) return l.lowerHolds() && af.af_target <= l.min;
    return l.upperHolds() && af.af_target >= l.max;
}

// A position inside the limits the controller enforces.
std::int64_t clamped(std::int64_t position, const Limits &l) {
    if (l.lowerHolds() && position < l.min) return l.min;
    if (l.upperHolds() && position > l.max) return l.max;
    return position;
}

// Sends the target, never beyond an enforced limit, and keeps the metric.
int command(Camera &camera, vocam_autofocus_state &af, const Limits &l, double metric) {
    af.af_target = clamped(af.af_target, l);
    af.af_previous_metric = af.af_metric;
    af.af_metric = metric;
    return moveLens(camera, af.af_target) < 0 ? -1 : 0;
}

void clampTarget(vocam_autofocus_state &af, const Limits &l) {
    if (af.af_direction < 1) {
        if (l.lowerHolds() && af.af_target <= l.min) af.af_target = l.min;
    } else if (l.upperHolds() && af.af_target >= l.max) {
        af.af_target = l.max;
    }
}

}  // namespace

void vo::AutofocusDeleter::operator()(vocam_autofocus_state *state) const noexcept {
    delete state;
}

vocam_autofocus_state &vo_autofocus(vo::AutoPart &part) {
    std::call_once(part.made, [&part] { part.autofocus.reset(new vocam_autofocus_state); });
    return *part.autofocus;
}

int vocam::autoalg::autofocus_start(Camera camera, int x, int y, int width, int height) {
    vocam_autofocus_state &af = vo_autofocus(camera.own());
    af.af_state = kFirst;
    af.af_direction = 0;
    af.af_previous_metric = 0;
    af.af_best_metric = 0;
    if (const int r =
            describe_region(&camera.transport(), &af.af_frame, x, y, width, height, kBorder);
        r != 0)
        return r;
    int lo = 0, hi = 0, p = 0;
    std::uint32_t flags = 0;
    if (const int r = readLens(camera, &lo, &hi, &p, &flags); r < 0) return r;
    const Limits l{lo, hi, flags % 4};
    af.af_position = af.af_previous_position = af.af_start_position = p;
    const bool bounded = l.flags == 0;
    if (bounded && l.min >= l.max) return VOCAM_EFAIL;
    af.af_step = bounded ? (l.max - l.min) / 32 : std::int64_t{p} / 64;
    if (af.af_step == 0) af.af_step = 1;
    std::int64_t from = p;
    if (l.lowerHolds() && from < l.min) from = l.min;
    if (l.upperHolds() && from > l.max) from = l.max;
    af.af_iterations = 0;
    af.af_climb_steps = 0;
    af.af_step_budget =
        bounded ? std::max(from - l.min, l.max - from) * 32 / (l.max - l.min) + 5 : 37;
    return 0;
}

int vocam::autoalg::autofocus_process(Camera camera, const std::uint8_t *frame) {
    if (frame == nullptr) return VOCAM_EINVAL;
    vocam_autofocus_state &af = vo_autofocus(camera.own());
    // The search's region lies in the window it was started on; a ring
    // buffer of another window (held across a change) does not hold it.
    const FramePin pin(camera.transport().stream, frame);
    if (pin.ring() &&
        (pin.width() != af.af_frame.frame_width || pin.height() != af.af_frame.frame_height))
        return VOCAM_EINVAL;
    int lo = 0, hi = 0, position = 0;
    std::uint32_t flags = 0;
    if (readLens(camera, &lo, &hi, &position, &flags) < 0) return VOCAM_EIO;
    const Limits l{lo, hi, flags % 4};
    if (l.flags == 0 && l.min >= l.max) return VOCAM_EFAIL;
    const std::int64_t p = position;

    // Measure only a lens that has stood still at the same reading three
    // calls running (four when it stopped short of the target).
    if (af.af_state != kFirst) {
        if (p == af.af_position && af.af_position == af.af_previous_position) {
            if (!af.af_settled) {
                af.af_settled = 1;
                return 0;
            }
            af.af_settled = 0;
        } else {
            af.af_previous_position = af.af_position;
            af.af_position = p;
            af.af_settled = af.af_direction < 1 ? p <= af.af_target : p >= af.af_target;
            return 0;
        }
    }

    const double metric = vocam::autoalg::sharpness(&af.af_frame, frame);
    // No region: the search was never started on this frame geometry.
    if (metric < 0) return VOCAM_EINVAL;

    const auto direction = [&] { return std::int64_t{af.af_direction}; };
    const auto approach = [&] {
        af.af_peak_position = clamped(af.af_best_position, l);
        af.af_target = af.af_peak_position - 2 * direction();
        af.af_state = kApproach;
    };
    // Climbing and refining move one step a measurement. Past the budget
    // (the far end of the range from the start, and the steps the refining
    // may go beyond the peak) the lens goes to the best position found, or
    // the search gives up: a lens whose limit is not enforced, or that stops
    // short of it, would otherwise be driven on for ever.
    if ((af.af_state == kClimb || af.af_state == kRefine) &&
        ++af.af_climb_steps > static_cast<std::uint64_t>(af.af_step_budget) + kStepsPastPeak) {
        if (af.af_best_metric <= 0) {
            af.af_state = kDone;
            return VOCAM_EGAVEUP;
        }
        approach();
        return command(camera, af, l, metric);
    }

    switch (af.af_state) {
        case kFirst: {
            af.af_reference_metric = metric;
            af.af_position = p;
            bool up = false;
            switch (l.flags) {
                case 0:
                    up = p - l.min <= l.max - p;
                    break;
                case 2:
                    up = true;
                    break;
                default:
                    up = false;
            }
            af.af_direction = static_cast<std::int32_t>(up ? af.af_step : -af.af_step);
            af.af_target = p + 2 * direction();
            af.af_state = kSearch;
            break;
        }
        case kSearch:
        case kSearchHalf: {
            // Counted here so that a search in a scene without contrast ends.
            ++af.af_iterations;
            const double reference = af.af_reference_metric;
            if (metric > kDecisive * reference) {
                if (atLimit(af, l)) {
                    af.af_state = kDone;
                    return 0;
                }
                af.af_target += direction();
                clampTarget(af, l);
                af.af_state = af.af_direction < 0 && af.af_state == kSearchHalf ? kRefine : kClimb;
            } else if (reference > kDecisive * metric) {
                af.af_direction = -af.af_direction;
                af.af_target += 2 * direction();
                af.af_state = kReversed;
            } else if (af.af_iterations > kSearchCalls) {
                af.af_state = kDone;
                return VOCAM_EGAVEUP;
            } else {
                if (atLimit(af, l)) {
                    af.af_direction = -af.af_direction;
                    af.af_target = af.af_start_position;
                }
                if (metric > kSmallRise * reference) {
                    af.af_target += direction();
                    af.af_state = kSearchHalf;
                } else {
                    af.af_target += 2 * direction();
                    af.af_state = kSearch;
                }
                clampTarget(af, l);
            }
            break;
        }
        case kReversed:
            af.af_target += direction();
            if (af.af_direction < 1) {
                if (!l.lowerHolds() || af.af_target > l.min) {
                    af.af_state = kClimb;
                } else {
                    af.af_target = l.min;
                    af.af_state = kArrived;
                }
            } else if (!l.upperHolds() || af.af_target < l.max) {
                af.af_state = kClimb;
            } else {
                af.af_target = l.max;
                af.af_state = kArrived;
            }
            break;
        case kClimb:
            if (af.af_metric > metric) {
                // The last position was past the peak's summit.
                af.af_best_position = af.af_target - direction();
                af.af_best_metric = af.af_metric;
                if (atLimit(af, l)) {
                    approach();
                    break;
                }
            } else if (atLimit(af, l)) {
                af.af_state = kDone;
                return 0;
            }
            af.af_target += direction();
            clampTarget(af, l);
            af.af_state = kRefine;
            break;
        case kResend:
            break;
        case kRefine: {
            const double m0 = af.af_previous_metric, m1 = af.af_metric, m2 = metric;
            const double s = static_cast<double>(af.af_step);
            const double middle = static_cast<double>(af.af_target - direction());
            if (m1 > m2 && m1 > m0) {
                // The parabola through the last three positions. Its vertex
                // lies towards the sharper of the outer two, measured along
                // the direction of travel.
                const double a = ((2 * m1 - m0 - m2) / 2 / s) / s;
                const double along = (af.af_direction < 0) == (af.af_step < 0) ? 1.0 : -1.0;
                const double x = along * (m2 - m0) / 4 / a / s + middle;
                const double predicted = a * (x - middle) * (x - middle) + m1;
                if (predicted > af.af_best_metric) {
                    af.af_best_metric = predicted;
                    af.af_best_position = static_cast<std::int64_t>(x + 0.5);
                }
            }
            const std::int64_t past = af.af_direction < 0 ? af.af_best_position - af.af_target
                                                          : af.af_target - af.af_best_position;
            if (kFallFromBest * af.af_best_metric > metric && past > kStepsPastPeak * af.af_step) {
                approach();
            } else if (!atLimit(af, l)) {
                af.af_target += direction();
                clampTarget(af, l);
            } else if (af.af_best_metric == 0) {
                af.af_state = kDone;
                return 0;
            } else {
                approach();
            }
            break;
        }
        case kApproach:
            af.af_target = af.af_peak_position;
            af.af_state = kArrived;
            break;
        case kArrived:
            af.af_state = kDone;
            return 0;
        default:
            return VOCAM_EFAIL;
    }

    return command(camera, af, l, metric);
}
