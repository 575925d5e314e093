// The entry points of the TolvarisFire.dlo module. The host calls them after loading the module
// (host/plugins/plugin_abi.h): it checks the version, initialises the module and registers its one class,
// the TolvarisFire domain. Sibling plug-ins call TFR_GetBridge.
#include <cstdint>
#include <string>

#include "host/plugins/plugin_abi.h"
#include "host/plugins/publish.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/fire_ops.h"
#include "script/bridge.h"

namespace {

// The scripting interface, published while the module is loaded. It is registered by
// LibInitialize rather than by static initialisation: the module stays mapped after the host
// unloads it (it takes the interface out of its registry then), so a second load runs no static
// initialiser, yet must publish the interface again.
tf::FireOps gFireOps;

}  // namespace

TFR_MODULE_EXPORT const char* LibDescription() { return "Tolvaris Fire: fire and smoke simulation"; }

TFR_MODULE_EXPORT int LibNumberClasses() { return 1; }

TFR_MODULE_EXPORT host::ClassDesc* LibClassDesc(int i) {
  // The host's registry takes descriptors as mutable, but never changes this one.
  return i == 0 ? const_cast<tf::FireObjDesc*>(&tf::GetFireObjDesc()) : nullptr;
}

TFR_MODULE_EXPORT uint32_t LibVersion() { return host::kHostApiVersion; }

TFR_MODULE_EXPORT int LibInitialize() {
  // A fresh load starts with an empty status, as after the first load. The module is ready even
  // when its scripting interface cannot be published (another module took the name): the domain,
  // its panels and bakes work without it, so the load never fails for it.
  std::string why;
  tf::SetScriptStatus(host::RegisterInterface(&gFireOps, &why) ? std::string() : "TolvarisFireOps not published: " + why);
  return 1;
}

TFR_MODULE_EXPORT int LibShutdown() { return 1; }

// The bridge for sibling plug-ins (script/bridge_abi.h), found by name in the loaded module.
TFR_MODULE_EXPORT const TfrBridge* TFR_GetBridge() { return tf::GetBridgeTable(); }

// Asks switchable-graphics drivers to run the process on the discrete NVIDIA GPU.
extern "C" {
__attribute__((visibility("default"))) int32_t NvOptimusEnablementCuda = 1;
}
