// FireCreateCB: a domain is created by dragging its base out on the construction plane. The first
// click places it, the drag sizes the base (the height follows at 1.5 times the longer side), and
// the second click keeps it unless the base stayed a dot.
#pragma once

#include "host/scene/creation.h"

namespace tf {

class FireObject;

class FireCreateCB final : public host::CreateMouseCallBack {
 public:
  void SetObject(host::Object* object) override;
  host::CreateResult Proc(host::MouseMsg msg, int point, const host::Point3& planePoint, host::Matrix3& tm) override;

 private:
  FireObject* domain_ = nullptr;
  host::Point3 start_;
};

// The process's one creation procedure, handed out by the class descriptor.
FireCreateCB& GetFireCreateCB();

}  // namespace tf
