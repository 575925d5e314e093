// SIMULATE: bakes a domain's frame range into its cache.
//
// One call opens a fresh run (grid sized at time 0, solver on the GPU or the CPU), deletes the
// domain's old cache frames and then, for every frame of the range in order, captures the scene
// and steps the solver, captures the fields into a cache frame, writes it and hands it to the
// output stage. Progress goes to the caller after every frame; the caller can stop the bake there,
// and the frames written so far stay. The result carries one summary message with where the time
// went.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/core/progress.h"
#include "host/core/status.h"

namespace host {
class Node;
class Object;
}  // namespace host

namespace tf {

// ok: the frame loop ran (also when it was stopped early); message: the summary, or why the bake
// did not run or stopped.
struct SimulateResult : host::Status {
  bool cancelled = false;  // the progress callback asked to stop
  int32_t framesDone = 0;
  double avgSolveMs = 0.0;  // mean solver step time over the frames done
  double avgFrameMs = 0.0;  // mean wall time per frame, outputs included
  size_t bytesAllocated = 0;
  bool usedGpu = false;
};

// Frames done, frames total, the frame's text; false stops the bake after that frame.
using host::ProgressFn;

struct SimulateOptions {
  // Go on from the newest restart point of a stopped or killed bake (bake/bake_restart.h) instead
  // of starting over: the frames up to it stay, the rest are baked as the first bake would have.
  bool resume = false;
};

// Bakes `domain` (a TolvarisFire domain) on `node`. `progress` may be empty.
SimulateResult Simulate(host::Object* domain, host::Node* node, const ProgressFn& progress = {},
                        const SimulateOptions& options = {});

// True while a bake runs anywhere in the process; live mode stays idle meanwhile.
bool BakeInProgress();

}  // namespace tf
