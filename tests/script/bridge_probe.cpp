// A stand-in for a sibling plug-in: the module "BridgeProbe.dlo" publishes BridgeProbe.read(node),
// which finds the bridge as a sibling does (the loaded "TolvarisFire.dlo", its export
// "TFR_GetBridge"), reads the node's frame at the scene's current time and sums it up. It holds
// each frame until the next read, so it can tell whether a read handed out the same arrays again.
#include <cstdio>
#include <string>

#include "host/core/platform.h"
#include "host/plugins/plugin_abi.h"
#include "host/plugins/publish.h"
#include "host/scene/scene.h"
#include "script/bridge_abi.h"

namespace {

class Probe final : public host::FPInterface {
 public:
  Probe()
      : FPInterface({0x0b71d6e5, 0x9e0b3c21}, "BridgeProbe", host::kFPCoreInterface, nullptr,
                    {{0, "read", host::FPType::String, {{"node", host::FPType::Node}}}}) {}
  void Drop() {
    if (bridge_) bridge_->releaseFrame(last_.holder);
    last_ = {};
  }

 protected:
  host::Value Dispatch(uint32_t id, const host::FPArgs& args) override {
    return id == 0 ? host::Value(Read(args[0].AsNode())) : host::Value::Unhandled();
  }

 private:
  std::string Read(host::Node* node) {
    if (!bridge_) {
      host::ModuleHandle fire = host::FindLoadedModule(TFR_BRIDGE_MODULE);
      const auto get = host::FindModuleFunction<TfrGetBridgeFn>(fire, TFR_BRIDGE_EXPORT);
      bridge_ = get && get()->version >= TFR_BRIDGE_VERSION ? get() : nullptr;
    }
    if (!bridge_) return "no bridge";
    TfrBridgeFrame f{};
    if (!bridge_->isFireNode(node, nullptr, nullptr)) return "not a fire node";
    if (!bridge_->getFrame(node, node->GetScene()->time.currentTime, &f)) return "no frame";
    double extinction = 0.0, emission = 0.0;
    for (size_t i = 0; i < size_t(f.nx) * f.ny * f.nz; ++i) {
      extinction += f.extinction[i];
      emission += double(f.emission[3 * i]) + f.emission[3 * i + 1] + f.emission[3 * i + 2];
    }
    const int same = f.extinction == last_.extinction && f.emission == last_.emission && f.third == last_.third;
    Drop();
    last_ = f;
    char text[200];
    std::snprintf(text, sizeof text, "%ux%ux%u ext=%.9g emission=%.9g generation=%llu same=%d", f.nx, f.ny, f.nz,
                  extinction, emission, static_cast<unsigned long long>(f.generation), same);
    return text;
  }

  const TfrBridge* bridge_ = nullptr;
  TfrBridgeFrame last_{};
};

Probe gProbe;

}  // namespace

TFR_MODULE_EXPORT const char* LibDescription() { return "Bridge probe: reads the fire as a sibling plug-in"; }
TFR_MODULE_EXPORT int LibNumberClasses() { return 0; }
TFR_MODULE_EXPORT host::ClassDesc* LibClassDesc(int) { return nullptr; }
TFR_MODULE_EXPORT uint32_t LibVersion() { return host::kHostApiVersion; }
TFR_MODULE_EXPORT int LibInitialize() { return host::RegisterInterface(&gProbe) ? 1 : 0; }
TFR_MODULE_EXPORT int LibShutdown() {
  gProbe.Drop();
  return 1;
}
