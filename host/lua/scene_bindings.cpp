// The `scene` table of scripts. Lua raises errors with longjmp, so this file keeps the rules of
// the script engine (host/lua_engine.cpp):
//
//  * SceneFunction, the one C function every entry of the table is, is LuaRaising around
//    SceneFunctionImpl, which does the C++ work, catches everything and leaves the failure as text;
//    only after it has returned is the Lua error raised.
//  * Arguments are read with the readers of host/lua/lua_values.h, which never raise. Results are
//    built as LuaOut values first and pushed in one protected call, so that an allocation failure
//    while pushing stays inside it.
#include "host/lua/scene_bindings.h"

#include <lua.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/core/status.h"
#include "host/core/text.h"
#include "host/lua/lua_engine.h"
#include "host/lua/lua_values.h"
#include "host/core/undo.h"
#include "host/objects/class_registry.h"
#include "host/scene/notify.h"
#include "host/scene/scene.h"
#include "host/scene_file/scene_file.h"

namespace host {

namespace {

constexpr const char* kTableName = "scene";

// A failure of a scene function; its text is the whole message the script sees.
class BindingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Out = LuaOut;

// ---- One call of a scene function ----------------------------------------------------------------

struct Binding;

class Call {
 public:
  Call(lua_State* state, Scene& s, const Binding& binding) : L(state), scene(s), b_(binding), top_(lua_gettop(state)) {}

  lua_State* const L;
  Scene& scene;
  std::vector<Out> results;

  void Return(Out o) { results.push_back(std::move(o)); }
  std::string Qualified() const;
  [[noreturn]] void Fail(const std::string& what) const { throw BindingError(Qualified() + ": " + what); }
  [[noreturn]] void ArgError(int i, const std::string& what) const;

  bool Given(int i) const { return i <= top_ && lua_type(L, i) != LUA_TNIL; }
  std::string TypeOf(int i) const { return LuaTypeName(L, i, top_); }

  std::string String(int i) const {
    std::string s;
    if (!LuaReadString(L, i, &s)) ArgError(i, "string expected, got " + TypeOf(i));
    return s;
  }
  std::string OptString(int i) const { return Given(i) ? String(i) : std::string(); }

  double Number(int i) const {
    double v = 0.0;
    if (!LuaReadNumber(L, i, &v)) ArgError(i, "number expected, got " + TypeOf(i));
    if (!std::isfinite(v)) ArgError(i, "finite number expected, got " + LuaNumberText(v));
    return v;
  }

  // A whole number in [lo, hi].
  lua_Integer Integer(int i, lua_Integer lo, lua_Integer hi) const {
    lua_Integer v = 0;
    std::string why;
    if (!LuaReadWhole(L, i, lo, hi, &v, &why)) ArgError(i, why);
    return v;
  }

  bool Boolean(int i) const {
    bool b = false;
    if (!LuaReadBool(L, i, &b)) ArgError(i, "boolean expected, got " + TypeOf(i));
    return b;
  }

  // A node of this scene; nil only when `optional` (then null).
  Node* NodeArg(int i, bool optional = false) const {
    if (optional && !Given(i)) return nullptr;
    Node* node = nullptr;
    if (i > top_ || !LuaToNode(L, i, &node) || !node) ArgError(i, "node expected, got " + TypeOf(i));
    return Checked(i, node);
  }

  // The node value checked against the scene's nodes by address only: a node that was deleted is
  // refused without being read.
  Node* Checked(int i, Node* node) const {
    const auto& nodes = scene.Nodes();
    if (std::none_of(nodes.begin(), nodes.end(), [&](const auto& n) { return n.get() == node; }))
      ArgError(i, "the node is not in the scene (deleted, or from another scene)");
    return node;
  }

  // A frame as ticks; empty when left out.
  std::optional<TimeValue> Frame(int i) const {
    if (!Given(i)) return std::nullopt;
    return FrameTicks(i);
  }
  TimeValue FrameTicks(int i) const {
    const double frame = Number(i);
    const double ticks = std::round(frame * scene.time.TicksPerFrame());
    if (ticks < double(INT32_MIN) || ticks > double(INT32_MAX))
      ArgError(i, "frame " + LuaNumberText(frame) + " is outside the scene's time range");
    return TimeValue(ticks);
  }
  TimeValue FrameOrNow(int i) const { return Frame(i).value_or(scene.time.currentTime); }

