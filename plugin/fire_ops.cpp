#include "plugin/fire_ops.h"

#include <cstdio>
#include <vector>

#include "capture/events_file.h"
#include "domain/fire_params_desc.h"
#include "host/scene/scene.h"
#include "export/vdb_export.h"
#include "plugin/fire_object.h"
#include "presets/builtin_presets.h"
#include "presets/preset_files.h"
#include "plugin/simulate_panel.h"
#include "export/preview.h"
#include "script/bridge.h"
#include "bake/simulate.h"

namespace tf {

namespace {

using host::FPType;

constexpr const char* kNotADomain = "not a TolvarisFire node";

std::string gStatus;

// The domain a node carries, or null when it carries none (or there is no node).
FireObject* DomainOf(host::Node* node) { return node ? AsFireObject(node->GetObject()) : nullptr; }

// The domain a command runs on; otherwise the status says the node is none and the result is null.
FireObject* CommandDomain(host::Node* node) {
  FireObject* domain = DomainOf(node);
  if (!domain) SetScriptStatus(kNotADomain);
  return domain;
}

// The node becomes the domain's current one and the domain is evaluated at the host's time, as a
// viewport showing it would: live mode then has its frame.
host::TimeValue ShowDomain(FireObject& domain, host::Node* node) {
  domain.SetCurrentNode(node);
  const host::TimeValue t = domain.CurrentTime();
  domain.EvalAt(t);
  return t;
}

bool SimulateNode(host::Node* node) {
  FireObject* domain = CommandDomain(node);
  if (!domain) return false;
  SimulateResult result = Simulate(domain, node);
  SetScriptStatus(std::move(result.message));
  return result.ok;
}

bool ClearCacheOf(host::Node* node) {
  FireObject* domain = DomainOf(node);
  if (!domain) return false;
  host::Status cleared = domain->ClearCache();
  SetScriptStatus(std::move(cleared.message));
  return cleared.ok;
}

std::string FrameInfo(host::Node* node) {
  FireObject* domain = DomainOf(node);
  if (!domain) return kNotADomain;
  const host::TimeValue t = ShowDomain(*domain, node);
  const std::shared_ptr<const CacheFrame> frame = domain->GetDisplayFrame(t);
  if (!frame) return "no frame";
  const host::ParamBlock* block = domain->Params();
  return FrameInfoText(block ? block->GetInt(kLiveMode, t).value_or(0) : 0, *frame);
}

bool SavePresetOf(host::Node* node, const std::string& name) {
  FireObject* domain = DomainOf(node);
  if (!domain) return false;
  host::Status saved = SavePreset(domain, name);
  SetScriptStatus(std::move(saved.message));
  return saved.ok;
}

std::string BridgeInfo(host::Node* node) {
  const FireObject* domain = DomainOf(node);
  return BridgeInfoText(node, domain ? domain->CurrentTime() : 0);
}

int FireFromEvents(host::Node* node, const std::string& path, float minEnergy) {
  FireObject* domain = CommandDomain(node);
  if (!domain) return -1;
  host::ParamBlock* block = domain->Params();
  block->SetString(kEventsFile, 0, path);
  block->SetFloat(kEventsMinEnergy, 0, minEnergy);
  const std::string resolved = EventsFilePath(*domain);
  std::vector<ImpactEvent> events;
  bool inMetres = false;
  const int count = ReadEventsFile(resolved, minEnergy, events, inMetres);
  if (count < 0) {
    SetScriptStatus("events file not found: " + resolved);
    return -1;
  }
  SetScriptStatus(std::to_string(count) + " events above the minimum energy");
  return count;
}

bool ExportVdb(host::Node* node) {
  FireObject* domain = CommandDomain(node);
  if (!domain) return false;
  ExportResult result = ExportVdbSequence(domain, node, nullptr);
  SetScriptStatus(std::move(result.message));
  return result.ok;
}

bool CompositeOver(host::Node* node, const std::string& background, const std::string& output) {
  FireObject* domain = CommandDomain(node);
  if (!domain) return false;
  const host::TimeValue t = ShowDomain(*domain, node);
  host::Status composited = CompositeFrame(domain, node, t, background, output);
  SetScriptStatus(std::move(composited.message));
  return composited.ok;
}

// The frame the domain shows, rendered from the active viewport at its size and shown in the
// host's bitmap window (the studio shows it in its page).
bool RenderView(host::Node* node) {
  FireObject* domain = CommandDomain(node);
  if (!domain) return false;
  const host::TimeValue t = ShowDomain(*domain, node);
  host::Status rendered = RenderViewFrame(domain, node, t);
  SetScriptStatus(std::move(rendered.message));
  return rendered.ok;
}

std::string CacheFolderOf(host::Node* node) {
  const FireObject* domain = DomainOf(node);
  return domain ? domain->CacheFolder() : std::string();
}

// Where a bake writes the preview image of `frame`, so that tools find it (or write a flipbook
// frame of the same name elsewhere).
std::string PreviewFileOf(host::Node* node, int frame) {
  const FireObject* domain = DomainOf(node);
  if (!domain) return std::string();
  return MakeFramePath(domain->OutputFolder(), VdbFileBaseName(node->Name()) + "_preview", frame, "png");
}

bool RenderPreviewTo(host::Node* node, const std::string& output) {
  FireObject* domain = CommandDomain(node);
  if (!domain) return false;
  const host::TimeValue t = ShowDomain(*domain, node);
  host::Status saved = SavePreviewImage(domain, node, t, output);
  SetScriptStatus(std::move(saved.message));
  return saved.ok;
}

}  // namespace

std::string FrameInfoText(int liveMode, const CacheFrame& frame) {
  double smoke = 0.0, heat = 0.0;
  for (float v : frame.channels[kChannelDensity]) smoke += double(v);
  for (float v : frame.channels[kChannelTemperature]) heat += double(v);
  const CacheFrameHeader& h = frame.header;
  char text[256];
  std::snprintf(text, sizeof text, "live=%d frame=%d grid=%dx%dx%d crop=%dx%dx%d smoke=%.4g heat=%.4g maxT=%.4g", liveMode,
                h.frame, h.nx, h.ny, h.nz, h.cropSize[0], h.cropSize[1], h.cropSize[2], smoke, heat,
                double(h.channelMax[kChannelTemperature]));
  return text;
}

FireOps::FireOps()
    : FPInterface(kFireOpsId, kFireOpsName, host::kFPCoreInterface, nullptr,
                  {{kOpsSimulate, "simulate", FPType::Bool, {{"domain", FPType::Node}}},
                   {kOpsExportVdb, "exportVDB", FPType::Bool, {{"domain", FPType::Node}}},
                   {kOpsClearCache, "clearCache", FPType::Bool, {{"domain", FPType::Node}}},
                   {kOpsApplyPreset, "applyPreset", FPType::Bool, {{"domain", FPType::Node}, {"index", FPType::Int}}},
                   {kOpsStatus, "status", FPType::String, {}},
                   {kOpsFrameInfo, "frameInfo", FPType::String, {{"domain", FPType::Node}}},
                   {kOpsBridgeInfo, "bridgeInfo", FPType::String, {{"domain", FPType::Node}}},
                   {kOpsSavePreset, "savePreset", FPType::Bool, {{"domain", FPType::Node}, {"name", FPType::String}}},
                   {kOpsPresetIndex, "presetIndex", FPType::Int, {{"name", FPType::String}}},
                   {kOpsFireFromEvents,
                    "fireFromEvents",
                    FPType::Int,
                    {{"domain", FPType::Node}, {"path", FPType::String}, {"minEnergy", FPType::Float, host::Value(1.0f)}}},
                   {kOpsCompositeOver,
                    "compositeOver",
                    FPType::Bool,
                    {{"domain", FPType::Node}, {"background", FPType::String}, {"output", FPType::String}}},
                   {kOpsRenderView, "renderView", FPType::Bool, {{"domain", FPType::Node}}},
                   {kOpsCacheFolder, "cacheFolder", FPType::String, {{"domain", FPType::Node}}},
                   {kOpsPreviewFile, "previewFile", FPType::String, {{"domain", FPType::Node}, {"frame", FPType::Int}}},
                   {kOpsRenderPreview,
                    "renderPreview",
                    FPType::Bool,
                    {{"domain", FPType::Node}, {"output", FPType::String}}}}) {}

host::Value FireOps::Dispatch(uint32_t functionId, const host::FPArgs& args) {
  switch (functionId) {
    case kOpsSimulate: return SimulateNode(args[0].AsNode());
    case kOpsExportVdb: return ExportVdb(args[0].AsNode());
    case kOpsClearCache: return ClearCacheOf(args[0].AsNode());
    case kOpsApplyPreset: return ApplyPreset(DomainOf(args[0].AsNode()), args[1].AsInt());
    case kOpsStatus: return ScriptStatus();
    case kOpsFrameInfo: return FrameInfo(args[0].AsNode());
    case kOpsBridgeInfo: return BridgeInfo(args[0].AsNode());
    case kOpsSavePreset: return SavePresetOf(args[0].AsNode(), args[1].AsString());
    case kOpsPresetIndex: return PresetIndex(args[0].AsString());
    case kOpsFireFromEvents: return FireFromEvents(args[0].AsNode(), args[1].AsString(), args[2].AsFloat());
    case kOpsCompositeOver: return CompositeOver(args[0].AsNode(), args[1].AsString(), args[2].AsString());
    case kOpsRenderView: return RenderView(args[0].AsNode());
    case kOpsCacheFolder: return CacheFolderOf(args[0].AsNode());
    case kOpsPreviewFile: return PreviewFileOf(args[0].AsNode(), args[1].AsInt());
    case kOpsRenderPreview: return RenderPreviewTo(args[0].AsNode(), args[1].AsString());
    default: return host::Value::Unhandled();
  }
}

const std::string& ScriptStatus() { return gStatus; }

void SetScriptStatus(std::string text) { gStatus = std::move(text); }

}  // namespace tf
