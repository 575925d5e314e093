#include "presets/preset_edit.h"

#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"

namespace tf {

host::ParamBlock* DomainBlock(host::Object* domain) {
  host::ParamBlock* block = domain ? domain->GetParamBlockById(kFireParamBlockId) : nullptr;
  return block && &block->Desc() == &FireParamBlockDesc() ? block : nullptr;
}

double MetresPerUnit(const host::Object& domain) {
  return domain.GetScene() ? domain.GetScene()->time.metresPerUnit : host::TimeSettings{}.metresPerUnit;
}

PresetUndoStep::PresetUndoStep(const host::Object& domain) : scene_(domain.GetScene()) {
  if (scene_) scene_->Undo().Begin();
}

PresetUndoStep::~PresetUndoStep() {
  if (scene_) scene_->Undo().Accept("Tolvaris Fire preset");
}

}  // namespace tf
