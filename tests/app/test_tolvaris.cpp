// The tolvaris program end to end: help, one-line usage errors with status 2, missing files,
// scripts that call a plug-in loaded from --plugins, --documents reaching the plug-in, Ctrl-C, and
// scenes: listed by `tolvaris scene`, loaded for scripts by `run --scene`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/temp_folder.h"
#include "tests/support/tolvaris_program.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::Program;
using testing::ReadText;
using testing::RunProgram;
using testing::TempFolder;
using testing::WriteText;

size_t Lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

TEST(Tolvaris, HelpListsTheCommandsAndOptions) {
  const Outcome o = RunProgram({"--help"});
  EXPECT_EQ(o.status, 0);
  for (const char* text : {"run", "scene", "--documents", "--plugins", "Exit status"})
    EXPECT_NE(o.out.find(text), std::string::npos) << text << " missing from:\n" << o.out;
  EXPECT_EQ(o.err, "");
  const Outcome run = RunProgram({"run", "--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("--scene"), std::string::npos) << run.out;
}

TEST(Tolvaris, UsageErrorsAreOneLineAndStatus2) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--bogus"}, {"frob"}, {"run"}, {"run", "a.lua", "b.lua"}, {"--documents"}, {"run", "a.lua", "--scene"},
      {"scene"}, {"scene", "a.json", "b.json"},
  };
  for (const auto& args : cases) {
    const Outcome o = RunProgram(args);
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    EXPECT_EQ(o.status, 2) << shown;
    EXPECT_EQ(Lines(o.err), 1u) << shown << "gave:\n" << o.err;
    EXPECT_EQ(o.err.rfind("tolvaris: ", 0), 0u) << o.err;
    EXPECT_EQ(o.out, "") << shown;
  }
  EXPECT_NE(RunProgram({"--bogus"}).err.find("--bogus"), std::string::npos);
}

TEST(Tolvaris, MissingFilesAndFoldersAreNamed) {
  TempFolder dir;
  WriteText(dir / "ok.lua", "print('ran')\n");
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{"run", (dir / "nope.lua").string()}, "nope.lua\": no such file"},
      {{"run", dir.path().string()}, "not a file"},
      {{"run", (dir / "ok.lua").string(), "--scene", (dir / "nope.json").string()}, "nope.json\": no such file"},
      {{"scene", (dir / "nope.json").string()}, "nope.json\": no such file"},
      {{"scene", dir.path().string()}, "not a file"},
      {{"--plugins", (dir / "noplugins").string(), "run", (dir / "ok.lua").string()}, "--plugins: no such folder"},
      {{"run", (dir / "ok.lua").string(), "--documents", (dir / "nodocs").string()}, "--documents: no such folder"},
  };
  for (const Case& c : cases) {
    const Outcome o = RunProgram(c.args);
    EXPECT_EQ(o.status, 1) << c.expected;
    EXPECT_NE(o.err.find(c.expected), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "") << "nothing may run after a missing file: " << c.expected;
  }
}

TEST(Tolvaris, RunsAScriptAndReportsItsErrorsWithFileAndLine) {
  TempFolder dir;
  WriteText(dir / "ok.lua", "print('sum', 2 + 3)\n");
  Outcome o = RunProgram({"run", (dir / "ok.lua").string()});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "sum\t5\n");
  EXPECT_EQ(o.err, "");

  WriteText(dir / "bad.lua", "print('before')\nlocal t = nil\nt.x = 1\n");
  o = RunProgram({"run", (dir / "bad.lua").string()});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "before\n");
  EXPECT_EQ(Lines(o.err), 1u) << o.err;
  EXPECT_NE(o.err.find("bad.lua:3: attempt to index a nil value"), std::string::npos) << o.err;
}

const std::string kExampleScene = std::string(TFR_EXAMPLES_DIR) + "/campfire.json";

TEST(TolvarisScene, ListsTheExampleScene) {
  const Outcome o = RunProgram({"scene", kExampleScene});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  for (const char* text : {"30 fps, 160 ticks per frame; frames 0 to 90; current frame 0",
                           "0.01 metres per scene unit", "render  1280 x 720", "nodes   9",
                           "\"Ground\"  handle 1  Plane  top level", "\"Log A\"  handle 4  Cylinder  parent \"Firepit\"  selected",
                           "\"Firepit\"  handle 2  (no object)", "keys at frames 0, 45, 90", "testOutput     0 (Normal)",
                           "position       0, -430, 90; keys at frames 0, 90", "rotation       82 degrees about 1, 0, 0"})
    EXPECT_NE(o.out.find(text), std::string::npos) << text << " missing from:\n" << o.out;
}

