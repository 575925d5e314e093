#include "plugin/simulate_panel.h"

#include <cstdio>
#include <filesystem>

#include "domain/domain_sizing.h"
#include "domain/fire_params_desc.h"
#include "host/core/flag_scope.h"
#include "host/core/platform.h"
#include "host/scene/scene.h"
#include "host/view/viewport.h"
#include "plugin/fire_object.h"
#include "presets/builtin_presets.h"
#include "presets/preset_files.h"
#include "export/preview.h"

namespace tf {

namespace {

constexpr const char* kOpeningStatus =
    "Add burning objects under Sources. With Live on, the fire runs in the viewport as you play or change "
    "settings; when it looks right, set the Outputs and press SIMULATE.";
constexpr const char* kSelectDomain = "Select the TolvarisFire domain (only it) and press SIMULATE.";

// The slots of the one edited domain.
FireObject* gDomain = nullptr;
host::CommandPanel* gCommandPanel = nullptr;
host::Panel* gPanel = nullptr;
host::Panel* gAboutPanel = nullptr;
bool gBusy = false;

void SetStatus(const std::string& text) {
  if (gPanel) gPanel->SetText(kStatusText, text);
}

void RefreshInfo() {
  if (gPanel && gDomain) gPanel->SetText(kInfoText, DomainInfoText(*gDomain));
}

void Redraw() {
  if (gDomain) host::TheViewports().RedrawViews(gDomain->CurrentTime());
}

// The live timer runs while the edited domain's liveMode is 2. A tick that comes while a command
// runs does nothing.
void UpdateLiveTimer() {
  if (!gCommandPanel) return;
  if (!gDomain || gDomain->LiveModeAt(gDomain->CurrentTime()) != 2) {
    gCommandPanel->StopTimer(kLiveTimer);
    return;
  }
  if (gCommandPanel->TimerRunning(kLiveTimer)) return;
  gCommandPanel->StartTimer(kLiveTimer, kLiveTimerPeriodMs, [] {
    if (!gBusy && gDomain) gDomain->LiveTimerTick();
  });
}

// The node among the selection that carries the domain.
host::Node* SelectedNodeOf(const FireObject& domain) {
  const host::Scene* scene = domain.GetScene();
  if (!scene) return nullptr;
  for (host::Node* n : scene->Selection())
    if (n->GetObject() == &domain) return n;
  return nullptr;
}

// The node the commands name their files after: the one the domain was edited on, or any node
// carrying it.
host::Node* NodeOf(const FireObject& domain) {
  if (host::Node* node = domain.CurrentNode()) return node;
  return domain.GetScene() ? domain.GetScene()->FindNodeOf(&domain) : nullptr;
}

// Fills the presets drop-down with the combined list, selecting `selected` (index 0 when it is not
// in the list).
void FillPresetList(int selected) {
  if (!gPanel) return;
  std::vector<std::string> names;
  for (int k = 0, n = PresetCount(); k < n; ++k) names.push_back(PresetName(k));
  gPanel->SetItems(kPresetList, std::move(names), selected >= 0 && selected < PresetCount() ? selected : 0);
}

// The first `count` characters (UTF-8 code points) of `text`.
std::string FirstCharacters(const std::string& text, size_t count) {
  size_t at = 0;
  for (size_t n = 0; at < text.size() && n < count; ++n) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  }
  return text.substr(0, at);
}

// Why preset `index` did not apply: the placeholder (or nothing) was chosen, or a preset file went.
std::string ApplyFailure(int index) {
  const size_t builtIn = BuiltInPresets().size();
  const std::vector<std::string>& user = UserPresets();
  if (index > 0 && size_t(index) >= builtIn && size_t(index) - builtIn < user.size())
    return "Cannot read " + (PresetsFolder() / (user[size_t(index) - builtIn] + ".tfp")).string();
  return "Choose a preset to apply.";
}

}  // namespace

std::string DomainInfoText(FireObject& domain) {
  const host::ParamBlock* block = domain.Params();
  if (!block) return {};
  const double metresPerUnit = domain.GetScene() ? domain.GetScene()->time.metresPerUnit : host::TimeSettings{}.metresPerUnit;
  const DomainGrid grid = SizeDomainGrid(*block, domain.CurrentTime(), 0, metresPerUnit);
  // An adaptive bake's window at the current frame is what the solver held; live windows lie in
  // the live grid, not this one.
  const host::TimeValue t = domain.CurrentTime();
  const bool adaptive = block->GetBool(kAdaptive, 0).value_or(false);
  const CellBox window = adaptive && domain.LiveModeAt(t) == 0 ? domain.DisplayWindow(t) : CellBox{};
  const bool fits = window.hi.x <= grid.nx && window.hi.y <= grid.ny && window.hi.z <= grid.nz;
  std::string text;
  for (const std::string& line : MemoryEstimateLines(grid, CountCachedFrames(domain.CacheFolder()), fits ? window : CellBox{})) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  return text;
}

