// The gstdscam plugin: the dscamsrc element.
#include "tools/gstdscam/dscam_src.h"

namespace {

gboolean plugin_init(GstPlugin *plugin) {
  return dscam_src_register(plugin);
}

} // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, dscam, "The dscam camera as a live video source",
                  plugin_init, DSCAM_VERSION, GST_LICENSE_UNKNOWN, PACKAGE, "dscam")