TEST(TolvarisScene, MalformedFilesFailWithOneLineNamingThePlace) {
  TempFolder dir;
  struct Case {
    const char* name;
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"syntax.json", "{\"format\": \"tolvaris-scene\",\n \"version\": 1,,\n}", "syntax.json: line 2, column"},
      {"parent.json",
       R"({"format": "tolvaris-scene", "version": 1, "nodes": [{"handle": 1, "name": "A", "parent": 9}]})",
       "parent.json: /nodes/0/parent: node 9 does not exist"},
      {"class.json",
       R"({"format": "tolvaris-scene", "version": 1, "nodes": [{"handle": 1, "object": {"class": "FireDomain"}}]})",
       "class.json: /nodes/0/object/class: no class \"FireDomain\""},
      {"empty.json", "", "empty.json: line 1, column 1: the file is empty"},
  };
  for (const Case& c : cases) {
    WriteText(dir / c.name, c.text);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"scene", (dir / c.name).string()},
                                                 {"run", kExampleScene, "--scene", (dir / c.name).string()}}) {
      const Outcome o = RunProgram(args);
      EXPECT_EQ(o.status, 1) << c.name;
      EXPECT_EQ(Lines(o.err), 1u) << o.err;
      EXPECT_EQ(o.err.rfind("tolvaris: cannot load the scene: ", 0), 0u) << o.err;
      EXPECT_NE(o.err.find(c.expected), std::string::npos) << o.err;
      EXPECT_EQ(o.out, "") << "nothing may be listed or run after a failed load";
    }
  }
}

TEST(TolvarisScene, ScriptsWorkOnTheLoadedSceneOrAnEmptyOne) {
  TempFolder dir;
  WriteText(dir / "read.lua",
            "local cam = scene.find('Camera')\n"
            "local p = scene.getPosition(cam, 45)\n"
            "print(#scene.nodes(), scene.info(cam).class, p.x, p.y)\n"
            "print(scene.info(scene.find('Log A')).parent == scene.find('Firepit'))\n"
            "print(scene.getParam(scene.find('Breeze'), 'strength', 45))\n");
  Outcome o = RunProgram({"run", (dir / "read.lua").string(), "--scene", kExampleScene});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "9\tCamera\t65.0\t-400.0\ntrue\n1.5\n");

  WriteText(dir / "empty.lua", "print(#scene.nodes(), scene.find('Camera'))\nscene.create('Sphere', 'S')\n"
                               "scene.save('" + (dir / "s.json").string() + "')\n");
  o = RunProgram({"run", (dir / "empty.lua").string()});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "0\tnil\n");
  o = RunProgram({"scene", (dir / "s.json").string()});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("\"S\"  handle 1  Sphere  top level"), std::string::npos) << o.out;

  WriteText(dir / "bad.lua", "scene.create('Sphere', 'S')\nscene.setParam(scene.find('S'), 'radius', true)\n");
  o = RunProgram({"run", (dir / "bad.lua").string()});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(Lines(o.err), 1u) << o.err;
  EXPECT_NE(o.err.find("bad.lua:2: bad argument #3 'value' to 'scene.setParam'"), std::string::npos) << o.err;
}

class TolvarisWithPlugins : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(plugins);
    fs::copy_file(TFR_TEST_MODULE, plugins / "tfr_test_module.dlo");
  }
  TempFolder dir;
  fs::path plugins = dir / "plugins";
};

TEST_F(TolvarisWithPlugins, ScriptsCallTheLoadedModule) {
  WriteText(plugins / "broken.dlo", "garbage");
  WriteText(dir / "use.lua",
            "print(TestModuleOps.add(2, 3))\n"
            "print(TestModuleOps.greet('fire', {punctuation = '.'}))\n");
  const Outcome o = RunProgram({"--plugins", plugins.string(), "run", (dir / "use.lua").string()});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "5\nhello fire.\n");
  // The broken module is reported, and the run goes on.
  EXPECT_NE(o.err.find("tolvaris: broken.dlo: skipped: not a loadable module"), std::string::npos) << o.err;
}

TEST_F(TolvarisWithPlugins, DocumentsOptionReachesThePlugIn) {
  fs::create_directories(dir / "docs");
  WriteText(dir / "docs.lua", "print(TestModuleOps.documents())\n");
  // The common options may also follow the command.
  const Outcome o = RunProgram({"run", (dir / "docs.lua").string(), "--plugins", plugins.string(), "--documents",
                         (dir / "docs").string()});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, (dir / "docs").string() + "\n");
}

TEST(Tolvaris, CtrlCStopsARunningScript) {
  TempFolder dir;
  const fs::path started = dir / "started";
  WriteText(dir / "spin.lua", "local f = assert(io.open('" + started.string() +
                                  "', 'w'))\nf:close()\nlocal n = 0\nwhile true do n = n + 1 end\n");
  Program program({"run", (dir / "spin.lua").string()});
  ASSERT_GT(program.pid(), 0);
  // Ctrl-C only once the script runs, so that it meets the handler and not the default action.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(started) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(fs::exists(started));
  kill(program.pid(), SIGINT);
  const Outcome o = program.Wait();
  EXPECT_EQ(o.status, 130) << o.err;
  EXPECT_NE(o.err.find("spin.lua:4: interrupted (Ctrl-C)"), std::string::npos) << o.err;
}

}  // namespace
}  // namespace host
