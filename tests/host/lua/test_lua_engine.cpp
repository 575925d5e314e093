// The Lua engine: published interfaces called from scripts with typed arguments and keyword
// defaults, the out-of-range exception and other failures turned into Lua errors with the
// script's position, error messages with file and line, interruption and the binding hooks.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include <lua.hpp>

#include "host/lua/lua_engine.h"
#include "host/core/platform.h"
#include "tests/support/temp_folder.h"

namespace host {

class Node;  // opaque here as in the engine: only its address travels

namespace {

using testing::TempFolder;
using testing::WriteText;

Node* FakeNode(uintptr_t n) { return reinterpret_cast<Node*>(n * 16); }

// The interface the scripts call. It records the arguments that reach it.
class ScriptOps : public FPInterface {
 public:
  enum : uint32_t { kAdd, kScale, kJoin, kIsNull, kEcho, kLength, kNegate, kNothing, kFails, kReadsTooFar, kNodeId };

  ScriptOps()
      : FPInterface({0x5c000001, 0x5c000002}, "ScriptOps", kFPCoreInterface, nullptr,
                    {{kAdd, "add", FPType::Int, {{"a", FPType::Int}, {"b", FPType::Int}}},
                     {kScale, "scale", FPType::Float, {{"x", FPType::Float}, {"factor", FPType::Float, Value(2.0f)}}},
                     {kJoin, "join", FPType::String,
                      {{"a", FPType::String}, {"sep", FPType::String, Value(",")},
                       {"b", FPType::String, Value("")}}},
                     {kIsNull, "isNull", FPType::Bool, {{"node", FPType::Node}}},
                     {kEcho, "echo", FPType::Node, {{"node", FPType::Node}}},
                     {kLength, "length", FPType::Float, {{"p", FPType::Point3}}},
                     {kNegate, "negate", FPType::Bool, {{"flag", FPType::Bool}}},
                     {kNothing, "nothing", FPType::Void, {}},
                     {kFails, "fails", FPType::Bool, {}},
                     {kReadsTooFar, "readsTooFar", FPType::Int, {{"a", FPType::Int}}},
                     {kNodeId, "nodeId", FPType::Int, {{"node", FPType::Node}}}}) {
    RegisterInterface(this);
  }

  int calls = 0;
  FPArgs lastArgs;

 protected:
  Value Dispatch(uint32_t id, const FPArgs& args) override {
    ++calls;
    lastArgs = args;
    switch (id) {
      case kAdd: return args[0].AsInt() + args[1].AsInt();
      case kScale: return args[0].AsFloat() * args[1].AsFloat();
      case kJoin: return args[0].AsString() + args[1].AsString() + args[2].AsString();
      case kIsNull: return args[0].AsNode() == nullptr;
      case kEcho: return args[0].AsNode();
      case kLength: return Length(args[0].AsPoint3());
      case kNegate: return !args[0].AsBool();
      case kNothing: return Value();
      case kFails: throw std::runtime_error("the disk is full");
      case kReadsTooFar: return args[1];
      case kNodeId: return int32_t(reinterpret_cast<uintptr_t>(args[0].AsNode()) / 16);
    }
    return Value::Unhandled();
  }
};

class LuaEngineTest : public ::testing::Test {
 protected:
  void TearDown() override { ClearStop(); }

  // Runs code that must succeed; Lua's assert reports the failing line.
  void Run(const std::string& code) {
    const ScriptResult r = engine.RunString(code, "test.lua");
    EXPECT_TRUE(r.ok) << r.message;
  }
  // Runs code that must fail and returns the message.
  std::string Fail(const std::string& code) {
    const ScriptResult r = engine.RunString(code, "test.lua");
    EXPECT_FALSE(r.ok) << code;
    return r.message;
  }

