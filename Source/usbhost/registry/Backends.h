// The registry of the USB host interface's backends: which one a process
// runs on. The only code that knows the backends by name.
#pragma once

#include "usbhost/UsbHost.h"

namespace vocam::usbhost {

// The process's host: the simulated bus when VOCAM_SIM is set and not empty,
// libusb otherwise. The environment is read once, at the first call; the
// host lives until the process ends.
Host &host();

}  // namespace vocam::usbhost
