#include "bake/adaptive_run.h"

#include <algorithm>
#include <vector>

#include "capture/capture_scene.h"
#include "host/core/text.h"

namespace tf {

namespace {

int64_t CellCount(const CellBox& b) {
  const Int3 s = b.Size();
  return int64_t(s.x) * int64_t(s.y) * int64_t(s.z);
}

CellBox Translated(const CellBox& b, const Int3& by) {
  if (b.Empty()) return b;
  return {{b.lo.x + by.x, b.lo.y + by.y, b.lo.z + by.z}, {b.hi.x + by.x, b.hi.y + by.y, b.hi.z + by.z}};
}

}  // namespace

CellBox ContentBox(FireSim& sim, float threshold) {
  const GridDesc g = sim.Grid();
  std::vector<float> values(size_t(g.nx) * size_t(g.ny) * size_t(g.nz));
  CellBox box;
  for (const FieldId id : {FieldId::Density, FieldId::Temperature, FieldId::Fuel, FieldId::Flame, FieldId::Dust}) {
    if (!sim.CopyField(id, values.data())) return {};
    box = BoundsWhere(values.data(), g.nx, g.ny, g.nz, [threshold](float v) { return v > threshold; }, box);
  }
  return box;
}

bool MoveWindow(SimRun& run, const CellBox& cells) {
  RunWindow& w = run.window;
  if (!run.sim || cells == w.cells) return true;
  // Once the device has refused a window, none larger than the one it holds is asked for again.
  if (w.cannotGrow && CellCount(cells) > CellCount(w.cells)) return false;
  const Int3 box{run.grid.nx, run.grid.ny, run.grid.nz};
  const DomainGrid grid = WindowGrid(run.grid, cells);
  const Int3 offset{cells.lo.x - w.cells.lo.x, cells.lo.y - w.cells.lo.y, cells.lo.z - w.cells.lo.z};
  if (!run.sim->Resize(GridDesc{grid.nx, grid.ny, grid.nz, grid.cellSizeM}, offset,
                       WindowOpenSides(w.boxSides, cells, box))) {
    w.cannotGrow = true;
    return false;
  }
  w.cells = cells;
  // The new arrays hold no colliders: the next frame uploads them again.
  run.capture.solidsUploaded = false;
  return true;
}

void PlaceFirstWindow(SimRun& run, int frame) {
  if (!run.window.settings.on) return;
  const Int3 box{run.grid.nx, run.grid.ny, run.grid.nz};
  MoveWindow(run, FirstWindow(CaptureSourceBox(run, frame), box, run.window.settings.margin));
}

void AdaptWindow(SimRun& run, std::optional<int> nextFrame) {
  const RunWindow& w = run.window;
  if (!w.settings.on || !run.sim) return;
  CellBox content = Translated(ContentBox(*run.sim, w.settings.threshold), w.cells.lo);
  if (nextFrame) content = Union(content, CaptureSourceBox(run, *nextFrame));
  const Int3 box{run.grid.nx, run.grid.ny, run.grid.nz};
  MoveWindow(run, NextWindow(w.cells, content, box, w.settings.margin));
}

std::string WindowText(const SimRun& run) {
  const Int3 s = run.window.cells.Size();
  return host::Format("window %dx%dx%d of %dx%dx%d", s.x, s.y, s.z, run.grid.nx, run.grid.ny, run.grid.nz);
}

}  // namespace tf
