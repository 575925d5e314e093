// tolvaris simulate SCENE [--domain NAME]: bakes a TolvarisFire domain of the scene into its cache,
// as an artist does by selecting the domain and pressing SIMULATE on its panel. Progress shows as
// one live line on a terminal (a line per frame otherwise) with an estimate of the time left; the
// summary goes to stdout. Ctrl-C stops the bake after the frame in progress, keeping the frames
// done. --resume goes on from where a stopped or killed bake left off instead of starting over.
#include "app/command.h"
#include "app/domain_command.h"

namespace app {

namespace {

class SimulateCommand : public DomainCommand {
 public:
  const char* Name() const override { return "simulate"; }
  const char* Summary() const override { return "bake a scene's TolvarisFire domain into its cache"; }

  void Define(CLI::App& command) override {
    DefineScene(command);
    command.add_flag("--resume", resume_,
                     "go on from the newest restart point of a stopped or killed bake (kept every restartEvery "
                     "frames, 10 by default) instead of starting over");
    command.footer(
        "The cache goes to the domain's cachePath, or by default to TolvarisFire/cache_<id> in the documents "
        "folder (--documents). Ctrl-C stops the bake after the frame in progress; the frames done stay in the "
        "cache.\nExit status: 0 baked, 1 failed (the reason on stderr), 2 wrong command line or no single "
        "domain to bake, 130 stopped by Ctrl-C.");
  }

  int Run(Session& session) override {
    int status = kExitOk;
    host::Node* node = OpenDomain(session, "bake", &status);
    if (!node) return status;
    if (resume_) return PressButton(session, node, kResumeButton, "Resume bake");
    return PressButton(session, node, kSimulateButton, "SIMULATE");
  }

 private:
  bool resume_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeSimulateCommand() { return std::make_unique<SimulateCommand>(); }

}  // namespace app
