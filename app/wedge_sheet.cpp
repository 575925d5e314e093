// The contact sheet and the index of a wedge, from what its bakes left on disk, so that the same
// code serves bakes run here and bakes run as farm tasks.
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "app/command.h"
#include "app/contact_sheet.h"
#include "app/domain_command.h"
#include "app/scene_loading.h"
#include "app/wedge_plan.h"
#include "host/core/atomic_file.h"
#include "host/core/text.h"
#include "host/panels/panels.h"

namespace app {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kCellWidth = 240;

// Renders the sheet's frames of a baked variant from its cache, `kCellWidth` wide, as
// DIR/sheet/<variant>_0012.png; the files of the frames rendered, empty names for the others.
std::vector<std::string> RenderSheetFrames(Session& session, const WedgePlan& plan, const PlannedVariant& v) {
  std::vector<std::string> files(plan.sheetFrames.size());
  std::string message;
  if (!LoadSceneFile(v.scene, session.scene, &message)) {
    Report(message);
    return files;
  }
  host::Node* node = session.scene.FindNode(plan.domain);
  if (!node || !SetIntSetting(*node, "previewWidth", kCellWidth)) return files;
  SetLiveMode(*node, 0);
  EditDomain(session, node);
  EnsureActiveView(session, *node);
  for (size_t i = 0; i < plan.sheetFrames.size(); ++i) {
    const int f = plan.sheetFrames[i];
    std::error_code ec;
    if (!fs::is_regular_file(fs::path(v.cacheFolder) / FrameFileName("fire", f, "tfc"), ec)) continue;
    session.scene.time.currentTime = session.scene.time.FrameToTicks(f);
    const fs::path file = fs::path(plan.folder) / "sheet" / FrameFileName(v.variant.name, f, "png");
    host::Value ok;
    if (!CallOps(kOpsRenderPreview, {node, file.string()}, ok, &message)) break;
    if (ok.Type() == host::FPType::Bool && ok.AsBool())
      files[i] = file.string();
    else
      Report(v.variant.name + ", frame " + std::to_string(f) + ": " + message);
  }
  host::TheCommandPanel().EndEdit();
  return files;
}

struct Outcome {
  std::string result = "not run";  // "baked", "failed", "stopped", "not run"
  int exitStatus = -1;
  double ms = 0.0;
  int framesBaked = 0;
  std::string why;  // the log's last line, for a failure
};

std::string LastLine(const fs::path& log) {
  std::ifstream in(log);
  std::string line, last;
  while (std::getline(in, line)) {
    const size_t cr = line.rfind('\r');
    if (cr != std::string::npos) line = line.substr(cr + 1);
    if (!line.empty()) last = line;
  }
  return last;
}

Outcome OutcomeOf(const WedgePlan& plan, const PlannedVariant& v) {
  Outcome o;
  for (int f = v.startFrame; f <= v.endFrame; ++f) {
    std::error_code ec;
    if (fs::is_regular_file(fs::path(v.cacheFolder) / FrameFileName("fire", f, "tfc"), ec)) ++o.framesBaked;
  }
  std::ifstream in(ResultFile(plan, v));
  if (!(in >> o.exitStatus >> o.ms)) return o;
  o.result = o.exitStatus == 0 ? "baked" : o.exitStatus == kExitInterrupted ? "stopped" : "failed";
  if (o.exitStatus != 0) o.why = LastLine(LogFile(plan, v));
  return o;
}

json SettingValue(const std::string& text) {
  if (text == "on" || text == "off") return text == "on";
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() ? json(v) : json(text);
}

std::string Label(const PlannedVariant& v, const Outcome& o) {
  std::string label;
  for (const auto& [name, value] : v.variant.settings) label += (label.empty() ? "" : "  ") + name + "=" + value;
  if (o.result != "baked") label += "  - " + std::string(o.result == "not run" ? "NOT RUN" : o.result == "stopped" ? "STOPPED" : "FAILED");
  return label;
}

bool WriteText(const fs::path& file, const std::string& text, std::string* message) {
  return host::WriteFileAtomically(file, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, message);
}

}  // namespace

int MakeSheetAndIndex(Session& session, const WedgePlan& plan) {
  json variants = json::array();
  std::vector<SheetRow> rows;
  std::vector<std::string> failed;
  for (const PlannedVariant& v : plan.variants) {
    const Outcome o = OutcomeOf(plan, v);
    json settings = json::object();
    for (const auto& [name, value] : v.variant.settings) settings[name] = SettingValue(value);
    json entry{{"name", v.variant.name}, {"settings", settings}, {"scene", v.scene}, {"cacheFolder", v.cacheFolder},
               {"framesBaked", o.framesBaked}, {"result", o.result}, {"log", LogFile(plan, v).string()}};
    entry["msPerFrame"] = o.framesBaked > 0 && o.exitStatus >= 0 ? json(std::round(o.ms / o.framesBaked * 10) / 10) : json();
    entry["exitStatus"] = o.exitStatus >= 0 ? json(o.exitStatus) : json();
    if (!o.why.empty()) entry["message"] = o.why;
    variants.push_back(std::move(entry));
    if (o.result != "baked") failed.push_back(v.variant.name + " (" + o.result + (o.why.empty() ? "" : ": " + o.why) + ")");
    rows.push_back({Label(v, o), o.result != "baked", RenderSheetFrames(session, plan, v)});
  }
  const json index{{"format", "tolvaris-wedge-index"}, {"version", 1}, {"domain", plan.domain},
                   {"sheetFrames", plan.sheetFrames}, {"sheet", (fs::path(plan.folder) / "sheet.png").string()},
                   {"variants", variants}};
  std::string message;
  const host::RgbImage sheet = MakeContactSheet(plan.sheetFrames, rows, kCellWidth);
  if (!WriteText(fs::path(plan.folder) / "index.json", index.dump(1) + "\n", &message) ||
      !host::SaveRgbPng(sheet, fs::path(plan.folder) / "sheet.png", &message)) {
    Report(message);
    return kExitFailed;
  }
  std::cout << "Wedge of " << plan.variants.size() << " variants: sheet.png and index.json in " << plan.folder << std::endl;
  if (failed.empty()) return kExitOk;
  std::string list;
  for (const std::string& f : failed) list += (list.empty() ? "" : "; ") + f;
  Report(std::to_string(failed.size()) + " of " + std::to_string(plan.variants.size()) + " variants did not bake: " + list);
  return kExitFailed;
}

}  // namespace app
