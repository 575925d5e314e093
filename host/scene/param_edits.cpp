// What a parameter edit does beyond its block: while the scene's undo history holds, the old
// value goes into it; the owning object hears of the change; and listeners hear of it, unless undo
// is putting an old value back.
#include <memory>
#include <utility>

#include "host/scene/notify.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"

namespace host {

class ParamBlock::SlotRecord : public UndoRecord {
 public:
  SlotRecord(ParamBlock* block, int id, Slot old) : block_(block), id_(id), old_(std::move(old)) {}
  void Restore() override {
    block_->slots_[size_t(block_->index_[size_t(id_)])] = std::move(old_);
    // Undo tells the object but raises no notification: handlers would see undo as a new edit.
    if (block_->owner_) block_->owner_->OnParamChanged(*block_, id_);
  }

 private:
  ParamBlock* block_;
  int id_;
  Slot old_;
};

void ParamBlock::Hold(int id, const Slot& slot) {
  Scene* scene = owner_ ? owner_->GetScene() : nullptr;
  if (scene && scene->Undo().IsHolding())
    scene->Undo().Put(std::make_unique<SlotRecord>(this, id, slot));
}

void ParamBlock::Changed(int id) {
  if (!owner_) return;
  owner_->OnParamChanged(*this, id);
  if (id < 0 || !HasNotificationListeners()) return;
  Scene* scene = owner_->GetScene();
  if (!scene || scene->Undo().Restoring()) return;  // undo is no new edit
  Node* node = scene->FindNodeOf(owner_);
  const ParamDef* def = Def(id);
  if (!node || !def) return;
  Notification n;
  n.code = NotifyCode::kParamChanged;
  n.node = node;
  n.param = def->name;
  // The set itself succeeded; a failing listener has reported its failure already.
  BroadcastNotification(n);
}

}  // namespace host
