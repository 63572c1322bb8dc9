// indi_vocam_ccd: every camera on the bus becomes an INDI device when the
// driver starts. INDI's main() (in libindidriver) then serves them all.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "cameras.h"
#include "vocam_ccd.h"

namespace {

using vocam::indi::VoCamCCD;

class Driver {
  public:
    Driver() {
        vocam::indi::routeLibraryLines();
        // A build tree that is not installed names its firmware and FPGA
        // images here; installed, the library finds its own.
        const char *resources = std::getenv("INDI_VOCAM_RESOURCES");
        auto entries =
            vocam::indi::discoverCameras(resources != nullptr && *resources ? resources : nullptr);
        const auto names = vocam::indi::deviceNames(entries);
        for (std::size_t i = 0; i < entries.size(); ++i)
            devices_.push_back(std::make_unique<VoCamCCD>(
                entries[i], names[i], [this](const VoCamCCD *self) { return othersOf(self); }));
        if (devices_.empty())
            std::fprintf(stderr, "indi_vocam_ccd: no camera found; the driver has no device\n");
    }

  private:
    // The serial numbers the other devices stand for.
    std::vector<std::uint32_t> othersOf(const VoCamCCD *self) const {
        std::vector<std::uint32_t> serials;
        for (const auto &d : devices_)
            if (d.get() != self && d->entry().serial != 0) serials.push_back(d->entry().serial);
        return serials;
    }

    std::vector<std::unique_ptr<VoCamCCD>> devices_;
};

// Built before INDI's main() runs, as INDI drivers create their devices.
Driver driver;

}  // namespace
