// The device provider: each camera on the bus as a Video/Source device with
// its caps, from which a device monitor makes a vocamsrc for that camera.
#pragma once

#include <gst/gst.h>

namespace vocam::gst {

gboolean registerDeviceProvider(GstPlugin *plugin);

}  // namespace vocam::gst
