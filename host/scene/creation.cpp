#include "host/scene/creation.h"

#include <cmath>

#include "host/core/status.h"
#include "host/scene/class_desc.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"

namespace host {

bool Creation::Begin(Scene& scene, const ClassDesc& desc, std::string* error) {
  if (Node* old = GetNode(); old && Active()) scene_->DeleteNode(old);
  node_ = made_ = 0;
  point_ = 0;
  callback_ = desc.GetCreateMouseCallBack();
  if (!callback_) {
    return Fail(error, std::string(desc.ClassName()) + " cannot be created by dragging.");
  }
  std::unique_ptr<Object> object = CreateObject(desc, error);
  if (!object) return false;
  Object* raw = object.get();
  Node* node = scene.CreateNode(scene.MakeUniqueName(std::string(desc.ClassName())), std::move(object));
  if (!node) {
    return Fail(error, "The scene refused the new node.");
  }
  scene_ = &scene;
  node_ = node->Handle();
  callback_->SetObject(raw);
  return true;
}

Node* Creation::GetNode() const {
  if (!scene_) return nullptr;
  return scene_->FindNode(node_ ? node_ : made_);
}

CreateResult Creation::Mouse(MouseMsg msg, const Point3& planePoint) {
  Node* node = node_ && scene_ ? scene_->FindNode(node_) : nullptr;
  if (!node) return CreateResult::kAbort;
  Matrix3 tm = node->GetNodeTM(scene_->time.currentTime);
  const CreateResult result = callback_->Proc(msg, point_, planePoint, tm);
  if (msg == MouseMsg::kPoint) ++point_;
  if (result == CreateResult::kAbort) {
    callback_->SetObject(nullptr);
    scene_->DeleteNode(node);
    node_ = 0;
    return result;
  }
  // Creation places the node without rotation or scale: only its position moves.
  node->transform.position = Point3Track(tm.GetTrans());
  if (result == CreateResult::kStop) {
    callback_->SetObject(nullptr);
    made_ = node_;
    node_ = 0;
    scene_->ClearSelection();
    scene_->Select(node);
  }
  scene_->NoteChange();
  return result;
}

bool ConstructionPlanePoint(const Point3& origin, const Point3& direction, Point3& point) {
  if (!std::isfinite(origin.x + origin.y + origin.z + direction.x + direction.y + direction.z)) return false;
  if (std::fabs(direction.z) < 1e-9f) return false;
  const float s = -origin.z / direction.z;
  if (s < 0) return false;
  point = origin + direction * s;
  point.z = 0;
  return true;
}

}  // namespace host
