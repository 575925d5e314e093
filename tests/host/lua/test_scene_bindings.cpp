// The scene functions of scripts: building a scene from Lua and checking it from C++ (nodes, keys
// and their interpolation, every parameter type), the errors scripts get for misuse, and the
// example scene and script of the repository, which must keep loading and running.
#include <gtest/gtest.h>

#include <cmath>

#include <lua.hpp>

#include "tests/host/scene/scene_test_util.h"
#include "host/lua/lua_engine.h"
#include "host/objects/primitives.h"
#include "host/scene/scene.h"
#include "host/lua/scene_bindings.h"
#include "host/scene/notify.h"
#include "host/scene_file/scene_file.h"
#include "host/core/platform.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using test::ExpectNear;
using test::TempFolder;

class SceneBindings : public ::testing::Test {
 protected:
  void SetUp() override {
    test::TestPlugin();  // the class with a parameter of every type
    std::string why;
    ASSERT_TRUE(BindScene(engine, scene, &why)) << why;
  }

  // Runs code that must succeed; Lua's assert reports the failing line.
  void Run(const std::string& code) {
    const ScriptResult r = engine.RunString(code, "test.lua");
    ASSERT_TRUE(r.ok) << r.message;
  }
  // Runs code that must fail and returns the message.
  std::string Fails(const std::string& code) {
    const ScriptResult r = engine.RunString(code, "test.lua");
    EXPECT_FALSE(r.ok) << code;
    return r.message;
  }

  Scene scene;
  LuaEngine engine;
};

TEST_F(SceneBindings, CreatesNodesOfAnyClassAndFindsThem) {
  Run(R"(
    local ball = scene.create("Sphere", "Ball")
    assert(scene.find("Ball") == ball, "find returns the node create returned")
    assert(scene.find(scene.info(ball).handle) == ball, "find by handle")
    assert(scene.find("Nobody") == nil)
    local group = scene.createNode("Group")
    local unnamed = scene.create("Box", nil, group)
    local info = scene.info(unnamed)
    assert(info.name == "Box001", info.name)
    assert(info.class == "Box" and info.parent == group and not info.selected)
    assert(scene.info(group).class == nil and scene.info(group).children[1] == unnamed)
    scene.create("TestDomain", "Domain")
    local all = scene.nodes()
    assert(#all == 4 and all[1] == ball and all[4] == scene.find("Domain"))
    scene.select(ball)
    assert(scene.info(ball).selected)
    scene.select(ball, false)
    assert(not scene.info(ball).selected)
  )");
  ASSERT_EQ(scene.Nodes().size(), 4u);
  const Node* ball = scene.FindNode("Ball");
  ASSERT_NE(ball, nullptr);
  EXPECT_EQ(ball->GetObject()->ClassName(), "Sphere");
  EXPECT_EQ(scene.FindNode("Box001")->Parent(), scene.FindNode("Group"));
  EXPECT_EQ(scene.FindNode("Group")->GetObject(), nullptr);
  EXPECT_EQ(scene.FindNode("Domain")->GetObject()->GetClassId(), test::kTestPluginClassId);
}

TEST_F(SceneBindings, NodesAreTheEngineNodeValues) {
  // A published or global function taking a node gets the very node the scene function made.
  ASSERT_TRUE(engine.AddGlobalFunction({{0, "nodeName", FPType::String, {{"node", FPType::Node}}},
                                        [](const FPArgs& a) { return Value(a[0].AsNode()->Name()); }}));
  Run(R"(assert(nodeName(scene.create("Torus", "Ring")) == "Ring"))");
}

TEST_F(SceneBindings, TransformKeysInterpolateBetweenFrames) {
  Run(R"(
    local n = scene.create("Box", "Mover")
    scene.setPosition(n, {0, 0, 10}, 0)
    scene.setPosition(n, {x = 50, y = -20, z = 10}, 24)
    scene.setRotation(n, {0, 0, 0}, 0)
    scene.setRotation(n, {0, 0, 90}, 10)
    scene.setScale(n, {1, 1, 1}, 0)
    scene.setScale(n, {3, 1, 1}, 10)
    local p = scene.getPosition(n, 12)
    assert(p.x == 25 and p.y == -10 and p.z == 10, p.x .. " " .. p.y)
    local before = scene.getPosition(n, -5)
    assert(before.x == 0, "before the first key: the first key's value")
    assert(scene.getPosition(n, 100).x == 50, "after the last key: the last key's value")
    assert(math.abs(scene.getScale(n, 5).x - 2) < 1e-6)
  )");
  const Node* n = scene.FindNode("Mover");
  ASSERT_NE(n, nullptr);
  const int tpf = scene.time.TicksPerFrame();
  ASSERT_EQ(n->transform.position.Keys().size(), 2u);
  EXPECT_EQ(n->transform.position.Keys()[1].t, 24 * tpf);
  ExpectNear(n->transform.position.Eval(6 * tpf), {12.5f, -5, 10});
  // Half way between 0 and 90 degrees about z: 45 degrees.
  const Quat half = n->transform.rotation.Eval(5 * tpf);
  const Quat expected = Quat::AxisAngle({0, 0, 1}, 3.14159265f / 4);
  EXPECT_NEAR(std::fabs(half.Dot(expected)), 1.0f, 1e-5f);
  // The world transform: rotated 90 degrees at frame 10, so +x maps to +y.
  ExpectNear(n->GetNodeTM(10 * tpf).VectorTransform({1, 0, 0}), {0, 3, 0});
}

TEST_F(SceneBindings, FramesFollowTheFrameRateAndAFrameLeftOutMeansNow) {
  Run(R"(
    scene.setFrameRate(25)
    local n = scene.create("Sphere", "S")
    scene.setPosition(n, {1, 2, 3})                 -- no key: the constant
    scene.setFrame(10)
    scene.setPosition(n, {0, 0, 0}, 10.5)           -- fractional frames take the nearest tick
    scene.setPosition(n, {10, 0, 0}, 20)
    scene.setPosition(n, {20, 0, 0})                -- no frame: the curve moves through it now
    local s = scene.settings()
    assert(s.frameRate == 25 and s.ticksPerFrame == 192 and s.frame == 10)
    local q = scene.getRotation(n)
    assert(q.w == 1 and q.x == 0)
  )");
  const Node* n = scene.FindNode("S");
  ASSERT_NE(n, nullptr);
  const auto& keys = n->transform.position.Keys();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].t, 2016);  // 10.5 frames at 192 ticks
  EXPECT_EQ(keys[1].t, 3840);
  // At frame 10 (before the first key) the curve read 0 and now reads 20: both keys moved by 20.
  ExpectNear(keys[0].value, {20, 0, 0});
  ExpectNear(keys[1].value, {30, 0, 0});
  EXPECT_EQ(scene.time.currentTime, 1920);
}

