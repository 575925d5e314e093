#include "host/scene/objects.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include <nlohmann/json.hpp>

#include "host/core/status.h"
#include "host/core/text.h"
#include "host/view/viewport.h"

namespace host {

std::unique_ptr<Object> CreateObject(const ClassDesc& desc, std::string* error) {
  const std::string name(desc.ClassName());
  try {
    std::unique_ptr<Object> obj = desc.Create();
    if (!obj) {
      SetError(error, "class \"" + name + "\" made no object");
      return nullptr;
    }
    for (const ParamBlockDesc* b : desc.ParamBlockDescs())
      if (b && (b->flags & kBlockAutoConstruct) && !obj->GetParamBlockById(b->id)) obj->AddParamBlock(*b);
    return obj;
  } catch (const std::exception& e) {
    SetError(error, "class \"" + name + "\" failed to make an object: " + e.what());
  } catch (...) {
    SetError(error, "class \"" + name + "\" failed to make an object");
  }
  return nullptr;
}


// ---------------------------------------------------------------------------------------------

namespace {
// A plain pointer, not a container: objects may be destroyed during static destruction.
ObjectGoneHook gObjectGone = nullptr;
}  // namespace

void SetObjectGoneHook(ObjectGoneHook hook) { gObjectGone = hook; }

Object::~Object() {
  if (gObjectGone) gObjectGone(this);
}

ParamBlock* Object::GetParamBlock(int index) const {
  if (index < 0 || size_t(index) >= blocks_.size()) return nullptr;
  return blocks_[size_t(index)].get();
}

ParamBlock* Object::GetParamBlockById(int blockId) const {
  for (const auto& b : blocks_)
    if (b->Id() == blockId) return b.get();
  return nullptr;
}

ParamBlock* Object::AddParamBlock(const ParamBlockDesc& desc) {
  if (GetParamBlockById(desc.id)) return nullptr;
  blocks_.push_back(std::make_unique<ParamBlock>(desc, this));
  return blocks_.back().get();
}

bool Object::GetTriMesh(TimeValue, TriMesh& mesh, std::string* error) const {
  mesh.Clear();
  return Fail(error, "a " + std::string(ClassName()) + " object has no triangle mesh");
}

std::unique_ptr<ForceField> Object::GetForceField(const Node&) const { return nullptr; }

bool Object::EvalCameraState(TimeValue, CameraState&) const { return false; }

Box3& Box3::operator+=(const Point3& p) {
  min = Point3(std::min(min.x, p.x), std::min(min.y, p.y), std::min(min.z, p.z));
  max = Point3(std::max(max.x, p.x), std::max(max.y, p.y), std::max(max.z, p.z));
  return *this;
}

Box3& Box3::operator+=(const Box3& b) {
  if (!b.Empty()) *this += b.min, *this += b.max;
  return *this;
}

Box3 Box3::Transformed(const Matrix3& tm) const {
  Box3 out;
  if (Empty()) return out;
  for (int i = 0; i < 8; ++i)
    out += Point3(i & 1 ? max.x : min.x, i & 2 ? max.y : min.y, i & 4 ? max.z : min.z) * tm;
  return out;
}

void Object::EvalAt(TimeValue t) {
  if (validity_.Contains(t)) return;
  // Valid for t at least, whatever Evaluate says, so that a caller asking again does not loop.
  Interval valid = Evaluate(t);
  if (!valid.Contains(t)) valid = Interval::Instant(t);
  validity_ = evaluateAgain_ ? Interval::Never() : valid;
  evaluateAgain_ = false;
}

void Object::UpdatePerNodeItems(Node&, std::vector<std::shared_ptr<CustomRenderItem>>&) {}

Box3 Object::GetLocalBoundBox(TimeValue t, Node&) { return GetDeformBBox(t); }

Box3 Object::GetDeformBBox(TimeValue t, const Matrix3* tm) {
  TriMesh mesh;
  Box3 box;
  if (!GetTriMesh(t, mesh)) return box;
  for (const Point3& v : mesh.verts) box += tm ? v * *tm : v;
  return box;
}

void Object::OnParamChanged(ParamBlock&, int) {
  InvalidateGeometry();
  NotifyDependents();
}

nlohmann::json Object::SaveData() const { return nullptr; }

bool Object::LoadData(const nlohmann::json& data, std::string* error) {
  if (data.is_null()) return true;
  return Fail(error, "a " + std::string(ClassName()) + " object keeps no saved data");
}

ParamRef FindParam(const Object& object, std::string_view name) {
  for (int i = 0; i < object.NumParamBlocks(); ++i) {
    ParamBlock* b = object.GetParamBlock(i);
    if (const ParamDef* d = b->Desc().FindByName(name)) return ParamRef{b, d->id, d};
  }
  return {};
}

}  // namespace host
