#include "bake/bake_outputs.h"

#include <algorithm>
#include <optional>
#include <chrono>
#include <filesystem>
#include <string_view>
#include <vector>

#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/core/platform.h"
#include "host/core/status.h"
#include "host/scene/scene.h"
#include "io/png_writer.h"
#include "export/prt_writer.h"
#include "export/vdb_export.h"
#include "io/vdb_writer.h"
#include "export/preview.h"
#include "cache/frame_capture.h"
#include "cache/simulate_domain.h"

namespace tf {

namespace {

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

bool Switch(const host::ParamBlock& block, int id) { return block.GetBool(id, 0).value_or(false); }

// True when `name` is `base`, "_", a frame number as MakeFramePath writes it ("0012", "m0003"),
// "." and `ext`.
bool IsFrameFile(std::string_view name, std::string_view base, std::string_view ext) {
  if (name.size() < base.size() + ext.size() + 6 || !name.starts_with(base) || name[base.size()] != '_') return false;
  std::string_view number = name.substr(base.size() + 1);
  if (!number.ends_with(ext) || number[number.size() - ext.size() - 1] != '.') return false;
  number.remove_suffix(ext.size() + 1);
  if (number.starts_with('m')) number.remove_prefix(1);
  return number.size() >= 4 && std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The file a killed writer's temporary file "<file>.<process id>.part" was meant to become; empty
// for any other name.
std::string_view TargetOfTemporary(std::string_view name) {
  if (!name.ends_with(".part")) return {};
  name.remove_suffix(5);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size() ||
      !std::all_of(name.begin() + long(dot) + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  return name.substr(0, dot);
}

}  // namespace

void DeleteOldBakeOutputs(const BakeOutputs& outputs) {
  if (outputs.outputFolder.empty() || outputs.baseName.empty()) return;
  const std::string preview = outputs.baseName + "_preview";
  for (const std::filesystem::path& file : host::FindFiles(outputs.outputFolder, "*")) {
    const std::string fileName = file.filename().string();
    const std::string_view target = TargetOfTemporary(fileName);
    const std::string_view name = target.empty() ? std::string_view(fileName) : target;
    if ((outputs.outVDB && IsFrameFile(name, outputs.baseName, "vdb")) ||
        (outputs.outPRT && IsFrameFile(name, outputs.baseName, "prt")) ||
        (outputs.outPreview && IsFrameFile(name, preview, "png")))
      host::DeleteFile(file);
  }
}

bool PrepareBakeOutputs(BakeOutputs& outputs, const DomainRef& domain, host::Node& node, const FireParams& params,
                        std::string* message) {
  outputs = BakeOutputs{};
  const host::ParamBlock* block = domain.params;
  SimulateDomain* folders = domain.folders;

  outputs.outVDB = Switch(*block, kOutVDB);
  outputs.outPRT = Switch(*block, kOutPRT);
  outputs.outPreview = Switch(*block, kOutPreview);
  outputs.vdbMask = (Switch(*block, kVdbDensity) ? kVdbMaskDensity : 0u) |
                    (Switch(*block, kVdbTemp) ? kVdbMaskTemperature : 0u) |
                    (Switch(*block, kVdbFlame) ? kVdbMaskFlame : 0u) | (Switch(*block, kVdbFuel) ? kVdbMaskFuel : 0u) |
                    (params.exportVelocity ? kVdbMaskVelocity : 0u);
  outputs.prtPerCell = block->GetInt(kPrtPerCell, 0).value_or(1);
  outputs.previewWidth = block->GetInt(kPreviewWidth, 0).value_or(1280);
  outputs.flowDisplace = block->GetFloat(kFlowDisplace, 0).value_or(0.0f);
  outputs.flowDisplaceSize = block->GetFloat(kFlowDisplaceSize, 0).value_or(4.0f);
  outputs.outputFolder = folders->OutputFolder();
  // The node's name becomes part of file names, so it must not lead out of the folder.
  outputs.baseName = VdbFileBaseName(node.Name());
  const host::Scene* scene = node.GetScene();
  outputs.frameRate = scene ? scene->time.frameRate : 30;

  if (!outputs.outVDB && !outputs.outPRT && !outputs.outPreview) return true;
  if (!EnsureDirectory(outputs.outputFolder))
    return host::Fail(message, "Cannot create the output folder " + outputs.outputFolder);
  if (outputs.outPreview) {
    const host::TimeValue now = scene ? scene->time.currentTime : 0;
    if (!PreviewCamera(domain.object, &node, now, outputs.previewWidth, outputs.camera))
      return host::Fail(message, "No active viewport to render the preview images from.");
  }
  // The PRT writer takes its colours from the look too, so the settings are made for either.
  outputs.settings = MakeRenderSettings(block, 0);
  return true;
}

bool NeedsVelocity(const BakeOutputs& outputs, const FireParams& params) {
  return params.exportVelocity || outputs.flowDisplace > 0.0f;
}

bool WriteBakeOutputs(BakeOutputs& outputs, SimRun& run, CacheFrame& frame, int frameNumber, std::string* message) {
  if (!outputs.outVDB && !outputs.outPRT && !outputs.outPreview) return true;
  const double t2 = NowMs();
  if (outputs.flowDisplace > 0.0f && (outputs.outVDB || outputs.outPreview)) {
    // The cache file is written already and keeps the undisplaced fields.
    const float seconds = float(frameNumber) / float(std::max(outputs.frameRate, 1));
    ApplyFlowDisplacement(frame, outputs.flowDisplace, outputs.flowDisplaceSize, seconds);
  }
  const double t3 = NowMs();
  outputs.displaceMs += t3 - t2;

  if (outputs.outVDB) {
    std::string error;
    const std::string path = MakeFramePath(outputs.outputFolder, outputs.baseName, frameNumber, "vdb");
    if (!ExportFrameVdb(frame, run.grid, path, outputs.vdbMask, &error)) return host::Fail(message, "VDB: " + error);
    ++outputs.vdbFiles;
  }
  const double t4 = NowMs();
  outputs.vdbMs += t4 - t3;

  if (outputs.outPRT) {
    std::string error;
    const std::string path = MakeFramePath(outputs.outputFolder, outputs.baseName, frameNumber, "prt");
    if (!WritePrtFrame(frame, run.grid, path, std::max(outputs.prtPerCell, 1), outputs.settings, &error))
      return host::Fail(message, "PRT: " + error);
    ++outputs.prtFiles;
  }
  if (outputs.outPreview) {
    // A preview that cannot be rendered or written is only left out of the count.
    std::vector<uint8_t> bytes;
    if (RenderFrameToBytes(frame, run.grid, outputs.camera, outputs.settings, bytes, nullptr)) {
      const std::string path =
          MakeFramePath(outputs.outputFolder, outputs.baseName + "_preview", frameNumber, "png");
      if (WritePng(path, bytes.data(), outputs.camera.width, outputs.camera.height)) ++outputs.pngFiles;
    }
  }
  outputs.previewMs += NowMs() - t4;
  return true;
}

namespace {
std::string CountPart(const char* label, int count) {
  return count > 0 ? std::string(" ") + label + " x" + std::to_string(count) : std::string();
}
}  // namespace

std::string VdbPart(const BakeOutputs& outputs) { return CountPart("VDB", outputs.vdbFiles); }
std::string PrtPart(const BakeOutputs& outputs) { return CountPart("PRT", outputs.prtFiles); }
std::string PngPart(const BakeOutputs& outputs) { return CountPart("PNG", outputs.pngFiles); }

std::string WherePart(const BakeOutputs& outputs) {
  const bool any = outputs.vdbFiles > 0 || outputs.prtFiles > 0 || outputs.pngFiles > 0;
  return any ? " in " + outputs.outputFolder : std::string();
}

}  // namespace tf
