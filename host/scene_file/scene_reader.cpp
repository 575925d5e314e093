// Reading scene files: all or nothing, with one message naming the file and the place of a fault.
#include "host/objects/class_registry.h"
#include "host/scene_file/scene_file.h"

#include <cerrno>
#include <charconv>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <numbers>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/core/status.h"
#include "host/scene_file/scene_document.h"

namespace host {

// Scene files restore nodes under their saved handles.
struct SceneAccess {
  static Node* AddNode(Scene& s, uint32_t handle, std::string name) { return s.AddNode(handle, std::move(name), nullptr); }
};

namespace {

using json = nlohmann::json;

// Names and keys quoted in messages come from the file: a newline in one must not split the
// message, so control characters are written as escapes.
std::string OneLine(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if ((unsigned char)c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", unsigned((unsigned char)c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

// Collects the one message of a failed load.
struct Reader {
  std::string file;
  std::string error;
  int ticksPerFrame = 160;

  bool Fail(const std::string& ptr, const std::string& what) {
    if (error.empty()) error = file + ": " + OneLine((ptr.empty() ? std::string("/") : ptr) + ": " + what);
    return false;
  }
};

std::string Show(const json& j) {
  std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace);
  if (s.size() > 40) s = s.substr(0, 37) + "...";
  return s;
}

const char* TypeName(const json& j) {
  switch (j.type()) {
    case json::value_t::null: return "null";
    case json::value_t::object: return "an object";
    case json::value_t::array: return "an array";
    case json::value_t::string: return "a string";
    case json::value_t::boolean: return "true or false";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "an integer";
    case json::value_t::number_float: return "a number";
    default: return "something else";
  }
}

bool ExpectObject(Reader& r, const json& j, const std::string& ptr, std::initializer_list<const char*> allowed) {
  if (!j.is_object()) return r.Fail(ptr, std::string("expected an object, found ") + TypeName(j));
  for (const auto& [key, value] : j.items()) {
    bool known = false;
    for (const char* a : allowed) known = known || key == a;
    if (!known) return r.Fail(ptr, "unknown key \"" + key + "\"");
  }
  return true;
}

// An integer in [lo, hi], compared before any narrowing: the parser keeps 3e10 as a double and
// 30000000000 as a 64-bit integer, and either would wrap if cast first.
bool ReadInt(Reader& r, const json& j, const std::string& ptr, int64_t lo, int64_t hi, int64_t& out) {
  const std::string range = " is outside " + std::to_string(lo) + " to " + std::to_string(hi);
  if (j.is_number_unsigned()) {
    const uint64_t v = j.get<uint64_t>();
    if (v > uint64_t(INT64_MAX) || int64_t(v) > hi || int64_t(v) < lo) return r.Fail(ptr, Show(j) + range);
    out = int64_t(v);
    return true;
  }
  if (j.is_number_integer()) {
    const int64_t v = j.get<int64_t>();
    if (v < lo || v > hi) return r.Fail(ptr, Show(j) + range);
    out = v;
    return true;
  }
  if (j.is_number_float()) {
    const double d = j.get<double>();
    if (!std::isfinite(d) || std::floor(d) != d) return r.Fail(ptr, "expected an integer, found " + Show(j));
    if (d < double(lo) || d > double(hi)) return r.Fail(ptr, Show(j) + range);
    out = int64_t(d);
    return true;
  }
  return r.Fail(ptr, std::string("expected an integer, found ") + TypeName(j));
}

bool ReadInt32(Reader& r, const json& j, const std::string& ptr, int lo, int hi, int& out) {
  int64_t v = 0;
  if (!ReadInt(r, j, ptr, lo, hi, v)) return false;
  out = int(v);
  return true;
}

bool ReadDouble(Reader& r, const json& j, const std::string& ptr, double& out) {
  if (!j.is_number()) return r.Fail(ptr, std::string("expected a number, found ") + TypeName(j));
  out = j.get<double>();
  if (!std::isfinite(out)) return r.Fail(ptr, Show(j) + " is not a finite number");
  return true;
}

bool ReadFloat(Reader& r, const json& j, const std::string& ptr, float& out) {
  double d = 0;
  if (!ReadDouble(r, j, ptr, d)) return false;
  if (std::fabs(d) > double(FLT_MAX)) return r.Fail(ptr, Show(j) + " is too large");
  out = float(d);
  return true;
}

bool ReadBool(Reader& r, const json& j, const std::string& ptr, bool& out) {
  if (!j.is_boolean()) return r.Fail(ptr, std::string("expected true or false, found ") + TypeName(j));
  out = j.get<bool>();
  return true;
}

bool ReadString(Reader& r, const json& j, const std::string& ptr, std::string& out) {
  if (!j.is_string()) return r.Fail(ptr, std::string("expected a string, found ") + TypeName(j));
  out = j.get<std::string>();
  return true;
}

bool ReadFloats(Reader& r, const json& j, const std::string& ptr, size_t n, float* out) {
  if (!j.is_array() || j.size() != n) return r.Fail(ptr, "expected an array of " + std::to_string(n) + " numbers");
  for (size_t i = 0; i < n; ++i)
    if (!ReadFloat(r, j[i], ptr + "/" + std::to_string(i), out[i])) return false;
  return true;
}

bool ReadPoint3(Reader& r, const json& j, const std::string& ptr, Point3& out) {
  float v[3];
  if (!ReadFloats(r, j, ptr, 3, v)) return false;
  out = {v[0], v[1], v[2]};
  return true;
}

// Quaternion [x, y, z, w], or Euler degrees [x, y, z].
bool ReadRotation(Reader& r, const json& j, const std::string& ptr, Quat& out) {
  if (j.is_array() && j.size() == 3) {
    float e[3];
    if (!ReadFloats(r, j, ptr, 3, e)) return false;
    const float k = std::numbers::pi_v<float> / 180.0f;
    out = Quat::EulerXYZ(e[0] * k, e[1] * k, e[2] * k);
    return true;
  }
  if (!j.is_array() || j.size() != 4)
    return r.Fail(ptr, "expected a quaternion [x, y, z, w] or Euler degrees [x, y, z]");
  float q[4];
  if (!ReadFloats(r, j, ptr, 4, q)) return false;
  const double len = std::sqrt(double(q[0]) * q[0] + double(q[1]) * q[1] + double(q[2]) * q[2] + double(q[3]) * q[3]);
  if (!(len > 1e-6) || !std::isfinite(len)) return r.Fail(ptr, "a quaternion of zero length is no rotation");
  out = Quat(q[0], q[1], q[2], q[3]).Normalized();
  return true;
}

bool ReadTicks(Reader& r, const json& j, const std::string& ptr, TimeValue& out) {
  double frame = 0;
  if (!ReadDouble(r, j, ptr, frame)) return false;
  const double ticks = std::round(frame * r.ticksPerFrame);
  if (ticks < double(INT32_MIN) || ticks > double(INT32_MAX))
    return r.Fail(ptr, "frame " + Show(j) + " is outside the scene's time range");
  out = TimeValue(ticks);
  return true;
}

bool ReadHandle(Reader& r, const json& j, const std::string& ptr, uint32_t& out) {
  int64_t v = 0;
  if (!ReadInt(r, j, ptr, 1, UINT32_MAX, v)) return false;
  out = uint32_t(v);
  return true;
}

// The "value" and "keys" members of an object ({"value": v, "keys": [{"frame": f, "value": v}]});
// either may be missing. The caller has checked the object's other members.
template <class T, class ReadValue>
bool ReadTrack(Reader& r, const json& j, const std::string& ptr, bool animatable, Track<T>& track, ReadValue readValue) {
  if (j.contains("value")) {
    T v{};
    if (!readValue(j["value"], ptr + "/value", v)) return false;
    track.SetConstant(v);
  }
  if (!j.contains("keys")) return true;
  const json& keys = j["keys"];
  const std::string kptr = ptr + "/keys";
  if (!animatable) return r.Fail(kptr, "this value cannot be animated");
  if (!keys.is_array()) return r.Fail(kptr, std::string("expected an array, found ") + TypeName(keys));
  track.ClearKeys();
  std::set<TimeValue> times;
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string p = kptr + "/" + std::to_string(i);
    const json& k = keys[i];
    if (!ExpectObject(r, k, p, {"frame", "value"})) return false;
    if (!k.contains("frame") || !k.contains("value")) return r.Fail(p, "a key needs \"frame\" and \"value\"");
    TimeValue t = 0;
    T v{};
    if (!ReadTicks(r, k["frame"], p + "/frame", t) || !readValue(k["value"], p + "/value", v)) return false;
    if (!times.insert(t).second) return r.Fail(p + "/frame", "two keys at frame " + Show(k["frame"]));
    track.SetKey(t, v);
  }
  return true;
}

bool ReadClassWord(Reader& r, const json& j, const std::string& ptr, uint32_t& out) {
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    const char* b = s.c_str();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) b += 2;
    const char* e = s.c_str() + s.size();
    const auto res = std::from_chars(b, e, out, 16);
    if (b == e || res.ec != std::errc() || res.ptr != e)
      return r.Fail(ptr, "\"" + s + "\" is not a 32-bit hexadecimal number");
    return true;
  }
  int64_t v = 0;
  if (!ReadInt(r, j, ptr, 0, UINT32_MAX, v)) return false;
  out = uint32_t(v);
  return true;
}

