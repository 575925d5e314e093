// Lua values to C++ and back: the one marshaller of the script engine's published functions and of
// the scene functions.
//
// Lua raises errors with longjmp, which must never jump over a C++ frame that still holds objects
// with destructors. So:
//
//  * The readers never raise: they use type tests, to-number, the bytes of string values and raw
//    table access only, and say what went wrong in `why` instead ("<what> expected, got <type>").
//  * Results are built as LuaOut values in C++ first and pushed in one protected call, so that an
//    allocation failure while pushing stays inside it.
//  * A message for luaL_error is kept in a char buffer of kLuaMessageSize (host::FormatInto), the
//    only kind of local the C functions Lua calls may hold: LuaRaising below is that function.
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "host/core/math.h"
#include "host/plugins/publish.h"

namespace host {

class Node;

inline constexpr size_t kLuaMessageSize = 1024;

// ---- Protected calls ---------------------------------------------------------------------------

// The message of the error object on top of the stack, which it pops.
std::string LuaPopErrorText(lua_State* L);
// Runs body(request) in protected mode with `results` results left on the stack. On failure
// nothing is left and `error` (may be null) receives the message.
bool LuaProtected(lua_State* L, lua_CFunction body, void* request, int results, std::string* error);

// The C function Lua calls for a function whose work is done by `Impl`, which must not throw or
// raise: it returns its number of results, or -1 with the reason in `message` (kLuaMessageSize
// bytes). The Lua error is raised only after Impl has returned, from a frame that holds nothing but
// the buffer, so the longjmp passes over no C++ object.
template <int (*Impl)(lua_State* L, char* message) noexcept>
int LuaRaising(lua_State* L) {
  char message[kLuaMessageSize];
  const int results = Impl(L, message);
  if (results < 0) return luaL_error(L, "%s", message);
  return results;
}

// ---- Nodes -------------------------------------------------------------------------------------

// Sets up the node userdata's metatable and the weak cache of one userdata per node. Raises on
// failure: call it in protected mode.
void LuaInitNodes(lua_State* L);

// Nodes as scripts see them, for bindings that work on the raw state: one userdata per node, so
// that == and table keys work. LuaToNode never raises; it accepts nil (the null node), a node
// userdata and light userdata, and is false for anything else. LuaPushNode allocates, so it may
// raise a Lua error: call it only in protected mode.
bool LuaToNode(lua_State* L, int index, Node** node);
void LuaPushNode(lua_State* L, Node* node);

// ---- Reading arguments -------------------------------------------------------------------------

// The Lua type name of the value at `index`; "no value" above `top`.
std::string LuaTypeName(lua_State* L, int index, int top);
// A number as messages show it: nine significant digits.
std::string LuaNumberText(double v);

bool LuaReadBool(lua_State* L, int index, bool* out);
bool LuaReadNumber(lua_State* L, int index, double* out);
bool LuaReadString(lua_State* L, int index, std::string* out);
// A whole number in [lo, hi]; `why`: "whole number expected, got 2.5", "7 is out of range (1 to 4)".
bool LuaReadWhole(lua_State* L, int index, lua_Integer lo, lua_Integer hi, lua_Integer* out, std::string* why);
// Up to four finite numbers from an array {a, b, ...} or from single-letter keys (`keys`: "xyzw",
// "rgb"). Returns how many came from the array, or, from keys, a bit mask of the letters found
// shifted by 8; -1 when the value is not such a table.
int LuaReadComponents(lua_State* L, int index, const char* keys, float out[4]);
// Three finite components, {a, b, c} or by the three `keys`; `why`: "{x, y, z} of finite numbers
// expected, got a table of another shape".
bool LuaReadVector(lua_State* L, int index, const char* keys, Point3* out, std::string* why);

// ---- Results -----------------------------------------------------------------------------------

struct LuaOut {
  enum class Kind : uint8_t { Nil, Bool, Int, Number, String, Node, Table };
  Kind kind = Kind::Nil;
  bool b = false;
  lua_Integer i = 0;
  double n = 0.0;
  std::string s;
  Node* node = nullptr;
  std::vector<LuaOut> items;                          // array part of a table
  // The named part, as two lists: a pair holding the struct itself is more than some compilers
  // take while the struct is still incomplete.
  std::vector<std::string> fieldNames;
  std::vector<LuaOut> fieldValues;

  static LuaOut Nil() { return {}; }
  static LuaOut Bool(bool v) { LuaOut o; o.kind = Kind::Bool; o.b = v; return o; }
  static LuaOut Int(lua_Integer v) { LuaOut o; o.kind = Kind::Int; o.i = v; return o; }
  static LuaOut Number(double v) { LuaOut o; o.kind = Kind::Number; o.n = v; return o; }
  static LuaOut String(std::string v) { LuaOut o; o.kind = Kind::String; o.s = std::move(v); return o; }
  static LuaOut NodeValue(Node* v) { LuaOut o; o.kind = v ? Kind::Node : Kind::Nil; o.node = v; return o; }
  static LuaOut Table() { LuaOut o; o.kind = Kind::Table; return o; }
  // {x = .., y = .., z = ..}, or with other key letters ("rgb").
  static LuaOut Vector(const Point3& p, const char* keys = "xyz");
  // A published function's result: points become {x, y, z} tables, nothing becomes nil.
  static LuaOut FromValue(const Value& v);

  LuaOut& Set(std::string key, LuaOut value) {
    fieldNames.push_back(std::move(key));
    fieldValues.push_back(std::move(value));
    return *this;
  }
};

// Pushes the results in one protected call; false (nothing pushed) with the reason in `error`.
bool LuaPushResults(lua_State* L, const std::vector<LuaOut>& results, std::string* error);

}  // namespace host
