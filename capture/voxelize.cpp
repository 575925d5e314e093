#include "capture/voxelize.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include <omp.h>

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

bool SphereBoxOf(const CoverageGrid& grid, const host::Point3& centre, float radius, SphereBox& box) {
  if (!grid.values || !std::isfinite(centre.x) || !std::isfinite(centre.y) || !std::isfinite(centre.z) ||
      !std::isfinite(radius))
    return false;
  const float r = radius > 0.5f ? radius : 0.5f;
  box.reach = r + 0.5f;
  return ClipRange(std::floor(double(centre.x) - r), std::ceil(double(centre.x) + r), grid.nx, box.x0, box.x1) &&
         ClipRange(std::floor(double(centre.y) - r), std::ceil(double(centre.y) + r), grid.ny, box.y0, box.y1) &&
         ClipRange(std::floor(double(centre.z) - r), std::ceil(double(centre.z) + r), grid.nz, box.z0, box.z1);
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

// The cells x0 <= x <= x1 of one row of a sphere, whose centres lie dy2 + dz2 (the squares of their
// y and z distances) off the line through the sphere's centre: ForEachSphereCell's coverage kept by
// the larger, with no branch per cell, so that the row runs in vector lanes. Each cell gets the same
// bits: the same distance and coverage, and the comparisons of std::max and of the reach (the
// distance is never a NaN), a NaN or -0 in the grid included.
void StampSphereRow(float* __restrict__ row, int x0, int x1, float cx, float dy2, float dz2, float reach) {
  for (int x = x0; x <= x1; ++x) {
    const float dx = float(x) + 0.5f - cx;
    const float d = std::sqrt(dx * dx + dy2 + dz2);
    const float c = 1.5f - (d - 0.5f) / reach;
    const float coverage = c < 1.0f ? c : 1.0f;
    const float old = row[x];
    row[x] = (d < reach) & (old < coverage) ? coverage : old;
  }
}

}  // namespace

void StampSphere(const CoverageGrid& grid, const host::Point3& centre, float radius) {
  detail::SphereBox b;
  if (!detail::SphereBoxOf(grid, centre, radius, b)) return;
  const float reach = b.reach;
  for (int z = b.z0; z <= b.z1; ++z) {
    const float dz = float(z) + 0.5f - centre.z;
    const float dz2 = dz * dz;
    for (int y = b.y0; y <= b.y1; ++y) {
      const float dy = float(y) + 0.5f - centre.y;
      const float dy2 = dy * dy;
      // A row whose line misses the sphere has no cell in it: adding dx^2 >= 0 first can only
      // round the sum up.
      if (std::sqrt(dy2 + dz2) >= reach) continue;
      StampSphereRow(grid.values + grid.Index(0, y, z), b.x0, b.x1, centre.x, dy2, dz2, reach);
    }
  }
}

namespace {

// The spheres over one triangle (the three points from `t`), each centre moved by -shift.
void StampTriangle(const CoverageGrid& grid, const host::Point3* t, float thickness, float step,
                   const host::Point3& shift) {
  const host::Point3 a = t[0], b = t[1], c = t[2];
  if (!Finite(a) || !Finite(b) || !Finite(c)) return;
  const float longest = std::max({host::Length(b - a), host::Length(c - b), host::Length(a - c)});
  const int n = int(std::clamp(std::ceil(double(longest) / step), 1.0, 2000.0));
  const host::Point3 ab = (b - a) / float(n), ac = (c - a) / float(n);
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n - i; ++j) StampSphere(grid, a + ab * float(i) + ac * float(j) - shift, thickness);
}

// Below this many triangles a shell is stamped on the calling thread.
constexpr size_t kParallelTriangles = 64;
// The most floats the threads' own copies of a shell's box may take together (256 MiB).
constexpr size_t kShellCopyFloats = size_t(64) << 20;

// Beyond this many cells from the grid's corner a vertex makes the shell's box the whole grid: the
// spheres' centres, formed from the vertices in floats, may then land far from the triangles.
constexpr double kNearVertex = 65536.0;