// A node reference waiting for every node to exist.
struct PendingRef {
  ParamBlock* block;
  int id;
  bool list;
  std::vector<std::pair<uint32_t, std::string>> handles;  // 0 = no node; with the JSON pointer
};

struct LoadState {
  Reader& r;
  Scene& scene;
  std::vector<PendingRef> refs;
  std::vector<std::pair<Node*, std::pair<uint32_t, std::string>>> parents;
};

bool ReadNodeRef(Reader& r, const json& j, const std::string& ptr, uint32_t& handle) {
  if (j.is_null()) {
    handle = 0;
    return true;
  }
  return ReadHandle(r, j, ptr, handle);
}

// The parameter an entry names by "id", by "name" or by both; null after a failure.
const ParamDef* ReadParamDef(Reader& r, const ParamBlock& block, const json& j, const std::string& ptr) {
  std::string name;
  if (j.contains("name") && !ReadString(r, j["name"], ptr + "/name", name)) return nullptr;
  const std::string blockName = "block " + std::to_string(block.Id());
  if (j.contains("id")) {
    int id = 0;
    if (!ReadInt32(r, j["id"], ptr + "/id", 0, 65535, id)) return nullptr;
    const ParamDef* def = block.Def(id);
    if (!def) {
      r.Fail(ptr + "/id", blockName + " has no parameter " + std::to_string(id));
    } else if (j.contains("name") && block.Desc().FindByName(name) != def) {
      r.Fail(ptr + "/name", "parameter " + std::to_string(id) + " is \"" + def->name + "\", not \"" + name + "\"");
      return nullptr;
    }
    return def;
  }
  if (j.contains("name")) {
    const ParamDef* def = block.Desc().FindByName(name);
    if (!def) r.Fail(ptr + "/name", blockName + " has no parameter \"" + name + "\"");
    return def;
  }
  r.Fail(ptr, "a parameter needs an \"id\" or a \"name\"");
  return nullptr;
}

