// Moving an adaptive run's window: placed on the first frame's sources, then after every frame
// grown where the content or the next frame's sources come within the margin of an inner side and
// shrunk where the content has left one (domain/adaptive_window.h has the rules). A run that is not
// adaptive keeps the whole box and none of this does anything.
#pragma once

#include <optional>
#include <string>

#include "capture/sim_run.h"

namespace tf {

// The cells of the solver's own grid where smoke, fuel, flame, dust or temperature above ambient
// exceed `threshold` (empty when none does).
CellBox ContentBox(FireSim& sim, float threshold);

// Moves the run's solver onto `cells` (a box of the box's cells), the state kept where old and new
// window overlap. When the device cannot hold it the window stays as it was and stops growing
// from then on (RunWindow::cannotGrow); false then.
bool MoveWindow(SimRun& run, const CellBox& cells);

// Places the window of an adaptive run on the sources of its first frame.
void PlaceFirstWindow(SimRun& run, int frame);

// After a frame: the window follows the content and the sources of `nextFrame` (none after the
// last frame).
void AdaptWindow(SimRun& run, std::optional<int> nextFrame);

// "window 61x58x97 of 196x196x255" for the run's window now.
std::string WindowText(const SimRun& run);

}  // namespace tf