// The box of cells a shell's spheres may reach, clipped to the grid: its vertices' box grown by the
// radius and two cells (the spheres' centres are points of the triangles rounded by a small
// fraction of a cell). False when it misses the grid or no triangle is finite.
bool ShellBox(const CoverageGrid& grid, std::span<const host::Point3> triangles, float radius, int lo[3],
              int hi[3]) {
  double mn[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, mx[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  bool any = false;
  for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
    if (!Finite(triangles[t]) || !Finite(triangles[t + 1]) || !Finite(triangles[t + 2])) continue;
    any = true;
    for (size_t v = t; v < t + 3; ++v) {
      const double p[3] = {triangles[v].x, triangles[v].y, triangles[v].z};
      for (int a = 0; a < 3; ++a) mn[a] = std::min(mn[a], p[a]), mx[a] = std::max(mx[a], p[a]);
    }
  }
  if (!any) return false;
  const int n[3] = {grid.nx, grid.ny, grid.nz};
  for (int a = 0; a < 3; ++a)
    if (!(std::max(std::fabs(mn[a]), std::fabs(mx[a])) <= kNearVertex)) mn[a] = -HUGE_VAL, mx[a] = HUGE_VAL;
  const double r = std::max(double(radius), 0.5) + 2.0;
  for (int a = 0; a < 3; ++a)
    if (!detail::ClipRange(std::floor(mn[a] - r), std::ceil(mx[a] + r), n[a], lo[a], hi[a])) return false;
  return true;
}

}  // namespace

void StampTriangleShell(const CoverageGrid& grid, std::span<const host::Point3> triangles, float thickness) {
  if (!grid.values || !std::isfinite(thickness)) return;
  const float step = std::max(thickness * 0.5f, 0.5f);
  const size_t count = triangles.size() / 3;
  const int threads = omp_get_max_threads();
  int lo[3], hi[3];
  const bool boxed = count >= kParallelTriangles && threads > 1 && ShellBox(grid, triangles, thickness, lo, hi);
  const int bx = boxed ? hi[0] - lo[0] + 1 : 0, by = boxed ? hi[1] - lo[1] + 1 : 0, bz = boxed ? hi[2] - lo[2] + 1 : 0;
  const size_t boxCells = size_t(bx) * size_t(by) * size_t(bz);
  std::vector<float> copies;
  if (boxed && boxCells * size_t(threads) <= kShellCopyFloats) {
    try {
      copies.assign(boxCells * size_t(threads), 0.0f);
    } catch (const std::bad_alloc&) {
      copies.clear();  // no memory for the copies: the calling thread stamps them all
    }
  }
  if (copies.empty()) {
    for (size_t t = 0; t < count; ++t) StampTriangle(grid, &triangles[3 * t], thickness, step, {0, 0, 0});
    return;
  }
  // Each thread stamps its share of the triangles into its own copy of the box, its centres moved
  // to the box's corner (exactly: a float less a whole number below it), so that it sees the same
  // cells at the same distances. Every coverage is above 0.5, so a cell of a copy that no sphere
  // reached still holds 0, and the largest coverage of the copies joins the grid's value as
  // stamping in order would have: the grid keeps the larger of the two.
  const host::Point3 corner{float(lo[0]), float(lo[1]), float(lo[2])};
#pragma omp parallel num_threads(threads)
  {
    const CoverageGrid own{copies.data() + boxCells * size_t(omp_get_thread_num()), bx, by, bz};
#pragma omp for schedule(dynamic, 8)
    for (size_t t = 0; t < count; ++t) StampTriangle(own, &triangles[3 * t], thickness, step, corner);
  }
#pragma omp parallel for schedule(static)
  for (int z = 0; z < bz; ++z)
    for (int y = 0; y < by; ++y)
      for (int x = 0; x < bx; ++x) {
        const size_t b = size_t(x) + size_t(bx) * (size_t(y) + size_t(by) * size_t(z));
        float top = 0.0f;
        for (int c = 0; c < threads; ++c) top = std::max(top, copies[boxCells * size_t(c) + b]);
        if (top > 0.0f) {
          float& v = grid.values[grid.Index(lo[0] + x, lo[1] + y, lo[2] + z)];
          v = std::max(v, top);
        }
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
