// What applying a built-in preset and loading a preset file share: the domain's settings, the
// scene's unit, and the one undo step every preset makes.
#pragma once

#include "host/scene/param_block.h"

namespace host {
class Object;
class Scene;
}  // namespace host

namespace tf {

// The domain's parameter block, or null when the object is not a TolvarisFire domain.
host::ParamBlock* DomainBlock(host::Object* domain);
// The metres per scene unit of the domain's scene (the default for a domain in no scene).
double MetresPerUnit(const host::Object& domain);

// Every change made while it lives is one undo step, "Tolvaris Fire preset".
class PresetUndoStep {
 public:
  explicit PresetUndoStep(const host::Object& domain);
  ~PresetUndoStep();
  PresetUndoStep(const PresetUndoStep&) = delete;
  PresetUndoStep& operator=(const PresetUndoStep&) = delete;

 private:
  host::Scene* scene_;
};

}  // namespace tf
