// Simulated cameras presented to libusb as real USB devices, through a
// umockdev testbed: each camera gets a sysfs entry with its descriptors and a
// device file whose usbfs requests (control and bulk URBs, claims, alternate
// settings, halts) are answered by the same camera model the simulated bus
// uses. GLib stays behind this header.
//
// The process must run under umockdev-wrapper, and the testbed must exist
// before libusb starts, so that libusb's hotplug monitor listens to it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Simulator/SimDevice.h"

namespace vocam::test::umock {

class Testbed {
  public:
    // True when umockdev's preload library is active in this process.
    static bool active();
    // The process's testbed, created at the first call and kept to the end.
    static Testbed &instance();

    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // Adds one camera per entry of a VOCAM_SIM-style description; false (and
    // nothing added) when the description is refused.
    bool configure(const std::string &description);
    std::shared_ptr<sim::CameraDevice> attach(sim::CameraConfig config);
    // The camera leaves the bus as at a cable pull: its URBs complete with
    // the kernel's shutdown status, its device file answers "no device".
    void unplug(const std::shared_ptr<sim::CameraDevice> &camera);
    // Removes every camera and cancels re-enumerations on their way.
    void clear();
    std::vector<std::shared_ptr<sim::CameraDevice>> devices() const;
    // The usbfs requests handled since the last call, by name ("SUBMITURB").
    std::vector<std::string> takeRequests();

    // Faults of the kernel's side, per camera (descriptors are the camera's
    // own: CameraConfig::configuration). The next request of this name
    // ("SETINTERFACE", ...) fails with `error`.
    void failRequest(const std::shared_ptr<sim::CameraDevice> &camera, const std::string &name,
                     int error);
    // The next `count` bulk IN URBs complete with this status (0 or a
    // negative errno) and count, whatever the camera did; a count beyond the
    // URB's buffer is reported as it stands.
    void overrideUrbs(const std::shared_ptr<sim::CameraDevice> &camera, int status, int length,
                      int count = 1);

    struct Impl;

  private:
    Testbed();
    std::unique_ptr<Impl> impl_;
};

}  // namespace vocam::test::umock
