// The embedded script engine, Lua 5.4. Every published interface (host/plugins/publish.h) appears as a
// global table of functions, so a script writes
//
//   local ok = ShapeOps.grow(node)
//   ShapeOps.grow(node, 3.5)
//   ShapeOps.grow(node, {factor = 3.5})
//
// Arguments convert by the function's description: Lua numbers to int (whole numbers only) and
// float, strings, booleans, and nodes (the values scene functions return, or light userdata
// holding a host::Node*; nil is the null node). Keyword arguments may be left out, or given by name
// in a table after the positional ones. A short argument list, a wrong type or an error of the
// function becomes a Lua error that names the script position, the function and the argument.
//
// Other parts of the host add global functions (scene building) through AddGlobalFunction, or for
// every engine at once through AddLuaBinder.
#pragma once

#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/status.h"
#include "host/plugins/publish.h"

struct lua_State;

namespace host {

// ok: the script ran to its end; message: what went wrong, with the script's file and line where
// known.
struct ScriptResult : Status {
  bool interrupted = false;  // stopped by the stop request (Ctrl-C)
};

// A global function of the script engine, described like a published function (its id is not
// used) and called with completed arguments.
struct ScriptFunction {
  FunctionDesc desc;
  std::function<Value(const FPArgs&)> call;
};

class LuaEngine {
 public:
  // Opens the standard libraries, runs the binders and exposes the registered interfaces.
  // Throws std::runtime_error when Lua cannot start (out of memory).
  LuaEngine();
  ~LuaEngine();
  LuaEngine(const LuaEngine&) = delete;
  LuaEngine& operator=(const LuaEngine&) = delete;

  // Runs a script file or a piece of code. Interfaces registered since the last run are exposed
  // first. A set stop request interrupts the script.
  ScriptResult RunFile(const std::filesystem::path& script);
  ScriptResult RunString(std::string_view code, std::string_view chunkName = "script");

  // Exposes the interfaces registered and not yet exposed. An interface whose name is taken by
  // another global is left out with a warning.
  void ExposeInterfaces();
  // Adds a global function; refuses a name that is already a global, or an unsound description.
  bool AddGlobalFunction(ScriptFunction function, std::string* message = nullptr);

  // What the engine left out and why (name clashes, failing binders).
  const std::vector<std::string>& Warnings() const { return warnings_; }
  // The raw state, for bindings that need more than functions. Lua errors raised from C++ must
  // not jump over live C++ objects: do such work inside lua_pcall.
  lua_State* State() const { return L_; }

 private:
  ScriptResult Run(int (*load)(lua_State*), void* request);

  lua_State* L_ = nullptr;
  std::vector<InterfaceId> exposed_;  // exposed or left out, so each is looked at once
  std::list<ScriptFunction> globals_;  // stable addresses: the Lua closures point at them
  std::vector<std::string> warnings_;
};

// Code run by every engine created afterwards, e.g. the scene bindings adding their functions.
using LuaBinder = std::function<void(LuaEngine&)>;
void AddLuaBinder(LuaBinder binder);

// Nodes as scripts see them, for bindings that work on the raw state: one userdata per node, so
// that == and table keys work. LuaToNode never raises; it accepts nil (the null node), a node
// userdata and light userdata, and is false for anything else. LuaPushNode allocates, so it may
// raise a Lua error: call it only in protected mode.
bool LuaToNode(lua_State* L, int index, Node** node);
void LuaPushNode(lua_State* L, Node* node);

}  // namespace host
