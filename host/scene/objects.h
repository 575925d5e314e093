// Scene objects and the classes that make them.
//
// Every object belongs to a class, described by a ClassDesc: a class id (two 32-bit words), a
// super class id (what kind of object it is), a name, a category and the parameter block
// descriptions of the class. Objects are made through CreateObject, which asks the descriptor for
// the object and then builds the blocks whose description says auto-construct. The host's own
// classes (primitives, particle systems, force fields, cameras, hair) are registered from the
// start; a plug-in module registers its descriptors when it is loaded.
//
// An object is evaluated at a time through the interfaces it offers: a triangle mesh, particles, a
// force field (for the node it sits on) or a camera state. It hears about changes of its own
// parameters and about the end of a scene load, and may save data of its own into the scene file.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "host/scene/class_desc.h"
#include "host/core/math.h"
#include "host/scene/param_block.h"
#include "host/scene/trimesh.h"

namespace host {

class CommandPanel;
class CustomRenderItem;
class Node;
class Object;
class Scene;
struct HitRegion;
struct View;

// A span of scene time, both ends included; empty when start > end.
struct Interval {
  TimeValue start = INT_MIN, end = INT_MAX;

  static Interval Forever() { return {}; }
  static Interval Never() { return {INT_MAX, INT_MIN}; }
  static Interval Instant(TimeValue t) { return {t, t}; }
  bool Contains(TimeValue t) const { return start <= t && t <= end; }
};

// An axis-aligned box; empty (min above max) until a point is added.
struct Box3 {
  Point3 min{1e30f, 1e30f, 1e30f};
  Point3 max{-1e30f, -1e30f, -1e30f};

  bool Empty() const { return min.x > max.x || min.y > max.y || min.z > max.z; }
  Box3& operator+=(const Point3& p);
  Box3& operator+=(const Box3& b);
  // The box holding the eight corners of this one transformed by tm; an empty box stays empty.
  Box3 Transformed(const Matrix3& tm) const;
};

// A new object with its auto-construct parameter blocks at their defaults (by class name:
// host/objects/class_registry.h).
std::unique_ptr<Object> CreateObject(const ClassDesc& desc, std::string* error);

// The shape of a camera at a time.
struct CameraState {
  float fov = 0.785398f;  // horizontal field of view, radians
  bool ortho = false;
  float targetDistance = 160.0f;  // scene units; sets the width of an orthographic view
};

// Particles, in the object space of their node: the caller applies the node's transform.
class ParticleObject {
 public:
  virtual ~ParticleObject() = default;
  // Brings the particles to time t. False, with a message and no particles, when their source
  // cannot be read.
  virtual bool Update(TimeValue t, std::string* error = nullptr) = 0;
  virtual int Count() const = 0;
  // Zero for an index out of range.
  virtual Point3 Position(int index) const = 0;
  // Scene units per tick.
  virtual Point3 Velocity(int index) const = 0;
};

// A space warp's force on particles, made for one node; releasing it is destroying it. It reads its
// object and node when asked, so it must go before either does (callers keep it for one frame).
class ForceField {
 public:
  virtual ~ForceField() = default;
  // The acceleration at world position p of a particle with velocity v (scene units per tick),
  // in scene units per tick squared. `index` tells samples apart for fields that vary per particle.
  virtual Point3 Force(TimeValue t, const Point3& p, const Point3& v, int index) = 0;
};

// Called with every object as its destructor runs, so that whoever shows objects can forget it (the
// command panels, host/panels/panels.h, set it when the first one is made). One for the process;
// null, the start, calls nothing.
using ObjectGoneHook = void (*)(const Object* object);
void SetObjectGoneHook(ObjectGoneHook hook);

class Object {
 public:
  explicit Object(const ClassDesc& desc) : desc_(&desc) {}
  virtual ~Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  const ClassDesc& Desc() const { return *desc_; }
  ClassId GetClassId() const { return desc_->ClassID(); }
  SuperClassId GetSuperClassId() const { return desc_->SuperClassID(); }
  std::string_view ClassName() const { return desc_->ClassName(); }

  int NumParamBlocks() const { return int(blocks_.size()); }
  ParamBlock* GetParamBlock(int index) const;
  ParamBlock* GetParamBlockById(int blockId) const;
  // Builds a block for `desc`; null when the object already has a block with that id.
  ParamBlock* AddParamBlock(const ParamBlockDesc& desc);

