// The state a FireSim carries from one frame to the next, as bytes: the face velocities, the
// advected fields, the flame the next projection expands with, the pressure the next solve starts
// from and the burn age of flammable cells. Everything else the solver holds is either uploaded
// again by every frame's capture or rebuilt inside a step. Saving after frame f and loading into a
// fresh solver of the same grid lets the next Step continue exactly as the original would have.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "solver/fire_sim.h"

namespace tf {

// Appends the state of a ready solver to `out`. False when the solver is not ready.
bool SaveFireSimState(FireSim& sim, std::vector<uint8_t>& out);

// Replaces the state of a ready solver with `bytes` (what SaveFireSimState gave for a solver of
// the same grid). False, with the reason in `error` (when given) and the solver unchanged, when
// the bytes are not such a state.
bool LoadFireSimState(FireSim& sim, std::span<const uint8_t> bytes, std::string* error);

}  // namespace tf