// A float, world or colour parameter: a track, with keys when it is animatable.
bool ReadTrackParam(Reader& r, ParamBlock& block, const ParamDef& def, const json& j, const std::string& ptr) {
  if (def.type == ParamType::Colour) {
    Point3Track track = *block.GetColourTrack(def.id);
    if (!ReadTrack(r, j, ptr, def.animatable, track,
                   [&](const json& v, const std::string& p, Point3& out) { return ReadPoint3(r, v, p, out); }))
      return false;
    block.SetColourTrack(def.id, std::move(track));
    return true;
  }
  FloatTrack track = *block.GetFloatTrack(def.id);
  if (!ReadTrack(r, j, ptr, def.animatable, track,
                 [&](const json& v, const std::string& p, float& out) { return ReadFloat(r, v, p, out); }))
    return false;
  block.SetFloatTrack(def.id, std::move(track));
  return true;
}

// A node or node list parameter: its handles wait in the load state until every node exists.
bool ReadNodeParam(LoadState& st, ParamBlock& block, const ParamDef& def, const json& value, const std::string& vptr) {
  Reader& r = st.r;
  if (def.type == ParamType::Node) {
    uint32_t h = 0;
    if (!ReadNodeRef(r, value, vptr, h)) return false;
    st.refs.push_back({&block, def.id, false, {{h, vptr}}});
    return true;
  }
  if (!value.is_array()) return r.Fail(vptr, std::string("expected an array of node handles, found ") + TypeName(value));
  PendingRef ref{&block, def.id, true, {}};
  for (size_t i = 0; i < value.size(); ++i) {
    uint32_t h = 0;
    const std::string p = vptr + "/" + std::to_string(i);
    if (!ReadNodeRef(r, value[i], p, h)) return false;
    ref.handles.push_back({h, p});
  }
  st.refs.push_back(std::move(ref));
  return true;
}

