#include "plugin/fire_ops.h"

#include "host/scene.h"
#include "io/vdb_export.h"
#include "plugin/fire_object.h"
#include "plugin/simulate_panel.h"
#include "render/preview.h"

namespace tf {

namespace {

using host::FPType;

constexpr const char* kNotADomain = "not a TolvarisFire node";

std::string gStatus;

// The domain a node carries, or null when it carries none (or there is no node).
FireObject* DomainOf(host::Node* node) { return node ? AsFireObject(node->GetObject()) : nullptr; }

bool ExportVdb(host::Node* node) {
  FireObject* domain = DomainOf(node);
  if (!domain) {
    SetScriptStatus(kNotADomain);
    return false;
  }
  const VdbExportDomain exportDomain = ExportDomainOf(*domain);
  ExportResult result = ExportVdbSequence(&exportDomain, node, nullptr);
  SetScriptStatus(std::move(result.message));
  return result.ok;
}

bool CompositeOver(host::Node* node, const std::string& background, const std::string& output) {
  FireObject* domain = DomainOf(node);
  if (!domain) {
    SetScriptStatus(kNotADomain);
    return false;
  }
  domain->SetCurrentNode(node);
  const host::TimeValue t = domain->GetScene() ? domain->GetScene()->time.currentTime : 0;
  std::string status;
  const bool ok = CompositeFrame(domain, node, t, background, output, status);
  SetScriptStatus(std::move(status));
  return ok;
}

}  // namespace

FireOps::FireOps()
    : FPInterface(kFireOpsId, kFireOpsName, host::kFPCoreInterface, nullptr,
                  {{kOpsExportVdb, "exportVDB", FPType::Bool, {{"domain", FPType::Node}}},
                   {kOpsStatus, "status", FPType::String, {}},
                   {kOpsCompositeOver,
                    "compositeOver",
                    FPType::Bool,
                    {{"domain", FPType::Node}, {"background", FPType::String}, {"output", FPType::String}}}}) {}

host::Value FireOps::Dispatch(uint32_t functionId, const host::FPArgs& args) {
  switch (functionId) {
    case kOpsExportVdb: return ExportVdb(args[0].AsNode());
    case kOpsStatus: return ScriptStatus();
    case kOpsCompositeOver: return CompositeOver(args[0].AsNode(), args[1].AsString(), args[2].AsString());
    default: return host::Value::Unhandled();
  }
}

const std::string& ScriptStatus() { return gStatus; }

void SetScriptStatus(std::string text) { gStatus = std::move(text); }

}  // namespace tf
