#include "deviceprovider.h"

#include <algorithm>
#include <string>

#include "camera.h"
#include "log.h"
#include "vocamapi.h"

GST_DEBUG_CATEGORY_STATIC(vocam_provider_debug);
#define GST_CAT_DEFAULT vocam_provider_debug

struct GstVocamDevice {
    GstDevice parent;
    guint serial;
};

struct GstVocamDeviceClass {
    GstDeviceClass parent_class;
};

G_DEFINE_TYPE(GstVocamDevice, gst_vocam_device, GST_TYPE_DEVICE)

struct GstVocamDeviceProvider {
    GstDeviceProvider parent;
};

struct GstVocamDeviceProviderClass {
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(GstVocamDeviceProvider, gst_vocam_device_provider, GST_TYPE_DEVICE_PROVIDER)

namespace {

GstElement *createElement(GstDevice *device, const gchar *name) {
    GstElement *element = gst_element_factory_make("vocamsrc", name);
    if (element != nullptr)
        g_object_set(element, "serial", reinterpret_cast<GstVocamDevice *>(device)->serial,
                     nullptr);
    return element;
}

// One camera as a device: its caps when it can be opened, the element's
// own caps while another program holds it.
GstDevice *describe(const vocam_version &record) {
    vocam_version request = record;
    _vocam *camera = nullptr;
    std::string name = "camera";
    GstCaps *caps = nullptr;
    if (vocam_camera_open(&camera, &request) >= 0 && camera != nullptr) {
        char model[64] = {};
        if (vocam_get_model_name(camera, model, sizeof model) == 0) name = model;
        vocam::gst::Sensor sensor;
        if (sensor.read(camera)) caps = sensor.caps();
        vocam_camera_close(&camera);
    }
    if (caps == nullptr) {
        GstElementFactory *factory = gst_element_factory_find("vocamsrc");
        for (const GList *t = factory != nullptr
                                  ? gst_element_factory_get_static_pad_templates(factory)
                                  : nullptr;
             t != nullptr && caps == nullptr; t = t->next)
            caps = gst_static_pad_template_get_caps(static_cast<GstStaticPadTemplate *>(t->data));
        if (factory != nullptr) gst_object_unref(factory);
        if (caps == nullptr) caps = gst_caps_new_any();
        name += " (in use)";
    }
    const std::string display = name + " (serial " + std::to_string(record.serial_number) + ")";
    GstStructure *props = gst_structure_new(
        "vocam-device", "device.api", G_TYPE_STRING, "vocam", "device.serial", G_TYPE_UINT,
        record.serial_number, "device.product-id", G_TYPE_UINT, record.product_id, nullptr);
    GstDevice *device = GST_DEVICE(g_object_new(gst_vocam_device_get_type(), "display-name",
                                                display.c_str(), "device-class", "Video/Source",
                                                "caps", caps, "properties", props, nullptr));
    reinterpret_cast<GstVocamDevice *>(device)->serial = record.serial_number;
    gst_caps_unref(caps);
    gst_structure_free(props);
    return device;
}

GList *probe(GstDeviceProvider *provider) {
    vocam::gst::routeLibraryLog();
    // Cameras still waiting for firmware or FPGA come up first, from the
    // installed files.
    vocam_camera_state states[64];
    std::uint32_t count = 64;
    if (vocam_get_camera_states(states, &count) >= 0 &&
        std::any_of(states, states + std::min<std::uint32_t>(count, 64), [](const auto &s) {
            return s.state == VOCAM_STATE_NO_FIRMWARE || s.state == VOCAM_STATE_NO_FPGA;
        }))
        vocam_init(nullptr);
    vocam_version records[64];
    count = 64;
    GList *devices = nullptr;
    if (vocam_enum_cameras(records, &count) < 0) {
        GST_WARNING_OBJECT(provider, "the cameras could not be listed");
        return nullptr;
    }
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(count, 64); ++i)
        devices = g_list_append(devices, gst_object_ref_sink(describe(records[i])));
    return devices;
}

}  // namespace

static void gst_vocam_device_init(GstVocamDevice *device) {
    device->serial = 0;
}

static void gst_vocam_device_class_init(GstVocamDeviceClass *klass) {
    GST_DEVICE_CLASS(klass)->create_element = createElement;
}

static void gst_vocam_device_provider_init(GstVocamDeviceProvider *) {}

static void gst_vocam_device_provider_class_init(GstVocamDeviceProviderClass *klass) {
    GstDeviceProviderClass *provider = GST_DEVICE_PROVIDER_CLASS(klass);
    provider->probe = probe;
    gst_device_provider_class_set_static_metadata(
        provider, "Camera device provider", "Source/Video", "Lists the VoCam cameras", "VoCamSDK");
}

namespace vocam::gst {

gboolean registerDeviceProvider(GstPlugin *plugin) {
    GST_DEBUG_CATEGORY_INIT(vocam_provider_debug, "vocamdeviceprovider", 0,
                            "camera device provider");
    return gst_device_provider_register(plugin, "vocamdeviceprovider", GST_RANK_PRIMARY,
                                        gst_vocam_device_provider_get_type());
}

}  // namespace vocam::gst
