#include "app/domain_command.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <regex>
#include <vector>

#include "app/scene_loading.h"
#include "host/core/platform.h"
#include "host/scene/objects.h"
#include "host/scene/scene_view.h"
#include "host/view/viewport.h"

namespace app {

namespace {

// "about 1 min 05 s left".
std::string TimeLeft(double seconds) {
  char text[64];
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  const long s = std::lround(seconds);
  if (s < 60) {
    std::snprintf(text, sizeof text, "about %ld s left", s);
  } else if (s < 3600) {
    std::snprintf(text, sizeof text, "about %ld min %02ld s left", s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "about %ld h %02ld min left", s / 3600, (s / 60) % 60);
  }
  return text;
}

// Detaches the listener and ends the edit however the command leaves.
class EditScope {
 public:
  EditScope(host::CommandPanel& panel, host::PanelListener* listener) : panel_(panel) { panel_.SetListener(listener); }
  ~EditScope() {
    panel_.EndEdit();
    panel_.SetListener(nullptr);
  }
  EditScope(const EditScope&) = delete;
  EditScope& operator=(const EditScope&) = delete;

 private:
  host::CommandPanel& panel_;
};

bool IsDomain(const host::Node* node) { return node->GetObject() && node->GetObject()->ClassName() == kDomainClass; }

// The id of the panel's live text, as a user reads it.
constexpr int kLiveTextId = 7512;

}  // namespace

ProgressLine::ProgressLine() : terminal_(isatty(STDERR_FILENO) == 1), start_(host::HighResSeconds()) {}

void ProgressLine::OnProgress(const std::string& text, int done, int total) {
  const double elapsed = host::HighResSeconds() - start_;
  std::string line = text + "  [" + std::to_string(done) + " of " + std::to_string(total) + " frames";
  if (done > 0 && total >= done) line += ", " + TimeLeft(elapsed / done * (total - done));
  line += "]";
  if (terminal_) {
    std::cerr << "\r" << line << "\033[K" << std::flush;
    shown_ = true;
  } else {
    std::cerr << line << "\n" << std::flush;
  }
}

void ProgressLine::Finish() {
  if (shown_) std::cerr << "\n" << std::flush;
  shown_ = false;
}

int LiveModeOf(const host::Node& domain, host::TimeValue t) {
  const host::ParamRef p = domain.GetObject() ? host::FindParam(*domain.GetObject(), "liveMode") : host::ParamRef{};
  return p ? p.block->GetInt(p.id, t).value_or(0) : 0;
}

bool SetLiveMode(host::Node& domain, int mode) {
  const host::ParamRef p = domain.GetObject() ? host::FindParam(*domain.GetObject(), "liveMode") : host::ParamRef{};
  return p && p.block->SetInt(p.id, 0, mode);
}

int StartFrameOf(const host::Node& domain) { return IntSetting(domain, "startFrame"); }

int IntSetting(const host::Node& domain, const char* name) {
  const host::ParamRef p = domain.GetObject() ? host::FindParam(*domain.GetObject(), name) : host::ParamRef{};
  return p ? p.block->GetInt(p.id, 0).value_or(0) : 0;
}

bool SetIntSetting(host::Node& domain, const char* name, int value) {
  const host::ParamRef p = domain.GetObject() ? host::FindParam(*domain.GetObject(), name) : host::ParamRef{};
  return p && p.block->SetInt(p.id, 0, value);
}

std::string LiveText() {
  const host::Panel* panel = host::TheCommandPanel().FindPanelWithControl(kLiveTextId);
  return panel ? panel->Text(kLiveTextId) : std::string();
}

bool PlayFrames(Session& session, int from, int to, const std::function<bool(int frame)>& onFrame) {
  host::TimeSettings& time = session.scene.time;
  const double frameMs = 1000.0 / std::max(time.frameRate, 1);
  const int direction = to >= from ? 1 : -1;
  for (int f = from;; f += direction) {
    if (host::StopRequested()) return false;
    time.currentTime = time.FrameToTicks(f);
    // A frame's worth of the event loop: the panel's timers, then the views redraw at the new time.
    host::TheCommandPanel().AdvanceTimers(frameMs);
    host::EvaluateScene(session.scene, time.currentTime);
    // Live mode short of the slider asks for more updates (each capped in steps) until it gets there.
    while (host::TheViewports().TakeRedrawRequest() && !host::StopRequested())
      host::EvaluateScene(session.scene, time.currentTime);
    if (onFrame && !onFrame(f)) return true;
    if (f == to) return true;
  }
}

void DomainCommand::DefineDisplayChoice(CLI::App& command) {
  auto* cache = command.add_flag("--cache", cache_, "show the cached frame, whatever the domain's liveMode");
  command.add_flag("--live", live_, "show the live frame (following the timeline when Live is off)")->excludes(cache);
}

bool DomainCommand::ShowFrame(Session& session, host::Node* node, int frame, int* status) const {
  host::TimeSettings& time = session.scene.time;
  if (cache_) SetLiveMode(*node, 0);
  if (live_ && LiveModeOf(*node, time.FrameToTicks(frame)) == 0) SetLiveMode(*node, 1);
  EditDomain(session, node);
  time.currentTime = time.FrameToTicks(frame);
  const int mode = LiveModeOf(*node, time.currentTime);
  if (mode == 2) {
    // Running continuously, the domain shows one step at the slider's frame at once.
    host::EvaluateScene(session.scene, time.currentTime);
    return true;
  }
  if (mode != 1) return true;
  const int start = std::min(StartFrameOf(*node), frame);
  const int total = frame - start + 1;
  ProgressLine progress;
  const bool played = PlayFrames(session, start, frame, [&](int f) {
    if (total > 1) progress.OnProgress("Live: " + LiveText(), f - start + 1, total);
    return true;
  });
  progress.Finish();
  if (!played) {
    Report("stopped by Ctrl-C while following the timeline");
    *status = kExitInterrupted;
  }
  return played;
}

void DefineFrame(CLI::App& command, int& frame) {
  // A frame's time in ticks must fit the time line's 32 bits at any frame rate.
  command.add_option("--frame", frame, "the frame to render")
      ->required()
      ->type_name("N")
      ->check(CLI::Range(-100000, 100000));
}

void EnsureActiveView(Session& session, host::Node& domain) {
  if (host::TheViewports().ActiveView()) return;
  const host::Scene& scene = session.scene;
  const host::TimeValue t = scene.time.currentTime;
  const int width = std::max(1, scene.render.width), height = std::max(1, scene.render.height);
  host::View view;
  if (!host::FirstCameraView(scene, t, width, height, view))
    view = host::ViewOfBox(domain.GetObject()->GetDeformBBox(t).Transformed(domain.GetNodeTM(t)), width, height);
  host::TheViewports().SetActiveView(view);
}

bool CallOps(uint32_t function, const host::FPArgs& args, host::Value& result, std::string* status) {
  host::FPInterface* ops = host::FindInterface(kOpsInterface);
  if (!ops) {
    Report(std::string("the TolvarisFire plug-in publishes no ") + kOpsInterface + " interface (is it loaded?)");
    return false;
  }
  try {
    result = ops->Invoke(function, args);
    const host::Value text = ops->Invoke(kOpsStatus, {});
    if (status && text.Type() == host::FPType::String) *status = text.AsString();
  } catch (const std::exception& e) {
    // A plug-in whose interface does not match the one this program knows.
    Report(std::string(kOpsInterface) + ": " + e.what());
    return false;
  }
  return true;
}

std::string OpsText(uint32_t function, const host::FPArgs& args) {
  host::Value v;
  return CallOps(function, args, v, nullptr) && v.Type() == host::FPType::String ? v.AsString() : "";
}

bool ParseFrames(const std::string& text, int& from, int& to) {
  static const std::regex pattern(R"((-?\d{1,6}):(-?\d{1,6}))");
  std::smatch m;
  if (!std::regex_match(text, m, pattern)) return false;
  from = std::stoi(m[1].str());
  to = std::stoi(m[2].str());
  return std::abs(from) <= 100000 && std::abs(to) <= 100000;
}

std::string FrameFileName(const std::string& base, int frame, const std::string& ext) {
  char digits[24];
  std::snprintf(digits, sizeof digits, frame < 0 ? "_m%04d." : "_%04d.", std::abs(frame));
  return base + digits + ext;
}

void DomainCommand::DefineScene(CLI::App& command) {
  command.add_option("SCENE", scene_, "the scene file holding the domain")->required()->type_name("SCENE.json");
  command.add_option("--domain", domain_, "the name of the domain node (needed when the scene has several)")
      ->type_name("NAME");
}

host::Node* DomainCommand::OpenDomain(Session& session, const char* purpose, int* status) const {
  return LoadScene(session, status) ? ChooseDomain(session, purpose, status) : nullptr;
}

bool DomainCommand::LoadScene(Session& session, int* status) const {
  std::string message;
  if (LoadSceneFile(scene_, session.scene, &message)) return true;
  Report(message);
  *status = kExitFailed;
  return false;
}

bool HasDomain(const host::Scene& scene) {
  return std::any_of(scene.Nodes().begin(), scene.Nodes().end(), [](const auto& n) { return IsDomain(n.get()); });
}

host::Node* DomainCommand::ChooseDomain(Session& session, const char* purpose, int* status) const {
  host::Scene& scene = session.scene;
  if (!domain_.empty()) {
    host::Node* named = scene.FindNode(domain_);
    if (!named) {
      Report("--domain: the scene has no node named \"" + domain_ + "\"");
      *status = kExitUsage;
      return nullptr;
    }
    if (!IsDomain(named)) {
      Report("--domain: the node \"" + domain_ + "\" is not a TolvarisFire domain");
      *status = kExitUsage;
      return nullptr;
    }
    return named;
  }
  std::vector<host::Node*> domains;
  for (const auto& n : scene.Nodes())
    if (IsDomain(n.get())) domains.push_back(n.get());
  if (domains.empty()) {
    Report(std::string("the scene has no TolvarisFire domain to ") + purpose);
    *status = kExitFailed;
    return nullptr;
  }
  if (domains.size() > 1) {
    std::string names;
    for (const host::Node* n : domains) names += (names.empty() ? "\"" : ", \"") + n->Name() + "\"";
    Report("the scene has " + std::to_string(domains.size()) + " TolvarisFire domains (" + names +
           "): name one with --domain");
    *status = kExitUsage;
    return nullptr;
  }
  return domains.front();
}

void EditDomain(Session& session, host::Node* node) {
  session.scene.ClearSelection();
  session.scene.Select(node);
  host::CommandPanel& panel = host::TheCommandPanel();
  if (panel.EditedNode() != node) panel.BeginEdit(node);
}

int DomainCommand::PressButton(Session& session, host::Node* node, int buttonId, const char* what) const {
  host::CommandPanel& panel = host::TheCommandPanel();
  ProgressLine progress;
  EditScope edit(panel, &progress);
  EditDomain(session, node);
  const host::CommandStatus result = panel.Press(buttonId);
  progress.Finish();
  if (result == host::CommandStatus::kNoSuchButton) {
    Report("the domain \"" + node->Name() + "\" has no " + what + " button (is the TolvarisFire plug-in loaded?)");
    return kExitFailed;
  }
  const host::Panel* owner = panel.FindPanelWithControl(buttonId);
  const std::string status = owner ? owner->StatusText() : std::string();
  switch (result) {
    case host::CommandStatus::kSucceeded: std::cout << status << std::endl; return kExitOk;
    case host::CommandStatus::kStopped: std::cout << status << std::endl; return kExitInterrupted;
    default: Report(status.empty() ? std::string("the command did not run") : status); return kExitFailed;
  }
}

}  // namespace app
