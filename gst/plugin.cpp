// The plugin: the camera source element and its device provider.
#include <gst/gst.h>

#include "vocamsrc.h"
#include "vocamversion.h"

#define PACKAGE "vocam"

static gboolean pluginInit(GstPlugin *plugin) {
    return gst_vocam_register(plugin);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vocam,
                  "Sources for USB 2.0 cameras built around an FX2 controller and an FPGA",
                  pluginInit, VOCAM_VERSION_STRING, "unknown", "VoCamSDK", "VoCamSDK")
