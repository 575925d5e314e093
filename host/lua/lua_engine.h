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
//
// An engine bound to a scene (host/lua/scene_bindings.h) runs each script as one undo step of that
// scene: a script that fails or is interrupted part way has every change it made put back, and its
// message names the script's file (chunk name) and line. Script handlers that the host calls back
// (RunHandler) run in an undo step of their own inside whatever step is open.
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
typedef int (*lua_CFunction)(lua_State* L);

namespace host {

class UndoStack;

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

  // Each run of a script (and of a handler) is one undo step of `undo`, cancelled when it fails;
  // null (the default) runs without undo steps. BindScene sets the scene's stack.
  void SetUndo(UndoStack* undo) { undo_ = undo; }
  UndoStack* Undo() const { return undo_; }

  // Runs body(request) in protected mode as a handler the host calls back while the engine may be
  // in the middle of a script: in an undo step of its own that is cancelled on error (and accepted
  // into the open step, or as a step named `stepName`, otherwise), with errors naming the file and
  // line and the stop request interrupting it. The stack is left as it was. Never throws.
  ScriptResult RunHandler(lua_CFunction body, void* request, const char* stepName);

  // Where failures of handlers are reported (besides the result their caller gets): stderr unless
  // set; the program sends them to its own message output.
  void SetReporter(std::function<void(const std::string&)> report) { report_ = std::move(report); }
  void Report(const std::string& message) const;

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
  // Calls the function below its `nargs` arguments on top of the stack with the message handler,
  // inside an undo step; pops them.
  ScriptResult CallInStep(int nargs, const char* stepName);

  UndoStack* undo_ = nullptr;
  std::function<void(const std::string&)> report_;
  int running_ = 0;  // scripts and handlers in progress, nested

  lua_State* L_ = nullptr;
  std::vector<InterfaceId> exposed_;  // exposed or left out, so each is looked at once
  std::list<ScriptFunction> globals_;  // stable addresses: the Lua closures point at them
  std::vector<std::string> warnings_;
};

// Code run by every engine created afterwards, e.g. the scene bindings adding their functions.
using LuaBinder = std::function<void(LuaEngine&)>;
void AddLuaBinder(LuaBinder binder);

}  // namespace host