  ScriptOps ops;  // registered before the engine, so the engine exposes it at once
  LuaEngine engine;
};

TEST_F(LuaEngineTest, ScriptCallsAPublishedInterface) {
  Run("assert(ScriptOps.add(2, 40) == 42)\n"
      "assert(math.type(ScriptOps.add(2, 40)) == 'integer')\n"
      "assert(ScriptOps.add(2.0, 3) == 5)  -- a whole float is an int\n"
      "assert(ScriptOps.scale(1.5) == 3.0)  -- keyword default\n"
      "assert(ScriptOps.scale(1.5, 4) == 6.0)\n"
      "assert(ScriptOps.scale(1.5, {factor = 10}) == 15.0)  -- keyword by name\n"
      "assert(ScriptOps.join('a') == 'a,')\n"
      "assert(ScriptOps.join('a', {b = 'c'}) == 'a,c')  -- a later keyword, the earlier one defaulted\n"
      "assert(ScriptOps.join('a', '-', 'c') == 'a-c')\n"
      "assert(ScriptOps.join('a\\0b', '') == 'a\\0b')  -- strings keep embedded zeros\n"
      "assert(ScriptOps.negate(false) == true)\n"
      "assert(select('#', ScriptOps.nothing()) == 0)\n"
      "assert(ScriptOps.length({3, 4, 12}) == 13)\n"
      "assert(ScriptOps.length({x = 0, y = 3, z = 4}) == 5)\n");
  EXPECT_EQ(ops.lastArgs[0], Value(Point3(0, 3, 4)));
}

TEST_F(LuaEngineTest, ShortArgumentListIsALuaErrorNamingTheMissingArgument) {
  const int before = ops.calls;
  const std::string message = Fail("local x = 1\nScriptOps.add(1)\n");
  EXPECT_EQ(message.rfind("test.lua:2: ", 0), 0u) << message;
  EXPECT_NE(message.find("ScriptOps.add"), std::string::npos) << message;
  EXPECT_NE(message.find("argument #2 'b' is missing (1 given)"), std::string::npos) << message;
  EXPECT_NE(message.find(ArgumentOutOfRange::kDefaultMessage), std::string::npos) << message;
  EXPECT_EQ(ops.calls, before);

  // A script may catch it and go on: the engine and the interface are unharmed.
  Run("local ok, err = pcall(ScriptOps.scale)\n"
      "assert(not ok and err:find(\"argument #1 'x' is missing\"), err)\n"
      "assert(ScriptOps.add(1, 1) == 2)\n");
}

TEST_F(LuaEngineTest, DispatchReadingPastItsArgumentsIsALuaError) {
  const std::string message = Fail("ScriptOps.readsTooFar(5)");
  EXPECT_NE(message.find("ScriptOps.readsTooFar"), std::string::npos) << message;
  EXPECT_NE(message.find("argument #2 asked for, 1 given"), std::string::npos) << message;
}

TEST_F(LuaEngineTest, BadArgumentsNameTheArgumentAndWhatWasGiven) {
  struct Case {
    const char* code;
    const char* expected;
  };
  const Case cases[] = {
      {"ScriptOps.add('2', 1)", "bad argument #1 'a' to 'ScriptOps.add' (int expected, got string)"},
      {"ScriptOps.add(1, 2.5)", "bad argument #2 'b' to 'ScriptOps.add' (whole number expected, got 2.5)"},
      {"ScriptOps.add(1, 2^40)", "(1099511627776 is out of range (-2147483648 to 2147483647))"},
      {"ScriptOps.add(1, 2, 3)", "ScriptOps.add takes 2 arguments, 3 given"},
      {"ScriptOps.negate(1)", "(bool expected, got number)"},
      {"ScriptOps.isNull({})", "(node expected, got table)"},
      {"ScriptOps.isNull('box01')", "(node expected, got string)"},
      {"ScriptOps.length({1, 2})", "({x, y, z} of finite numbers expected, got a table of another shape)"},
      {"ScriptOps.length({0/0, 0, 0})", "({x, y, z} of finite numbers expected"},
      {"ScriptOps.scale(1, {factr = 3})", "keyword 'factr' is not an argument of the function"},
      {"ScriptOps.scale(1, {x = 3})", "keyword 'x' has no default"},
      {"ScriptOps.scale(1, 2, {factor = 3})", "keyword 'factor' is given twice"},
      {"ScriptOps.scale(1, {factor = 'big'})", "bad keyword argument 'factor' to 'ScriptOps.scale' (float expected"},
      {"ScriptOps.scale(1, {[1] = 3})", "the keyword table may only hold names"},
      {"ScriptOps.fails()", "ScriptOps.fails: the disk is full"},
  };
  const int before = ops.calls;
  for (const Case& c : cases) {
    const std::string message = Fail(c.code);
    EXPECT_EQ(message.rfind("test.lua:1: ", 0), 0u) << message;
    EXPECT_NE(message.find(c.expected), std::string::npos) << c.code << " gave: " << message;
  }
  EXPECT_EQ(ops.calls, before + 1) << "only 'fails' should have reached the dispatch";
}

TEST_F(LuaEngineTest, NodesTravelAsOpaqueValues) {
  // A scene function handing out nodes, as the scene bindings will.
  ASSERT_TRUE(engine.AddGlobalFunction({{0, "makeNode", FPType::Node, {{"n", FPType::Int}}},
                                        [](const FPArgs& a) { return Value(FakeNode(uintptr_t(a[0].AsInt()))); }}));
  // Light userdata holding a node pointer is a node too.
  lua_pushlightuserdata(engine.State(), FakeNode(9));
  lua_setglobal(engine.State(), "light");

  Run("local a = makeNode(7)\n"
      "assert(type(a) == 'userdata')\n"
      "assert(a == makeNode(7) and a ~= makeNode(8))  -- one value per node\n"
      "local names = {[a] = 'seven'}\n"
      "assert(names[makeNode(7)] == 'seven')\n"
      "assert(ScriptOps.nodeId(a) == 7)\n"
      "assert(ScriptOps.echo(a) == a)\n"
      "assert(not ScriptOps.isNull(a))\n"
      "assert(tostring(a):find('host.Node'))\n"
      "assert(ScriptOps.nodeId(light) == 9)\n"
      "assert(ScriptOps.isNull(nil) and ScriptOps.echo(nil) == nil)\n");
  EXPECT_EQ(ops.lastArgs[0], Value(static_cast<Node*>(nullptr)));

  // Other userdata are not nodes.
  const std::string message = Fail("ScriptOps.isNull(io.stdout)");
  EXPECT_NE(message.find("(node expected, got userdata)"), std::string::npos) << message;
}

TEST_F(LuaEngineTest, ErrorsGiveTheFileAndLine) {
  TempFolder dir;
  WriteText(dir / "syntax.lua", "local a = 1\nlocal b = 2\nlocal c = = 3\n");
  ScriptResult r = engine.RunFile(dir / "syntax.lua");
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.interrupted);
  EXPECT_NE(r.message.find("syntax.lua:3:"), std::string::npos) << r.message;

