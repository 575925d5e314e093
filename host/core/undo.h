// Undo steps. A command opens a step with Begin, makes its changes (each change that can be undone
// puts a record while the step is open) and closes it with Accept under a name, or with Cancel,
// which puts everything back at once. Undo puts back the latest accepted step. Steps nest: only
// the outermost Accept makes a step, so a preset applied from inside a script's own step is part of
// that step.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace host {

// One change that can be put back. Restore must not fail and must not put new records.
class UndoRecord {
 public:
  virtual ~UndoRecord() = default;
  virtual void Restore() = 0;
};

class UndoStack {
 public:
  void Begin() { ++depth_; }
  bool IsHolding() const { return depth_ > 0; }
  // Keeps the record in the open step; without an open step the change is simply not undoable.
  void Put(std::unique_ptr<UndoRecord> record);
  // Closes the step. The outermost Accept stores it under `name`; a step with no records is dropped.
  void Accept(std::string name);
  // Closes the step, every nesting level of it, and puts back what it changed, latest change first.
  void Cancel();
  // Puts back the latest accepted step; false when there is none or a step is still open.
  bool Undo();
  size_t StepCount() const { return steps_.size(); }
  // The name of the step Undo would put back, or empty.
  std::string NextUndoName() const { return steps_.empty() ? std::string() : steps_.back().name; }
  // Forgets every step, open or accepted: records point at objects that may be about to go.
  void Clear();

 private:
  struct Step {
    std::string name;
    std::vector<std::unique_ptr<UndoRecord>> records;
  };
  static void RestoreAll(std::vector<std::unique_ptr<UndoRecord>>& records);

  int depth_ = 0;
  std::vector<std::unique_ptr<UndoRecord>> open_;
  std::vector<Step> steps_;
};

}  // namespace host
