// Restart points of a bake: after every K-th frame (the domain's restartEvery) the bake keeps the
// full-precision state of its run in the cache folder as restart_NNNN.tfr, the newest one only, so
// that a bake that was stopped or killed can go on from there (tolvaris simulate --resume, or the
// panel's Resume bake) and give the frames an uninterrupted bake gives, bit for bit on the CPU.
//
// The file holds the frame it follows, what source gathering keeps between frames (the domain's
// last transform and the fraction of a cell it has moved but not yet shifted) and the solver state
// (solver/fire_sim_state.h). It is written through the atomic writer, so a kill leaves the previous
// restart point or the new one, never a torn one. A clean finish and a new bake remove it.
#pragma once

#include <string>

#include "capture/sim_run.h"

namespace tf {

// Writes the restart point after `frame` of `run` and removes older ones. False with the reason.
bool WriteRestartPoint(const std::string& cacheFolder, SimRun& run, int frame, std::string* error);

// The newest restart point of the folder: its frame, or false when there is none.
bool FindRestartPoint(const std::string& cacheFolder, int& frame);

// Loads the restart point after `frame` into a freshly opened `run` of the same grid. False with
// the reason (missing, damaged, another grid) and `run` as it was.
bool LoadRestartPoint(const std::string& cacheFolder, int frame, SimRun& run, std::string* error);

// Removes every restart point of the folder.
void DeleteRestartPoints(const std::string& cacheFolder);

}  // namespace tf
