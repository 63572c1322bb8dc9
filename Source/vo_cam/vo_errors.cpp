// Names of the codes the library returns.
#include "base/vo_guard.h"
#include "usbhost/UsbHost.h"
#include "vocamapi.h"

namespace {

using namespace vocam::usbhost;

// The public names are the USB layer's own codes, not copies that could drift.
static_assert(VOCAM_USB_ERROR == kIOReturnError);
static_assert(VOCAM_USB_NO_MEMORY == kIOReturnNoMemory);
static_assert(VOCAM_USB_NO_RESOURCES == kIOReturnNoResources);
static_assert(VOCAM_USB_NO_DEVICE == kIOReturnNoDevice);
static_assert(VOCAM_USB_NOT_PRIVILEGED == kIOReturnNotPrivileged);
static_assert(VOCAM_USB_BAD_ARGUMENT == kIOReturnBadArgument);
static_assert(VOCAM_USB_EXCLUSIVE_ACCESS == kIOReturnExclusiveAccess);
static_assert(VOCAM_USB_UNSUPPORTED == kIOReturnUnsupported);
static_assert(VOCAM_USB_IO_ERROR == kIOReturnIOError);
static_assert(VOCAM_USB_NOT_OPEN == kIOReturnNotOpen);
static_assert(VOCAM_USB_BUSY == kIOReturnBusy);
static_assert(VOCAM_USB_TIMEOUT == kIOReturnTimeout);
static_assert(VOCAM_USB_OVERRUN == kIOReturnOverrun);
static_assert(VOCAM_USB_DEVICE_ERROR == kIOReturnDeviceError);
static_assert(VOCAM_USB_ABORTED == kIOReturnAborted);
static_assert(VOCAM_USB_NOT_RESPONDING == kIOReturnNotResponding);
static_assert(VOCAM_USB_INTERRUPTED == kIOReturnInterrupted);
static_assert(VOCAM_USB_NOT_FOUND == kIOReturnNotFound);
static_assert(VOCAM_USB_PIPE_STALLED == kIOReturnPipeStalled);

const char *libraryText(int code) {
    switch (code) {
        case VOCAM_EFAIL:
            return "failed";
        case VOCAM_ENOMATCH:
            return "USB devices could not be matched";
        case VOCAM_EIO:
            return "camera value could not be read or written";
        case VOCAM_ENODEVICE:
            return "no USB device object";
        case VOCAM_ENOMEM:
            return "out of memory";
        case VOCAM_EUNSUPPORTED:
            return "not supported or model data missing";
        case VOCAM_EINVAL:
            return "invalid argument or busy";
        case VOCAM_ENOSLOT:
            return "no free callback slot";
        case VOCAM_EEXPOSURE:
            return "region too dark or too bright";
        case VOCAM_EGAVEUP:
            return "search gave up";
        case VOCAM_ENOTIMPL:
            return "not implemented";
        case VOCAM_ENODATA:
            return "no data: stream not running";
        case VOCAM_ENOINTERFACE:
            return "no USB interface object";
        case VOCAM_ETIMEDOUT:
            return "timed out";
        case VOCAM_EINTERNAL:
            return "internal failure";
        default:
            return nullptr;
    }
}

const char *usbText(int code) {
    switch (code) {
        case VOCAM_USB_ERROR:
            return "USB: error";
        case VOCAM_USB_NO_MEMORY:
            return "USB: no memory";
        case VOCAM_USB_NO_RESOURCES:
            return "USB: no resources";
        case VOCAM_USB_NO_DEVICE:
            return "USB: no device";
        case VOCAM_USB_NOT_PRIVILEGED:
            return "USB: not privileged";
        case VOCAM_USB_BAD_ARGUMENT:
            return "USB: bad argument";
        case VOCAM_USB_EXCLUSIVE_ACCESS:
            return "USB: exclusive access";
        case VOCAM_USB_UNSUPPORTED:
            return "USB: unsupported";
        case VOCAM_USB_IO_ERROR:
            return "USB: I/O error";
        case VOCAM_USB_NOT_OPEN:
            return "USB: not open";
        case VOCAM_USB_BUSY:
            return "USB: busy";
        case VOCAM_USB_TIMEOUT:
            return "USB: time-out";
        case VOCAM_USB_OVERRUN:
            return "USB: overrun";
        case VOCAM_USB_DEVICE_ERROR:
            return "USB: device error";
        case VOCAM_USB_ABORTED:
            return "USB: aborted";
        case VOCAM_USB_NOT_RESPONDING:
            return "USB: not responding";
        case VOCAM_USB_INTERRUPTED:
            return "USB: interrupted";
        case VOCAM_USB_NOT_FOUND:
            return "USB: not found";
        case VOCAM_USB_PIPE_STALLED:
            return "USB: pipe stalled";
        default:
            return nullptr;
    }
}

}  // namespace

extern "C" VOCAM_API const char *vocam_strerror(int code) {
    return vo::guard(__func__, [&]() -> const char * {
        if (code >= 0) return "success";
        if (const char *text = libraryText(code)) return text;
        if (const char *text = usbText(code)) return text;
        return "unknown error";
    });
}