  // The scene holding the object's node, or null.
  Scene* GetScene() const { return scene_; }
  // The scene's current time (its time slider); 0 without a scene.
  TimeValue CurrentTime() const;

  // Evaluation at a time.
  virtual bool CanConvertToTriMesh() const { return false; }
  // The object's triangles in its own space; false with a message when it has none or they
  // cannot be made (an OBJ file that does not load, say).
  virtual bool GetTriMesh(TimeValue t, TriMesh& mesh, std::string* error = nullptr) const;
  virtual ParticleObject* GetParticleInterface() { return nullptr; }
  virtual std::unique_ptr<ForceField> GetForceField(const Node& node) const;
  virtual bool EvalCameraState(TimeValue t, CameraState& state) const;

  // Geometry evaluation. The host evaluates an object at a time before it draws it or hands it
  // to others; Evaluate runs only when that time lies outside the validity of the last
  // evaluation, and says how long its result holds. The default result holds forever.
  void EvalAt(TimeValue t);
  Interval Validity() const { return validity_; }
  // Empties the validity: the next evaluation runs again, whatever its time.
  void InvalidateGeometry() { validity_ = Interval::Never(); }

  // Display. Before every draw the host asks the object of each node for the render items it
  // adds to the views for that node; the object keeps them between draws. The default adds none
  // (the host draws meshes and particles itself).
  virtual void UpdatePerNodeItems(Node& node, std::vector<std::shared_ptr<CustomRenderItem>>& items);
  // True when the object, drawn on `node` at t, passes through the region of the view. The
  // default tests the edges of the object's triangle mesh.
  virtual bool HitTest(TimeValue t, Node& node, const View& view, const HitRegion& region);
  // Bounds in the object's own space, in world space on `node`, and the box a deformer sees
  // (transformed by tm when one is given). The defaults use the triangle mesh; an object without
  // one gives an empty box.
  virtual Box3 GetLocalBoundBox(TimeValue t, Node& node);
  virtual Box3 GetWorldBoundBox(TimeValue t, Node& node);
  virtual Box3 GetDeformBBox(TimeValue t, const Matrix3* tm = nullptr);

  // Notifications. A parameter id of -1 means "some or all parameters".
  virtual void OnParamChanged(ParamBlock& block, int paramId);
  // After a scene load, once every node, parameter and saved datum is in place.
  virtual void PostLoad() {}
  // Tells the scene that the object changed (views that show it redraw).
  void NotifyDependents();

 protected:
  // Builds what the object is at t; returns how long that holds. Called by EvalAt.
  virtual Interval Evaluate(TimeValue /*t*/) { return Interval::Forever(); }
  // Called from Evaluate when its result is not final yet (work left for later evaluations): the
  // result stands for now, and the next evaluation runs Evaluate again, whatever its time.
  void EvaluateAgain() { evaluateAgain_ = true; }

 public:

  // Editing (host/panels/panels.h): the host calls BeginEditParams when the user selects the object for
  // editing, and EndEditParams when that ends; the object adds and removes its panels.
  virtual void BeginEditParams(CommandPanel& /*panel*/) {}
  virtual void EndEditParams(CommandPanel& /*panel*/) {}

  // Data of the object's own, saved with the scene beside its parameter blocks. A null value saves
  // nothing. LoadData gets what SaveData gave (null when the file holds none) and fails with a
  // message on data it cannot take; the default takes only null.
  virtual nlohmann::json SaveData() const;
  virtual bool LoadData(const nlohmann::json& data, std::string* error);

 private:
  friend class Scene;
  friend class Node;
  const ClassDesc* desc_;
  Scene* scene_ = nullptr;
  std::vector<std::unique_ptr<ParamBlock>> blocks_;
  Interval validity_ = Interval::Never();
  bool evaluateAgain_ = false;
};

// A parameter found by internal name in any of an object's blocks (scripts set parameters by name).
struct ParamRef {
  ParamBlock* block = nullptr;
  int id = -1;
  const ParamDef* def = nullptr;
  explicit operator bool() const { return block != nullptr; }
};
ParamRef FindParam(const Object& object, std::string_view name);

}  // namespace host
