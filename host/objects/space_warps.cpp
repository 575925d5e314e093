#include "host/objects/space_warps.h"

#include <limits>

#include "host/objects/builtin_class.h"
#include "host/scene/scene.h"

namespace host {

namespace {

class UniformField final : public ForceField {
 public:
  UniformField(const Object& obj, const Node& node) : obj_(obj), node_(node) {}
  Point3 Force(TimeValue t, const Point3&, const Point3&, int) override {
    const ParamBlock& pb = *obj_.GetParamBlock(0);
    switch (pb.GetInt(kForceTestOutput, t).value_or(0)) {
      case 1: {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        return {nan, nan, nan};
      }
      case 2: {
        const float inf = std::numeric_limits<float>::infinity();
        return {inf, inf, inf};
      }
      default: break;
    }
    const Point3 local(pb.GetFloat(kForceDirX, t).value_or(0), pb.GetFloat(kForceDirY, t).value_or(0),
                       pb.GetFloat(kForceDirZ, t).value_or(0));
    const Point3 dir = Normalize(node_.GetNodeTM(t).RotationPart().VectorTransform(local));
    const Scene* scene = node_.GetScene();
    const double metresPerUnit = scene ? scene->time.metresPerUnit : TimeSettings().metresPerUnit;
    // m/s^2 -> scene units/s^2 -> scene units/tick^2.
    const double perTick2 = double(pb.GetFloat(kForceStrength, t).value_or(0)) / metresPerUnit /
                            (double(kTicksPerSecond) * kTicksPerSecond);
    return dir * float(perTick2);
  }

 private:
  const Object& obj_;
  const Node& node_;
};

class ForceObject final : public Object {
 public:
  using Object::Object;
  std::unique_ptr<ForceField> GetForceField(const Node& node) const override {
    return std::make_unique<UniformField>(*this, node);
  }
};

ParamBlockDesc ForceBlock(float strength, Point3 dir) {
  return SimpleBlockDesc({
      FloatParam(kForceStrength, "strength", strength, -1e4, 1e4, true, 0, "Strength (m/s2)"),
      FloatParam(kForceDirX, "dirX", dir.x, -1, 1, false, 0, "Direction X"),
      FloatParam(kForceDirY, "dirY", dir.y, -1, 1, false, 0, "Direction Y"),
      FloatParam(kForceDirZ, "dirZ", dir.z, -1, 1, false, 0, "Direction Z"),
      IntParam(kForceTestOutput, "testOutput", 0, 0, 2, 0, "Output", {"Normal", "NaN", "Infinity"}),
  });
}

}  // namespace

const ClassDesc& WindClassDesc() {
  static const ParamBlockDesc block = ForceBlock(1.0f, {1, 0, 0});
  static const BuiltinClassDesc<ForceObject> d(kWindClassId, kWsModifierSuperClass, "Wind", "Forces", block);
  return d;
}

const ClassDesc& GravityClassDesc() {
  static const ParamBlockDesc block = ForceBlock(9.81f, {0, 0, -1});
  static const BuiltinClassDesc<ForceObject> d(kGravityClassId, kWsModifierSuperClass, "Gravity", "Forces", block);
  return d;
}

}  // namespace host
