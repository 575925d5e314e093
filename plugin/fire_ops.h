// TolvarisFireOps, the domain's scripting interface: every main command without the panels
// (simulate, export, clear the cache, presets, the composite, a render of the active viewport,
// fires from destruction events) and
// queries of the frame a domain shows and of what the bridge hands other plug-ins. Each command
// runs the same code as its panel button and leaves its message in one process-wide status text,
// which `status` returns.
//
// The module publishes one instance when the host loads it (plugin/module.cpp); the class itself
// does not register, so tests make their own.
#pragma once

#include <cstdint>
#include <string>

#include "host/plugins/publish.h"
#include "cache/cache_file.h"

namespace tf {

inline constexpr host::InterfaceId kFireOpsId{0x5a3c19e7, 0x2b8d40f1};
inline constexpr const char* kFireOpsName = "TolvarisFireOps";

// Function ids scripts bind to.
enum FireOpsFunction : uint32_t {
  kOpsSimulate = 0,
  kOpsExportVdb = 1,
  kOpsClearCache = 2,
  kOpsApplyPreset = 3,
  kOpsStatus = 4,
  kOpsFrameInfo = 6,
  kOpsBridgeInfo = 7,
  kOpsSavePreset = 8,
  kOpsPresetIndex = 9,
  kOpsFireFromEvents = 10,
  kOpsCompositeOver = 11,
  // Beyond the interface's original commands: the current frame as the active viewport sees it.
  kOpsRenderView = 12,
  kOpsCacheFolder = 13,
  kOpsPreviewFile = 14,
  kOpsRenderPreview = 15,
};

class FireOps : public host::FPInterface {
 public:
  FireOps();

 protected:
  host::Value Dispatch(uint32_t functionId, const host::FPArgs& args) override;
};

// "live=%d frame=%d grid=%dx%dx%d crop=%dx%dx%d smoke=%.4g heat=%.4g maxT=%.4g" for a frame a
// domain with that liveMode shows.
std::string FrameInfoText(int liveMode, const CacheFrame& frame);

// The status text of scripted commands; empty until one reports something.
const std::string& ScriptStatus();
void SetScriptStatus(std::string text);

}  // namespace tf
