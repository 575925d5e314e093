// Plug-in loading with a real module (test_module.cpp): entry points called in order, its class
// descriptor and published interface registered and callable from Lua, files that are not modules
// skipped with a message, module lookup, and a clean unload.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <lua.hpp>

#include "host/lua/lua_engine.h"
#include "host/objects/class_registry.h"
#include "host/scene/objects.h"
#include "host/core/platform.h"
#include "host/plugins/plugin_abi.h"
#include "host/plugins/plugins.h"
#include "host/plugins/publish.h"
#include "tests/support/temp_folder.h"

namespace {
std::vector<std::string> gModuleEvents;
}

// The test module reports what happens to it through this (the program exports it).
extern "C" __attribute__((visibility("default"))) void TfrTestModuleEvent(const char* event) {
  gModuleEvents.emplace_back(event);
}

namespace host {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::WriteText;

constexpr const char* kModuleName = "tfr_test_module.dlo";
constexpr ClassId kWidgetId{0x7e570001, 0x7e570002};

bool Contains(const std::vector<std::string>& messages, const std::string& text) {
  for (const std::string& m : messages)
    if (m.find(text) != std::string::npos) return true;
  return false;
}

std::string Joined(const std::vector<std::string>& messages) {
  std::string all;
  for (const std::string& m : messages) all += m + "\n";
  return all;
}

class PluginLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    gModuleEvents.clear();
    fs::copy_file(TFR_TEST_MODULE, plugins / kModuleName);
  }

  TempFolder plugins;
  std::vector<std::string> messages;
};

TEST_F(PluginLoading, LoadsTheModuleAndRegistersWhatItOffers) {
  WriteText(plugins / "notes.dlo", "not a module at all\n");
  WriteText(plugins / "readme.txt", "ignored: not a .dlo file\n");
  PluginManager manager;
  ASSERT_EQ(manager.LoadFolder(plugins.path(), &messages), 1) << Joined(messages);

  // Static initialisation registered the interface before the host called LibInitialize.
  EXPECT_EQ(gModuleEvents, (std::vector<std::string>{"registered", "initialize"}));
  ASSERT_EQ(manager.Modules().size(), 1u);
  const PluginModule& m = manager.Modules()[0];
  EXPECT_EQ(m.file.filename(), kModuleName);
  EXPECT_EQ(m.description, "Tolvaris test module");
  EXPECT_EQ(m.version, kHostApiVersion);
  ASSERT_EQ(m.classes.size(), 1u);
  EXPECT_EQ(FindClassDesc(kWidgetId), m.classes[0]);
  ASSERT_NE(FindClassDesc("TestWidget"), nullptr);
  EXPECT_EQ(FindClassDesc("TestWidget")->Category(), "Tests");
  // The host makes objects of the module's class through its descriptor.
  std::string error;
  const std::unique_ptr<Object> widget = CreateObject("TestWidget", &error);
  ASSERT_NE(widget, nullptr) << error;
  EXPECT_EQ(widget->ClassName(), "Test Widget");
  EXPECT_EQ(m.interfaces, (std::vector<std::string>{"TestModuleOps"}));
  ASSERT_NE(FindInterface("TestModuleOps"), nullptr);

  // The text file posing as a module is skipped with its name and the reason; other files are
  // not looked at.
  ASSERT_EQ(messages.size(), 1u) << Joined(messages);
  EXPECT_EQ(messages[0].rfind("notes.dlo: skipped: not a loadable module (", 0), 0u) << messages[0];
  EXPECT_FALSE(Contains(messages, "readme"));
}

TEST_F(PluginLoading, TheModulesInterfaceIsCallableFromLua) {
  PluginManager manager;
  ASSERT_EQ(manager.LoadFolder(plugins.path(), &messages), 1) << Joined(messages);
  LuaEngine engine;
  ScriptResult r = engine.RunString(
      "assert(TestModuleOps.add(2, 40) == 42)\n"
      "assert(TestModuleOps.scale(1.5) == 3)\n"
      "assert(TestModuleOps.greet('you') == 'hello you!')\n"
      "assert(TestModuleOps.greet('you', {punctuation = '?'}) == 'hello you?')\n"
      "assert(TestModuleOps.isNull(nil))\n"
      "assert(TestModuleOps.initialised())\n",
      "module.lua");
  EXPECT_TRUE(r.ok) << r.message;

  r = engine.RunString("TestModuleOps.add(1)", "module.lua");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find("module.lua:1: TestModuleOps.add: argument #2 'b' is missing"), std::string::npos)
      << r.message;
  // The module's own dispatch reads past its arguments: the host's exception, thrown inside the
  // module, is caught by the host as its own type.
  r = engine.RunString("TestModuleOps.readsTooFar(1)", "module.lua");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find("argument #2 asked for, 1 given"), std::string::npos) << r.message;
}

