#include "usbhost/registry/Backends.h"

#include <cstdlib>

#include "Simulator/SimBus.h"
#include "usbhost/libusb/LibusbHost.h"

namespace vocam::usbhost {

namespace {

struct Backend {
    const char *name;
    // Whether this process asks for it.
    bool (*chosen)();
    std::unique_ptr<Host> (*make)();
};

bool simulatorAsked() {
    const char *sim = std::getenv("VOCAM_SIM");
    return sim != nullptr && *sim != '\0';
}

bool always() {
    return true;
}

std::unique_ptr<Host> makeSimulator() {
    return sim::makeSimulatedHost(sim::Bus::instance());
}

// The first backend a process asks for wins; libusb, last, is the default.
constexpr Backend kBackends[] = {
    {"simulator", simulatorAsked, makeSimulator},
    {"libusb", always, makeLibusbHost},
};

std::unique_ptr<Host> choose() {
    for (const Backend &b : kBackends)
        if (b.chosen()) return b.make();
    return nullptr;
}

}  // namespace

Host &host() {
    static const std::unique_ptr<Host> instance = choose();
    return *instance;
}

}  // namespace vocam::usbhost
