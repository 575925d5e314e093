#include "host/lua/lua_values.h"

#include <cmath>
#include <string_view>

#include "host/core/status.h"
#include "host/core/text.h"

namespace host {

namespace {

// Registry keys: the addresses are unique, and raw access by address never raises.
char kNodeMetatableKey;
char kNodeCacheKey;
constexpr const char* kNodeMetatableName = "host.Node";

void PushOut(lua_State* L, const LuaOut& o) {
  luaL_checkstack(L, 4, "results nest too deep");
  switch (o.kind) {
    case LuaOut::Kind::Nil: lua_pushnil(L); break;
    case LuaOut::Kind::Bool: lua_pushboolean(L, o.b); break;
    case LuaOut::Kind::Int: lua_pushinteger(L, o.i); break;
    case LuaOut::Kind::Number: lua_pushnumber(L, o.n); break;
    case LuaOut::Kind::String: lua_pushlstring(L, o.s.data(), o.s.size()); break;
    case LuaOut::Kind::Node: LuaPushNode(L, o.node); break;
    case LuaOut::Kind::Table:
      lua_createtable(L, int(o.items.size()), int(o.fieldNames.size()));
      for (size_t k = 0; k < o.items.size(); ++k) {
        PushOut(L, o.items[k]);
        lua_rawseti(L, -2, lua_Integer(k + 1));
      }
      for (size_t k = 0; k < o.fieldNames.size(); ++k) {
        lua_pushlstring(L, o.fieldNames[k].data(), o.fieldNames[k].size());
        PushOut(L, o.fieldValues[k]);
        lua_rawset(L, -3);
      }
      break;
  }
}

int PushResultsBody(lua_State* L) {
  const auto& results = *static_cast<const std::vector<LuaOut>*>(lua_touserdata(L, 1));
  luaL_checkstack(L, int(results.size()) + 4, "too many results");
  for (const LuaOut& o : results) PushOut(L, o);
  return int(results.size());
}

}  // namespace

// ---- Protected calls ---------------------------------------------------------------------------

std::string LuaPopErrorText(lua_State* L) {
  std::string text;
  if (lua_type(L, -1) == LUA_TSTRING) {
    size_t n = 0;
    const char* s = lua_tolstring(L, -1, &n);
    text.assign(s, n);
  } else {
    text = std::string("(error object is a ") + luaL_typename(L, -1) + " value)";
  }
  lua_pop(L, 1);
  return text;
}

bool LuaProtected(lua_State* L, lua_CFunction body, void* request, int results, std::string* error) {
  lua_pushcfunction(L, body);
  lua_pushlightuserdata(L, request);
  if (lua_pcall(L, 1, results, 0) == LUA_OK) return true;
  return Fail(error, LuaPopErrorText(L));
}

// ---- Nodes -------------------------------------------------------------------------------------

void LuaInitNodes(lua_State* L) {
  luaL_newmetatable(L, kNodeMetatableName);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &kNodeMetatableKey);
  // One userdata per node while scripts hold it, so that == and table keys work on nodes.
  lua_newtable(L);
  lua_createtable(L, 0, 1);
  lua_pushstring(L, "v");
  lua_setfield(L, -2, "__mode");
  lua_setmetatable(L, -2);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &kNodeCacheKey);
}

bool LuaToNode(lua_State* L, int index, Node** out) {
  switch (lua_type(L, index)) {
    case LUA_TNIL:
      *out = nullptr;
      return true;
    case LUA_TLIGHTUSERDATA:
      *out = static_cast<Node*>(lua_touserdata(L, index));
      return true;
    case LUA_TUSERDATA: {
      if (!lua_getmetatable(L, index)) return false;
      lua_rawgetp(L, LUA_REGISTRYINDEX, &kNodeMetatableKey);
      const bool isNode = lua_rawequal(L, -1, -2);
      lua_pop(L, 2);
      if (!isNode) return false;
      *out = *static_cast<Node**>(lua_touserdata(L, index));
      return true;
    }
    default:
      return false;
  }
}

void LuaPushNode(lua_State* L, Node* node) {
  if (!node) {
    lua_pushnil(L);
    return;
  }
  lua_rawgetp(L, LUA_REGISTRYINDEX, &kNodeCacheKey);
  if (lua_rawgetp(L, -1, node) == LUA_TUSERDATA) {
    lua_remove(L, -2);
    return;
  }
  lua_pop(L, 1);
  *static_cast<Node**>(lua_newuserdatauv(L, sizeof(Node*), 0)) = node;
  lua_rawgetp(L, LUA_REGISTRYINDEX, &kNodeMetatableKey);
  lua_setmetatable(L, -2);
  lua_pushvalue(L, -1);
  lua_rawsetp(L, -3, node);
  lua_remove(L, -2);
}

// ---- Reading arguments -------------------------------------------------------------------------

