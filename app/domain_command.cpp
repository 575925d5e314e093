#include "app/domain_command.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <vector>

#include "app/scene_loading.h"
#include "host/platform.h"

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

// Shows a long command's progress on stderr: rewritten in place on a terminal, one line each
// otherwise.
class ProgressLine : public host::PanelListener {
 public:
  ProgressLine() : terminal_(isatty(STDERR_FILENO) == 1), start_(host::HighResSeconds()) {}

  void OnProgress(const std::string& text, int done, int total) override {
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

  // Ends the live line, so that what follows starts on a line of its own.
  void Finish() {
    if (shown_) std::cerr << "\n" << std::flush;
    shown_ = false;
  }

 private:
  bool terminal_;
  double start_;
  bool shown_ = false;
};

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

}  // namespace

void DefineFrame(CLI::App& command, int& frame) {
  // A frame's time in ticks must fit the time line's 32 bits at any frame rate.
  command.add_option("--frame", frame, "the frame to render")
      ->required()
      ->type_name("N")
      ->check(CLI::Range(-100000, 100000));
}

void DomainCommand::DefineScene(CLI::App& command) {
  command.add_option("SCENE", scene_, "the scene file holding the domain")->required()->type_name("SCENE.json");
  command.add_option("--domain", domain_, "the name of the domain node (needed when the scene has several)")
      ->type_name("NAME");
}

host::Node* DomainCommand::OpenDomain(Session& session, const char* purpose, int* status) const {
  std::string message;
  if (!LoadSceneFile(scene_, session.scene, &message)) {
    Report(message);
    *status = kExitFailed;
    return nullptr;
  }
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

int DomainCommand::PressButton(Session& session, host::Node* node, int buttonId, const char* what) const {
  session.scene.ClearSelection();
  session.scene.Select(node);
  host::CommandPanel& panel = host::TheCommandPanel();
  ProgressLine progress;
  EditScope edit(panel, &progress);
  panel.BeginEdit(node);
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
