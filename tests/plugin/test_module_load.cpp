// The TolvarisFire.dlo module as the host loads it: it leaves the host's symbols for the loading
// program to provide, offers the entry points, registers the TolvarisFire class, and its domains
// open the Simulate panel when edited. This program links only the host, as tolvaris does.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/objects/class_registry.h"
#include "host/scene/objects.h"
#include "host/panels/panels.h"
#include "host/core/platform.h"
#include "host/plugins/plugin_abi.h"
#include "host/plugins/plugins.h"
#include "host/plugins/publish.h"
#include "host/scene/scene.h"

namespace {

namespace fs = std::filesystem;

// The output of a command, or empty when it could not run.
std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

bool HasLine(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

TEST(PluginModule, LeavesTheHostsSymbolsUndefined) {
  const std::string module = TFR_PLUGIN_MODULE;
  const std::string undefined = Capture("nm -DC --undefined-only '" + module + "' 2>&1");
  const std::string defined = Capture("nm -DC --defined-only '" + module + "' 2>&1");
  ASSERT_FALSE(undefined.empty()) << "nm did not run";
  // Host calls bind to the program's copy...
  EXPECT_TRUE(HasLine(undefined, "host::RegisterClassDesc")) << undefined;
  EXPECT_TRUE(HasLine(undefined, "host::StopRequested()")) << undefined;
  EXPECT_TRUE(HasLine(undefined, "host::TheViewports()")) << undefined;
  // ...and the module defines none of them, nor anything of its own beyond the entry points.
  EXPECT_FALSE(HasLine(defined, "host::")) << defined;
  EXPECT_FALSE(HasLine(defined, "tf::")) << defined;
  for (const char* entry : {"LibDescription", "LibNumberClasses", "LibClassDesc", "LibVersion", "LibInitialize",
                            "LibShutdown", "NvOptimusEnablementCuda"})
    EXPECT_TRUE(HasLine(defined, entry)) << entry << " missing from:\n" << defined;
}

TEST(PluginModule, LoadsRegistersTheDomainAndEditsIt) {
  host::PluginManager manager;
  std::vector<std::string> messages;
  ASSERT_TRUE(manager.LoadModule(TFR_PLUGIN_MODULE, &messages)) << (messages.empty() ? "" : messages[0]);
  ASSERT_EQ(manager.Modules().size(), 1u);
  const host::PluginModule& m = manager.Modules()[0];
  EXPECT_EQ(m.version, host::kHostApiVersion);
  EXPECT_FALSE(m.description.empty());
  ASSERT_EQ(m.classes.size(), 1u);
  EXPECT_EQ(m.classes[0]->ClassName(), "TolvarisFire");
  EXPECT_EQ(m.classes[0]->Category(), "TolvarisFX");
  EXPECT_EQ(m.classes[0]->ClassID(), (host::ClassId{0xf71871a0u, 0xfd02a001u}));
  EXPECT_EQ(host::FindClassDesc("TolvarisFire"), m.classes[0]);

  const host::ModuleHandle handle = host::FindLoadedModule("TolvarisFire.dlo");
  ASSERT_NE(handle, nullptr);
  const auto* optimus = static_cast<const int32_t*>(host::FindModuleExport(handle, "NvOptimusEnablementCuda"));
  ASSERT_NE(optimus, nullptr);
  EXPECT_EQ(*optimus, 1);
  EXPECT_EQ(host::FindModuleFunction<LibClassDescFn>(handle, "LibClassDesc")(1), nullptr);
  EXPECT_EQ(host::FindModuleFunction<LibNumberClassesFn>(handle, "LibNumberClasses")(), 1);
  EXPECT_EQ(host::FindModuleFunction<LibInitializeFn>(handle, "LibInitialize")(), 1);

  {
    host::Scene scene;
    std::string why;
    auto object = host::CreateObject("TolvarisFire", &why);
    ASSERT_NE(object, nullptr) << why;
    EXPECT_EQ(object->NumParamBlocks(), 1);
    host::Node* node = scene.CreateNode("Fire", std::move(object));
    host::CommandPanel panel;
    ASSERT_TRUE(panel.BeginEdit(node));
    const host::Panel* simulate = panel.FindPanelWithControl(7504);
    ASSERT_NE(simulate, nullptr);
    EXPECT_EQ(simulate->Title(), "Tolvaris Fire - Simulate");
    // The node is not selected: SIMULATE says what to do instead of baking.
    EXPECT_EQ(panel.Press(7504), host::CommandStatus::kFailed);
    EXPECT_EQ(simulate->StatusText(), "Select the TolvarisFire domain (only it) and press SIMULATE.");
    panel.EndEdit();
  }
  manager.UnloadAll();
  EXPECT_EQ(host::FindClassDesc("TolvarisFire"), nullptr);
}

// Run after a first load and unload in the same process: the module stays mapped, and a second
// load must publish its scripting interface again.
TEST(PluginModule, PublishesTolvarisFireOpsWhileLoaded) {
  for (int load = 0; load < 2; ++load) {
    host::PluginManager manager;
    std::vector<std::string> messages;
    ASSERT_TRUE(manager.LoadModule(TFR_PLUGIN_MODULE, &messages)) << (messages.empty() ? "" : messages[0]);
    host::FPInterface* ops = host::FindInterface("TolvarisFireOps");
    ASSERT_NE(ops, nullptr) << "load " << load;
    EXPECT_EQ(ops->Id(), (host::InterfaceId{0x5a3c19e7u, 0x2b8d40f1u}));
    EXPECT_EQ(ops->Flags(), host::kFPCoreInterface);
    EXPECT_EQ(ops->Owner(), nullptr);
    EXPECT_EQ(ops->Invoke(4, {}), host::Value(std::string())) << "the status starts empty";
    // Something that is not a domain: the status says so.
    EXPECT_EQ(ops->Invoke(11, {static_cast<host::Node*>(nullptr), "bg.png", "out.png"}), host::Value(false));
    EXPECT_EQ(ops->Invoke(4, {}), host::Value("not a TolvarisFire node"));
    manager.UnloadAll();
    EXPECT_EQ(host::FindInterface("TolvarisFireOps"), nullptr);
  }
}

// An interface of another module under the scripting interface's name: the module still loads and
// its domain works; only the scripting interface is missing.
class Squatter : public host::FPInterface {
 public:
  Squatter() : FPInterface({0x1234u, 0x5678u}, "TolvarisFireOps", host::kFPCoreInterface, nullptr, {}) {}

 protected:
  host::Value Dispatch(uint32_t, const host::FPArgs&) override { return host::Value::Unhandled(); }
};

TEST(PluginModule, LoadsWhenItsScriptingInterfaceCannotBePublished) {
  Squatter squatter;
  ASSERT_TRUE(host::RegisterInterface(&squatter));
  host::PluginManager manager;
  std::vector<std::string> messages;
  EXPECT_TRUE(manager.LoadModule(TFR_PLUGIN_MODULE, &messages)) << (messages.empty() ? "" : messages[0]);
  EXPECT_NE(host::FindClassDesc("TolvarisFire"), nullptr);
  EXPECT_EQ(host::FindInterface("TolvarisFireOps"), &squatter);
  manager.UnloadAll();
  host::UnregisterInterface(&squatter);
}

}  // namespace