  // Three components: "xyz" for points, "rgb" for colours.
  Point3 Vector(int i, const char* keys) const {
    Point3 p;
    std::string why;
    if (!LuaReadVector(L, i, keys, &p, &why)) ArgError(i, why);
    return p;
  }

  // Euler degrees {x, y, z} applied x first, or a quaternion {x, y, z, w}.
  Quat Rotation(int i) const {
    float c[4];
    const int got = LuaReadComponents(L, i, "xyzw", c);
    constexpr float kRadians = 3.14159265358979f / 180.0f;
    if (got == 3 || got == (7 << 8)) return Quat::EulerXYZ(c[0] * kRadians, c[1] * kRadians, c[2] * kRadians);
    if (got == 4 || got == (15 << 8)) {
      const double len = std::sqrt(double(c[0]) * c[0] + double(c[1]) * c[1] + double(c[2]) * c[2] + double(c[3]) * c[3]);
      if (!(len > 1e-6)) ArgError(i, "a quaternion of zero length is no rotation");
      return Quat(c[0], c[1], c[2], c[3]).Normalized();
    }
    ArgError(i, "Euler degrees {x, y, z} or a quaternion {x, y, z, w} expected, got " +
                    (lua_type(L, i) == LUA_TTABLE ? std::string("a table of another shape") : TypeOf(i)));
  }

 private:
  const Binding& b_;
  int top_;
};

struct Binding {
  const char* name;
  int required;                      // arguments that must be given
  std::array<const char*, 4> args;   // names, for messages; unused slots null
  void (*run)(Call&);

