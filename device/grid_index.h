// Index arithmetic of the solver's arrays, shared by every body: dense blocks with x fastest,
// then y, then z. Cells have extents (nx, ny, nz); the u, v and w faces (nx+1, ny, nz),
// (nx, ny+1, nz) and (nx, ny, nz+1). Indices are 32-bit: Create refuses grids that would overflow.
#pragma once

#include <cassert>

#include "device/device.h"

// Index steps written by hand (a row's start plus i, a neighbour found by adding a stride) are
// checked in debug builds against the plain index computation: TFR_CHECK_INDEX(got, want) stops
// a debug build on the host where they differ, and compiles to nothing in a release build and in
// device code.
#if !defined(NDEBUG) && !defined(__CUDA_ARCH__)
#define TFR_CHECK_INDEX(got, want) assert((got) == (want) && "a hand-written index step went astray")
#else
#define TFR_CHECK_INDEX(got, want) ((void)0)
#endif

namespace tf {

// The index of element (i, j, k) of an array of extents (ex, ey, *), computed plainly.
TFR_HD inline int PlainIndex(int ex, int ey, int i, int j, int k) { return i + ex * (j + ey * k); }

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
