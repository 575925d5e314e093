#include "host/objects/hair.h"

#include "host/objects/builtin_class.h"

namespace host {

namespace {

class TuftFxObject final : public Object {
 public:
  using Object::Object;
};

const ParamBlockDesc& TuftFxBlock() {
  static const ParamBlockDesc d = SimpleBlockDesc({
      NodeParam(kTuftSurface, "surface", 0, "Grow on"),
      FloatParam(kTuftLength, "length", 5, 0, 1e6, true, 0, "Length"),
  });
  return d;
}

}  // namespace

const ClassDesc& TuftFxClassDesc() {
  static const BuiltinClassDesc<TuftFxObject> d(kTuftFxClassId, kGeomObjectSuperClass, "TuftFx", "Hair", TuftFxBlock());
  return d;
}

}  // namespace host
