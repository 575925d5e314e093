// tolvaris simulate SCENE [--domain NAME]: bakes a TolvarisFire domain of the scene into its cache,
// as an artist does by selecting the domain and pressing SIMULATE on its panel. Progress shows as
// one live line on a terminal (a line per frame otherwise) with an estimate of the time left; the
// summary goes to stdout. Ctrl-C stops the bake after the frame in progress, keeping the frames
// done.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/command.h"
#include "app/scene_loading.h"
#include "host/panels.h"
#include "host/platform.h"

namespace app {

namespace {

// What the program knows of the plug-in: the class name of its domain and the id of its SIMULATE
// button, as a user knows the object type and the button to press.
constexpr const char* kDomainClass = "TolvarisFire";
constexpr int kSimulateButton = 7504;

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

// Shows a bake's progress on stderr: rewritten in place on a terminal, one line each otherwise.
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

class SimulateCommand : public Command {
 public:
  const char* Name() const override { return "simulate"; }
  const char* Summary() const override { return "bake a scene's TolvarisFire domain into its cache"; }

  void Define(CLI::App& command) override {
    command.add_option("SCENE", scene_, "the scene file holding the domain")->required()->type_name("SCENE.json");
    command.add_option("--domain", domain_, "the name of the domain node to bake (needed when the scene has several)")
        ->type_name("NAME");
    command.footer(
        "The cache goes to the domain's cachePath, or by default to TolvarisFire/cache_<id> in the documents "
        "folder (--documents). Ctrl-C stops the bake after the frame in progress; the frames done stay in the "
        "cache.\nExit status: 0 baked, 1 failed (the reason on stderr), 2 wrong command line or no single "
        "domain to bake, 130 stopped by Ctrl-C.");
  }

  int Run(Session& session) override {
    std::string message;
    if (!LoadSceneFile(scene_, session.scene, &message)) {
      Report(message);
      return kExitFailed;
    }
    int status = kExitOk;
    host::Node* node = PickDomain(session.scene, &status);
    if (!node) return status;

    session.scene.ClearSelection();
    session.scene.Select(node);
    host::CommandPanel& panel = host::TheCommandPanel();
    ProgressLine progress;
    EditScope edit(panel, &progress);
    panel.BeginEdit(node);
    const host::CommandStatus result = panel.Press(kSimulateButton);
    progress.Finish();
    if (result == host::CommandStatus::kNoSuchButton) {
      Report("the domain \"" + node->Name() + "\" has no SIMULATE button (is the TolvarisFire plug-in loaded?)");
      return kExitFailed;
    }
    const host::Panel* simulatePanel = panel.FindPanelWithControl(kSimulateButton);
    const std::string summary = simulatePanel ? simulatePanel->StatusText() : std::string();
    switch (result) {
      case host::CommandStatus::kSucceeded: std::cout << summary << std::endl; return kExitOk;
      case host::CommandStatus::kStopped: std::cout << summary << std::endl; return kExitInterrupted;
      default: Report(summary.empty() ? std::string("the bake did not run") : summary); return kExitFailed;
    }
  }

 private:
  // The domain to bake: the one named by --domain, or the scene's only one. Null, with the exit
  // status set and the reason reported, when there is no such single domain.
  host::Node* PickDomain(host::Scene& scene, int* status) const {
    std::vector<host::Node*> domains;
    for (const auto& n : scene.Nodes())
      if (n->GetObject() && n->GetObject()->ClassName() == kDomainClass) domains.push_back(n.get());
    if (!domain_.empty()) {
      host::Node* named = scene.FindNode(domain_);
      if (!named) {
        Report("--domain: the scene has no node named \"" + domain_ + "\"");
        *status = kExitUsage;
        return nullptr;
      }
      if (!named->GetObject() || named->GetObject()->ClassName() != kDomainClass) {
        Report("--domain: the node \"" + domain_ + "\" is not a TolvarisFire domain");
        *status = kExitUsage;
        return nullptr;
      }
      return named;
    }
    if (domains.empty()) {
      Report("the scene has no TolvarisFire domain to bake");
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

  std::string scene_;
  std::string domain_;
};

}  // namespace

std::unique_ptr<Command> MakeSimulateCommand() { return std::make_unique<SimulateCommand>(); }

}  // namespace app
