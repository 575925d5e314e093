#include "host/scene/param_block.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <utility>

#include "host/core/status.h"

namespace host {

namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
         });
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower((unsigned char)c));
  return out;
}

bool IsNumeric(ParamType t) { return t == ParamType::Float || t == ParamType::World || t == ParamType::Int; }
bool IsFloatLike(ParamType t) { return t == ParamType::Float || t == ParamType::World; }

ParamDef Make(int id, std::string name, ParamType type, int map, std::string label) {
  ParamDef d;
  d.id = id;
  d.name = std::move(name);
  d.type = type;
  d.map = map;
  d.label = std::move(label);
  return d;
}

}  // namespace

std::string_view ParamTypeName(ParamType type) {
  switch (type) {
    case ParamType::Float: return "float";
    case ParamType::Int: return "int";
    case ParamType::Bool: return "bool";
    case ParamType::World: return "world";
    case ParamType::Colour: return "colour";
    case ParamType::Filename: return "filename";
    case ParamType::Node: return "node";
    case ParamType::NodeList: return "node list";
  }
  return "unknown";
}

ParamDef FloatParam(int id, std::string name, float def, double lo, double hi, bool anim, int map,
                    std::string label) {
  ParamDef d = Make(id, std::move(name), ParamType::Float, map, std::move(label));
  d.defaultFloat = def;
  d.hasRange = true;
  d.minValue = lo;
  d.maxValue = hi;
  d.animatable = anim;
  return d;
}

ParamDef WorldParam(int id, std::string name, float def, double lo, double hi, bool anim, int map,
                    std::string label) {
  ParamDef d = FloatParam(id, std::move(name), def, lo, hi, anim, map, std::move(label));
  d.type = ParamType::World;
  return d;
}

ParamDef IntParam(int id, std::string name, int def, double lo, double hi, int map, std::string label,
                  std::vector<std::string> choices) {
  ParamDef d = Make(id, std::move(name), ParamType::Int, map, std::move(label));
  d.defaultInt = def;
  d.hasRange = true;
  d.minValue = lo;
  d.maxValue = hi;
  d.choices = std::move(choices);
  return d;
}

ParamDef BoolParam(int id, std::string name, bool def, int map, std::string label) {
  ParamDef d = Make(id, std::move(name), ParamType::Bool, map, std::move(label));
  d.defaultInt = def ? 1 : 0;
  return d;
}

ParamDef ColourParam(int id, std::string name, Point3 def, bool anim, int map, std::string label) {
  ParamDef d = Make(id, std::move(name), ParamType::Colour, map, std::move(label));
  d.defaultColour = def;
  d.animatable = anim;
  return d;
}

ParamDef FilenameParam(int id, std::string name, int map, std::string label) {
  return Make(id, std::move(name), ParamType::Filename, map, std::move(label));
}

ParamDef NodeParam(int id, std::string name, int map, std::string label) {
  return Make(id, std::move(name), ParamType::Node, map, std::move(label));
}

ParamDef NodeListParam(int id, std::string name, int map, std::string label) {
  return Make(id, std::move(name), ParamType::NodeList, map, std::move(label));
}

const ParamDef* ParamBlockDesc::Find(int paramId) const {
  for (const ParamDef& d : params)
    if (d.id == paramId) return &d;
  return nullptr;
}

const ParamDef* ParamBlockDesc::FindByName(std::string_view name) const {
  for (const ParamDef& d : params)
    if (SameNoCase(d.name, name)) return &d;
  return nullptr;
}

