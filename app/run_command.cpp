// tolvaris run SCRIPT.lua [--scene SCENE]: runs a Lua script with every published interface of
// the loaded plug-ins and the scene functions (host/lua/scene_bindings.h), on the scene given or, without
// one, on an empty scene.
#include <filesystem>

#include "app/command.h"
#include "app/scene_loading.h"
#include "host/lua/lua_engine.h"
#include "host/lua/scene_bindings.h"
#include "host/scene/scene_view.h"

namespace app {

namespace {

namespace fs = std::filesystem;

class RunCommand : public Command {
 public:
  const char* Name() const override { return "run"; }
  const char* Summary() const override { return "run a Lua script"; }

  void Define(CLI::App& command) override {
    command.add_option("SCRIPT", script_, "the Lua script to run")->required()->type_name("SCRIPT.lua");
    command.add_option("--scene", scene_, "load this scene file for the script (without it the script starts from an empty scene)")->type_name("SCENE");
  }

  int Run(Session& session) override {
    std::error_code ec;
    if (!fs::is_regular_file(script_, ec)) {
      Report("cannot open the script \"" + script_ + "\": " + (fs::exists(script_, ec) ? "not a file" : "no such file"));
      return kExitFailed;
    }
    if (!scene_.empty()) {
      std::string message;
      if (!LoadSceneFile(scene_, session.scene, &message)) {
        Report(message);
        return kExitFailed;
      }
    }
    // The program's viewport, which commands that render from the active view use.
    const host::Scene& scene = session.scene;
    host::TheViewports().SetActiveView(host::DefaultSceneView(session.scene, scene.time.currentTime,
                                                              scene.render.width, scene.render.height));
    host::LuaEngine engine;
    std::string message;
    if (!host::BindScene(engine, session.scene, &message)) Report("warning: " + message);
    for (const std::string& w : engine.Warnings()) Report("warning: " + w);
    const host::ScriptResult result = engine.RunFile(script_);
    if (result.ok) return kExitOk;
    Report(result.message);
    return result.interrupted ? kExitInterrupted : kExitFailed;
  }

 private:
  std::string script_;
  std::string scene_;
};

}  // namespace

std::unique_ptr<Command> MakeRunCommand() { return std::make_unique<RunCommand>(); }

}  // namespace app