  WriteText(dir / "runtime.lua", "local t = nil\nprint(t.field)\n");
  r = engine.RunFile(dir / "runtime.lua");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find("runtime.lua:2: attempt to index a nil value (local 't')"), std::string::npos) << r.message;

  r = engine.RunFile(dir / "missing.lua");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.message.find("missing.lua\": no such file"), std::string::npos) << r.message;

  EXPECT_EQ(Fail("error({code = 3})"), "(error object is a table value)");
  EXPECT_NE(Fail("\x1bLua").find("attempt to load a binary chunk"), std::string::npos);

  // The engine is still usable after errors.
  WriteText(dir / "good.lua", "result = ScriptOps.add(1, 2)\n");
  r = engine.RunFile(dir / "good.lua");
  EXPECT_TRUE(r.ok) << r.message;
  Run("assert(result == 3)");
}

TEST_F(LuaEngineTest, CtrlCInterruptsARunningScript) {
  InstallStopHandler();
  ClearStop();
  ASSERT_TRUE(engine.AddGlobalFunction({{0, "pressCtrlC", FPType::Void, {}}, [](const FPArgs&) {
                                          std::raise(SIGINT);
                                          return Value();
                                        }}));
  const ScriptResult r = engine.RunString("local n = 0\npressCtrlC()\nwhile true do n = n + 1 end\n", "loop.lua");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.interrupted);
  EXPECT_NE(r.message.find("interrupted"), std::string::npos) << r.message;
  ClearStop();
  // A loop that catches every error with pcall is stopped all the same.
  const ScriptResult caught = engine.RunString(
      "pressCtrlC()\nwhile true do pcall(function() while true do end end) end\n", "pcall_loop.lua");
  EXPECT_TRUE(caught.interrupted);
  ClearStop();
  const ScriptResult plain = engine.RunString("error('plain failure')", "plain.lua");
  EXPECT_FALSE(plain.interrupted);
}

