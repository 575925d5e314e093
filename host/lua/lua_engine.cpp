// Lua is C: it raises errors with longjmp, which must never jump over a C++ frame that still holds
// objects with destructors. The rules this file keeps (host/lua/lua_values.h has the marshalling):
//
//  * The C functions Lua calls (CallInterfaceFunction, CallGlobalFunction, StopHook) hold only
//    trivially destructible locals. The first two are LuaRaising (host/lua/lua_values.h) around an
//    Impl function that does the C++ work, catches every exception and reports failure as text in a
//    char buffer; only after it has returned is the Lua error raised.
//  * Impl functions read arguments with the readers of lua_values.h, which never raise, and push
//    results through LuaPushResults, one protected call.
//  * Everything the engine itself does to the state (start-up, exposing interfaces, loading
//    chunks) runs through LuaProtected too, so an error never reaches Lua's panic handler.
#include "host/lua/lua_engine.h"

#include <lua.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "host/core/platform.h"
#include "host/core/status.h"
#include "host/core/text.h"
#include "host/core/undo.h"
#include "host/lua/lua_values.h"

namespace host {

namespace {

constexpr int kStopCheckInstructions = 1000;

std::mutex gBindersMutex;
std::vector<LuaBinder>& Binders() {
  static auto* binders = new std::vector<LuaBinder>;
  return *binders;
}

void StopHook(lua_State* L, lua_Debug*) {
  if (!StopRequested()) return;
  // From now on every instruction fails, so a script that catches the error with pcall cannot
  // run on: the next instruction outside the pcall fails too.
  lua_sethook(L, StopHook, LUA_MASKCOUNT, 1);
  // Inside a hook, level 0 is the script function that was running.
  luaL_where(L, 0);
  lua_pushstring(L, "interrupted (Ctrl-C)");
  lua_concat(L, 2);
  lua_error(L);
}

// True when `text` starts with a position "chunk:line:" (any chunk).
bool HasPosition(const char* text, size_t n) {
  for (size_t i = 0; i + 2 < n && text[i] != '\n'; ++i) {
    if (text[i] != ':' || !std::isdigit(static_cast<unsigned char>(text[i + 1]))) continue;
    size_t j = i + 1;
    while (j < n && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
    if (j < n && text[j] == ':') return true;
  }
  return false;
}

// The message handler of every script and handler call: Lua's own messages name the position
// already, but error() with level 0 or with a value that is no string does not. Those get the
// position of the innermost Lua function, so the user always learns the file and line.
int MessageHandler(lua_State* L) {
  lua_Debug ar;
  int level = 1;
  bool found = false;
  while (lua_getstack(L, level++, &ar)) {
    if (!lua_getinfo(L, "Sl", &ar) || ar.currentline <= 0) continue;
    found = true;
    break;
  }
  size_t n = 0;
  const char* text = lua_type(L, 1) == LUA_TSTRING ? lua_tolstring(L, 1, &n) : nullptr;
  if (text && (!found || HasPosition(text, n))) return 1;
  if (!found) {
    lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    return 1;
  }
  if (text) lua_pushfstring(L, "%s:%d: %s", ar.short_src, ar.currentline, text);
  else lua_pushfstring(L, "%s:%d: (error object is a %s value)", ar.short_src, ar.currentline, luaL_typename(L, 1));
  return 1;
}

int InitBody(lua_State* L) {
  luaL_openlibs(L);
  LuaInitNodes(L);
  lua_sethook(L, StopHook, LUA_MASKCOUNT, kStopCheckInstructions);
  return 0;
}

// ---- Lua values to arguments -----------------------------------------------------------------

// Converts the Lua value at `index` to an argument of `type`; on failure `why` says what was
// expected and what was given.
bool ToValue(lua_State* L, int index, FPType type, Value* out, std::string* why) {
  switch (type) {
    case FPType::Bool: {
      bool b = false;
      if (!LuaReadBool(L, index, &b)) break;
      *out = Value(b);
      return true;
    }
    case FPType::Int: {
      if (lua_type(L, index) != LUA_TNUMBER) break;
      lua_Integer i = 0;
      if (!LuaReadWhole(L, index, INT32_MIN, INT32_MAX, &i, why)) return false;
      *out = Value(int32_t(i));
      return true;
    }
    case FPType::Float: {
      double v = 0.0;
      if (!LuaReadNumber(L, index, &v)) break;
      *out = Value(float(v));
      return true;
    }
    case FPType::String: {
      std::string text;
      if (!LuaReadString(L, index, &text)) break;
      *out = Value(std::move(text));
      return true;
    }
    case FPType::Node: {
      Node* node = nullptr;
      if (!LuaToNode(L, index, &node)) break;
      *out = Value(node);
      return true;
    }
    case FPType::Point3: {
      Point3 p;
      if (!LuaReadVector(L, index, "xyz", &p, why)) return false;
      *out = Value(p);
      return true;
    }
    case FPType::Void:
      break;
  }
  *why = std::string(TypeName(type)) + " expected, got " + luaL_typename(L, index);
  return false;
}

// ---- Calls -------------------------------------------------------------------------------------

// Reads the Lua arguments of a call by the function's description. Keyword arguments may come in
// a table after the positional ones; a table where a point belongs is the point.
bool ReadArguments(lua_State* L, const FunctionDesc& desc, const std::string& qualified, FPArgs* args,
                   char* message) {
  const int top = lua_gettop(L);
  const size_t count = desc.params.size();
  const bool hasKeywords = desc.RequiredCount() < count;
  int positional = top;
  if (hasKeywords && top > 0 && lua_type(L, top) == LUA_TTABLE &&
      (size_t(top) > count || desc.params[size_t(top) - 1].type != FPType::Point3)) {
    positional = top - 1;
  }
  if (size_t(positional) > count) {
    FormatInto(message, kLuaMessageSize, "%s takes %zu argument%s, %d given",
               qualified.c_str(), count, count == 1 ? "" : "s", positional);
    return false;
  }
  std::string why;
  std::vector<std::optional<Value>> slots(count);
  for (int i = 0; i < positional; ++i) {
    Value v;
    if (!ToValue(L, i + 1, desc.params[size_t(i)].type, &v, &why)) {
      FormatInto(message, kLuaMessageSize, "bad argument #%d '%s' to '%s' (%s)",
                 i + 1, desc.params[size_t(i)].name.c_str(), qualified.c_str(), why.c_str());
      return false;
    }
    slots[size_t(i)] = std::move(v);
  }
  if (positional < top) {
    lua_pushnil(L);
    while (lua_next(L, top)) {
      if (lua_type(L, -2) != LUA_TSTRING) {
        FormatInto(message, kLuaMessageSize, "%s: the keyword table may only hold names, got a %s key",
                   qualified.c_str(), luaL_typename(L, -2));
        lua_pop(L, 2);
        return false;
      }
      size_t n = 0;
      const char* key = lua_tolstring(L, -2, &n);
      const std::string_view name(key, n);
      size_t k = 0;
      while (k < count && desc.params[k].name != name) ++k;
      const char* problem = nullptr;
      if (k == count) {
        problem = "is not an argument of the function";
      } else if (!desc.params[k].keywordDefault) {
        problem = "has no default, so it cannot be given by name";
      } else if (slots[k]) {
        problem = "is given twice, by position and by name";
      }
      if (problem) {
        FormatInto(message, kLuaMessageSize, "%s: keyword '%.*s' %s", qualified.c_str(), int(n), key, problem);
        lua_pop(L, 2);
        return false;
      }
      Value v;
      if (!ToValue(L, lua_gettop(L), desc.params[k].type, &v, &why)) {
        FormatInto(message, kLuaMessageSize, "bad keyword argument '%s' to '%s' (%s)",
                   desc.params[k].name.c_str(), qualified.c_str(), why.c_str());
        lua_pop(L, 2);
        return false;
      }
      slots[k] = std::move(v);
      lua_pop(L, 1);
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if (slots[i]) {
      args->push_back(std::move(*slots[i]));
    } else if (desc.params[i].keywordDefault) {
      args->push_back(*desc.params[i].keywordDefault);
    } else {
      break;  // a required argument is missing: the call raises the out-of-range exception
    }
  }
  return true;
}

struct CallTarget {
  const FunctionDesc* desc = nullptr;
  FPInterface* iface = nullptr;          // a published function, or
  const ScriptFunction* global = nullptr;  // a global function
  std::string qualified;                 // the name scripts know it by
};

// Calls the target with the Lua arguments and pushes its result. Returns the number of results,
// or -1 with the reason in `message`. Never raises a Lua error and never throws.
int CallImpl(lua_State* L, const CallTarget& t, char* message) noexcept {
  const FunctionDesc& desc = *t.desc;
  try {
    FPArgs args;
    if (!ReadArguments(L, desc, t.qualified, &args, message)) return -1;
    Value result;
    if (t.iface) {
      result = t.iface->Invoke(desc.id, std::move(args));
    } else {
      CompleteArguments(desc, args);
      result = t.global->call(args);
    }
    if (result.IsUnhandled()) {
      FormatInto(message, kLuaMessageSize, "%s: the interface does not handle its function id %u",
                 t.qualified.c_str(), desc.id);
      return -1;
    }
    if (desc.result == FPType::Void || result.Type() == FPType::Void) return 0;
    std::string error;
    if (!LuaPushResults(L, {LuaOut::FromValue(result)}, &error)) {
      FormatInto(message, kLuaMessageSize, "%s: %s", t.qualified.c_str(), error.c_str());
      return -1;
    }
    return 1;
  } catch (const ArgumentOutOfRange& e) {
    if (e.Index() < desc.params.size() && e.Index() >= e.Count()) {
      FormatInto(message, kLuaMessageSize, "%s: argument #%zu '%s' is missing (%zu given): %s",
                 t.qualified.c_str(), e.Index() + 1, desc.params[e.Index()].name.c_str(), e.Count(), e.what());
    } else {
      FormatInto(message, kLuaMessageSize, "%s: %s (argument #%zu asked for, %zu given)",
                 t.qualified.c_str(), e.what(), e.Index() + 1, e.Count());
    }
  } catch (const std::exception& e) {
    FormatInto(message, kLuaMessageSize, "%s: %s", t.qualified.c_str(), e.what());
  } catch (...) {
    FormatInto(message, kLuaMessageSize, "%s: failed with an unknown error", t.qualified.c_str());
  }
  return -1;
}

int CallInterfaceImpl(lua_State* L, char* message) noexcept {
  try {
    const InterfaceId id{uint32_t(lua_tointeger(L, lua_upvalueindex(1))),
                         uint32_t(lua_tointeger(L, lua_upvalueindex(2)))};
    const auto functionId = uint32_t(lua_tointeger(L, lua_upvalueindex(3)));
    CallTarget t;
    t.iface = FindInterface(id);
    if (!t.iface) {
      FormatInto(message, kLuaMessageSize, "the interface %s is no longer loaded", ToString(id).c_str());
      return -1;
    }
    t.desc = t.iface->FindFunction(functionId);
    if (!t.desc) {
      FormatInto(message, kLuaMessageSize, "%s has no function id %u any more",
                 t.iface->InternalName().c_str(), functionId);
      return -1;
    }
    t.qualified = t.iface->InternalName() + "." + t.desc->name;
    return CallImpl(L, t, message);
  } catch (...) {
    FormatInto(message, kLuaMessageSize, "out of memory");
    return -1;
  }
}

constexpr lua_CFunction CallInterfaceFunction = LuaRaising<CallInterfaceImpl>;

int CallGlobalImpl(lua_State* L, char* message) noexcept {
  try {
    CallTarget t;
    t.global = static_cast<const ScriptFunction*>(lua_touserdata(L, lua_upvalueindex(1)));
    t.desc = &t.global->desc;
    t.qualified = t.desc->name;
    return CallImpl(L, t, message);
  } catch (...) {
    FormatInto(message, kLuaMessageSize, "out of memory");
    return -1;
  }
}

constexpr lua_CFunction CallGlobalFunction = LuaRaising<CallGlobalImpl>;

// ---- Bodies run in protected mode --------------------------------------------------------------

struct ExposedFunction {
  const char* name;
  lua_Integer id;
};

struct ExposeRequest {
  const char* table;
  lua_Integer a, b;
  const ExposedFunction* functions;
  size_t count;
  bool taken;
};

int ExposeBody(lua_State* L) {
  auto* r = static_cast<ExposeRequest*>(lua_touserdata(L, 1));
  if (lua_getglobal(L, r->table) != LUA_TNIL) {
    r->taken = true;
    return 0;
  }
  lua_createtable(L, 0, int(r->count));
  for (size_t i = 0; i < r->count; ++i) {
    lua_pushinteger(L, r->a);
    lua_pushinteger(L, r->b);
    lua_pushinteger(L, r->functions[i].id);
    lua_pushcclosure(L, CallInterfaceFunction, 3);
    lua_setfield(L, -2, r->functions[i].name);
  }
  lua_setglobal(L, r->table);
  return 0;
}

struct GlobalRequest {
  const char* name;
  const ScriptFunction* function;
  bool taken;
};

int AddGlobalBody(lua_State* L) {
  auto* r = static_cast<GlobalRequest*>(lua_touserdata(L, 1));
  if (lua_getglobal(L, r->name) != LUA_TNIL) {
    r->taken = true;
    return 0;
  }
  lua_pushlightuserdata(L, const_cast<ScriptFunction*>(r->function));
  lua_pushcclosure(L, CallGlobalFunction, 1);
  lua_setglobal(L, r->name);
  return 0;
}

struct LoadRequest {
  const char* path = nullptr;  // a file, or
  const char* code = nullptr;  // a piece of code
  size_t size = 0;
  const char* chunkName = nullptr;
};

// Text chunks only: a precompiled chunk is not a script anyone wrote.
int LoadFileBody(lua_State* L) {
  auto* r = static_cast<LoadRequest*>(lua_touserdata(L, 1));
  if (luaL_loadfilex(L, r->path, "t") != LUA_OK) return lua_error(L);
  return 1;
}

int LoadStringBody(lua_State* L) {
  auto* r = static_cast<LoadRequest*>(lua_touserdata(L, 1));
  if (luaL_loadbufferx(L, r->code, r->size, r->chunkName, "t") != LUA_OK) return lua_error(L);
  return 1;
}

}  // namespace

// ---- LuaEngine ---------------------------------------------------------------------------------

LuaEngine::LuaEngine() {
  L_ = luaL_newstate();
  if (!L_) throw std::runtime_error("cannot start the Lua engine: out of memory");
  std::string error;
  if (!LuaProtected(L_, InitBody, nullptr, 0, &error)) {
    lua_close(L_);
    throw std::runtime_error("cannot start the Lua engine: " + error);
  }
  std::vector<LuaBinder> binders;
  {
    std::lock_guard lock(gBindersMutex);
    binders = Binders();
  }
  for (const LuaBinder& bind : binders) {
    try {
      bind(*this);
    } catch (const std::exception& e) {
      warnings_.push_back(std::string("a script binding failed: ") + e.what());
    }
  }
  ExposeInterfaces();
}

LuaEngine::~LuaEngine() { lua_close(L_); }

void LuaEngine::ExposeInterfaces() {
  for (FPInterface* iface : Interfaces()) {
    const InterfaceId id = iface->Id();
    if (std::find(exposed_.begin(), exposed_.end(), id) != exposed_.end()) continue;
    exposed_.push_back(id);
    std::vector<ExposedFunction> functions;
    for (const FunctionDesc& f : iface->Functions()) functions.push_back({f.name.c_str(), lua_Integer(f.id)});
    ExposeRequest request{iface->InternalName().c_str(), lua_Integer(id.a), lua_Integer(id.b),
                          functions.data(), functions.size(), false};
    std::string error;
    if (!LuaProtected(L_, ExposeBody, &request, 0, &error)) {
      warnings_.push_back("interface " + iface->InternalName() + " left out of scripts: " + error);
    } else if (request.taken) {
      warnings_.push_back("interface " + iface->InternalName() +
                          " left out of scripts: a global of that name exists already");
    }
  }
}

bool LuaEngine::AddGlobalFunction(ScriptFunction function, std::string* message) {
  if (std::string problem = CheckFunction(function.desc); !problem.empty()) return Fail(message, problem);
  if (!function.call) return Fail(message, function.desc.name + ": no function to call");
  globals_.push_back(std::move(function));
  GlobalRequest request{globals_.back().desc.name.c_str(), &globals_.back(), false};
  std::string error;
  const bool ran = LuaProtected(L_, AddGlobalBody, &request, 0, &error);
  if (!ran || request.taken) {
    const std::string name = globals_.back().desc.name;
    globals_.pop_back();
    return Fail(message, ran ? "the global " + name + " exists already" : name + ": " + error);
  }
  return true;
}

ScriptResult LuaEngine::Run(int (*load)(lua_State*), void* request) {
  ExposeInterfaces();
  // A script run from inside a handler (a nested run) keeps the stack of the run around it.
  const int base = running_ > 0 ? lua_gettop(L_) : 0;
  lua_settop(L_, base);
  // An earlier run that was stopped left the hook on every instruction.
  if (running_ == 0) lua_sethook(L_, StopHook, LUA_MASKCOUNT, kStopCheckInstructions);
  ScriptResult result;
  if (!LuaProtected(L_, load, request, 1, &result.message)) {
    result.ok = false;
    return result;
  }
  result = CallInStep(0, "Lua script");
  lua_settop(L_, base);
  return result;
}

ScriptResult LuaEngine::CallInStep(int nargs, const char* stepName) {
  ScriptResult result;
  result.ok = true;
  const int function = lua_gettop(L_) - nargs;
  lua_pushcfunction(L_, MessageHandler);
  lua_insert(L_, function);
  ++running_;
  if (undo_) undo_->Begin();
  const int status = lua_pcall(L_, nargs, 0, function);
  --running_;
  if (status != LUA_OK) {
    result.ok = false;
    result.interrupted = status == LUA_ERRRUN && StopRequested();
    result.message = LuaPopErrorText(L_);
    // Every change the script made so far goes back: the scene is as it was before it ran.
    if (undo_) undo_->CancelInner();
  } else if (undo_) {
    undo_->Accept(stepName);
  }
  lua_remove(L_, function);  // the message handler
  return result;
}

ScriptResult LuaEngine::RunHandler(lua_CFunction body, void* request, const char* stepName) {
  ScriptResult result;
  if (!lua_checkstack(L_, 4)) {
    result.ok = false;
    result.message = "no room on the Lua stack for a handler";
    return result;
  }
  const int top = lua_gettop(L_);
  // Outside a script nothing has set the hook back after an interrupted run.
  if (running_ == 0) lua_sethook(L_, StopHook, LUA_MASKCOUNT, kStopCheckInstructions);
  lua_pushcfunction(L_, body);
  lua_pushlightuserdata(L_, request);
  result = CallInStep(1, stepName);
  lua_settop(L_, top);
  return result;
}

void LuaEngine::Report(const std::string& message) const {
  if (report_) {
    try {
      report_(message);
      return;
    } catch (...) {
      // fall through to stderr
    }
  }
  std::fprintf(stderr, "%s\n", message.c_str());
}

ScriptResult LuaEngine::RunFile(const std::filesystem::path& script) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(script, ec)) {
    ScriptResult r;
    r.message = "cannot open the script \"" + script.string() + "\": " +
                (std::filesystem::exists(script, ec) ? "not a file" : "no such file");
    return r;
  }
  const std::string path = script.string();
  LoadRequest request;
  request.path = path.c_str();
  return Run(LoadFileBody, &request);
}

ScriptResult LuaEngine::RunString(std::string_view code, std::string_view chunkName) {
  // "=name" makes Lua print the name as it is in messages ("name:3: ...").
  std::string name(1, '=');
  name += chunkName;
  LoadRequest request;
  request.code = code.data();
  request.size = code.size();
  request.chunkName = name.c_str();
  return Run(LoadStringBody, &request);
}

void AddLuaBinder(LuaBinder binder) {
  std::lock_guard lock(gBindersMutex);
  Binders().push_back(std::move(binder));
}

}  // namespace host
