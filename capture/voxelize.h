// Voxelisation of scene geometry into coverage grids: spheres around points, shells around
// triangles and the inside of closed meshes. Every primitive writes into a grid of nx x ny x nz
// floats (index x + nx * (y + ny * z)) and keeps the larger of a cell's value and its coverage.
// Positions are grid coordinates: cell (i, j, k) covers [i, i + 1) x [j, j + 1) x [k, k + 1) and its
// centre is (i + 0.5, j + 0.5, k + 0.5). Geometry outside the grid is clipped; points that are not
// finite are ignored.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "host/core/math.h"

namespace tf {

// A coverage grid the primitives write into; it does not own the values.
struct CoverageGrid {
  float* values = nullptr;
  int nx = 0, ny = 0, nz = 0;

  size_t Index(int x, int y, int z) const { return size_t(x) + size_t(nx) * (size_t(y) + size_t(ny) * size_t(z)); }
  size_t Size() const { return size_t(nx) * size_t(ny) * size_t(nz); }
};

// Calls fn(index, coverage) for every cell a sphere of `radius` cells around `centre` covers. The
// radius is at least half a cell, so a point always reaches its own cell; a cell whose centre lies
// at distance d < r + 0.5 has coverage min(1, 1.5 - (d - 0.5) / (r + 0.5)), about 0.5 at the edge.
template <class Fn>
void ForEachSphereCell(const CoverageGrid& grid, const host::Point3& centre, float radius, Fn&& fn);

// Stamps a sphere: every covered cell keeps the larger of its value and the coverage (the same
// cells and coverages as ForEachSphereCell, a row at a time).
void StampSphere(const CoverageGrid& grid, const host::Point3& centre, float radius);

// Stamps spheres of radius `thickness` over every triangle (three points each in `triangles`),
// sampled at half the thickness (at least half a cell), with at most 2000 steps along a side.
void StampTriangleShell(const CoverageGrid& grid, std::span<const host::Point3> triangles, float thickness);

// Sets to 1 every cell inside the surface of `triangles` by the non-zero winding rule, from the
// crossings of vertical lines through the cell centres. A line through an edge of a triangle counts
// that triangle only when x + y of its column is even. An open mesh fills what its crossings imply.
void FillClosedMesh(const CoverageGrid& grid, std::span<const host::Point3> triangles);

// ---- Implementation of the template ----------------------------------------------------------

namespace detail {
// The index range [lo, hi] of cells touched by [a, b] on an axis of n cells; false when empty.
bool ClipRange(double a, double b, int n, int& lo, int& hi);

// The box of cells a sphere may cover, clipped to the grid, and the distance from its centre below
// which a cell centre is covered; false when nothing can be (no grid, a value that is not finite,
// the box off the grid).
struct SphereBox {
  int x0, x1, y0, y1, z0, z1;
  float reach;
};
bool SphereBoxOf(const CoverageGrid& grid, const host::Point3& centre, float radius, SphereBox& box);
}  // namespace detail

template <class Fn>
void ForEachSphereCell(const CoverageGrid& grid, const host::Point3& centre, float radius, Fn&& fn) {
  detail::SphereBox b;
  if (!detail::SphereBoxOf(grid, centre, radius, b)) return;
  const float reach = b.reach;
  for (int z = b.z0; z <= b.z1; ++z) {
    const float dz = float(z) + 0.5f - centre.z;
    for (int y = b.y0; y <= b.y1; ++y) {
      const float dy = float(y) + 0.5f - centre.y;
      for (int x = b.x0; x <= b.x1; ++x) {
        const float dx = float(x) + 0.5f - centre.x;
        const float d = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (d >= reach) continue;
        const float coverage = std::min(1.0f, 1.5f - (d - 0.5f) / reach);
        fn(grid.Index(x, y, z), coverage);
      }
    }
  }
}

}  // namespace tf