TEST_F(SceneBindings, ParentsCombineAndCyclesAreRefused) {
  Run(R"(
    local parent = scene.createNode("Parent")
    local child = scene.create("Box", "Child")
    scene.setParent(child, parent)
    scene.setPosition(parent, {10, 0, 0})
    scene.setPosition(child, {0, 5, 0})
    local w = scene.worldPosition(child)
    assert(w.x == 10 and w.y == 5 and w.z == 0)
    local ok, err = pcall(scene.setParent, parent, child)
    assert(not ok and err:find("scene.setParent:"), err)
    scene.setParent(child, nil)
    assert(scene.info(child).parent == nil)
  )");
  EXPECT_EQ(scene.FindNode("Child")->Parent(), nullptr);
  EXPECT_EQ(scene.FindNode("Parent")->Parent(), nullptr);
}

TEST_F(SceneBindings, ParametersOfEveryTypeSetAndGetByName) {
  Run(R"(
    local d = scene.create("TestDomain", "Domain")
    local cam = scene.create("Camera", "Cam")
    local e1, e2 = scene.createNode("E1"), scene.createNode("E2")
    scene.setParam(d, "size", 10, 0)
    scene.setParam(d, "SIZE", 30, 20)               -- names ignore case
    assert(scene.getParam(d, "size", 10) == 20, "keys interpolate")
    scene.setParam(d, "size", 5000)                 -- clamped to the range, as any set
    scene.setParam(d, "resolution", 64)
    scene.setParam(d, "closedFloor", false)
    scene.setParam(d, "tint", {0.1, 0.2, 0.3})
    scene.setParam(d, "cachePath", "cache/fire")
    scene.setParam(d, "previewCamera", cam)
    scene.setParam(d, "emitters", {e1, false, e2})
    scene.setParam(d, "rate", -2.5)
    assert(scene.getParam(d, "resolution") == 64 and math.type(scene.getParam(d, "resolution")) == "integer")
    assert(scene.getParam(d, "closedFloor") == false)
    local tint = scene.getParam(d, "tint")
    assert(math.abs(tint.g - 0.2) < 1e-6)
    assert(scene.getParam(d, "cachePath") == "cache/fire")
    assert(scene.getParam(d, "previewCamera") == cam)
    local list = scene.getParam(d, "emitters")
    assert(#list == 3 and list[1] == e1 and list[2] == false and list[3] == e2)
    scene.setParam(d, "previewCamera", nil)
    assert(scene.getParam(d, "previewCamera") == nil)
    local names = scene.params(d)
    assert(#names == 9 and names[1] == "size" and names[9] == "rate")
  )");
  const Node* d = scene.FindNode("Domain");
  ASSERT_NE(d, nullptr);
  const ParamBlock& b = *d->GetObject()->GetParamBlock(0);
  const FloatTrack* size = b.GetFloatTrack(test::kTSize);
  ASSERT_EQ(size->Keys().size(), 2u);
  // Without a frame the animated curve moved to pass 5000 (clamped to 1000) at frame 0.
  EXPECT_FLOAT_EQ(size->Keys()[0].value, 1000.0f);
  EXPECT_FLOAT_EQ(size->Keys()[1].value, 1000.0f);
  EXPECT_EQ(b.GetInt(test::kTRes, 0), 64);
  EXPECT_EQ(b.GetBool(test::kTFlag, 0), false);
  EXPECT_EQ(b.GetString(test::kTPath, 0), "cache/fire");
  EXPECT_FLOAT_EQ(*b.GetFloat(test::kTRate, 0), -2.5f);
  const std::vector<Node*> emitters = b.GetNodes(test::kTSources);
  ASSERT_EQ(emitters.size(), 3u);
  EXPECT_EQ(emitters[0], scene.FindNode("E1"));
  EXPECT_EQ(emitters[1], nullptr);
  EXPECT_EQ(emitters[2], scene.FindNode("E2"));
}

TEST_F(SceneBindings, MisuseIsALuaErrorThatSaysWhat) {
  Run(R"(ball = scene.create("Sphere", "Ball"); group = scene.createNode("Group"))");
  struct Case {
    const char* code;
    const char* expected;
  };
  const Case cases[] = {
      {"scene.create('Spehre', 'x')", "test.lua:1: scene.create: no class is called \"Spehre\"; the classes are: "},
      {"scene.create(42)", "bad argument #1 'class' to 'scene.create' (string expected, got number)"},
      {"scene.setParam(ball, 'radus', 3)", "scene.setParam: node \"Ball\" (Sphere) has no parameter \"radus\"; its parameters: radius, segments"},
      {"scene.getParam(group, 'radius')", "node \"Group\" has no object, so no parameter \"radius\""},
      {"scene.setParam(ball, 'radius', 'big')", "bad argument #3 'value' to 'scene.setParam' (parameter \"radius\" is a world value: number expected, got string)"},
      {"scene.setParam(ball, 'segments', 2.5)", "whole number expected, got 2.5"},
      {"scene.setParam(ball, 'segments', 8, 10)", "parameter \"segments\" cannot be animated, so it takes no frame"},
      {"scene.setParam(ball, 'radius', 0/0)", "finite number expected"},
      {"scene.setPosition('Ball', {0, 0, 0})", "bad argument #1 'node' to 'scene.setPosition' (node expected, got string)"},
      {"scene.setPosition(ball, {0, 0})", "bad argument #2 'position' to 'scene.setPosition' ({x, y, z} of finite numbers expected, got a table of another shape)"},
      {"scene.setRotation(ball, {0, 0, 0, 0})", "a quaternion of zero length is no rotation"},
      {"scene.getPosition(ball, 1e12)", "frame 1e+12 is outside the scene's time range"},
      {"scene.find()", "scene.find(name): 0 arguments given"},
      {"scene.setParam(ball, 'radius')", "scene.setParam(node, name, value [, frame]): 2 arguments given"},
      {"scene.setRange(10, 5)", "the end frame comes before the start frame"},
      {"scene.setFrameRate(0)", "0 is out of range (1 to 4800)"},
      {"scene.setUnitScale(-1)", "-1 is not a unit scale"},
      {"scene.setParent(ball, ball)", "scene.setParent: "},
  };
  for (const Case& c : cases) {
    const std::string message = Fails(std::string(c.code));
    EXPECT_NE(message.find(c.expected), std::string::npos) << c.code << "\n gave: " << message;
    EXPECT_EQ(message.rfind("test.lua:1: ", 0), 0u) << "the script line leads the message: " << message;
  }
  // Nothing was changed by the failed calls.
  EXPECT_EQ(scene.Nodes().size(), 2u);
  EXPECT_EQ(scene.time.frameRate, 30);
}

TEST_F(SceneBindings, NodesThatLeftTheSceneAreRefusedNotFollowed) {
  Run(R"(gone = scene.create("Sphere", "Gone"); keep = scene.create("Box", "Keep"))");
  ASSERT_TRUE(scene.DeleteNode(scene.FindNode("Gone")));
  for (const char* code : {"scene.info(gone)", "scene.setParam(keep, 'length', 1); scene.setParent(keep, gone)",
                           "scene.getPosition(gone)"}) {
    const std::string message = Fails(code);
    EXPECT_NE(message.find("the node is not in the scene"), std::string::npos) << message;
  }
  // A node of another scene is refused the same way.
  Scene other;
  Node* foreign = other.CreateNode("Foreign");
  lua_pushlightuserdata(engine.State(), foreign);
  lua_setglobal(engine.State(), "foreign");
  EXPECT_NE(Fails("scene.setParent(keep, foreign)").find("not in the scene"), std::string::npos);
  EXPECT_EQ(scene.FindNode("Keep")->Parent(), nullptr);
}

TEST_F(SceneBindings, SettingsAndSaveReachTheSceneFile) {
  TempFolder dir;
  const fs::path file = dir.path() / "built.json";
  Run(R"(
    scene.setFrameRate(24)
    scene.setRange(-10, 48)
    scene.setFrame(12)
    scene.setUnitScale(0.01)
    scene.setRenderSize(320, 200)
    local n = scene.create("Cylinder", "Log")
    scene.setParam(n, "radius", 2, 0)
    scene.setParam(n, "radius", 8, 48)
    scene.setPosition(n, {0, 0, 0}, 0)
    scene.setPosition(n, {0, 0, 48}, 48)
    local s = scene.settings()
    assert(s.startFrame == -10 and s.endFrame == 48 and s.frame == 12 and s.width == 320 and s.height == 200)
    scene.save(")" + file.string() + R"(")
  )");
  Scene loaded;
  std::string why;
  ASSERT_TRUE(LoadScene(loaded, file, &why)) << why;
  EXPECT_EQ(loaded.time.frameRate, 24);
  EXPECT_EQ(loaded.time.animStart, -10 * 200);
  EXPECT_EQ(loaded.time.currentTime, 12 * 200);
  EXPECT_DOUBLE_EQ(loaded.time.metresPerUnit, 0.01);
  EXPECT_EQ(loaded.render, (RenderOutput{320, 200}));
  const Node* log = loaded.FindNode("Log");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->transform, scene.FindNode("Log")->transform);
  EXPECT_FLOAT_EQ(*log->GetObject()->GetParamBlock(0)->GetFloat(kCylinderRadius, 24 * 200), 5.0f);

  const std::string message = Fails("scene.save('" + (dir.path() / "no" / "such" / "dir.json").string() + "')");
  EXPECT_NE(message.find("test.lua:1: scene.save: "), std::string::npos) << message;
}

TEST_F(SceneBindings, UniqueNamesAndDisplayFlags) {
  scene.CreateNode("Dust001");
  Run(R"(
    local n = scene.create("Sphere", scene.uniqueName("Dust"))
    scene.setRenderable(n, false)
    scene.setBoxMode(n, true)
    local info = scene.info(n)
    assert(info.name == "Dust002" and not info.renderable and info.boxMode)
  )");
  EXPECT_TRUE(scene.FindNode("Dust002")->boxMode);
}

// A plug-in's own script: an engine of its own on the scene it names; failures come back.
TEST(RunSceneScript, WorksOnTheSceneItIsGivenAndReportsErrors) {
  Scene scene;
  const ScriptResult made = RunSceneScript(scene, "scene.create('Box', 'Made')", "preset");
  EXPECT_TRUE(made.ok && scene.FindNode("Made")) << made.message;
  const ScriptResult failed = RunSceneScript(scene, "scene.create('NoSuchClass')", "preset");
  EXPECT_FALSE(failed.ok);
  EXPECT_NE(failed.message.find("preset:1:"), std::string::npos) << failed.message;
}

// ---- Scripts as one undo step ---------------------------------------------------------------------

// Every kind of change a script can make, then a failure: the scene is as it was before the run.
constexpr const char* kEveryChange = R"(
  local keep, other = scene.find("Keep"), scene.find("Other")
  local made = scene.create("TestDomain", "Made")
  scene.createNode("Group", made)
  scene.setParam(keep, "size", 5)
  scene.setParam(keep, "tint", {0, 1, 0}, 10)
  scene.setParam(keep, "emitters", {made, other})
  scene.setParam(keep, "previewCamera", made)
  scene.setParam(keep, "cachePath", "/tmp/elsewhere")
  scene.setPosition(keep, {1, 2, 3}, 5)
  scene.setRotation(keep, {0, 0, 90})
  scene.setScale(other, {2, 2, 2})
  scene.setParent(other, keep)
  scene.select(keep)
  scene.setRenderable(other, false)
  scene.setBoxMode(other, true)
  scene.setFrameRate(25)
  scene.setFrame(7)
  scene.setRange(2, 40)
  scene.setUnitScale(1)
  scene.setRenderSize(320, 200)
)";