  int Count() const {
    int n = 0;
    while (n < int(args.size()) && args[size_t(n)]) ++n;
    return n;
  }
  std::string Usage() const {
    std::string u = std::string(kTableName) + "." + name + "(";
    for (int k = 0; k < Count(); ++k) {
      if (k == required) u += k ? " [, " : "[";
      else if (k) u += ", ";
      u += args[size_t(k)];
    }
    if (Count() > required) u += "]";
    return u + ")";
  }
};

std::string Call::Qualified() const { return std::string(kTableName) + "." + b_.name; }

void Call::ArgError(int i, const std::string& what) const {
  const char* name = i >= 1 && i <= b_.Count() ? b_.args[size_t(i - 1)] : "?";
  throw BindingError("bad argument #" + std::to_string(i) + " '" + name + "' to '" + Qualified() + "' (" + what + ")");
}

// ---- Helpers -----------------------------------------------------------------------------------

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string Joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s.empty() ? "none" : s;
}

std::string ClassNames() {
  std::vector<std::string> names;
  for (const ClassDesc* d : RegisteredClassDescs())
    if (d->IsPublic()) names.emplace_back(d->ClassName());
  std::sort(names.begin(), names.end());
  return Joined(names);
}

std::vector<std::string> ParamNames(const Object& obj) {
  std::vector<std::string> names;
  for (int k = 0; k < obj.NumParamBlocks(); ++k)
    for (const ParamDef& d : obj.GetParamBlock(k)->Desc().params) names.push_back(d.name);
  return names;
}

double TicksToFrames(const Scene& scene, TimeValue t) { return double(t) / scene.time.TicksPerFrame(); }

Out NodeList(const std::vector<Node*>& nodes) {
  Out list = Out::Table();
  // A list entry without a node is false: nil would end the list in Lua.
  for (Node* n : nodes) list.items.push_back(n ? Out::NodeValue(n) : Out::Bool(false));
  return list;
}

// The parameter `name` (argument `nameArg`) of the node's object.
ParamRef FindNodeParam(const Call& c, const Node* node, int nameArg) {
  const std::string name = c.String(nameArg);
  const Object* obj = node->GetObject();
  if (!obj) c.Fail("node " + Quoted(node->Name()) + " has no object, so no parameter " + Quoted(name));
  const ParamRef ref = FindParam(*obj, name);
  if (!ref) {
    c.Fail("node " + Quoted(node->Name()) + " (" + std::string(obj->ClassName()) + ") has no parameter " + Quoted(name) +
           "; its parameters: " + Joined(ParamNames(*obj)));
  }
  return ref;
}

// ---- The functions -------------------------------------------------------------------------------

void Create(Call& c) {
  const std::string className = c.String(1);
  const std::string name = c.OptString(2);
  Node* parent = c.NodeArg(3, true);
  const ClassDesc* desc = FindClassDesc(className);
  if (!desc) c.Fail("no class is called " + Quoted(className) + "; the classes are: " + ClassNames());
  std::string error;
  std::unique_ptr<Object> obj = CreateObject(*desc, &error);
  if (!obj) c.Fail(error);
  c.Return(Out::NodeValue(c.scene.CreateNode(name, std::move(obj), parent)));
  c.scene.NoteChange();
}

void CreateNode(Call& c) {
  const std::string name = c.OptString(1);
  Node* parent = c.NodeArg(2, true);
  c.Return(Out::NodeValue(c.scene.CreateNode(name, nullptr, parent)));
  c.scene.NoteChange();
}

void Find(Call& c) {
  if (lua_type(c.L, 1) == LUA_TNUMBER) {
    c.Return(Out::NodeValue(c.scene.FindNode(uint32_t(c.Integer(1, 1, UINT32_MAX)))));
  } else {
    if (lua_type(c.L, 1) != LUA_TSTRING) c.ArgError(1, "node name or handle expected, got " + c.TypeOf(1));
    c.Return(Out::NodeValue(c.scene.FindNode(c.String(1))));
  }
}

void Nodes(Call& c) {
  std::vector<Node*> nodes;
  for (const auto& n : c.scene.Nodes()) nodes.push_back(n.get());
  c.Return(NodeList(nodes));
}

void Info(Call& c) {
  const Node* n = c.NodeArg(1);
  Out info = Out::Table();
  info.Set("name", Out::String(n->Name()));
  info.Set("handle", Out::Int(lua_Integer(n->Handle())));
  info.Set("parent", Out::NodeValue(n->Parent()));
  info.Set("children", NodeList(n->Children()));
  if (const Object* obj = n->GetObject()) info.Set("class", Out::String(std::string(obj->ClassName())));
  info.Set("selected", Out::Bool(n->selected));
  info.Set("renderable", Out::Bool(n->renderable));
  info.Set("boxMode", Out::Bool(n->boxMode));
  c.Return(std::move(info));
}

void UniqueName(Call& c) { c.Return(Out::String(c.scene.MakeUniqueName(c.String(1)))); }

void SetRenderable(Call& c) {
  Node* n = c.NodeArg(1);
  const bool on = c.Boolean(2);
  c.scene.HoldNode(n);
  n->renderable = on;
  c.scene.NoteChange();
}

void SetBoxMode(Call& c) {
  Node* n = c.NodeArg(1);
  const bool on = c.Boolean(2);
  c.scene.HoldNode(n);
  n->boxMode = on;
  c.scene.NoteChange();
}

void SetParent(Call& c) {
  Node* n = c.NodeArg(1);
  Node* parent = c.NodeArg(2, true);
  std::string why;
  c.scene.HoldNode(n);
  if (!n->SetParent(parent, &why)) c.Fail(why);
  c.scene.NoteChange();
}

void Select(Call& c) {
  Node* n = c.NodeArg(1);
  const bool on = c.Given(2) ? c.Boolean(2) : true;
  c.scene.HoldNode(n);
  n->selected = on;
  c.scene.NoteChange();
}

template <class T>
void SetTrack(Call& c, Node* node, Track<T>& track, const T& value, std::optional<TimeValue> t) {
  c.scene.HoldNode(node);
  if (t) track.SetKey(*t, value);
  else track.Set(c.scene.time.currentTime, value, false);
  c.scene.NoteChange();
}

void SetPosition(Call& c) {
  Node* n = c.NodeArg(1);
  SetTrack(c, n, n->transform.position, c.Vector(2, "xyz"), c.Frame(3));
}
void SetRotation(Call& c) {
  Node* n = c.NodeArg(1);
  SetTrack(c, n, n->transform.rotation, c.Rotation(2), c.Frame(3));
}
void SetScale(Call& c) {
  Node* n = c.NodeArg(1);
  SetTrack(c, n, n->transform.scale, c.Vector(2, "xyz"), c.Frame(3));
}

void GetPosition(Call& c) {
  const Node* n = c.NodeArg(1);
  c.Return(Out::Vector(n->transform.position.Eval(c.FrameOrNow(2))));
}
void GetRotation(Call& c) {
  const Node* n = c.NodeArg(1);
  const Quat q = n->transform.rotation.Eval(c.FrameOrNow(2));
  Out o = Out::Table();
  o.Set("x", Out::Number(q.x)).Set("y", Out::Number(q.y)).Set("z", Out::Number(q.z)).Set("w", Out::Number(q.w));
  c.Return(std::move(o));
}
void GetScale(Call& c) {
  const Node* n = c.NodeArg(1);
  c.Return(Out::Vector(n->transform.scale.Eval(c.FrameOrNow(2))));
}
void WorldPosition(Call& c) {
  const Node* n = c.NodeArg(1);
  c.Return(Out::Vector(n->GetNodeTM(c.FrameOrNow(2)).GetTrans()));
}

void SetParam(Call& c) {
  Node* n = c.NodeArg(1);
  const ParamRef p = FindNodeParam(c, n, 2);
  const ParamDef& d = *p.def;
  const std::optional<TimeValue> frame = c.Frame(4);
  if (frame && !d.animatable)
    c.Fail("parameter " + Quoted(d.name) + " cannot be animated, so it takes no frame");
  const TimeValue t = frame.value_or(c.scene.time.currentTime);
  const std::string what = "parameter " + Quoted(d.name) + " is a " + std::string(ParamTypeName(d.type)) + " value: ";
  constexpr int v = 3;
  bool ok = false;
  switch (d.type) {
    case ParamType::Float:
    case ParamType::World:
      if (lua_type(c.L, v) != LUA_TNUMBER) c.ArgError(v, what + "number expected, got " + c.TypeOf(v));
      ok = p.block->SetFloat(p.id, t, float(c.Number(v)), frame.has_value());
      break;
    case ParamType::Int:
      if (lua_type(c.L, v) != LUA_TNUMBER) c.ArgError(v, what + "whole number expected, got " + c.TypeOf(v));
      ok = p.block->SetInt(p.id, t, int(c.Integer(v, INT32_MIN, INT32_MAX)));
      break;
    case ParamType::Bool:
      if (lua_type(c.L, v) != LUA_TBOOLEAN) c.ArgError(v, what + "boolean expected, got " + c.TypeOf(v));
      ok = p.block->SetBool(p.id, t, c.Boolean(v));
      break;
    case ParamType::Colour:
      if (lua_type(c.L, v) != LUA_TTABLE) c.ArgError(v, what + "{r, g, b} expected, got " + c.TypeOf(v));
      ok = p.block->SetColour(p.id, t, c.Vector(v, "rgb"), frame.has_value());
      break;
    case ParamType::Filename:
      if (lua_type(c.L, v) != LUA_TSTRING) c.ArgError(v, what + "string expected, got " + c.TypeOf(v));
      ok = p.block->SetString(p.id, t, c.String(v));
      break;
    case ParamType::Node: {
      Node* node = nullptr;
      if (!LuaToNode(c.L, v, &node)) c.ArgError(v, what + "node or nil expected, got " + c.TypeOf(v));
      ok = p.block->SetNode(p.id, t, node ? c.Checked(v, node) : nullptr);
      break;
    }
    case ParamType::NodeList: {
      if (lua_type(c.L, v) != LUA_TTABLE) c.ArgError(v, what + "list of nodes expected, got " + c.TypeOf(v));
      std::vector<Node*> nodes;
      const lua_Unsigned count = lua_rawlen(c.L, v);
      for (lua_Unsigned k = 1; k <= count; ++k) {
        lua_rawgeti(c.L, v, lua_Integer(k));
        Node* node = nullptr;
        const bool none = lua_type(c.L, -1) == LUA_TBOOLEAN && !lua_toboolean(c.L, -1);
        const bool isNode = none || (lua_type(c.L, -1) != LUA_TNIL && LuaToNode(c.L, -1, &node));
        const std::string type = luaL_typename(c.L, -1);
        lua_pop(c.L, 1);
        if (!isNode) c.ArgError(v, what + "entry " + std::to_string(k) + " is a " + type + ", not a node (or false)");
        nodes.push_back(node ? c.Checked(v, node) : nullptr);
      }
      ok = p.block->SetNodes(p.id, std::move(nodes));
      break;
    }
  }
  if (!ok) c.Fail("parameter " + Quoted(d.name) + " did not take the value");
}

void GetParam(Call& c) {
  const Node* n = c.NodeArg(1);
  const ParamRef p = FindNodeParam(c, n, 2);
  const TimeValue t = c.FrameOrNow(3);
  const ParamBlock& b = *p.block;
  switch (p.def->type) {
    case ParamType::Float:
    case ParamType::World: c.Return(Out::Number(double(*b.GetFloat(p.id, t)))); break;
    case ParamType::Int: c.Return(Out::Int(*b.GetInt(p.id, t))); break;
    case ParamType::Bool: c.Return(Out::Bool(*b.GetBool(p.id, t))); break;
    case ParamType::Colour: c.Return(Out::Vector(*b.GetColour(p.id, t), "rgb")); break;
    case ParamType::Filename: c.Return(Out::String(*b.GetString(p.id, t))); break;
    case ParamType::Node: c.Return(Out::NodeValue(*b.GetNode(p.id, t))); break;
    case ParamType::NodeList: c.Return(NodeList(b.GetNodes(p.id))); break;
  }
}

void Params(Call& c) {
  const Node* n = c.NodeArg(1);
  Out list = Out::Table();
  if (const Object* obj = n->GetObject())
    for (const std::string& name : ParamNames(*obj)) list.items.push_back(Out::String(name));
  c.Return(std::move(list));
}

void Settings(Call& c) {
  const Scene& s = c.scene;
  Out o = Out::Table();
  o.Set("frameRate", Out::Int(s.time.frameRate));
  o.Set("ticksPerFrame", Out::Int(s.time.TicksPerFrame()));
  o.Set("startFrame", Out::Number(TicksToFrames(s, s.time.animStart)));
  o.Set("endFrame", Out::Number(TicksToFrames(s, s.time.animEnd)));
  o.Set("frame", Out::Number(TicksToFrames(s, s.time.currentTime)));
  o.Set("metresPerUnit", Out::Number(s.time.metresPerUnit));
  o.Set("width", Out::Int(s.render.width));
  o.Set("height", Out::Int(s.render.height));
  c.Return(std::move(o));
}

void SetFrameRate(Call& c) {
  const int fps = int(c.Integer(1, 1, kTicksPerSecond));
  c.scene.HoldSettings();
  c.scene.time.frameRate = fps;
  c.scene.NoteChange();
}

void SetFrame(Call& c) {
  const TimeValue t = c.FrameTicks(1);
  c.scene.HoldSettings();
  c.scene.time.currentTime = t;
  c.scene.NoteChange();
}

void SetRange(Call& c) {
  const TimeValue start = c.FrameTicks(1), end = c.FrameTicks(2);
  if (end < start) c.ArgError(2, "the end frame comes before the start frame");
  c.scene.HoldSettings();
  c.scene.time.animStart = start;
  c.scene.time.animEnd = end;
  c.scene.NoteChange();
}

void SetUnitScale(Call& c) {
  const double m = c.Number(1);
  if (!(m > 0.0) || m > 1e6) c.ArgError(1, LuaNumberText(m) + " is not a unit scale (above 0, at most 1e6 metres per unit)");
  c.scene.HoldSettings();
  c.scene.time.metresPerUnit = m;
  c.scene.NoteChange();
}

void SetRenderSize(Call& c) {
  const auto width = int(c.Integer(1, 1, 65535));
  const auto height = int(c.Integer(2, 1, 65535));
  c.scene.HoldSettings();
  c.scene.render.width = width;
  c.scene.render.height = height;
  c.scene.NoteChange();
}

void Save(Call& c) {
  const std::string file = c.String(1);
  if (file.empty()) c.ArgError(1, "empty file name");
  std::string error;
  if (!SaveScene(c.scene, file, &error)) c.Fail(error);
}

const Binding kBindings[] = {
    {"create", 1, {"class", "name", "parent"}, Create},
    {"createNode", 0, {"name", "parent"}, CreateNode},
    {"find", 1, {"name"}, Find},
    {"nodes", 0, {}, Nodes},
    {"info", 1, {"node"}, Info},
    {"uniqueName", 1, {"base"}, UniqueName},
    {"setRenderable", 2, {"node", "on"}, SetRenderable},
    {"setBoxMode", 2, {"node", "on"}, SetBoxMode},
    {"setParent", 1, {"node", "parent"}, SetParent},
    {"select", 1, {"node", "on"}, Select},
    {"setPosition", 2, {"node", "position", "frame"}, SetPosition},
    {"setRotation", 2, {"node", "rotation", "frame"}, SetRotation},
    {"setScale", 2, {"node", "scale", "frame"}, SetScale},
    {"getPosition", 1, {"node", "frame"}, GetPosition},
    {"getRotation", 1, {"node", "frame"}, GetRotation},
    {"getScale", 1, {"node", "frame"}, GetScale},
    {"worldPosition", 1, {"node", "frame"}, WorldPosition},
    {"setParam", 3, {"node", "name", "value", "frame"}, SetParam},
    {"getParam", 2, {"node", "name", "frame"}, GetParam},
    {"params", 1, {"node"}, Params},
    {"settings", 0, {}, Settings},
    {"setFrameRate", 1, {"fps"}, SetFrameRate},
    {"setFrame", 1, {"frame"}, SetFrame},
    {"setRange", 2, {"startFrame", "endFrame"}, SetRange},
    {"setUnitScale", 1, {"metresPerUnit"}, SetUnitScale},
    {"setRenderSize", 2, {"width", "height"}, SetRenderSize},
    {"save", 1, {"file"}, Save},
};
constexpr size_t kBindingCount = sizeof kBindings / sizeof kBindings[0];

// ---- The C side --------------------------------------------------------------------------------

void Copy(char* out, const std::string& text) { FormatInto(out, kLuaMessageSize, "%s", text.c_str()); }

// Runs the function named by the closure's upvalues and pushes its results. Returns their number,
// or -1 with the message in `message`. Never raises a Lua error and never throws.
int SceneFunctionImpl(lua_State* L, char* message) noexcept {
  try {
    auto* scene = static_cast<Scene*>(lua_touserdata(L, lua_upvalueindex(1)));
    const lua_Integer index = lua_tointeger(L, lua_upvalueindex(2));
    if (!scene || index < 0 || size_t(index) >= kBindingCount) {
      Copy(message, "scene function called without its scene");
      return -1;
    }
    const Binding& b = kBindings[index];
    const int given = lua_gettop(L);
    if (given < b.required || given > b.Count()) {
      Copy(message, b.Usage() + ": " + std::to_string(given) + " argument" + (given == 1 ? "" : "s") + " given");
      return -1;
    }
    Call call(L, *scene, b);
    b.run(call);
    std::string error;
    if (!LuaPushResults(L, call.results, &error)) {
      Copy(message, call.Qualified() + ": " + error);
      return -1;
    }
    return int(call.results.size());
  } catch (const std::exception& e) {
    Copy(message, e.what());
  } catch (...) {
    Copy(message, "scene function failed with an unknown error");
  }
  return -1;
}

constexpr lua_CFunction SceneFunction = LuaRaising<SceneFunctionImpl>;

struct BindRequest {
  Scene* scene;
  bool taken;
};

int BindBody(lua_State* L) {
  auto* r = static_cast<BindRequest*>(lua_touserdata(L, 1));
  if (lua_getglobal(L, kTableName) != LUA_TNIL) {
    r->taken = true;
    return 0;
  }
  lua_pop(L, 1);
  lua_createtable(L, 0, int(kBindingCount));
  for (size_t k = 0; k < kBindingCount; ++k) {
    lua_pushlightuserdata(L, r->scene);
    lua_pushinteger(L, lua_Integer(k));
    lua_pushcclosure(L, SceneFunction, 2);
    lua_setfield(L, -2, kBindings[k].name);
  }
  lua_setglobal(L, kTableName);
  return 0;
}


// ---- Callbacks: script handlers of the host's notifications ------------------------------------
//
// callbacks.add(event, fn) keeps fn in the registry under a number and listens to the host's
// notifications (host/scene/notify.h) for the engine's scene; callbacks.remove(number) drops it.
// Each handler call is one LuaEngine::RunHandler: an undo step of its own, cancelled when the
// handler fails, so a failing handler leaves the scene as it found it, while the change or the
// command that raised the notification goes on. Notifications raised by a handler's own changes
// are not delivered to the engine's handlers (a paramChanged handler that sets a parameter would
// otherwise call itself without end).

constexpr const char* kCallbacksName = "callbacks";
// Indexed by NotifyCode.
constexpr const char* kEventNames[] = {"paramChanged", "frameBaked"};
constexpr int kEventCount = int(sizeof kEventNames / sizeof kEventNames[0]);
char kHandlersKey;  // registry key of the table number -> {event, function}

// A full userdata of the engine's state, so it lives as long as the engine; trivially destructible.
struct HandlerState {
  LuaEngine* engine;
  Scene* scene;
  int listener;          // notification handle; 0 while not listening
  lua_Integer nextId;    // the number the next handler gets
  lua_Integer count;     // handlers kept
  bool running;          // one of the handlers runs now
};

struct DeliverRequest {
  HandlerState* state;
  lua_Integer id;
  const Notification* notification;
};

// Calls handler `id` when it is kept for the notification's event. Runs in protected mode.
int DeliverBody(lua_State* L) {
  auto* r = static_cast<DeliverRequest*>(lua_touserdata(L, 1));
  lua_rawgetp(L, LUA_REGISTRYINDEX, &kHandlersKey);
  if (lua_type(L, -1) != LUA_TTABLE || lua_rawgeti(L, -1, r->id) != LUA_TTABLE) return 0;
  lua_rawgeti(L, -1, 1);
  if (lua_tointeger(L, -1) != lua_Integer(r->notification->code)) return 0;
  lua_rawgeti(L, -2, 2);
  LuaPushNode(L, r->notification->node);
  if (r->notification->code == NotifyCode::kParamChanged) {
    lua_pushlstring(L, r->notification->param.data(), r->notification->param.size());
  } else {
    lua_pushinteger(L, r->notification->frame);
  }
  lua_call(L, 2, 0);
  return 0;
}

std::string Deliver(HandlerState* st, const Notification& n) {
  const int event = int(n.code);
  if (st->running || st->count == 0 || event < 0 || event >= kEventCount || !n.node ||
      n.node->GetScene() != st->scene)
    return {};
  st->running = true;
  std::string first;
  const lua_Integer last = st->nextId;
  for (lua_Integer id = 1; id < last; ++id) {
    DeliverRequest request{st, id, &n};
    const ScriptResult r = st->engine->RunHandler(DeliverBody, &request, "Lua handler");
    if (r.ok) continue;
    std::string text = std::string(kEventNames[event]) + " handler failed, its changes undone: " + r.message;
    st->engine->Report(text);
    if (first.empty()) first = std::move(text);
  }
  st->running = false;
  return first;
}

HandlerState* StateOf(lua_State* L) { return static_cast<HandlerState*>(lua_touserdata(L, lua_upvalueindex(1))); }

struct AddRequest {
  int event;
  lua_Integer id;
};

// Keeps the function (argument 2) under the request's number (argument 1). Protected mode.
int KeepHandlerBody(lua_State* L) {
  auto* r = static_cast<AddRequest*>(lua_touserdata(L, 1));
  lua_rawgetp(L, LUA_REGISTRYINDEX, &kHandlersKey);
  lua_createtable(L, 2, 0);
  lua_pushinteger(L, r->event);
  lua_rawseti(L, -2, 1);
  lua_pushvalue(L, 2);
  lua_rawseti(L, -2, 2);
  lua_rawseti(L, -2, r->id);
  lua_pop(L, 1);
  return 0;
}

int CallbacksAddImpl(lua_State* L, char* message) noexcept {
  try {
    HandlerState* st = StateOf(L);
    std::string names;
    for (const char* e : kEventNames) names += (names.empty() ? "" : ", ") + std::string(e);
    std::string event;
    if (lua_gettop(L) != 2) {
      Copy(message, "callbacks.add(event, handler): " + std::to_string(lua_gettop(L)) + " arguments given");
      return -1;
    }
    if (!LuaReadString(L, 1, &event)) {
      Copy(message, "bad argument #1 'event' to 'callbacks.add' (string expected, got " + LuaTypeName(L, 1, 2) + ")");
      return -1;
    }
    int code = 0;
    while (code < kEventCount && event != kEventNames[code]) ++code;
    if (code == kEventCount) {
      Copy(message, "bad argument #1 'event' to 'callbacks.add' (no event is called " + Quoted(event) + "; the events are: " +
                        names + ")");
      return -1;
    }
    if (lua_type(L, 2) != LUA_TFUNCTION) {
      Copy(message, "bad argument #2 'handler' to 'callbacks.add' (function expected, got " + LuaTypeName(L, 2, 2) + ")");
      return -1;
    }
    if (st->listener == 0)
      st->listener = RegisterNotification([st](const Notification& n) { return Deliver(st, n); });
    AddRequest request{code, st->nextId};
    lua_settop(L, 2);
    if (!lua_checkstack(L, 3)) {
      Copy(message, "callbacks.add: no room on the Lua stack");
      return -1;
    }
    lua_pushcfunction(L, KeepHandlerBody);
    lua_pushlightuserdata(L, &request);
    lua_pushvalue(L, 2);
    if (lua_pcall(L, 2, 0, 0) != LUA_OK) {
      Copy(message, "callbacks.add: " + LuaPopErrorText(L));
      return -1;
    }
    ++st->nextId;
    ++st->count;
    lua_settop(L, 0);
    lua_pushinteger(L, request.id);
    return 1;
  } catch (const std::exception& e) {
    Copy(message, std::string("callbacks.add: ") + e.what());
  } catch (...) {
    Copy(message, "callbacks.add failed with an unknown error");
  }
  return -1;
}

int CallbacksAdd(lua_State* L) {
  char message[kLuaMessageSize];  // only trivial locals here: luaL_error jumps over this frame
  const int results = CallbacksAddImpl(L, message);
  if (results < 0) return luaL_error(L, "%s", message);
  return results;
}

// callbacks.remove(number): true when a handler was kept under it.
int CallbacksRemove(lua_State* L) {
  HandlerState* st = StateOf(L);
  const lua_Integer id = luaL_checkinteger(L, 1);
  lua_rawgetp(L, LUA_REGISTRYINDEX, &kHandlersKey);
  const bool kept = lua_rawgeti(L, -1, id) != LUA_TNIL;
  lua_pop(L, 1);
  if (kept) {
    lua_pushnil(L);
    lua_rawseti(L, -2, id);
    --st->count;
  }
  lua_pushboolean(L, kept);
  return 1;
}

// The engine closes: stop listening before the state goes.
int HandlerStateGc(lua_State* L) {
  auto* st = static_cast<HandlerState*>(lua_touserdata(L, 1));
  if (st && st->listener != 0) {
    UnRegisterNotification(st->listener);
    st->listener = 0;
  }
  return 0;
}

struct CallbacksRequest {
  LuaEngine* engine;
  Scene* scene;
  bool taken;
};

int BindCallbacksBody(lua_State* L) {
  auto* r = static_cast<CallbacksRequest*>(lua_touserdata(L, 1));
  if (lua_getglobal(L, kCallbacksName) != LUA_TNIL) {
    r->taken = true;
    return 0;
  }
  lua_pop(L, 1);
  lua_newtable(L);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &kHandlersKey);
  auto* st = static_cast<HandlerState*>(lua_newuserdatauv(L, sizeof(HandlerState), 0));
  *st = HandlerState{r->engine, r->scene, 0, 1, 0, false};
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, HandlerStateGc);
  lua_setfield(L, -2, "__gc");
  lua_setmetatable(L, -2);
  lua_createtable(L, 0, 2);
  lua_pushvalue(L, -2);
  lua_pushcclosure(L, CallbacksAdd, 1);
  lua_setfield(L, -2, "add");
  lua_pushvalue(L, -2);
  lua_pushcclosure(L, CallbacksRemove, 1);
  lua_setfield(L, -2, "remove");
  lua_setglobal(L, kCallbacksName);
  lua_pop(L, 1);
  return 0;
}

}  // namespace