void BeginEditDomain(FireObject& domain, host::CommandPanel& panel) {
  gDomain = &domain;
  gCommandPanel = &panel;
  if (host::Node* node = SelectedNodeOf(domain)) domain.SetCurrentNode(node);

  gPanel = panel.AddPanel(kSimulateDialog, kSimulateTitle, true);
  gPanel->AddDropDown(kPresetList, {});
  // Preset files may have come or gone since the list was last read.
  RefreshUserPresets();
  FillPresetList(0);
  gPanel->AddButton(kApplyButton, "Apply", ApplyPresetCommand);
  gPanel->AddEditBox(kPresetNameBox);
  gPanel->AddButton(kSaveMineButton, "Save mine", SaveMinePresetCommand);
  gPanel->AddButton(kSimulateButton, "SIMULATE (full quality, every output)", SimulateCommand);
  gPanel->AddButton(kResumeButton, "Resume bake", ResumeCommand);
  gPanel->AddButton(kClearCacheButton, "Clear cache", ClearCacheCommand);
  gPanel->AddButton(kExportVdbButton, "Export VDB", ExportVdbCommand);
  gPanel->AddButton(kPreviewButton, "Preview render", PreviewCommand);
  gPanel->AddButton(kRestartButton, "Restart", RestartCommand);
  gPanel->AddButton(kOpenOutputButton, "Open output folder", OpenOutputFolderCommand);
  gPanel->AddText(kInfoText, {});
  gPanel->AddText(kLiveText, {});
  gPanel->AddStatusLine(kStatusText, kOpeningStatus);
  const bool live = domain.LiveModeAt(domain.CurrentTime()) != 0;
  gPanel->SetText(kLiveText, live ? "Live: waiting for the first frame" : "Live is off - showing the cache");
  RefreshInfo();
  UpdateLiveTimer();

  char about[64];
  std::snprintf(about, sizeof about, "Version %s (built %d)", kPluginVersion, kPluginBuild);
  gAboutPanel = panel.AddPanel(kAboutDialog, kAboutTitle, false);
  gAboutPanel->AddText(kAboutText, about);
}

void EndEditDomain(FireObject& domain, host::CommandPanel& panel) {
  if (gDomain != &domain) return;
  if (gCommandPanel == &panel) {
    panel.StopTimer(kLiveTimer);
    panel.DeletePanel(gPanel);
    panel.DeletePanel(gAboutPanel);
  }
  gDomain = nullptr;
  gCommandPanel = nullptr;
  gPanel = nullptr;
  gAboutPanel = nullptr;
}

void ForgetEditedDomain(const FireObject* domain) {
  if (!domain || gDomain != domain) return;
  // The host removes the panels of an object it loses; the slots only let go.
  gDomain = nullptr;
  gCommandPanel = nullptr;
  gPanel = nullptr;
  gAboutPanel = nullptr;
}

FireObject* EditedDomain() { return gDomain; }

void ShowLiveText(const FireObject& domain, const std::string& text) {
  if (gPanel && gDomain == &domain) gPanel->SetText(kLiveText, text);
}

void DomainSettingsChanged(FireObject& domain) {
  if (gDomain != &domain) return;
  RefreshInfo();
  UpdateLiveTimer();
}

host::CommandStatus RestartCommand() {
  if (gBusy) return host::CommandStatus::kIgnored;
  FireObject* domain = gDomain;
  if (!domain) return host::CommandStatus::kFailed;
  domain->MarkLiveRestart();
  domain->LiveTimerTick();
  if (domain->LiveModeAt(domain->CurrentTime()) == 1) {
    domain->InvalidateGeometry();
    domain->NotifyDependents();
    Redraw();
  }
  return host::CommandStatus::kSucceeded;
}

host::CommandStatus OpenOutputFolderCommand() {
  if (gBusy) return host::CommandStatus::kIgnored;
  if (!gDomain) return host::CommandStatus::kFailed;
  const std::string folder = gDomain->OutputFolder();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !host::OpenFolder(folder)) {
    SetStatus("Cannot open " + folder);
    return host::CommandStatus::kFailed;
  }
  return host::CommandStatus::kSucceeded;
}

