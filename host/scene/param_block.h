// Parameter blocks: the settings of an object, described once per class and stored per object.
//
// A ParamBlockDesc lists the parameters (id, internal name, type, default, range, anim flag, the
// rollout that shows it, its label and radio choices). A ParamBlock holds one object's values for
// such a description, read and written by parameter id at a time. Animatable values are keyframe
// tracks (host/core/keys.h); setting one with `animate` on keys it at that time, with it off the value
// replaces the constant, or moves an animated curve as a whole so that it passes through the value
// (Track::Set). Every successful set clamps to the declared range, puts an undo record when the
// scene has an undo step open, and tells the owning object which parameter changed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/keys.h"
#include "host/core/math.h"

namespace host {

class Node;
class Object;

enum class ParamType : uint8_t {
  Float,     // a number
  Int,       // an integer; radio buttons store the index of the chosen button
  Bool,      // stored as 0 or 1
  World,     // a length in scene units
  Colour,    // red, green, blue
  Filename,  // a path, relative ones resolved against the scene file's folder
  Node,      // one scene node, or none
  NodeList,  // a list of scene nodes; entries become none when their node is deleted
};

std::string_view ParamTypeName(ParamType type);

struct ParamDef {
  int id = -1;
  std::string name;  // internal name: letters, digits and '_', unique in the block ignoring case
  ParamType type = ParamType::Float;
  bool animatable = false;  // only Float, World and Colour values can be animated
  float defaultFloat = 0.0f;     // Float, World
  int defaultInt = 0;            // Int, Bool
  Point3 defaultColour;          // Colour
  std::string defaultString;     // Filename
  bool hasRange = false;         // Float, World, Int
  double minValue = 0.0, maxValue = 0.0;
  int map = 0;                   // the rollout that shows it
  std::string label;             // text beside the control
  std::vector<std::string> choices;  // radio buttons of an Int parameter, index 0 first
};

// Short builders for description tables.
ParamDef FloatParam(int id, std::string name, float def, double lo, double hi, bool anim, int map,
                    std::string label);
ParamDef WorldParam(int id, std::string name, float def, double lo, double hi, bool anim, int map,
                    std::string label);
ParamDef IntParam(int id, std::string name, int def, double lo, double hi, int map, std::string label,
                  std::vector<std::string> choices = {});
ParamDef BoolParam(int id, std::string name, bool def, int map, std::string label);
ParamDef ColourParam(int id, std::string name, Point3 def, bool anim, int map, std::string label);
ParamDef FilenameParam(int id, std::string name, int map, std::string label);
ParamDef NodeParam(int id, std::string name, int map, std::string label);
ParamDef NodeListParam(int id, std::string name, int map, std::string label);

// One rollout (panel) of the block's user interface.
struct RolloutDesc {
  int map = 0;
  std::string title;
  bool open = true;                 // expanded when the panel first shows
  int dialogId = 0, titleId = 0;    // resource numbers of its layout and title
  std::vector<std::string> groups;  // captions of the group boxes inside, top to bottom
};

// Block flags.
inline constexpr uint32_t kBlockAutoConstruct = 0x02;  // made with the object
inline constexpr uint32_t kBlockAutoUI = 0x04;         // panels built from the description
inline constexpr uint32_t kBlockMultiMap = 0x20;       // several rollouts

struct ParamBlockDesc {
  int id = 0;
  std::string internalName;
  uint32_t flags = kBlockAutoConstruct;
  int refNo = 0;
  std::vector<RolloutDesc> rollouts;
  std::vector<ParamDef> params;

