// Recorded launch sequences: the GPU path's way to queue a fixed run of launches as one.
#pragma once

#include "device/exec.h"

namespace tf {

// A fixed sequence of launches on the run's stream, recorded the first time it runs and replayed
// afterwards as one launch on the GPU path. Everything the sequence takes from the host (pointers,
// extents, counts) is frozen when it is recorded, so use it only for work whose shape never changes
// over the object's life, and Reset it when that changes. The sequence must not wait for the
// device (no kReduce, no Download): nothing runs while it is recorded. On the CPU path, or when
// recording fails, the sequence simply runs every time.
class LaunchGraph {
 public:
  LaunchGraph() = default;
  LaunchGraph(const LaunchGraph&) = delete;
  LaunchGraph& operator=(const LaunchGraph&) = delete;
  ~LaunchGraph() { Reset(); }

  template <class Record>
  void Run(const Exec& ex, const char* label, const Record& record) {
    if (!ex.gpu || failed_ || !LaunchGraphsOn()) {
      record();
      return;
    }
    if (graph_ == nullptr) {
      if (!BeginRecording(ex)) {
        failed_ = true;
        record();
        return;
      }
      record();
      if (!EndRecording(ex)) {
        failed_ = true;
        record();  // nothing ran while recording
        return;
      }
    }
    Replay(ex, label);
  }
  void Reset();

 private:
  bool BeginRecording(const Exec& ex);
  bool EndRecording(const Exec& ex);
  void Replay(const Exec& ex, const char* label);

  void* graph_ = nullptr;  // cudaGraphExec_t
  bool failed_ = false;
};

}  // namespace tf