// The "value" of a parameter without keys: int, bool, filename, node or node list.
bool ReadValueParam(LoadState& st, ParamBlock& block, const ParamDef& def, const json& j, const std::string& ptr) {
  Reader& r = st.r;
  const json& value = j["value"];
  const std::string vptr = ptr + "/value";
  switch (def.type) {
    case ParamType::Int: {
      int v = 0;
      if (!ReadInt32(r, value, vptr, INT_MIN, INT_MAX, v)) return false;
      block.SetInt(def.id, 0, v);
      return true;
    }
    case ParamType::Bool: {
      bool v = false;
      if (!ReadBool(r, value, vptr, v)) return false;
      block.SetBool(def.id, 0, v);
      return true;
    }
    case ParamType::Filename: {
      std::string v;
      if (!ReadString(r, value, vptr, v)) return false;
      block.SetString(def.id, 0, std::move(v));
      return true;
    }
    case ParamType::Node:
    case ParamType::NodeList: return ReadNodeParam(st, block, def, value, vptr);
    default: return r.Fail(ptr, "parameter of an unknown type");
  }
}

bool ReadParam(LoadState& st, ParamBlock& block, const json& j, const std::string& ptr, std::set<int>& seen) {
  Reader& r = st.r;
  if (!ExpectObject(r, j, ptr, {"id", "name", "value", "keys"})) return false;
  const ParamDef* def = ReadParamDef(r, block, j, ptr);
  if (!def) return false;
  if (!seen.insert(def->id).second) return r.Fail(ptr, "parameter \"" + def->name + "\" is given twice");
  switch (def->type) {
    case ParamType::Float:
    case ParamType::World:
    case ParamType::Colour: return ReadTrackParam(r, block, *def, j, ptr);
    default: break;
  }
  if (j.contains("keys")) return r.Fail(ptr + "/keys", "a " + std::string(ParamTypeName(def->type)) + " parameter has no keys");
  if (!j.contains("value")) return true;
  return ReadValueParam(st, block, *def, j, ptr);
}

// The class an object names by "classId", by "class" or by both; null after a failure.
const ClassDesc* ReadObjectClass(Reader& r, const json& j, const std::string& ptr) {
  std::string name;
  if (j.contains("class") && !ReadString(r, j["class"], ptr + "/class", name)) return nullptr;
  if (!j.contains("classId")) {
    const ClassDesc* desc = name.empty() ? nullptr : FindClassDesc(name);
    if (name.empty()) r.Fail(ptr, "an object needs a \"class\" or a \"classId\"");
    else if (!desc) r.Fail(ptr + "/class", "no class \"" + name + "\" is registered; is its plug-in loaded?");
    return desc;
  }
  const json& id = j["classId"];
  const std::string iptr = ptr + "/classId";
  ClassId cid;
  if (!id.is_array() || id.size() != 2) {
    r.Fail(iptr, "expected two 32-bit words");
    return nullptr;
  }
  if (!ReadClassWord(r, id[0], iptr + "/0", cid.a) || !ReadClassWord(r, id[1], iptr + "/1", cid.b)) return nullptr;
  const ClassDesc* desc = FindClassDesc(cid);
  const std::string shown = "(" + HexWord(cid.a) + ", " + HexWord(cid.b) + ")";
  if (!desc) {
    r.Fail(iptr, "no class " + (name.empty() ? shown : "\"" + name + "\" " + shown) + " is registered; is its plug-in loaded?");
  } else if (!name.empty() && desc->ClassName() != name && desc->InternalName() != name) {
    r.Fail(ptr + "/class", "class id " + shown + " is \"" + std::string(desc->ClassName()) + "\", not \"" + name + "\"");
    return nullptr;
  }
  return desc;
}