bool ValidateParamBlockDesc(const ParamBlockDesc& desc, std::string* error) {
  auto fail = [&](const ParamDef* d, const std::string& why) {
    std::string where = "parameter block " + std::to_string(desc.id) + " (\"" + desc.internalName + "\")";
    if (d) where += ", parameter " + std::to_string(d->id) + " (\"" + d->name + "\")";
    return Fail(error, where + ": " + why);
  };
  std::set<int> ids, maps;
  std::set<std::string> names;
  for (const RolloutDesc& r : desc.rollouts)
    if (!maps.insert(r.map).second) return fail(nullptr, "two rollouts with map " + std::to_string(r.map));
  for (const ParamDef& d : desc.params) {
    if (d.id < 0 || d.id > 65535) return fail(&d, "id outside 0 to 65535");
    if (!ids.insert(d.id).second) return fail(&d, "id used twice");
    if (d.name.empty()) return fail(&d, "no internal name");
    for (char c : d.name)
      if (!std::isalnum((unsigned char)c) && c != '_') return fail(&d, "internal name with a character other than a letter, digit or '_'");
    if (!names.insert(Lower(d.name)).second) return fail(&d, "internal name used twice");
    if (d.animatable && !IsFloatLike(d.type) && d.type != ParamType::Colour)
      return fail(&d, "a " + std::string(ParamTypeName(d.type)) + " parameter cannot be animated");
    if (d.hasRange) {
      if (!IsNumeric(d.type)) return fail(&d, "a range on a " + std::string(ParamTypeName(d.type)) + " parameter");
      if (!std::isfinite(d.minValue) || !std::isfinite(d.maxValue) || d.minValue > d.maxValue)
        return fail(&d, "range is not ordered");
      const double def = d.type == ParamType::Int ? double(d.defaultInt) : double(d.defaultFloat);
      if (def < d.minValue || def > d.maxValue) return fail(&d, "default outside its range");
    }
    if (IsFloatLike(d.type) && !std::isfinite(d.defaultFloat)) return fail(&d, "default is not finite");
    if (d.type == ParamType::Colour && !(std::isfinite(d.defaultColour.x) && std::isfinite(d.defaultColour.y) &&
                                         std::isfinite(d.defaultColour.z)))
      return fail(&d, "default is not finite");
    if (!d.choices.empty()) {
      if (d.type != ParamType::Int) return fail(&d, "radio choices on a parameter that is not an int");
      if (d.hasRange && (d.minValue != 0.0 || d.maxValue != double(d.choices.size() - 1)))
        return fail(&d, "range does not match its " + std::to_string(d.choices.size()) + " choices");
    }
    if (!desc.rollouts.empty() && !maps.count(d.map)) return fail(&d, "map " + std::to_string(d.map) + " has no rollout");
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

ParamBlock::ParamBlock(const ParamBlockDesc& desc, Object* owner) : desc_(&desc), owner_(owner) {
  int maxId = -1;
  for (const ParamDef& d : desc.params) maxId = std::max(maxId, d.id);
  index_.assign(size_t(maxId + 1), -1);
  slots_.reserve(desc.params.size());
  for (size_t i = 0; i < desc.params.size(); ++i) {
    index_[size_t(desc.params[i].id)] = int(i);
    slots_.push_back(DefaultSlot(desc.params[i]));
  }
}

ParamBlock::Slot ParamBlock::DefaultSlot(const ParamDef& def) {
  Slot s;
  s.f.SetConstant(def.defaultFloat);
  s.c.SetConstant(def.defaultColour);
  s.i = def.defaultInt;
  s.s = def.defaultString;
  return s;
}

ParamBlock::Slot* ParamBlock::Find(int id, ParamType a, ParamType b) {
  return const_cast<Slot*>(std::as_const(*this).Find(id, a, b));
}

const ParamBlock::Slot* ParamBlock::Find(int id, ParamType a, ParamType b) const {
  if (id < 0 || size_t(id) >= index_.size() || index_[size_t(id)] < 0) return nullptr;
  const size_t i = size_t(index_[size_t(id)]);
  const ParamType t = desc_->params[i].type;
  if (t != a && t != b) return nullptr;
  return &slots_[i];
}

std::optional<float> ParamBlock::GetFloat(int id, TimeValue t) const {
  const Slot* s = Find(id, ParamType::Float, ParamType::World);
  if (!s) return std::nullopt;
  return s->f.Eval(t);
}

std::optional<int> ParamBlock::GetInt(int id, TimeValue) const {
  const Slot* s = Find(id, ParamType::Int, ParamType::Bool);
  if (!s) return std::nullopt;
  return s->i;
}

std::optional<bool> ParamBlock::GetBool(int id, TimeValue) const {
  const Slot* s = Find(id, ParamType::Bool, ParamType::Int);
  if (!s) return std::nullopt;
  return s->i != 0;
}

std::optional<Point3> ParamBlock::GetColour(int id, TimeValue t) const {
  const Slot* s = Find(id, ParamType::Colour);
  if (!s) return std::nullopt;
  return s->c.Eval(t);
}

std::optional<std::string> ParamBlock::GetString(int id, TimeValue) const {
  const Slot* s = Find(id, ParamType::Filename);
  if (!s) return std::nullopt;
  return s->s;
}

std::optional<Node*> ParamBlock::GetNode(int id, TimeValue) const {
  const Slot* s = Find(id, ParamType::Node);
  if (!s) return std::nullopt;
  return s->node;
}

int ParamBlock::Count(int id) const {
  const Slot* s = Find(id, ParamType::NodeList);
  return s ? int(s->nodes.size()) : -1;
}

Node* ParamBlock::GetNodeAt(int id, int index) const {
  const Slot* s = Find(id, ParamType::NodeList);
  if (!s || index < 0 || size_t(index) >= s->nodes.size()) return nullptr;
  return s->nodes[size_t(index)];
}

std::vector<Node*> ParamBlock::GetNodes(int id) const {
  const Slot* s = Find(id, ParamType::NodeList);
  return s ? s->nodes : std::vector<Node*>{};
}

namespace {
float ClampTo(const ParamDef& d, float v) {
  if (!d.hasRange) return v;
  return float(std::clamp(double(v), d.minValue, d.maxValue));
}
}  // namespace

bool ParamBlock::SetFloat(int id, TimeValue t, float value, bool animate) {
  Slot* s = Find(id, ParamType::Float, ParamType::World);
  if (!s || !std::isfinite(value)) return false;
  const ParamDef& d = *Def(id);
  Hold(id, *s);
  s->f.Set(t, ClampTo(d, value), animate && d.animatable);
  // Moving a whole curve can push other keys past the range.
  s->f.Transform([&](float v) { return ClampTo(d, v); });
  Changed(id);
  return true;
}

bool ParamBlock::SetInt(int id, TimeValue, int value) {
  Slot* s = Find(id, ParamType::Int, ParamType::Bool);
  if (!s) return false;
  const ParamDef& d = *Def(id);
  if (d.type == ParamType::Bool) value = value != 0 ? 1 : 0;
  else if (d.hasRange) value = int(std::clamp(double(value), d.minValue, d.maxValue));
  Hold(id, *s);
  s->i = value;
  Changed(id);
  return true;
}

bool ParamBlock::SetBool(int id, TimeValue t, bool value) { return SetInt(id, t, value ? 1 : 0); }

bool ParamBlock::SetColour(int id, TimeValue t, const Point3& value, bool animate) {
  Slot* s = Find(id, ParamType::Colour);
  if (!s || !std::isfinite(value.x) || !std::isfinite(value.y) || !std::isfinite(value.z)) return false;
  Hold(id, *s);
  s->c.Set(t, value, animate && Def(id)->animatable);
  Changed(id);
  return true;
}

bool ParamBlock::SetString(int id, TimeValue, std::string value) {
  Slot* s = Find(id, ParamType::Filename);
  if (!s) return false;
  Hold(id, *s);
  s->s = std::move(value);
  Changed(id);
  return true;
}

bool ParamBlock::SetNode(int id, TimeValue, Node* node) {
  Slot* s = Find(id, ParamType::Node);
  if (!s) return false;
  Hold(id, *s);
  s->node = node;
  Changed(id);
  return true;
}

bool ParamBlock::SetNodes(int id, std::vector<Node*> nodes) {
  Slot* s = Find(id, ParamType::NodeList);
  if (!s) return false;
  Hold(id, *s);
  s->nodes = std::move(nodes);
  Changed(id);
  return true;
}

bool ParamBlock::AppendNode(int id, Node* node) {
  Slot* s = Find(id, ParamType::NodeList);
  if (!s) return false;
  Hold(id, *s);
  s->nodes.push_back(node);
  Changed(id);
  return true;
}

bool ParamBlock::SetNodeAt(int id, int index, Node* node) {
  Slot* s = Find(id, ParamType::NodeList);
  if (!s || index < 0 || size_t(index) >= s->nodes.size()) return false;
  Hold(id, *s);
  s->nodes[size_t(index)] = node;
  Changed(id);
  return true;
}

bool ParamBlock::DeleteNodeAt(int id, int index) {
  Slot* s = Find(id, ParamType::NodeList);
  if (!s || index < 0 || size_t(index) >= s->nodes.size()) return false;
  Hold(id, *s);
  s->nodes.erase(s->nodes.begin() + index);
  Changed(id);
  return true;
}

const FloatTrack* ParamBlock::GetFloatTrack(int id) const {
  const Slot* s = Find(id, ParamType::Float, ParamType::World);
  return s ? &s->f : nullptr;
}

const Point3Track* ParamBlock::GetColourTrack(int id) const {
  const Slot* s = Find(id, ParamType::Colour);
  return s ? &s->c : nullptr;
}

bool ParamBlock::SetFloatTrack(int id, FloatTrack track) {
  Slot* s = Find(id, ParamType::Float, ParamType::World);
  if (!s) return false;
  const ParamDef& d = *Def(id);
  if (!std::isfinite(track.Constant())) return false;
  for (const auto& k : track.Keys())
    if (!std::isfinite(k.value)) return false;
  if (!d.animatable && track.IsAnimated()) return false;
  track.Transform([&](float v) { return ClampTo(d, v); });
  Hold(id, *s);
  s->f = std::move(track);
  Changed(id);
  return true;
}

bool ParamBlock::SetColourTrack(int id, Point3Track track) {
  Slot* s = Find(id, ParamType::Colour);
  if (!s) return false;
  auto finite = [](const Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); };
  if (!finite(track.Constant())) return false;
  for (const auto& k : track.Keys())
    if (!finite(k.value)) return false;
  if (!Def(id)->animatable && track.IsAnimated()) return false;
  Hold(id, *s);
  s->c = std::move(track);
  Changed(id);
  return true;
}

void ParamBlock::ResetToDefaults() {
  for (size_t i = 0; i < slots_.size(); ++i) {
    Hold(desc_->params[i].id, slots_[i]);
    slots_[i] = DefaultSlot(desc_->params[i]);
  }
  Changed(-1);
}

void ParamBlock::ReplaceNodeRefs(const Node* from, Node* to) {
  if (!from) return;  // every empty slot would match
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& s = slots_[i];
    const int id = desc_->params[i].id;
    const bool inList = std::find(s.nodes.begin(), s.nodes.end(), from) != s.nodes.end();
    if (s.node != from && !inList) continue;
    Hold(id, s);
    if (s.node == from) s.node = to;
    std::replace(s.nodes.begin(), s.nodes.end(), const_cast<Node*>(from), to);
    Changed(id);
  }
}

}  // namespace host
