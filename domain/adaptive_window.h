// The adaptive domain: the solver works on a window of whole cells of the box's grid that follows
// the fire, grown where content or sources come near one of its sides and shrunk where the content
// has left one. The box stays the largest region the fire may use, so the window never leaves it.
//
//   box  +-------------------------------+
//        |      window +---------+       |   a window side inside the box is open; one on a
//        |             | margin  |       |   side of the box takes that side's setting (the
//        |             |  fire   |       |   solid floor only where the window stands on it)
//        +-------------+---------+-------+
#pragma once

#include <cstdint>

#include "domain/domain_grid.h"
#include "solver/fire_sim.h"

namespace host {
class ParamBlock;
}

namespace tf {

// A box of whole cells: lo inclusive, hi exclusive. Empty when hi <= lo on any axis.
struct CellBox {
  Int3 lo, hi;
  bool Empty() const { return hi.x <= lo.x || hi.y <= lo.y || hi.z <= lo.z; }
  Int3 Size() const { return {hi.x - lo.x, hi.y - lo.y, hi.z - lo.z}; }
  friend bool operator==(const CellBox&, const CellBox&) = default;
};

// The smallest box holding both (an empty one counts for nothing).
CellBox Union(const CellBox& a, const CellBox& b);
// The cells of an nx*ny*nz array (x fastest) whose value passes `keep`, grown by `bounds`; rows are
// searched for their first and last such cell only.
template <class Keep>
CellBox BoundsWhere(const float* v, int nx, int ny, int nz, Keep keep, CellBox bounds = {}) {
  int x0 = bounds.Empty() ? nx : bounds.lo.x, y0 = bounds.Empty() ? ny : bounds.lo.y, z0 = bounds.Empty() ? nz : bounds.lo.z;
  int x1 = bounds.Empty() ? -1 : bounds.hi.x - 1, y1 = bounds.Empty() ? -1 : bounds.hi.y - 1, z1 = bounds.Empty() ? -1 : bounds.hi.z - 1;
#pragma omp parallel for schedule(static) reduction(min : x0, y0, z0) reduction(max : x1, y1, z1)
  for (int z = 0; z < nz; ++z)
    for (int y = 0; y < ny; ++y) {
      const float* row = v + size_t(nx) * (size_t(y) + size_t(ny) * size_t(z));
      int first = -1, last = -1;
      for (int x = 0; x < nx; ++x)
        if (keep(row[x])) {
          if (first < 0) first = x;
          last = x;
        }
      if (first < 0) continue;
      x0 = first < x0 ? first : x0, x1 = last > x1 ? last : x1;
      y0 = y < y0 ? y : y0, y1 = y > y1 ? y : y1;
      z0 = z < z0 ? z : z0, z1 = z > z1 ? z : z1;
    }
  if (x1 < 0) return {};
  return {{x0, y0, z0}, {x1 + 1, y1 + 1, z1 + 1}};
}

// The domain's adaptive settings, clamped to what the solver can use.
struct AdaptiveSettings {
  bool on = false;
  float threshold = 0.0001f;  // a cell holds content above this
  int margin = 4;             // free cells between the content and an inner side of the window
};
AdaptiveSettings ReadAdaptiveSettings(const host::ParamBlock& block);

// A window side moves by at least this many cells beyond what it needs, so that the window does
// not change on every frame; it shrinks only when the content has left a side by more than twice
// the margin plus this step, and then to the margin plus this step.
inline constexpr int kWindowStep = 8;
// No window is thinner than the solver accepts.
inline constexpr int kMinWindowCells = 4;

// The window of a run's first frame: its sources grown by the margin, inside the box. With no
// sources it is the smallest window at the centre of the box's floor.
CellBox FirstWindow(const CellBox& sources, const Int3& box, int margin);
// The window after a frame whose content (and the next frame's sources) fill `content`.
CellBox NextWindow(const CellBox& window, const CellBox& content, const Int3& box, int margin);
// The open sides of a window: a side on the box's side takes `boxSides`, any other is open.
OpenSides WindowOpenSides(const OpenSides& boxSides, const CellBox& window, const Int3& box);
// The grid of a window of `box`: its cells and where its corner lies in the domain's object space.
DomainGrid WindowGrid(const DomainGrid& box, const CellBox& window);

}  // namespace tf
