// The solver grid of a domain: how many cubic cells lie along each axis, how large a cell is in
// scene units and in metres, and where the grid sits in the domain's box. Everything that places
// cells in the scene uses this record (or the same placement rule applied to the grid size and
// cell size a cache frame stores).
#pragma once

#include <cstdint>

namespace tf {

struct DomainGrid {
  int32_t nx = 4, ny = 4, nz = 4;  // cells along x, y, z; each at least 4
  float cellSize = 1.0f;           // edge of a cell, scene units
  float cellSizeM = 0.0254f;       // edge of a cell, metres
  // Object-space position of the grid's minimum corner, scene units:
  // (-nx * cellSize / 2, -ny * cellSize / 2, 0). The grid stands on the pivot, centred in x and y.
  float originX = -2.0f, originY = -2.0f, originZ = 0.0f;
};

}  // namespace tf
