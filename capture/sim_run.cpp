#include "capture/sim_run.h"

#include <algorithm>

#include "capture/build_fire_params.h"
#include "domain/domain_sizing.h"
#include "domain/fire_params_desc.h"
#include "host/core/status.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"

namespace tf {

DomainGrid SolverGrid(const SimRun& run) {
  return run.window.settings.on ? WindowGrid(run.grid, run.window.cells) : run.grid;
}

bool OpenSimRun(SimRun& run, host::Object* domain, host::Node* node, bool live, std::string* message) {
  run.domain = domain;
  run.node = node;
  run.live = live;
  const host::ParamBlock* block = domain ? domain->GetParamBlockById(kFireParamBlockId) : nullptr;
  if (!block || !node) return host::Fail(message, "Select the TolvarisFire domain first.");

  const host::Scene* scene = node->GetScene() ? node->GetScene() : domain->GetScene();
  const host::TimeSettings timeSettings = scene ? scene->time : host::TimeSettings{};

  // A live run has its own, coarser resolution, so that it keeps up with the viewport.
  const int resolutionOverride = live ? std::max(block->GetInt(kLiveResolution, 0).value_or(64), 16) : 0;
  run.grid = SizeDomainGrid(*block, 0, resolutionOverride, timeSettings.metresPerUnit);
  run.params = BuildFireParams(*block, 0, timeSettings, run.grid);
  const FireParams& params = run.params;

  const Int3 box{run.grid.nx, run.grid.ny, run.grid.nz};
  run.window = RunWindow{};
  run.window.settings = ReadAdaptiveSettings(*block);
  run.window.boxSides = params.openSides;
  run.window.cells = run.window.settings.on ? FirstWindow(CellBox{}, box, 0) : CellBox{{0, 0, 0}, box};
  const OpenSides sides = WindowOpenSides(params.openSides, run.window.cells, box);
  const DomainGrid solverGrid = SolverGrid(run);
  const GridDesc grid{solverGrid.nx, solverGrid.ny, solverGrid.nz, solverGrid.cellSizeM};
  if (!run.sim) run.sim = std::make_unique<FireSim>();
  bool created = run.sim->Create(grid, sides, params.useGpu);
  // The GPU may be present but too small for the grid: the CPU path is slower but usually fits.
  if (!created && params.useGpu) created = run.sim->Create(grid, sides, false);
  if (!created) return host::Fail(message, std::string("Could not allocate the domain: ") + run.sim->LastError());
  run.capture.solidsUploaded = false;
  run.capture.quenchUploaded = false;
  return true;
}

}  // namespace tf