// The object's "blocks": each by its id, once, with its parameters.
bool ReadBlocks(LoadState& st, Object& o, const json& blocks, const std::string& bptr) {
  Reader& r = st.r;
  if (!blocks.is_array()) return r.Fail(bptr, std::string("expected an array, found ") + TypeName(blocks));
  std::set<int> seenBlocks;
  for (size_t b = 0; b < blocks.size(); ++b) {
    const std::string p = bptr + "/" + std::to_string(b);
    const json& bj = blocks[b];
    if (!ExpectObject(r, bj, p, {"id", "params"})) return false;
    int bid = 0;
    if (bj.contains("id") && !ReadInt32(r, bj["id"], p + "/id", 0, 65535, bid)) return false;
    ParamBlock* block = o.GetParamBlockById(bid);
    if (!block) return r.Fail(p + "/id", "a " + std::string(o.ClassName()) + " object has no parameter block " + std::to_string(bid));
    if (!seenBlocks.insert(bid).second) return r.Fail(p + "/id", "block " + std::to_string(bid) + " is given twice");
    if (!bj.contains("params")) continue;
    const json& params = bj["params"];
    if (!params.is_array()) return r.Fail(p + "/params", std::string("expected an array, found ") + TypeName(params));
    std::set<int> seen;
    for (size_t i = 0; i < params.size(); ++i)
      if (!ReadParam(st, *block, params[i], p + "/params/" + std::to_string(i), seen)) return false;
  }
  return true;
}

// The object's own "data", through its LoadData (plug-in code: whatever it throws stops here).
bool ReadObjectData(Reader& r, Object& o, const json& j, const std::string& ptr) {
  static const json kNoData;
  const json& data = j.contains("data") ? j["data"] : kNoData;
  std::string dataError;
  bool ok = false;
  try {
    ok = o.LoadData(data, &dataError);
  } catch (const std::exception& e) {
    dataError = e.what();
  } catch (...) {
    dataError.clear();
  }
  if (ok) return true;
  const std::string dptr = ptr + "/data";
  if (dataError.empty()) return r.Fail(dptr, "the object did not accept its data");
  // Objects may name the place inside their data as a pointer of their own.
  if (dataError[0] == '/') {
    const size_t colon = dataError.find(": ");
    if (colon != std::string::npos) return r.Fail(dptr + dataError.substr(0, colon), dataError.substr(colon + 2));
  }
  return r.Fail(dptr, dataError);
}

bool ReadObject(LoadState& st, Node& node, const json& j, const std::string& ptr) {
  Reader& r = st.r;
  if (!ExpectObject(r, j, ptr, {"class", "classId", "blocks", "data"})) return false;
  const ClassDesc* desc = ReadObjectClass(r, j, ptr);
  if (!desc) return false;
  std::string why;
  std::unique_ptr<Object> obj = CreateObject(*desc, &why);
  if (!obj) return r.Fail(ptr, why);
  Object* o = obj.get();
  node.SetObject(std::move(obj));
  if (j.contains("blocks") && !ReadBlocks(st, *o, j["blocks"], ptr + "/blocks")) return false;
  return ReadObjectData(r, *o, j, ptr);
}

bool ReadNode(LoadState& st, const json& j, const std::string& ptr, std::set<uint32_t>& handles) {
  Reader& r = st.r;
  if (!ExpectObject(r, j, ptr,
                    {"handle", "name", "parent", "selected", "renderable", "boxMode", "position", "rotation", "scale", "object"}))
    return false;
  if (!j.contains("handle")) return r.Fail(ptr, "a node needs a \"handle\"");
  uint32_t handle = 0;
  if (!ReadHandle(r, j["handle"], ptr + "/handle", handle)) return false;
  if (!handles.insert(handle).second) return r.Fail(ptr + "/handle", "handle " + std::to_string(handle) + " is used by two nodes");
  std::string name;
  if (j.contains("name") && !ReadString(r, j["name"], ptr + "/name", name)) return false;
  Node* node = SceneAccess::AddNode(st.scene, handle, name);
  if (name.empty()) node->SetName("Node" + std::to_string(handle));

  if (j.contains("parent") && !j["parent"].is_null()) {
    uint32_t parent = 0;
    if (!ReadHandle(r, j["parent"], ptr + "/parent", parent)) return false;
    st.parents.push_back({node, {parent, ptr + "/parent"}});
  }
  if (j.contains("selected") && !ReadBool(r, j["selected"], ptr + "/selected", node->selected)) return false;
  if (j.contains("renderable") && !ReadBool(r, j["renderable"], ptr + "/renderable", node->renderable)) return false;
  if (j.contains("boxMode") && !ReadBool(r, j["boxMode"], ptr + "/boxMode", node->boxMode)) return false;
  auto transformTrack = [&](const char* key, auto& track, auto readValue) {
    if (!j.contains(key)) return true;
    const std::string p = ptr + "/" + key;
    return ExpectObject(r, j[key], p, {"value", "keys"}) && ReadTrack(r, j[key], p, true, track, readValue);
  };
  auto point = [&](const json& v, const std::string& p, Point3& out) { return ReadPoint3(r, v, p, out); };
  auto rotation = [&](const json& v, const std::string& p, Quat& out) { return ReadRotation(r, v, p, out); };
  if (!transformTrack("position", node->transform.position, point) ||
      !transformTrack("rotation", node->transform.rotation, rotation) ||
      !transformTrack("scale", node->transform.scale, point))
    return false;
  if (j.contains("object") && !j["object"].is_null() && !ReadObject(st, *node, j["object"], ptr + "/object")) return false;
  return true;
}

