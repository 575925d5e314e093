// Index arithmetic of the solver's arrays, shared by every body: dense blocks with x fastest,
// then y, then z. Cells have extents (nx, ny, nz); the u, v and w faces (nx+1, ny, nz),
// (nx, ny+1, nz) and (nx, ny, nz+1). Indices are 32-bit: Create refuses grids that would overflow.
#pragma once

#include "device/device.h"

namespace tf {

struct Dims {
  int nx, ny, nz;
  TFR_HD int cell(int i, int j, int k) const { return i + nx * (j + ny * k); }
  TFR_HD int u(int i, int j, int k) const { return i + (nx + 1) * (j + ny * k); }
  TFR_HD int v(int i, int j, int k) const { return i + nx * (j + (ny + 1) * k); }
  TFR_HD int w(int i, int j, int k) const { return i + nx * (j + ny * k); }
  // Distance between neighbours along y and z in each array (x neighbours are 1 apart).
  TFR_HD int cellStrideY() const { return nx; }
  TFR_HD int cellStrideZ() const { return nx * ny; }
};

}  // namespace tf