host::CommandStatus ApplyPresetCommand() {
  if (gBusy) return host::CommandStatus::kIgnored;
  FireObject* domain = gDomain;
  if (!domain || !gPanel) return host::CommandStatus::kFailed;
  int index = gPanel->Selected(kPresetList);
  // The entry the user sees wins should the list have changed under the drop-down (a script saved).
  if (gPanel->Text(kPresetList) != PresetName(index)) index = PresetIndex(gPanel->Text(kPresetList));
  bool ok = false;
  {
    host::FlagScope busy(gBusy);
    ok = ApplyPreset(domain, index);
  }
  if (!ok) {
    SetStatus(ApplyFailure(index));
    return host::CommandStatus::kFailed;
  }
  SetStatus("Preset applied: " + PresetName(index) + ".");
  RefreshInfo();
  Redraw();
  return host::CommandStatus::kSucceeded;
}

host::CommandStatus SaveMinePresetCommand() {
  if (gBusy) return host::CommandStatus::kIgnored;
  FireObject* domain = gDomain;
  if (!domain || !gPanel) return host::CommandStatus::kFailed;
  const std::string shown = gPanel->Text(kPresetList);
  host::Status saved;
  {
    host::FlagScope busy(gBusy);
    saved = SavePreset(domain, FirstCharacters(gPanel->Text(kPresetNameBox), 128));
  }
  if (saved.ok) FillPresetList(PresetIndex(shown));
  SetStatus(saved.message);
  return saved.ok ? host::CommandStatus::kSucceeded : host::CommandStatus::kFailed;
}

bool PanelBusy() { return gBusy; }

bool PanelProgress(int done, int total, const std::string& text) {
  char count[96];
  std::snprintf(count, sizeof count, "\n(%d of %d - hold Esc to stop)", done, total);
  SetStatus(text + count);
  if (gCommandPanel) gCommandPanel->ReportProgress(text, done, total);
  InvalidateDisplayFrame(gDomain);
  Redraw();
  if (gCommandPanel) gCommandPanel->ProcessMessages();
  return !host::StopRequested();
}

namespace {

host::CommandStatus Bake(const SimulateOptions& options) {
  if (gBusy) return host::CommandStatus::kIgnored;
  FireObject* domain = gDomain;
  host::Node* node = domain ? SelectedNodeOf(*domain) : nullptr;
  if (!node) {
    SetStatus(kSelectDomain);
    return host::CommandStatus::kFailed;
  }
  SimulateResult result;
  {
    host::FlagScope busy(gBusy);
    if (gCommandPanel) gCommandPanel->StopTimer(kLiveTimer);
    SetStatus("Starting...");
    result = Simulate(domain, node, PanelProgress, options);
  }
  UpdateLiveTimer();
  SetStatus(result.message);
  RefreshInfo();
  Redraw();
  if (!result.ok) return host::CommandStatus::kFailed;
  return result.cancelled ? host::CommandStatus::kStopped : host::CommandStatus::kSucceeded;
}

}  // namespace

host::CommandStatus SimulateCommand() { return Bake({}); }

host::CommandStatus ResumeCommand() { return Bake({.resume = true}); }

host::CommandStatus ClearCacheCommand() {
  if (gBusy) return host::CommandStatus::kIgnored;
  const host::Status cleared = ClearCache(gDomain);
  if (!cleared.ok && !cleared.message.empty()) SetStatus(cleared.message);
  if (!cleared.ok) return host::CommandStatus::kFailed;
  SetStatus(cleared.message);
  RefreshInfo();
  Redraw();
  return host::CommandStatus::kSucceeded;
}

host::CommandStatus ExportVdbCommand() {
  if (gBusy) return host::CommandStatus::kIgnored;
  FireObject* domain = gDomain;
  if (!domain) return host::CommandStatus::kFailed;
  ExportResult result;
  {
    host::FlagScope busy(gBusy);
    result = ExportVdbSequence(domain, NodeOf(*domain),
                               [](void*, int32_t done, int32_t total, const std::string& text) {
                                 return PanelProgress(done, total, text);
                               });
  }
  SetStatus(result.message);
  Redraw();
  // A stop comes after at least one written file, so a stopped export has files to keep.
  if (result.cancelled) return host::CommandStatus::kStopped;
  return result.ok ? host::CommandStatus::kSucceeded : host::CommandStatus::kFailed;
}

host::CommandStatus PreviewCommand() {
  if (gBusy) return host::CommandStatus::kIgnored;
  FireObject* domain = gDomain;
  host::Status previewed;
  {
    host::FlagScope busy(gBusy);
    previewed = PreviewFrame(domain, domain ? NodeOf(*domain) : nullptr, domain ? domain->CurrentTime() : 0);
  }
  SetStatus(previewed.message);
  return previewed.ok ? host::CommandStatus::kSucceeded : host::CommandStatus::kFailed;
}

}  // namespace tf