bool ReadTime(Reader& r, const json& j, TimeSettings& time) {
  const std::string ptr = "/time";
  if (!ExpectObject(r, j, ptr, {"frameRate", "startFrame", "endFrame", "currentFrame"})) return false;
  if (j.contains("frameRate") && !ReadInt32(r, j["frameRate"], ptr + "/frameRate", 1, kTicksPerSecond, time.frameRate))
    return false;
  r.ticksPerFrame = time.TicksPerFrame();
  time.animStart = 0;
  time.animEnd = time.FrameToTicks(100);
  time.currentTime = 0;
  if (j.contains("startFrame") && !ReadTicks(r, j["startFrame"], ptr + "/startFrame", time.animStart)) return false;
  if (j.contains("endFrame") && !ReadTicks(r, j["endFrame"], ptr + "/endFrame", time.animEnd)) return false;
  if (j.contains("currentFrame") && !ReadTicks(r, j["currentFrame"], ptr + "/currentFrame", time.currentTime)) return false;
  return true;
}

bool ReadDocument(Reader& r, const json& root, Scene& scene) {
  if (!ExpectObject(r, root, "", {"format", "version", "time", "metresPerUnit", "render", "nodes"})) return false;
  std::string format;
  if (!root.contains("format")) return r.Fail("", "not a scene file: \"format\": \"" + std::string(kSceneFormatName) + "\" is missing");
  if (!ReadString(r, root["format"], "/format", format)) return false;
  if (format != kSceneFormatName) return r.Fail("/format", "not a scene file: the format is \"" + format + "\"");
  if (!root.contains("version")) return r.Fail("", "\"version\" is missing");
  int64_t version = 0;
  if (!ReadInt(r, root["version"], "/version", 1, INT32_MAX, version)) return false;
  if (version > kSceneFileVersion)
    return r.Fail("/version", "version " + std::to_string(version) + " was written by a newer program (this one reads up to " +
                                  std::to_string(kSceneFileVersion) + ")");

  if (root.contains("time") && !ReadTime(r, root["time"], scene.time)) return false;
  r.ticksPerFrame = scene.time.TicksPerFrame();
  if (root.contains("metresPerUnit")) {
    double m = 0;
    if (!ReadDouble(r, root["metresPerUnit"], "/metresPerUnit", m)) return false;
    if (!(m > 0.0) || m > 1e6) return r.Fail("/metresPerUnit", Show(root["metresPerUnit"]) + " is not a unit scale (above 0, at most 1e6)");
    scene.time.metresPerUnit = m;
  }
  if (root.contains("render")) {
    const json& rj = root["render"];
    if (!ExpectObject(r, rj, "/render", {"width", "height"})) return false;
    if (rj.contains("width") && !ReadInt32(r, rj["width"], "/render/width", 1, 65535, scene.render.width)) return false;
    if (rj.contains("height") && !ReadInt32(r, rj["height"], "/render/height", 1, 65535, scene.render.height)) return false;
  }

  LoadState st{r, scene, {}, {}};
  if (root.contains("nodes")) {
    const json& nodes = root["nodes"];
    if (!nodes.is_array()) return r.Fail("/nodes", std::string("expected an array, found ") + TypeName(nodes));
    std::set<uint32_t> handles;
    for (size_t i = 0; i < nodes.size(); ++i)
      if (!ReadNode(st, nodes[i], "/nodes/" + std::to_string(i), handles)) return false;
  }
  // Links and references only once every node exists: a file may name a node before defining it.
  for (auto& [node, link] : st.parents) {
    Node* parent = scene.FindNode(link.first);
    if (!parent) return r.Fail(link.second, "node " + std::to_string(link.first) + " does not exist");
    std::string why;
    if (!node->SetParent(parent, &why)) return r.Fail(link.second, why);
  }
  for (PendingRef& ref : st.refs) {
    std::vector<Node*> nodes;
    for (const auto& [handle, p] : ref.handles) {
      Node* n = handle ? scene.FindNode(handle) : nullptr;
      if (handle && !n) return r.Fail(p, "node " + std::to_string(handle) + " does not exist");
      nodes.push_back(n);
    }
    if (ref.list) ref.block->SetNodes(ref.id, std::move(nodes));
    else ref.block->SetNode(ref.id, 0, nodes.front());
  }
  return true;
}

