// Creating an object by dragging in a viewport. A class that is created interactively hands out a
// creation mouse procedure (ClassDesc::GetCreateMouseCallBack); the host makes the object and its
// node, then feeds the procedure the mouse messages with the construction-plane point under the
// cursor, applies the transform the procedure sets, and keeps or drops the node as it says.
#pragma once

#include <string>

#include "host/core/math.h"

namespace host {

class ClassDesc;
class Node;
class Object;
class Scene;

enum class MouseMsg { kPoint, kMove, kAbort, kOther };
enum class CreateResult { kContinue, kStop, kAbort };

class CreateMouseCallBack {
 public:
  virtual ~CreateMouseCallBack() = default;
  // The object being created, before the first message.
  virtual void SetObject(Object* object) = 0;
  // One mouse message: `point` counts the clicks so far (0 for the first), `planePoint` is the
  // construction-plane point under the cursor, and `tm` the node's transform to set.
  virtual CreateResult Proc(MouseMsg msg, int point, const Point3& planePoint, Matrix3& tm) = 0;
};

// One creation in progress, from the first click until the procedure stops or cancels it.
class Creation {
 public:
  // Makes an object of the class and its node. False with a message when the class cannot be
  // created by dragging.
  bool Begin(Scene& scene, const ClassDesc& desc, std::string* error);
  // Feeds one message. On kStop the node stays, selected; on kAbort it is deleted. Messages after
  // the end are ignored (kAbort).
  CreateResult Mouse(MouseMsg msg, const Point3& planePoint);
  bool Active() const { return node_ != 0; }
  // The node being created, or the one just made by a stopped creation; null otherwise.
  Node* GetNode() const;

 private:
  Scene* scene_ = nullptr;
  CreateMouseCallBack* callback_ = nullptr;
  uint32_t node_ = 0;   // handle of the node being created
  uint32_t made_ = 0;   // handle of the last node made
  int point_ = 0;
};

// The point where the ray (origin, direction) meets the construction plane z = 0; false when it
// runs parallel to the plane or away from it.
bool ConstructionPlanePoint(const Point3& origin, const Point3& direction, Point3& point);

}  // namespace host
