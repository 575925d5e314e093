#include "plugin/fire_create_cb.h"

#include <algorithm>
#include <cmath>

#include "domain/fire_params_desc.h"
#include "plugin/fire_object.h"

namespace tf {

namespace {
constexpr float kMinSize = 0.001f;    // no side is ever made thinner than this
constexpr float kKeepSize = 0.01f;    // a base no larger than this on both sides was a click
}  // namespace

void FireCreateCB::SetObject(host::Object* object) { domain_ = AsFireObject(object); }

host::CreateResult FireCreateCB::Proc(host::MouseMsg msg, int point, const host::Point3& planePoint, host::Matrix3& tm) {
  using host::CreateResult;
  using host::MouseMsg;
  if (msg == MouseMsg::kAbort) return CreateResult::kAbort;
  if (msg != MouseMsg::kPoint && msg != MouseMsg::kMove) return CreateResult::kContinue;
  if (msg == MouseMsg::kPoint && point == 0) {
    start_ = planePoint;
    tm.SetIdentity();
    tm.SetTrans(planePoint);
    return CreateResult::kContinue;
  }
  const host::Point3 q = planePoint;
  tm.SetTrans((start_ + q) * 0.5f);
  const float sx = std::max(std::fabs(q.x - start_.x), kMinSize);
  const float sy = std::max(std::fabs(q.y - start_.y), kMinSize);
  if (host::ParamBlock* block = domain_ ? domain_->Params() : nullptr) {
    const host::TimeValue t = domain_->CurrentTime();
    block->SetFloat(kSizeX, t, sx);
    block->SetFloat(kSizeY, t, sy);
    block->SetFloat(kSizeZ, t, 1.5f * std::max(sx, sy));
  }
  if (msg == MouseMsg::kPoint && point >= 1)
    return sx > kKeepSize || sy > kKeepSize ? CreateResult::kStop : CreateResult::kAbort;
  return CreateResult::kContinue;
}

FireCreateCB& GetFireCreateCB() {
  static FireCreateCB cb;
  return cb;
}

}  // namespace tf
