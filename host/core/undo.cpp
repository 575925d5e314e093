#include "host/core/undo.h"

#include <algorithm>

namespace host {

namespace {
// Enough to undo a long working session; older steps are dropped first.
constexpr size_t kMaxSteps = 200;
}  // namespace

void UndoStack::Put(std::unique_ptr<UndoRecord> record) {
  if (!marks_.empty() && record) open_.push_back(std::move(record));
}

void UndoStack::Accept(std::string name) {
  if (marks_.empty()) return;
  marks_.pop_back();
  if (!marks_.empty()) return;
  if (open_.empty()) return;
  steps_.push_back(Step{std::move(name), std::move(open_)});
  open_.clear();
  if (steps_.size() > kMaxSteps) steps_.erase(steps_.begin());
}

void UndoStack::Cancel() {
  if (marks_.empty()) return;
  marks_.clear();
  std::vector<std::unique_ptr<UndoRecord>> records = std::move(open_);
  open_.clear();
  RestoreAll(records);
}

void UndoStack::CancelInner() {
  if (marks_.empty()) return;
  const size_t mark = std::min(marks_.back(), open_.size());
  marks_.pop_back();
  std::vector<std::unique_ptr<UndoRecord>> records;
  records.reserve(open_.size() - mark);
  for (size_t i = mark; i < open_.size(); ++i) records.push_back(std::move(open_[i]));
  open_.resize(mark);
  // Restoring must not put records: with the level closed, an outer level still open would keep
  // them. Hide the open levels while restoring.
  std::vector<size_t> outer = std::move(marks_);
  marks_.clear();
  RestoreAll(records);
  marks_ = std::move(outer);
}

bool UndoStack::Undo() {
  if (!marks_.empty() || steps_.empty()) return false;
  Step step = std::move(steps_.back());
  steps_.pop_back();
  RestoreAll(step.records);
  return true;
}

void UndoStack::Clear() {
  marks_.clear();
  open_.clear();
  steps_.clear();
}

void UndoStack::RestoreAll(std::vector<std::unique_ptr<UndoRecord>>& records) {
  // Latest first, so a value changed twice ends up as it was before the first change.
  ++restoring_;
  for (auto it = records.rbegin(); it != records.rend(); ++it) (*it)->Restore();
  --restoring_;
}

}  // namespace host