TEST_F(LuaEngineTest, GlobalFunctionsTakeTheSameArgumentRules) {
  ASSERT_TRUE(engine.AddGlobalFunction(
      {{0, "box", FPType::String, {{"name", FPType::String}, {"size", FPType::Float, Value(10.0f)}}},
       [](const FPArgs& a) { return Value(a[0].AsString() + ":" + std::to_string(int(a[1].AsFloat()))); }}));
  Run("assert(box('b1') == 'b1:10')\n"
      "assert(box('b2', {size = 4}) == 'b2:4')\n");
  const std::string message = Fail("box()");
  EXPECT_NE(message.find("box: argument #1 'name' is missing"), std::string::npos) << message;

  std::string why;
  EXPECT_FALSE(engine.AddGlobalFunction({{0, "print", FPType::Void, {}}, [](const FPArgs&) { return Value(); }}, &why));
  EXPECT_NE(why.find("exists already"), std::string::npos) << why;
  Run("assert(type(print) == 'function')");
  EXPECT_FALSE(engine.AddGlobalFunction({{0, "box", FPType::Void, {}}, [](const FPArgs&) { return Value(); }}, &why));
  EXPECT_FALSE(engine.AddGlobalFunction(
      {{0, "bad", FPType::Void, {{"k", FPType::Int, Value(1)}, {"x", FPType::Int}}},
       [](const FPArgs&) { return Value(); }},
      &why));
  EXPECT_NE(why.find("follows a keyword"), std::string::npos) << why;
}

TEST_F(LuaEngineTest, BindersRunForEveryNewEngine) {
  // Binders stay for the life of the process, so this one keeps its count in a shared object.
  auto runs = std::make_shared<int>(0);
  AddLuaBinder([runs](LuaEngine& e) {
    ++*runs;
    e.AddGlobalFunction({{0, "sceneAnswer", FPType::Int, {}}, [](const FPArgs&) { return Value(42); }});
  });
  LuaEngine first, second;
  EXPECT_EQ(*runs, 2);
  for (LuaEngine* e : {&first, &second}) {
    const ScriptResult r = e->RunString("assert(sceneAnswer() == 42)");
    EXPECT_TRUE(r.ok) << r.message;
  }
}

class LateOps : public FPInterface {
 public:
  LateOps(InterfaceId id, const char* name)
      : FPInterface(id, name, kFPCoreInterface, nullptr, {{0, "ping", FPType::String, {}}}) {}

 protected:
  Value Dispatch(uint32_t, const FPArgs&) override { return Value("pong"); }
};

TEST_F(LuaEngineTest, InterfacesRegisteredLaterAppearAtTheNextRun) {
  Run("assert(LateOps == nil)");
  LateOps late({0x1a7e, 0x1}, "LateOps");
  ASSERT_TRUE(RegisterInterface(&late));
  Run("assert(LateOps.ping() == 'pong')");
}

TEST_F(LuaEngineTest, AnInterfaceNamedLikeAGlobalIsLeftOut) {
  LateOps clash({0x1a7e, 0x2}, "string");
  ASSERT_TRUE(RegisterInterface(&clash));
  Run("assert(string.upper('a') == 'A')");
  ASSERT_FALSE(engine.Warnings().empty());
  EXPECT_NE(engine.Warnings().back().find("interface string left out of scripts"), std::string::npos)
      << engine.Warnings().back();
}

TEST_F(LuaEngineTest, AnInterfaceGoneSinceItWasExposedIsAnErrorNotACrash) {
  {
    LateOps gone({0x1a7e, 0x3}, "GoneOps");
    ASSERT_TRUE(RegisterInterface(&gone));
    Run("ping = GoneOps.ping\nassert(ping() == 'pong')");
  }
  const std::string message = Fail("ping()");
  EXPECT_NE(message.find("is no longer loaded"), std::string::npos) << message;
}

}  // namespace
}  // namespace host
