#include "usbhost/UsbHost.h"

namespace vocam::usbhost {

const char *resultName(IOReturn code) {
    switch (code) {
        case kIOReturnSuccess:
            return "success";
        case kIOReturnOverrun:
            return "overrun";
        case kIOReturnDeviceError:
            return "device error";
        case kIOReturnExclusiveAccess:
            return "exclusive access";
        case kIOReturnError:
            return "error";
        case kIOReturnNoMemory:
            return "no memory";
        case kIOReturnNoResources:
            return "no resources";
        case kIOReturnNoDevice:
            return "no device";
        case kIOReturnNotPrivileged:
            return "not privileged";
        case kIOReturnBadArgument:
            return "bad argument";
        case kIOReturnUnsupported:
            return "unsupported";
        case kIOReturnIOError:
            return "I/O error";
        case kIOReturnNotOpen:
            return "not open";
        case kIOReturnNotFound:
            return "not found";
        case kIOReturnBusy:
            return "busy";
        case kIOReturnTimeout:
            return "time-out";
        case kIOReturnNotResponding:
            return "not responding";
        case kIOReturnAborted:
            return "aborted";
        case kIOReturnInterrupted:
            return "interrupted";
        case kIOReturnPipeStalled:
            return "pipe stalled";
        default:
            return "unknown";
    }
}

}  // namespace vocam::usbhost
