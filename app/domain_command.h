// What the commands on one TolvarisFire domain of a scene file share (`simulate`, `export-vdb`,
// `preview`, `composite`): the SCENE argument and --domain, loading the scene and choosing the
// domain, editing it and pressing one of its panel buttons with the live progress line, and the
// exit status that follows from how the button's command went.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/command.h"
#include "host/panels/panels.h"
#include "host/plugins/publish.h"

namespace app {

// What the program knows of the plug-in: the class name of its domain and the ids of its panel
// buttons, as a user knows the object type and the buttons to press.
inline constexpr const char* kDomainClass = "TolvarisFire";
inline constexpr int kSimulateButton = 7504;
inline constexpr int kExportVdbButton = 7507;
inline constexpr int kPreviewButton = 7508;
inline constexpr int kResumeButton = 7515;
// ... and the functions of its scripting interface the program calls.
inline constexpr const char* kOpsInterface = "TolvarisFireOps";
inline constexpr uint32_t kOpsStatus = 4;
inline constexpr uint32_t kOpsCompositeOver = 11;
inline constexpr uint32_t kOpsRenderView = 12;
inline constexpr uint32_t kOpsCacheFolder = 13;
inline constexpr uint32_t kOpsPreviewFile = 14;
inline constexpr uint32_t kOpsRenderPreview = 15;

// The view previews are rendered from when the domain has no preview camera, made the active view
// unless there is one: the scene's first camera at the current time, or a view from the front and
// a little above that holds the domain's box.
void EnsureActiveView(Session& session, host::Node& domain);

// Calls a function of the plug-in's interface. False with the reason reported when the interface
// is missing or does not match; otherwise `result` is what it returned and `status` (optional)
// the interface's status text.
bool CallOps(uint32_t function, const host::FPArgs& args, host::Value& result, std::string* status);
// A function that returns text; empty when it cannot be called (reported) or returns none.
std::string OpsText(uint32_t function, const host::FPArgs& args);

// Shows a long command's progress on stderr: rewritten in place on a terminal, one line each
// otherwise.
class ProgressLine : public host::PanelListener {
 public:
  ProgressLine();
  void OnProgress(const std::string& text, int done, int total) override;
  // Ends the live line, so that what follows starts on a line of its own.
  void Finish();

 private:
  bool terminal_;
  double start_;
  bool shown_ = false;
};

class DomainCommand : public Command {
 protected:
  // Adds SCENE and --domain.
  void DefineScene(CLI::App& command);
  // Loads the scene and picks the domain: the one named by --domain, or the scene's only one.
  // Null, with the exit status set and the reason reported ("the scene has no TolvarisFire domain
  // to <purpose>"), when there is no such single domain.
  host::Node* OpenDomain(Session& session, const char* purpose, int* status) const;
  // The two halves of OpenDomain.
  bool LoadScene(Session& session, int* status) const;
  host::Node* ChooseDomain(Session& session, const char* purpose, int* status) const;
  // Selects and edits the domain's node, presses the button (progress on stderr), ends the edit,
  // and turns the outcome into an exit status: the status line on stdout for a command that ran
  // (0, or 130 when stopped), on stderr for one that failed (1). `what` names the button in the
  // message for a domain without it.
  int PressButton(Session& session, host::Node* node, int buttonId, const char* what) const;

  // --cache and --live: the domain shows its cached frame, or its live one, whatever its liveMode.
  void DefineDisplayChoice(CLI::App& command);
  // Gets the domain ready to show frame N as the host would: applies --cache or --live, selects
  // and edits it (live mode needs its node), and when it follows the timeline plays the slider
  // from its startFrame to N (progress on stderr). The scene's time is then frame N. False with
  // the exit status set when Ctrl-C stopped it.
  bool ShowFrame(Session& session, host::Node* node, int frame, int* status) const;

  std::string scene_;
  std::string domain_;
  bool cache_ = false;
  bool live_ = false;
};

// Selects the domain's node alone and edits it, as an artist picking it does. A domain already
// edited keeps its panel (ending the edit would stop its live timer).
void EditDomain(Session& session, host::Node* node);
// True when the scene holds a TolvarisFire domain.
bool HasDomain(const host::Scene& scene);
// The domain's liveMode at time t (0 when it has none).
int LiveModeOf(const host::Node& domain, host::TimeValue t);
// Sets the domain's liveMode; false when it has no such setting.
bool SetLiveMode(host::Node& domain, int mode);
// The domain's startFrame (0 when it has none).
int StartFrameOf(const host::Node& domain);
// A whole-number setting of the domain at time 0 (0 when it has none), and setting one for this
// run (false when it has none).
int IntSetting(const host::Node& domain, const char* name);
bool SetIntSetting(host::Node& domain, const char* name, int value);
// The live text of the domain's panel while it is edited.
std::string LiveText();
// Plays the slider from frame `from` to `to` (backwards when to < from), evaluating the scene at
// each frame; with liveMode 2 the panel's timers see one frame's time pass per frame. `onFrame`
// (optional) runs after each frame's evaluation and may stop the play by returning false.
// False when Ctrl-C stopped it.
bool PlayFrames(Session& session, int from, int to, const std::function<bool(int frame)>& onFrame);


// Frame numbers on the command line: --frame N, N any integer the time line can hold.
void DefineFrame(CLI::App& command, int& frame);
// "A:B", both frames the time line can hold. False when the text is anything else.
bool ParseFrames(const std::string& text, int& from, int& to);
// "Fire_0012.png", "Fire_m0003.png": the frame naming of caches and outputs.
std::string FrameFileName(const std::string& base, int frame, const std::string& ext);

}  // namespace app