bool BindScene(LuaEngine& engine, Scene& scene, std::string* message) {
  BindRequest request{&scene, false};
  std::string error;
  if (!LuaProtected(engine.State(), BindBody, &request, 0, &error)) {
    return Fail(message, "cannot add the scene functions: " + error);
  }
  if (request.taken) {
    return Fail(message, std::string("cannot add the scene functions: a global called \"") + kTableName + "\" exists already");
  }
  // Scripts run as one undo step of the scene, so that a failing one leaves it as it was.
  engine.SetUndo(&scene.Undo());
  CallbacksRequest callbacks{&engine, &scene, false};
  if (!LuaProtected(engine.State(), BindCallbacksBody, &callbacks, 0, &error) || callbacks.taken) {
    if (message) *message = "cannot add the callbacks functions: " + (callbacks.taken ? std::string("a global called \"callbacks\" exists already") : error);
    return false;
  }
  return true;
}

ScriptResult RunSceneScript(Scene& scene, std::string_view code, std::string_view chunkName) {
  ScriptResult result;
  try {
    LuaEngine engine;
    if (!BindScene(engine, scene, &result.message)) return result;
    return engine.RunString(code, chunkName);
  } catch (const std::exception& e) {
    // No engine could start (out of memory).
    result.message = e.what();
  }
  return result;
}

}  // namespace host
