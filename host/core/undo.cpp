#include "host/core/undo.h"

namespace host {

namespace {
// Enough to undo a long working session; older steps are dropped first.
constexpr size_t kMaxSteps = 200;
}  // namespace

void UndoStack::Put(std::unique_ptr<UndoRecord> record) {
  if (depth_ > 0 && record) open_.push_back(std::move(record));
}

void UndoStack::Accept(std::string name) {
  if (depth_ == 0) return;
  if (--depth_ > 0) return;
  if (open_.empty()) return;
  steps_.push_back(Step{std::move(name), std::move(open_)});
  open_.clear();
  if (steps_.size() > kMaxSteps) steps_.erase(steps_.begin());
}

void UndoStack::Cancel() {
  if (depth_ == 0) return;
  depth_ = 0;
  std::vector<std::unique_ptr<UndoRecord>> records = std::move(open_);
  open_.clear();
  RestoreAll(records);
}

bool UndoStack::Undo() {
  if (depth_ > 0 || steps_.empty()) return false;
  Step step = std::move(steps_.back());
  steps_.pop_back();
  RestoreAll(step.records);
  return true;
}

void UndoStack::Clear() {
  depth_ = 0;
  open_.clear();
  steps_.clear();
}

void UndoStack::RestoreAll(std::vector<std::unique_ptr<UndoRecord>>& records) {
  // Latest first, so a value changed twice ends up as it was before the first change.
  for (auto it = records.rbegin(); it != records.rend(); ++it) (*it)->Restore();
}

}  // namespace host