class ScriptUndo : public SceneBindings {
 protected:
  void SetUp() override {
    SceneBindings::SetUp();
    Run("scene.create('TestDomain', 'Keep'); scene.create('Box', 'Other')");
    // Made outside any step, so that Undo cannot take it back and only the run under test counts.
    scene.Undo().Clear();
    before = SceneJson();
  }
  std::string SceneJson() {
    TempFolder dir;
    std::string why;
    EXPECT_TRUE(SaveScene(scene, dir / "s.json", &why)) << why;
    const Node* keep = scene.FindNode("Keep");
    const Node* other = scene.FindNode("Other");
    // The file has all but the flags that are not saved: selection and the current frame.
    return test::ReadText(dir / "s.json") + (keep && keep->selected ? " keep selected" : "") +
           (other && other->selected ? " other selected" : "") + " t=" + std::to_string(scene.time.currentTime);
  }
  std::string before;
};

TEST_F(ScriptUndo, AFailingScriptLeavesTheSceneAsItWas) {
  const std::string message = Fails(std::string(kEveryChange) + "\n  error('stopped half way')\n");
  EXPECT_NE(message.find("test.lua:23: stopped half way"), std::string::npos) << message;
  EXPECT_EQ(SceneJson(), before);
  EXPECT_EQ(scene.Nodes().size(), 2u);
  EXPECT_EQ(scene.Undo().StepCount(), 0u) << "a cancelled run leaves no step";
  EXPECT_FALSE(scene.Undo().IsHolding());
}