  const ParamDef* Find(int paramId) const;
  // By internal name, ignoring case (preset files and scripts write names in any case).
  const ParamDef* FindByName(std::string_view name) const;
};

// Checks what the block machinery relies on: ids 0 to 65535 and unique, names well formed and
// unique ignoring case, anim flags only on animatable types, ranges ordered with the default
// inside, radio choices matching an Int range of 0 to count - 1, maps that name a rollout.
bool ValidateParamBlockDesc(const ParamBlockDesc& desc, std::string* error);

class ParamBlock {
 public:
  // `desc` must outlive the block (descriptions are static data of their class).
  ParamBlock(const ParamBlockDesc& desc, Object* owner);
  ParamBlock(const ParamBlock&) = delete;
  ParamBlock& operator=(const ParamBlock&) = delete;

  const ParamBlockDesc& Desc() const { return *desc_; }
  int Id() const { return desc_->id; }
  Object* Owner() const { return owner_; }
  const ParamDef* Def(int paramId) const { return desc_->Find(paramId); }

  // Reading at time t. Empty when the id is unknown or of another type: Float and World read as
  // float; Int and Bool as int and bool; Colour as Point3; Filename as string.
  std::optional<float> GetFloat(int id, TimeValue t) const;
  std::optional<int> GetInt(int id, TimeValue t) const;
  std::optional<bool> GetBool(int id, TimeValue t) const;
  std::optional<Point3> GetColour(int id, TimeValue t) const;
  std::optional<std::string> GetString(int id, TimeValue t) const;
  // A Node parameter: empty when unknown, otherwise the node or nullptr.
  std::optional<Node*> GetNode(int id, TimeValue t) const;
  // Node lists: the count (-1 when the id is not a node list) and the entries.
  int Count(int id) const;
  Node* GetNodeAt(int id, int index) const;
  std::vector<Node*> GetNodes(int id) const;

  // Writing. False when the id is unknown, of another type, or the value is not finite.
  bool SetFloat(int id, TimeValue t, float value, bool animate = false);
  bool SetInt(int id, TimeValue t, int value);
  bool SetBool(int id, TimeValue t, bool value);
  bool SetColour(int id, TimeValue t, const Point3& value, bool animate = false);
  bool SetString(int id, TimeValue t, std::string value);
  bool SetNode(int id, TimeValue t, Node* node);
  bool SetNodes(int id, std::vector<Node*> nodes);
  bool AppendNode(int id, Node* node);
  bool SetNodeAt(int id, int index, Node* node);
  bool DeleteNodeAt(int id, int index);

  // Whole tracks of animatable types, for scene files and key editing. The setter clamps and
  // notifies like the others.
  const FloatTrack* GetFloatTrack(int id) const;
  const Point3Track* GetColourTrack(int id) const;
  bool SetFloatTrack(int id, FloatTrack track);
  bool SetColourTrack(int id, Point3Track track);

  // Every parameter back to its default.
  void ResetToDefaults();
  // Replaces every reference to `from` (node parameters and list entries) by `to`; a deleted node
  // leaves none behind.
  void ReplaceNodeRefs(const Node* from, Node* to);

 private:
  struct Slot {
    FloatTrack f;                // Float, World
    Point3Track c;               // Colour
    int i = 0;                   // Int, Bool
    std::string s;               // Filename
    Node* node = nullptr;        // Node
    std::vector<Node*> nodes;    // NodeList
  };
  class SlotRecord;

  Slot* Find(int id, ParamType a, ParamType b);
  const Slot* Find(int id, ParamType a, ParamType b) const;
  Slot* Find(int id, ParamType a) { return Find(id, a, a); }
  const Slot* Find(int id, ParamType a) const { return Find(id, a, a); }
  static Slot DefaultSlot(const ParamDef& def);
  // What an edit does to the scene around the block (param_edits.cpp, beside the scene): Hold,
  // before a change, keeps the old value for an open undo step; Changed tells the owner and the
  // notification listeners.
  void Hold(int id, const Slot& slot);
  void Changed(int id);

  const ParamBlockDesc* desc_;
  Object* owner_;
  std::vector<int> index_;  // parameter id -> position in desc_->params and slots_, or -1
  std::vector<Slot> slots_;
};

}  // namespace host
