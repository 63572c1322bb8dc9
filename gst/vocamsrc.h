// vocamsrc: a live source of one camera's frames.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_VOCAM_SRC (gst_vocam_src_get_type())
GType gst_vocam_src_get_type(void);

// Registers the element, the device provider and their debug categories.
gboolean gst_vocam_register(GstPlugin *plugin);

G_END_DECLS