TEST_F(ScriptUndo, AScriptThatSucceedsIsOneUndoStep) {
  Run(kEveryChange);
  EXPECT_NE(SceneJson(), before);
  EXPECT_EQ(scene.Undo().StepCount(), 1u);
  EXPECT_EQ(scene.Undo().NextUndoName(), "Lua script");
  ASSERT_TRUE(scene.Undo().Undo());
  EXPECT_EQ(SceneJson(), before);
}

TEST_F(ScriptUndo, AnInterruptedScriptLeavesTheSceneAsItWas) {
  InstallStopHandler();
  ClearStop();
  ASSERT_TRUE(engine.AddGlobalFunction({{0, "pressCtrlC", FPType::Void, {}}, [](const FPArgs&) {
                                          RequestStop();
                                          return Value();
                                        }}));
  const ScriptResult r =
      engine.RunString(std::string(kEveryChange) + "\n  pressCtrlC()\n  while true do end\n", "loop.lua");
  ClearStop();
  EXPECT_TRUE(r.interrupted);
  EXPECT_NE(r.message.find("loop.lua:"), std::string::npos) << r.message;
  EXPECT_EQ(SceneJson(), before);
}

TEST(RunSceneScript, AFailingSceneScriptTakesBackTheNodesItMade) {
  Scene scene;
  const ScriptResult failed =
      RunSceneScript(scene, "scene.create('Box', 'Half')\nscene.create('NoSuchClass')", "preset");
  EXPECT_FALSE(failed.ok);
  EXPECT_NE(failed.message.find("preset:2:"), std::string::npos) << failed.message;
  EXPECT_TRUE(scene.Nodes().empty());
}