TEST_F(PluginLoading, TheModuleSharesTheProgramsHostState) {
  PluginManager manager;
  ASSERT_EQ(manager.LoadFolder(plugins.path(), &messages), 1) << Joined(messages);
  TempFolder docs;
  SetDocumentsFolder(docs.path());
  FPInterface* ops = FindInterface("TestModuleOps");
  ASSERT_NE(ops, nullptr);
  const Value seen = ops->Invoke(ops->FindFunction("documents")->id, {});
  SetDocumentsFolder({});
  EXPECT_EQ(seen, Value(docs.path().string()));
}

TEST_F(PluginLoading, LoadedModulesAreFoundByLookup) {
  EXPECT_EQ(FindLoadedModule(kModuleName), nullptr);
  PluginManager manager;
  ASSERT_EQ(manager.LoadFolder(plugins.path(), &messages), 1) << Joined(messages);
  const ModuleHandle module = FindLoadedModule(kModuleName);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(FindLoadedModule("TFR_Test_Module.DLO"), module);
  const auto version = FindModuleFunction<LibVersionFn>(module, "LibVersion");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), kHostApiVersion);
  EXPECT_EQ(FindModuleExport(module, "TFL_GetBridge"), nullptr);
  EXPECT_EQ(FindLoadedModule("TolvarisFluid.dlo"), nullptr);
}

TEST_F(PluginLoading, UnloadShutsDownAndRemovesEverything) {
  {
    PluginManager manager;
    ASSERT_EQ(manager.LoadFolder(plugins.path(), &messages), 1) << Joined(messages);
    LuaEngine engine;
    ASSERT_TRUE(engine.RunString("add = TestModuleOps.add").ok);
    gModuleEvents.clear();
    manager.UnloadAll();
    // Shut down first, then the module's objects go with its code.
    EXPECT_EQ(gModuleEvents, (std::vector<std::string>{"shutdown", "destroyed"}));
    EXPECT_TRUE(manager.Modules().empty());
    EXPECT_EQ(FindInterface("TestModuleOps"), nullptr);
    EXPECT_EQ(FindClassDesc(kWidgetId), nullptr);
    EXPECT_EQ(FindLoadedModule(kModuleName), nullptr);
    // A script that kept a function of the module gets an error, not a jump into unloaded code.
    const ScriptResult r = engine.RunString("add(1, 2)", "late.lua");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find("no longer loaded"), std::string::npos) << r.message;
  }
  // The manager's destructor unloads too; a second manager loads the module afresh.
  gModuleEvents.clear();
  {
    PluginManager manager;
    ASSERT_EQ(manager.LoadFolder(plugins.path(), &messages), 1) << Joined(messages);
  }
  EXPECT_EQ(gModuleEvents, (std::vector<std::string>{"registered", "initialize", "shutdown", "destroyed"}));
}

TEST_F(PluginLoading, LibrariesThatAreNotPlugInsAreSkipped) {
  // A real shared library without the entry points: the Lua library this program uses.
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&lua_newstate), &info), 0);
  fs::copy_file(info.dli_fname, plugins / "lua.dlo");
  PluginManager manager;
  EXPECT_EQ(manager.LoadFolder(plugins.path(), &messages), 1);
  EXPECT_TRUE(Contains(messages, "lua.dlo: skipped: not a plug-in module (it does not export LibDescription "
                                 "LibNumberClasses LibClassDesc LibVersion)"))
      << Joined(messages);
  EXPECT_EQ(FindLoadedModule("lua.dlo"), nullptr) << "a skipped library must be unloaded again";
}

TEST_F(PluginLoading, AModuleLoadsOnce) {
  PluginManager manager;
  ASSERT_TRUE(manager.LoadModule(plugins / kModuleName, &messages));
  EXPECT_FALSE(manager.LoadModule(plugins.path() / "." / kModuleName, &messages));
  EXPECT_TRUE(Contains(messages, "already loaded")) << Joined(messages);
  EXPECT_EQ(manager.Modules().size(), 1u);
  EXPECT_EQ(gModuleEvents, (std::vector<std::string>{"registered", "initialize"}));
}

TEST(PluginFolder, AMissingFolderLoadsNothing) {
  TempFolder dir;
  PluginManager manager;
  std::vector<std::string> messages;
  EXPECT_EQ(manager.LoadFolder(dir / "missing", &messages), 0);
  EXPECT_TRUE(Contains(messages, "no plug-in folder"));
}

}  // namespace
}  // namespace host
