// The commands that work from a domain's cache after the bake, as an artist does with the buttons
// of the domain's panel or its scripting interface:
//
//   tolvaris export-vdb SCENE [--domain NAME]
//   tolvaris preview SCENE --frame N [--domain NAME]
//   tolvaris composite SCENE --frame N --background IMG --output OUT.png [--domain NAME]
//
// The preview and the composite render from the domain's preview camera when it has one, else
// from the program's active view: the scene's first camera, or a view from the front that shows
// the whole domain when the scene has no camera.
#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>

#include "app/command.h"
#include "app/domain_command.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/plugins/publish.h"
#include "host/scene/scene_view.h"
#include "host/view/viewport.h"

namespace app {

namespace {

// The view the domain's previews are rendered from when it has no preview camera: the scene's
// first camera at time t, or a view from the front and a little above that holds the domain's box.
host::View SceneView(const host::Scene& scene, host::Node& domain, host::TimeValue t) {
  const int width = std::max(1, scene.render.width), height = std::max(1, scene.render.height);
  host::View view;
  if (host::FirstCameraView(scene, t, width, height, view)) return view;
  return host::ViewOfBox(domain.GetObject()->GetDeformBBox(t).Transformed(domain.GetNodeTM(t)), width, height);
}

class ExportVdbCommand : public DomainCommand {
 public:
  const char* Name() const override { return "export-vdb"; }
  const char* Summary() const override { return "write one VDB file per cached frame of a scene's TolvarisFire domain"; }

  void Define(CLI::App& command) override {
    DefineScene(command);
    command.footer(
        "The files go to the domain's vdbPath, else its outPath, else the out folder of its cache, named after the "
        "domain node. Ctrl-C stops after the file in progress; the files written stay.\nExit status: 0 exported, "
        "1 failed or nothing cached (the reason on stderr), 2 wrong command line, 130 stopped by Ctrl-C.");
  }

  int Run(Session& session) override {
    int status = kExitOk;
    host::Node* node = OpenDomain(session, "export", &status);
    if (!node) return status;
    return PressButton(session, node, kExportVdbButton, "Export VDB");
  }
};

// The preview and the composite: SCENE, --domain and --frame; the scene at that frame with a view
// to render from.
class FrameCommand : public DomainCommand {
 protected:
  void DefineFrameScene(CLI::App& command) {
    DefineScene(command);
    DefineFrame(command, frame_);
    DefineDisplayChoice(command);
  }
  host::Node* OpenAtFrame(Session& session, int* status) const {
    host::Node* node = OpenDomain(session, "render", status);
    if (!node || !ShowFrame(session, node, frame_, status)) return nullptr;
    const host::TimeSettings& time = session.scene.time;
    if (!host::TheViewports().ActiveView())
      host::TheViewports().SetActiveView(SceneView(session.scene, *node, time.currentTime));
    return node;
  }

  int frame_ = 0;
};

class PreviewCommand : public FrameCommand {
 public:
  const char* Name() const override { return "preview"; }
  const char* Summary() const override { return "render a frame of a scene's TolvarisFire domain to preview_N.png"; }

  void Define(CLI::App& command) override {
    DefineFrameScene(command);
    command.footer(
        "Renders frame N from the domain's preview camera, else the scene's first camera, else a view of the whole "
        "domain from the front, and saves it as preview_N.png in the domain's cache folder. The frame is the one "
        "the domain shows: the cached one with Live off (or --cache), else the live one, the timeline followed up "
        "to N.\nExit "
        "status: 0 rendered, 1 failed (the reason on stderr), 2 wrong command line.");
  }

  int Run(Session& session) override {
    int status = kExitOk;
    host::Node* node = OpenAtFrame(session, &status);
    if (!node) return status;
    return PressButton(session, node, kPreviewButton, "Preview render");
  }
};

class CompositeCommand : public FrameCommand {
 public:
  const char* Name() const override { return "composite"; }
  const char* Summary() const override { return "render a frame of a scene's TolvarisFire domain over a background image"; }

  void Define(CLI::App& command) override {
    DefineFrameScene(command);
    command.add_option("--background", background_, "the image to composite over (PNG or JPEG); it sets the size")
        ->required()
        ->type_name("IMG");
    command.add_option("--output", output_, "the PNG file to write")->required()->type_name("OUT.png");
    command.footer(
        "Renders frame N as the preview does, at the background's size, and writes it over the "
        "background to OUT.png.\nExit status: 0 written, 1 failed (the reason on stderr), 2 wrong command line.");
  }

  int Run(Session& session) override {
    int status = kExitOk;
    host::Node* node = OpenAtFrame(session, &status);
    if (!node) return status;
    host::FPInterface* ops = host::FindInterface(kOpsInterface);
    if (!ops) {
      Report(std::string("the TolvarisFire plug-in publishes no ") + kOpsInterface + " interface (is it loaded?)");
      return kExitFailed;
    }
    bool ok = false;
    std::string message;
    try {
      const host::Value result = ops->Invoke(kOpsCompositeOver, {node, background_, output_});
      const host::Value text = ops->Invoke(kOpsStatus, {});
      ok = result.Type() == host::FPType::Bool && result.AsBool();
      if (text.Type() == host::FPType::String) message = text.AsString();
    } catch (const std::exception& e) {
      // A plug-in whose interface does not match the one this program knows.
      Report(std::string(kOpsInterface) + ": " + e.what());
      return kExitFailed;
    }
    if (!ok) {
      Report(message.empty() ? std::string("the composite failed") : message);
      return kExitFailed;
    }
    std::cout << message << std::endl;
    return kExitOk;
  }

 private:
  std::string background_;
  std::string output_;
};

}  // namespace

std::unique_ptr<Command> MakeExportVdbCommand() { return std::make_unique<ExportVdbCommand>(); }
std::unique_ptr<Command> MakePreviewCommand() { return std::make_unique<PreviewCommand>(); }
std::unique_ptr<Command> MakeCompositeCommand() { return std::make_unique<CompositeCommand>(); }

}  // namespace app
