#include "capture/voxelize.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tf {

namespace detail {

bool ClipRange(double a, double b, int n, int& lo, int& hi) {
  // Clamped in double first, so that far-away geometry never overflows an int.
  const double l = std::max(a, 0.0);
  const double h = std::min(b, double(n) - 1.0);
  if (!(l <= h)) return false;
  lo = int(l);
  hi = int(h);
  return true;
}

}  // namespace detail

namespace {

bool Finite(const host::Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// One crossing of a column's vertical line with a triangle.
struct Crossing {
  uint32_t column;  // x + nx * y
  float z;
  int sign;
};

}  // namespace

void StampSphere(const CoverageGrid& grid, const host::Point3& centre, float radius) {
  float* v = grid.values;
  ForEachSphereCell(grid, centre, radius, [v](size_t i, float coverage) { v[i] = std::max(v[i], coverage); });
}

void StampTriangleShell(const CoverageGrid& grid, std::span<const host::Point3> triangles, float thickness) {
  if (!grid.values || !std::isfinite(thickness)) return;
  const float step = std::max(thickness * 0.5f, 0.5f);
  for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
    const host::Point3 a = triangles[t], b = triangles[t + 1], c = triangles[t + 2];
    if (!Finite(a) || !Finite(b) || !Finite(c)) continue;
    const float longest = std::max({host::Length(b - a), host::Length(c - b), host::Length(a - c)});
    const int n = int(std::clamp(std::ceil(double(longest) / step), 1.0, 2000.0));
    const host::Point3 ab = (b - a) / float(n), ac = (c - a) / float(n);
    for (int i = 0; i <= n; ++i)
      for (int j = 0; j <= n - i; ++j) StampSphere(grid, a + ab * float(i) + ac * float(j), thickness);
  }
}

void FillClosedMesh(const CoverageGrid& grid, std::span<const host::Point3> triangles) {
  if (!grid.values || grid.nx <= 0 || grid.ny <= 0 || grid.nz <= 0) return;
  std::vector<Crossing> crossings;
  for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
    const host::Point3 a = triangles[t], b = triangles[t + 1], c = triangles[t + 2];
    if (!Finite(a) || !Finite(b) || !Finite(c)) continue;
    // Doubled signed area of the projection onto xy, in double so that thin triangles keep their sign.
    const double s = (double(b.x) - a.x) * (double(c.y) - a.y) - (double(b.y) - a.y) * (double(c.x) - a.x);
    if (std::abs(s) < 1e-12) continue;
    const double orient = s > 0.0 ? 1.0 : -1.0;
    int x0, x1, y0, y1;
    if (!detail::ClipRange(std::ceil(std::min({a.x, b.x, c.x}) - 0.5), std::floor(std::max({a.x, b.x, c.x}) - 0.5),
                           grid.nx, x0, x1) ||
        !detail::ClipRange(std::ceil(std::min({a.y, b.y, c.y}) - 0.5), std::floor(std::max({a.y, b.y, c.y}) - 0.5),
                           grid.ny, y0, y1))
      continue;
    for (int y = y0; y <= y1; ++y) {
      const double py = y + 0.5;
      for (int x = x0; x <= x1; ++x) {
        const double px = x + 0.5;
        // Edge functions: each is twice the area of the sub-triangle opposite one corner.
        const double ea = ((double(c.x) - b.x) * (py - b.y) - (double(c.y) - b.y) * (px - b.x)) * orient;
        const double eb = ((double(a.x) - c.x) * (py - c.y) - (double(a.y) - c.y) * (px - c.x)) * orient;
        const double ec = ((double(b.x) - a.x) * (py - a.y) - (double(b.y) - a.y) * (px - a.x)) * orient;
        if (ea < 0.0 || eb < 0.0 || ec < 0.0) continue;
        // A line through an edge meets both triangles that share it: only even columns take them.
        if ((ea == 0.0 || eb == 0.0 || ec == 0.0) && ((x + y) & 1) != 0) continue;
        const double z = (ea * a.z + eb * b.z + ec * c.z) / (ea + eb + ec);
        crossings.push_back({uint32_t(x) + uint32_t(grid.nx) * uint32_t(y), float(z), s > 0.0 ? 1 : -1});
      }
    }
  }
  std::sort(crossings.begin(), crossings.end(), [](const Crossing& l, const Crossing& r) {
    return l.column != r.column ? l.column < r.column : l.z < r.z;
  });
  const size_t layer = size_t(grid.nx) * size_t(grid.ny);
  for (size_t i = 0; i < crossings.size();) {
    size_t end = i;
    while (end < crossings.size() && crossings[end].column == crossings[i].column) ++end;
    int winding = 0;
    for (size_t k = i; k + 1 < end; ++k) {
      winding += crossings[k].sign;
      if (winding == 0) continue;
      int z0, z1;
      if (!detail::ClipRange(std::ceil(double(crossings[k].z) - 0.5), std::floor(double(crossings[k + 1].z) - 0.5),
                             grid.nz, z0, z1))
        continue;
      for (int z = z0; z <= z1; ++z) grid.values[crossings[i].column + layer * size_t(z)] = 1.0f;
    }
    i = end;
  }
}

}  // namespace tf
