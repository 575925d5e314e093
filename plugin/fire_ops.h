// TolvarisFireOps, the domain's scripting interface as far as the command line and scripts use it
// today: `exportVDB` and `compositeOver` run the same code as the panel's commands, and `status`
// returns the one process-wide text the last of them left.
//
// The module publishes one instance when the host loads it (plugin/module.cpp); the class itself
// does not register, so tests make their own.
#pragma once

#include <cstdint>
#include <string>

#include "host/publish.h"

namespace tf {

inline constexpr host::InterfaceId kFireOpsId{0x5a3c19e7, 0x2b8d40f1};
inline constexpr const char* kFireOpsName = "TolvarisFireOps";

// Function ids scripts bind to.
enum FireOpsFunction : uint32_t {
  kOpsExportVdb = 1,
  kOpsStatus = 4,
  kOpsCompositeOver = 11,
};

class FireOps : public host::FPInterface {
 public:
  FireOps();

 protected:
  host::Value Dispatch(uint32_t functionId, const host::FPArgs& args) override;
};

// The status text of scripted commands; empty until one reports something.
const std::string& ScriptStatus();
void SetScriptStatus(std::string text);

}  // namespace tf
