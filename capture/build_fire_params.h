// The settings of a domain, read at one scene time, as the solver's per-step record.
#pragma once

#include "domain/domain_grid.h"
#include "host/core/math.h"
#include "host/scene/param_block.h"
#include "solver/fire_sim.h"

namespace tf {

// Reads the domain's parameter block (the block of FireParamBlockDesc) at time `t` (host ticks)
// and fills a FireParams:
//  - temperatures in kelvin become normalised temperatures, (K - 300) / 1000, never below 0;
//  - the scene frame rate (`timeSettings.frameRate`, at least 1) and the time scale become the
//    simulated seconds per frame, and `t` scaled by the time scale becomes `time`;
//  - the shell thickness in scene units becomes cells of `cellSizeUnits` (the grid's cell size in
//    scene units, at least 1e-6);
//  - the pressure quality choice (clamped to 0..2) becomes a tolerance;
//  - the floor, sides and top checkboxes become the six open-side flags;
//  - `substeps` is at least 1 and `endFrame` at least `startFrame`.
// fuelDecay, radiativeCooling, maxPressureIterations and the emission's emitSpeedX and emitSpeedY
// are not settings of the domain and keep the record's defaults, as does any field whose parameter
// the block does not have.
FireParams BuildFireParams(const host::ParamBlock& block, host::TimeValue t,
                           const host::TimeSettings& timeSettings, float cellSizeUnits);
// The same for the domain's grid, of which only the cell size in scene units is used.
FireParams BuildFireParams(const host::ParamBlock& block, host::TimeValue t,
                           const host::TimeSettings& timeSettings, const DomainGrid& grid);

// Normalised temperature of a temperature in kelvin: 300 K is 0, every 1000 K is 1, never negative.
float KelvinToNormalised(float kelvin);

// Pressure solver tolerance of a pressure quality choice; indices outside 0..2 use the nearest end.
float PressureTolerance(int quality);

}  // namespace tf