std::string LuaTypeName(lua_State* L, int index, int top) {
  return index <= top ? luaL_typename(L, index) : "no value";
}

std::string LuaNumberText(double v) { return Format("%.9g", v); }

bool LuaReadBool(lua_State* L, int index, bool* out) {
  if (lua_type(L, index) != LUA_TBOOLEAN) return false;
  *out = lua_toboolean(L, index) != 0;
  return true;
}

bool LuaReadNumber(lua_State* L, int index, double* out) {
  if (lua_type(L, index) != LUA_TNUMBER) return false;
  *out = double(lua_tonumber(L, index));
  return true;
}

bool LuaReadString(lua_State* L, int index, std::string* out) {
  if (lua_type(L, index) != LUA_TSTRING) return false;
  size_t n = 0;
  const char* s = lua_tolstring(L, index, &n);
  out->assign(s, n);
  return true;
}

bool LuaReadWhole(lua_State* L, int index, lua_Integer lo, lua_Integer hi, lua_Integer* out, std::string* why) {
  if (lua_type(L, index) != LUA_TNUMBER) {
    *why = std::string("whole number expected, got ") + luaL_typename(L, index);
    return false;
  }
  int isInteger = 0;
  const lua_Integer v = lua_tointegerx(L, index, &isInteger);
  if (!isInteger) {
    *why = "whole number expected, got " + LuaNumberText(double(lua_tonumber(L, index)));
    return false;
  }
  if (v < lo || v > hi) {
    *why = std::to_string(v) + " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")";
    return false;
  }
  *out = v;
  return true;
}

int LuaReadComponents(lua_State* L, int index, const char* keys, float out[4]) {
  if (lua_type(L, index) != LUA_TTABLE) return -1;
  index = lua_absindex(L, index);
  if (lua_rawgeti(L, index, 1) != LUA_TNIL) {
    lua_pop(L, 1);
    const lua_Unsigned n = lua_rawlen(L, index);
    if (n > 4) return -1;
    for (lua_Integer k = 1; k <= lua_Integer(n); ++k) {
      const bool ok = lua_rawgeti(L, index, k) == LUA_TNUMBER && std::isfinite(lua_tonumber(L, -1));
      if (ok) out[k - 1] = float(lua_tonumber(L, -1));
      lua_pop(L, 1);
      if (!ok) return -1;
    }
    return int(n);
  }
  lua_pop(L, 1);
  int found = 0;
  const std::string_view letters(keys);
  lua_pushnil(L);
  while (lua_next(L, index)) {
    bool ok = false;
    if (lua_type(L, -2) == LUA_TSTRING && lua_type(L, -1) == LUA_TNUMBER) {
      size_t n = 0;
      const char* key = lua_tolstring(L, -2, &n);
      const size_t at = n == 1 ? letters.find(key[0]) : std::string_view::npos;
      const double v = lua_tonumber(L, -1);
      if (at != std::string_view::npos && std::isfinite(v)) {
        out[at] = float(v);
        found |= 1 << at;
        ok = true;
      }
    }
    lua_pop(L, 1);
    if (!ok) {
      lua_pop(L, 1);
      return -1;
    }
  }
  return found << 8;
}

bool LuaReadVector(lua_State* L, int index, const char* keys, Point3* out, std::string* why) {
  float c[4];
  const int got = LuaReadComponents(L, index, keys, c);
  if (got != 3 && got != (7 << 8)) {
    *why = std::string("{") + keys[0] + ", " + keys[1] + ", " + keys[2] + "} of finite numbers expected, got " +
           (lua_type(L, index) == LUA_TTABLE ? "a table of another shape" : luaL_typename(L, index));
    return false;
  }
  *out = Point3(c[0], c[1], c[2]);
  return true;
}

// ---- Results -----------------------------------------------------------------------------------

LuaOut LuaOut::Vector(const Point3& p, const char* keys) {
  LuaOut o = Table();
  for (int k = 0; k < 3; ++k) o.Set(std::string(1, keys[k]), Number(double(p[k])));
  return o;
}

LuaOut LuaOut::FromValue(const Value& v) {
  switch (v.Type()) {
    case FPType::Void: return Nil();
    case FPType::Bool: return Bool(v.AsBool());
    case FPType::Int: return Int(v.AsInt());
    case FPType::Float: return Number(double(v.AsFloat()));
    case FPType::String: return String(v.AsString());
    case FPType::Node: return NodeValue(v.AsNode());
    case FPType::Point3: return Vector(v.AsPoint3());
  }
  return Nil();
}

bool LuaPushResults(lua_State* L, const std::vector<LuaOut>& results, std::string* error) {
  return LuaProtected(L, PushResultsBody, const_cast<std::vector<LuaOut>*>(&results), int(results.size()), error);
}

}  // namespace host
