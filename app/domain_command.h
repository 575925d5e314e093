// What the commands on one TolvarisFire domain of a scene file share (`simulate`, `export-vdb`,
// `preview`, `composite`): the SCENE argument and --domain, loading the scene and choosing the
// domain, editing it and pressing one of its panel buttons with the live progress line, and the
// exit status that follows from how the button's command went.
#pragma once

#include <string>

#include "app/command.h"
#include "host/panels.h"

namespace app {

// What the program knows of the plug-in: the class name of its domain and the ids of its panel
// buttons, as a user knows the object type and the buttons to press.
inline constexpr const char* kDomainClass = "TolvarisFire";
inline constexpr int kSimulateButton = 7504;
inline constexpr int kExportVdbButton = 7507;
inline constexpr int kPreviewButton = 7508;

class DomainCommand : public Command {
 protected:
  // Adds SCENE and --domain.
  void DefineScene(CLI::App& command);
  // Loads the scene and picks the domain: the one named by --domain, or the scene's only one.
  // Null, with the exit status set and the reason reported ("the scene has no TolvarisFire domain
  // to <purpose>"), when there is no such single domain.
  host::Node* OpenDomain(Session& session, const char* purpose, int* status) const;
  // Selects and edits the domain's node, presses the button (progress on stderr), ends the edit,
  // and turns the outcome into an exit status: the status line on stdout for a command that ran
  // (0, or 130 when stopped), on stderr for one that failed (1). `what` names the button in the
  // message for a domain without it.
  int PressButton(Session& session, host::Node* node, int buttonId, const char* what) const;

  std::string scene_;
  std::string domain_;
};

// Frame numbers on the command line: --frame N, N any integer the time line can hold.
void DefineFrame(CLI::App& command, int& frame);

}  // namespace app