// Nesting depth before parsing: the parser would follow any depth, and so would every walk over
// the tree afterwards.
bool CheckNesting(Reader& r, const std::string& text) {
  int depth = 0, line = 1;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (c == '\n') ++line;
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    else if (c == '[' || c == '{') {
      if (++depth > kMaxSceneNesting) {
        r.error = r.file + ": line " + std::to_string(line) + ": nested deeper than " + std::to_string(kMaxSceneNesting) + " levels";
        return false;
      }
    } else if (c == ']' || c == '}') --depth;
  }
  return true;
}

std::string LineColumn(const std::string& text, size_t at) {
  int line = 1, column = 1;
  for (size_t i = 0; i < at && i < text.size(); ++i) {
    if (text[i] == '\n') ++line, column = 1;
    else ++column;
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

bool Parse(Reader& r, const std::string& text, json& root) {
  try {
    root = json::parse(text);
    return true;
  } catch (const json::parse_error& e) {
    // Our own line and column from the byte offset; the parser's reason without its prefix.
    const size_t at = e.byte > 0 ? e.byte - 1 : 0;
    std::string why = e.what();
    const size_t col = why.find("column");
    const size_t colon = why.find(": ", col == std::string::npos ? 0 : col);
    if (colon != std::string::npos) why = why.substr(colon + 2);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) why = "the file is empty";
    r.error = r.file + ": " + LineColumn(text, at) + ": " + OneLine(why);
    return false;
  } catch (const json::out_of_range& e) {
    // A number beyond a double ("1e400"): the parser names it but not where it stands.
    std::string why = e.what();
    const size_t close = why.find("] ");
    if (close != std::string::npos) why = why.substr(close + 2);
    const size_t q1 = why.find('\''), q2 = why.rfind('\'');
    size_t at = std::string::npos;
    if (q1 != std::string::npos && q2 > q1 + 1) at = text.find(why.substr(q1 + 1, q2 - q1 - 1));
    r.error = r.file + ": " + (at == std::string::npos ? std::string() : LineColumn(text, at) + ": ") + OneLine(why);
    return false;
  }
}

bool ReadFile(Reader& r, const std::filesystem::path& file, std::string& text) {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec) {
    r.error = r.file + ": " + (std::filesystem::exists(file) ? "cannot be read: " + ec.message() : "no such file");
    return false;
  }
  if (size > kMaxSceneFileBytes) {
    r.error = r.file + ": " + std::to_string(size) + " bytes is more than a scene file may hold (" +
              std::to_string(kMaxSceneFileBytes) + ")";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    r.error = r.file + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
  text.resize(size_t(size));
  in.read(text.data(), std::streamsize(size));
  if (in.gcount() != std::streamsize(size)) {
    r.error = r.file + ": could not be read to its end";
    return false;
  }
  return true;
}

}  // namespace

bool LoadScene(Scene& scene, const std::filesystem::path& file, std::string* error) {
  Reader r;
  r.file = file.string();
  try {
    std::string text;
    json root;
    Scene fresh;
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(file, ec);
    if (ec) absolute = file;
    // Objects resolve their relative file names against the new scene's folder while they load.
    fresh.SetFilePath(absolute);
    if (ReadFile(r, file, text) && CheckNesting(r, text) && Parse(r, text, root) && ReadDocument(r, root, fresh)) {
      scene.TakeContents(fresh);
      for (const auto& n : scene.Nodes())
        if (Object* o = n->GetObject()) o->PostLoad();
      return true;
    }
  } catch (const std::exception& e) {
    r.error = r.file + ": " + OneLine(e.what());
  } catch (...) {
    r.error.clear();  // the generic message below
  }
  return Fail(error, r.error.empty() ? r.file + ": could not be loaded" : r.error);
}

}  // namespace host