// ---- Script handlers of the host's notifications ------------------------------------------------

class Callbacks : public ScriptUndo {
 protected:
  void SetUp() override {
    ScriptUndo::SetUp();
    engine.SetReporter([this](const std::string& text) { reported.push_back(text); });
  }
  static std::string Bake(Node* node, int frame) {
    Notification n;
    n.code = NotifyCode::kFrameBaked;
    n.node = node;
    n.frame = frame;
    return BroadcastNotification(n);
  }
  std::vector<std::string> reported;
};

TEST_F(Callbacks, HandlersHearParameterChangesAndBakedFrames) {
  Run(R"(
    heard = {}
    paramId = callbacks.add("paramChanged", function(node, name)
      heard[#heard + 1] = scene.info(node).name .. "." .. name
    end)
    callbacks.add("frameBaked", function(node, frame) heard[#heard + 1] = "baked " .. frame end)
    scene.setParam(scene.find("Keep"), "size", 5)
    scene.setParam(scene.find("Keep"), "resolution", 64)
    assert(#heard == 2 and heard[1] == "Keep.size" and heard[2] == "Keep.resolution", table.concat(heard, ","))
  )");
  EXPECT_EQ(Bake(scene.FindNode("Keep"), 3), "");
  Run(R"(
    assert(heard[3] == "baked 3", tostring(heard[3]))
    assert(callbacks.remove(paramId) and not callbacks.remove(paramId))
    scene.setParam(scene.find("Keep"), "size", 6)
    assert(#heard == 3)
  )");
  // Undo puts values back without telling handlers: they would take it for a new edit.
  ASSERT_TRUE(scene.Undo().Undo());
  ASSERT_TRUE(scene.Undo().Undo());
  Run("assert(#heard == 3)");
  // Nodes of another scene are not this engine's business.
  Scene otherScene;
  Node* elsewhere = otherScene.CreateNode("Elsewhere");
  EXPECT_EQ(Bake(elsewhere, 1), "");
  Run("assert(#heard == 3)");
  EXPECT_TRUE(reported.empty());
}

TEST_F(Callbacks, AFailingHandlerIsReportedAndUndoneAndTheChangeGoesOn) {
  Run(R"(
    callbacks.add("paramChanged", function(node, name)
      if name ~= "size" then return end
      scene.setParam(node, "resolution", 7)
      scene.create("Box", "MadeByHandler")
      error("handler broke on " .. name)
    end)
  )");
  const size_t stepsBefore = scene.Undo().StepCount();
  // The script that raised the notification goes on past the failing handler.
  Run(R"(
    local keep = scene.find("Keep")
    scene.setParam(keep, "size", 5)
    assert(scene.getParam(keep, "size") == 5)
    assert(scene.getParam(keep, "resolution") == 128, "the handler's own change is undone")
    assert(scene.find("MadeByHandler") == nil)
    scene.setParam(keep, "closedFloor", false)
  )");
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_NE(reported[0].find("paramChanged handler failed, its changes undone: test.lua:6: handler broke on size"),
            std::string::npos)
      << reported[0];
  EXPECT_EQ(scene.Undo().StepCount(), stepsBefore + 1);
  ASSERT_TRUE(scene.Undo().Undo());
  EXPECT_EQ(SceneJson(), before);

  // Raised from C++ (a plug-in's command): the broadcast returns the failure.
  const ParamRef size = FindParam(*scene.FindNode("Keep")->GetObject(), "size");
  size.block->SetFloat(size.id, 0, 9.0f);
  EXPECT_EQ(*size.block->GetFloat(size.id, 0), 9.0f);
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(scene.FindNode("MadeByHandler"), nullptr);
}

TEST_F(Callbacks, BakedFrameHandlerFailureComesBackToTheCommand) {
  Run(R"(
    callbacks.add("frameBaked", function(node, frame)
      scene.setParam(node, "resolution", frame)
      if frame == 2 then
        local t = nil
        return t.oops
      end
    end)
  )");
  Node* keep = scene.FindNode("Keep");
  EXPECT_EQ(Bake(keep, 1), "");
  const std::string failure = Bake(keep, 2);
  EXPECT_NE(failure.find("frameBaked handler failed, its changes undone: test.lua:6: attempt to index a nil value"),
            std::string::npos)
      << failure;
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], failure);
  EXPECT_EQ(Bake(keep, 3), "");
  Run("assert(scene.getParam(scene.find('Keep'), 'resolution') == 3)");
}

TEST_F(Callbacks, HandlersDoNotHearTheirOwnChanges) {
  Run(R"(
    calls = 0
    callbacks.add("paramChanged", function(node, name)
      calls = calls + 1
      scene.setParam(node, "resolution", scene.getParam(node, "resolution") + 1)
    end)
    scene.setParam(scene.find("Keep"), "size", 3)
    assert(calls == 1, calls)
    assert(scene.getParam(scene.find("Keep"), "resolution") == 129)
  )");
}

TEST_F(Callbacks, CtrlCStopsAHandlerLikeAnyScript) {
  InstallStopHandler();
  ClearStop();
  ASSERT_TRUE(engine.AddGlobalFunction({{0, "pressCtrlC", FPType::Void, {}}, [](const FPArgs&) {
                                          RequestStop();
                                          return Value();
                                        }}));
  Run(R"(
    callbacks.add("frameBaked", function(node, frame)
      scene.setParam(node, "resolution", 3)
      pressCtrlC()
      while true do end
    end)
  )");
  const std::string failure = Bake(scene.FindNode("Keep"), 1);
  ClearStop();
  EXPECT_NE(failure.find("test.lua:"), std::string::npos) << failure;
  EXPECT_NE(failure.find("interrupted (Ctrl-C)"), std::string::npos) << failure;
  EXPECT_EQ(SceneJson(), before);
  // Afterwards handlers and scripts run again.
  Run("assert(true)");
}

TEST_F(Callbacks, MisuseIsAScriptError) {
  EXPECT_NE(Fails("callbacks.add('frameDone', print)").find("test.lua:1: bad argument #1 'event' to 'callbacks.add' (no event is called \"frameDone\"; the events are: paramChanged, frameBaked)"),
            std::string::npos);
  EXPECT_NE(Fails("callbacks.add('frameBaked', 3)").find("(function expected, got number)"), std::string::npos);
  EXPECT_NE(Fails("callbacks.add('frameBaked')").find("1 arguments given"), std::string::npos);
}

// An engine that goes stops listening: later notifications reach nobody.
TEST(CallbacksLifetime, AClosedEngineStopsListening) {
  Scene scene;
  Node* node = scene.CreateNode("n");
  {
    LuaEngine engine;
    ASSERT_TRUE(BindScene(engine, scene));
    ASSERT_TRUE(engine.RunString("callbacks.add('frameBaked', function() error('still here') end)").ok);
    EXPECT_TRUE(HasNotificationListeners());
  }
  EXPECT_FALSE(HasNotificationListeners());
  Notification n;
  n.code = NotifyCode::kFrameBaked;
  n.node = node;
  EXPECT_EQ(BroadcastNotification(n), "");
}

TEST_F(SceneBindings, AGlobalCalledSceneIsNotReplaced) {
  LuaEngine other;
  ASSERT_TRUE(other.RunString("scene = 1").ok);
  std::string why;
  EXPECT_FALSE(BindScene(other, scene, &why));
  EXPECT_NE(why.find("a global called \"scene\" exists already"), std::string::npos) << why;
}

// The repository's examples: the scene file loads, and the script builds and saves a scene.
TEST(Examples, BuildScriptSavesASceneThatLoads) {
  TempFolder dir;
  Scene built;
  ScriptResult r;
  {
    // The script saves into the working folder; the folder is restored however the run ends.
    struct WorkingFolder {
      fs::path before = fs::current_path();
      ~WorkingFolder() { fs::current_path(before); }
    } restore;
    fs::current_path(dir.path());
    LuaEngine engine;
    ASSERT_TRUE(BindScene(engine, built));
    r = engine.RunFile(fs::path(TFR_EXAMPLES_DIR) / "build_scene.lua");
  }
  ASSERT_TRUE(r.ok) << r.message;
  Scene loaded;
  std::string why;
  ASSERT_TRUE(LoadScene(loaded, dir.path() / "built_campfire.json", &why)) << why;
  EXPECT_EQ(loaded.Nodes().size(), built.Nodes().size());
  EXPECT_NE(loaded.FindNode("Camera"), nullptr);
}

}  // namespace
}  // namespace host
