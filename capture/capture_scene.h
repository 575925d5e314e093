// Scene capture: once per simulated frame, the scene becomes the solver's per-frame inputs
// (emitters, velocities, flammables, colliders, water, force fields) and the solver advances by
// one frame.
#pragma once

#include "capture/sim_run.h"

namespace tf {

// Captures the scene of the run's domain at `frame` (time = frame x ticks per frame), uploads
// everything to the run's solver and steps it by one frame. Uses and updates the run's capture
// state (domain motion, uploaded marks, events, invalid force samples).
void CaptureScene(SimRun& run, int frame);

// The box of the box's cells that the fire sources, dust sources and events of `frame` cover
// (empty when there are none), for placing an adaptive run's window. Uploads nothing.
CellBox CaptureSourceBox(SimRun& run, int frame);

}  // namespace tf
