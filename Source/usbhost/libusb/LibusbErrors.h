// Translation of libusb results into the host interface's platform codes.
//
// Callers test three codes by value (overrun, exclusive access, device
// error); every other libusb failure gets a code of its own so that log
// lines still tell them apart after translation.
#pragma once

#include "usbhost/UsbHost.h"

namespace vocam::usbhost {

// A libusb_error value (or a non-negative count, which is success).
IOReturn fromLibusb(int libusbError);

// The status of a completed asynchronous transfer (enum libusb_transfer_status).
IOReturn fromLibusbTransfer(int transferStatus);

}  // namespace vocam::usbhost
