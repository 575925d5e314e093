#include "host/objects/camera.h"

#include <numbers>

#include "host/objects/builtin_class.h"

namespace host {

namespace {

class CameraObject final : public Object {
 public:
  using Object::Object;
  bool EvalCameraState(TimeValue t, CameraState& state) const override {
    const ParamBlock& pb = *GetParamBlock(0);
    state.fov = pb.GetFloat(kCameraFov, t).value_or(45.0f) * (std::numbers::pi_v<float> / 180.0f);
    state.ortho = pb.GetBool(kCameraOrtho, t).value_or(false);
    state.targetDistance = pb.GetFloat(kCameraTargetDistance, t).value_or(160.0f);
    return true;
  }
};

const ParamBlockDesc& CameraBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({
      FloatParam(kCameraFov, "fov", 45, 0.5, 179, true, 0, "FOV (degrees)"),
      BoolParam(kCameraOrtho, "ortho", false, 0, "Orthographic"),
      WorldParam(kCameraTargetDistance, "targetDistance", 160, 0, 1e7, true, 0, "Target distance"),
  });
  return d;
}

}  // namespace

const ClassDesc& CameraClassDesc() {
  static const BuiltinClassDesc<CameraObject> d(kCameraClassId, kCameraSuperClass, "Camera", "Cameras", CameraBlock());
  return d;
}

}  // namespace host
