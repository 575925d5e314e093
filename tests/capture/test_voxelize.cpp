// The voxelisers against cells worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <omp.h>

#include "capture/voxelize.h"

namespace tf {
namespace {

using host::Point3;

struct Grid {
  Grid(int x, int y, int z) : nx(x), ny(y), nz(z), values(size_t(x * y * z), 0.0f) {}
  CoverageGrid View() { return {values.data(), nx, ny, nz}; }
  float At(int x, int y, int z) const { return values[size_t(x + nx * (y + ny * z))]; }
  int Count(float atLeast) const {
    int n = 0;
    for (float v : values) n += v >= atLeast ? 1 : 0;
    return n;
  }
  int nx, ny, nz;
  std::vector<float> values;
};

// A quad as two triangles a b c, a c d (counter-clockwise seen from where the normal points).
void AddQuad(std::vector<Point3>& t, Point3 a, Point3 b, Point3 c, Point3 d) {
  t.insert(t.end(), {a, b, c, a, c, d});
}

// An axis-aligned box wound outwards. Every face is split along the diagonal from its corner of
// smallest x + y + z, so top and bottom share the same diagonal in xy.
std::vector<Point3> Cube(Point3 lo, Point3 hi) {
  std::vector<Point3> t;
  const float x0 = lo.x, y0 = lo.y, z0 = lo.z, x1 = hi.x, y1 = hi.y, z1 = hi.z;
  AddQuad(t, {x0, y0, z1}, {x1, y0, z1}, {x1, y1, z1}, {x0, y1, z1});  // top, +z
  AddQuad(t, {x0, y0, z0}, {x0, y1, z0}, {x1, y1, z0}, {x1, y0, z0});  // bottom, -z
  AddQuad(t, {x0, y0, z0}, {x1, y0, z0}, {x1, y0, z1}, {x0, y0, z1});  // front, -y
  AddQuad(t, {x0, y1, z0}, {x0, y1, z1}, {x1, y1, z1}, {x1, y1, z0});  // back, +y
  AddQuad(t, {x0, y0, z0}, {x0, y0, z1}, {x0, y1, z1}, {x0, y1, z0});  // left, -x
  AddQuad(t, {x1, y0, z0}, {x1, y1, z0}, {x1, y1, z1}, {x1, y0, z1});  // right, +x
  return t;
}

TEST(FillClosedMesh, CubeFillsExactlyTheCellsWhoseCentresAreInside) {
  Grid g(6, 6, 6);
  FillClosedMesh(g.View(), Cube({1, 1, 1}, {3, 3, 4}));
  for (int z = 0; z < 6; ++z)
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 6; ++x) {
        const bool inside = x >= 1 && x <= 2 && y >= 1 && y <= 2 && z >= 1 && z <= 3;
        EXPECT_EQ(g.At(x, y, z), inside ? 1.0f : 0.0f) << x << " " << y << " " << z;
      }
}

TEST(FillClosedMesh, InsideOutMeshAndClippingFollowTheWindingRule) {
  // Reversed winding fills the same cells (non-zero winding, not its sign).
  std::vector<Point3> reversed = Cube({1.2f, 1.2f, 0.7f}, {2.8f, 2.8f, 2.2f});
  for (size_t i = 0; i < reversed.size(); i += 3) std::swap(reversed[i + 1], reversed[i + 2]);
  Grid g(4, 4, 4);
  FillClosedMesh(g.View(), reversed);
  // Centres 1.5 and 2.5 lie inside in x and y; in z the centres 1.5 only (0.5 < 0.7, 2.5 > 2.2).
  EXPECT_EQ(g.Count(1.0f), 4);
  EXPECT_EQ(g.At(1, 1, 1), 1.0f);
  EXPECT_EQ(g.At(2, 2, 1), 1.0f);

  // A cube much larger than the grid fills all of it and nothing overflows.
  Grid all(3, 3, 3);
  FillClosedMesh(all.View(), Cube({-100, -100, -100}, {100, 100, 100}));
  EXPECT_EQ(all.Count(1.0f), 27);
}

TEST(FillClosedMesh, OpenMeshFillsOnlyBetweenPairedCrossings) {
  // Two squares of 2 x 2 cells, at z = 1.2 facing up and at z = 3.7 facing down: an open mesh
  // whose crossings pair up in every column under both.
  std::vector<Point3> pair;
  AddQuad(pair, {0, 0, 1.2f}, {2, 0, 1.2f}, {2, 2, 1.2f}, {0, 2, 1.2f});
  AddQuad(pair, {0, 0, 3.7f}, {0, 2, 3.7f}, {2, 2, 3.7f}, {2, 0, 3.7f});
  Grid g(3, 3, 5);
  FillClosedMesh(g.View(), pair);
  // Centres from 1.5 to 3.5 lie between the crossings: z = 1, 2, 3 in the four columns.
  EXPECT_EQ(g.Count(1.0f), 12);
  for (int z = 1; z <= 3; ++z) EXPECT_EQ(g.At(1, 0, z), 1.0f);
  EXPECT_EQ(g.At(0, 0, 0), 0.0f);
  EXPECT_EQ(g.At(0, 0, 4), 0.0f);

  // One square alone has nothing to pair with.
  Grid single(3, 3, 5);
  FillClosedMesh(single.View(), std::vector<Point3>(pair.begin(), pair.begin() + 6));
  EXPECT_EQ(single.Count(0.5f), 0);
}

TEST(FillClosedMesh, ColumnsThroughAnEdgeCountOnlyWhenXPlusYIsEven) {
  // The same two squares split along the other diagonal, x + y = 2: the centres (0.5, 1.5) and
  // (1.5, 0.5) lie on it and, x + y being odd there, no triangle counts them.
  std::vector<Point3> pair = {
      {0, 0, 1.2f}, {2, 0, 1.2f}, {0, 2, 1.2f}, {2, 0, 1.2f}, {2, 2, 1.2f}, {0, 2, 1.2f},
      {0, 0, 3.7f}, {0, 2, 3.7f}, {2, 0, 3.7f}, {2, 0, 3.7f}, {0, 2, 3.7f}, {2, 2, 3.7f},
  };
  Grid g(3, 3, 5);
  FillClosedMesh(g.View(), pair);
  for (int z = 1; z <= 3; ++z) {
    EXPECT_EQ(g.At(0, 0, z), 1.0f);
    EXPECT_EQ(g.At(1, 1, z), 1.0f);
    EXPECT_EQ(g.At(0, 1, z), 0.0f);
    EXPECT_EQ(g.At(1, 0, z), 0.0f);
  }
  EXPECT_EQ(g.Count(0.5f), 6);
}

TEST(StampSphere, SmallRadiusStillStampsItsOwnCellOnly) {
  Grid g(5, 5, 5);
  StampSphere(g.View(), {2.5f, 2.5f, 2.5f}, 0.1f);
  EXPECT_EQ(g.At(2, 2, 2), 1.0f);
  EXPECT_EQ(g.Count(0.0001f), 1);
}

TEST(StampSphere, CoverageFallsTowardsTheEdgeAndKeepsTheMaximum) {
  Grid g(11, 11, 11);
  g.values[size_t(7 + 11 * (5 + 11 * 5))] = 0.95f;  // larger than the sphere's 0.9 there
  StampSphere(g.View(), {5.5f, 5.5f, 5.5f}, 2.0f);
  EXPECT_EQ(g.At(5, 5, 5), 1.0f);
  EXPECT_EQ(g.At(6, 5, 5), 1.0f);                  // d = 1: 1.5 - 0.5 / 2.5 = 1.3, capped at 1
  EXPECT_FLOAT_EQ(g.At(7, 5, 5), 0.95f);           // d = 2: 0.9, below the value already there
  EXPECT_FLOAT_EQ(g.At(5, 3, 5), 0.9f);            // d = 2
  EXPECT_FLOAT_EQ(g.At(6, 6, 7), 1.5f - (std::sqrt(6.0f) - 0.5f) / 2.5f);  // d = sqrt(6) < 2.5
  EXPECT_EQ(g.At(8, 5, 5), 0.0f);                  // d = 3 is beyond r + 0.5
  EXPECT_EQ(g.At(7, 7, 7), 0.0f);                  // d = sqrt(12)
}

// StampSphere runs a row at a time in vector lanes; every cell must end as ForEachSphereCell's
// coverage kept by std::max leaves it, over values that are negative, -0, above 1 or NaN, for
// spheres that leave the grid on any side.
TEST(StampSphere, RowsGiveEachCellWhatTheCellByCellWalkGives) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  const float kinds[] = {0.0f, -0.0f, -0.3f, 0.7f, 1.0f, 1.4f, std::numeric_limits<float>::quiet_NaN()};
  for (int trial = 0; trial < 40; ++trial) {
    Grid rows(3 + int(rng() % 17), 3 + int(rng() % 17), 3 + int(rng() % 17));
    for (float& v : rows.values) v = u(rng) < 0.5f ? u(rng) : kinds[rng() % 7];
    Grid cells = rows;
    for (int s = 0; s < 12; ++s) {
      const Point3 c{u(rng) * float(rows.nx + 8) - 4.0f, u(rng) * float(rows.ny + 8) - 4.0f,
                     u(rng) * float(rows.nz + 8) - 4.0f};
      const float r = u(rng) * 6.0f;
      StampSphere(rows.View(), c, r);
      float* v = cells.values.data();
      ForEachSphereCell(cells.View(), c, r, [v](size_t i, float coverage) { v[i] = std::max(v[i], coverage); });
    }
    ASSERT_EQ(std::memcmp(rows.values.data(), cells.values.data(), rows.values.size() * sizeof(float)), 0)
        << "trial " << trial;
  }
}

TEST(StampSphere, OutsideAndNonFiniteCentresAreClippedOrIgnored) {
  Grid g(4, 4, 4);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  StampSphere(g.View(), {nan, 1, 1}, 1.0f);
  StampSphere(g.View(), {1e30f, 1, 1}, 1.0f);
  StampSphere(g.View(), {1, 1, 1}, std::numeric_limits<float>::infinity());
  EXPECT_EQ(g.Count(0.0001f), 0);
  // Centred on the grid's corner: only the cells inside get coverage.
  StampSphere(g.View(), {0, 0, 0}, 1.0f);
  EXPECT_GT(g.At(0, 0, 0), 0.5f);
  EXPECT_EQ(g.At(3, 3, 3), 0.0f);
}

TEST(StampTriangleShell, CoversTheTrianglesCellsAtItsThickness) {
  Grid g(10, 10, 6);
  const std::vector<Point3> tri = {{0.5f, 0.5f, 2.5f}, {8.5f, 0.5f, 2.5f}, {0.5f, 8.5f, 2.5f}};
  StampTriangleShell(g.View(), tri, 0.5f);
  // Every cell whose centre lies in the triangle is fully covered; the layers two cells away get
  // nothing, and cells well outside the triangle neither.
  for (int y = 0; y <= 8; ++y)
    for (int x = 0; x + y <= 8; ++x) EXPECT_EQ(g.At(x, y, 2), 1.0f) << x << " " << y;
  EXPECT_EQ(g.At(9, 9, 2), 0.0f);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) {
      EXPECT_EQ(g.At(x, y, 0), 0.0f);
      EXPECT_EQ(g.At(x, y, 4), 0.0f);
    }
  // A thicker shell reaches the next layers.
  Grid thick(10, 10, 6);
  StampTriangleShell(thick.View(), tri, 2.0f);
  EXPECT_GT(thick.At(2, 2, 4), 0.5f);
  EXPECT_EQ(thick.At(2, 2, 5), 0.0f);  // d = 3 > 2.5
}

TEST(StampTriangleShell, SharingTheTrianglesAmongThreadsChangesNoBit) {
  // A twisted strip of 300 triangles, one thrown far off and one with a NaN vertex, away from the
  // grid's first corner and leaving it on two sides, whose cells already hold values (negative ones, a NaN) the
  // shell must keep or raise exactly as stamping in order does.
  std::vector<Point3> strip;
  for (int s = 0; s < 150; ++s) {
    const float a = 0.04f * float(s), b = 0.04f * float(s + 1);
    const Point3 p0{5.0f + 0.13f * float(s), 12.0f + 6.0f * std::cos(a), 11.0f + 6.0f * std::sin(a)};
    const Point3 p1{5.0f + 0.13f * float(s + 1), 12.0f + 6.0f * std::cos(b), 11.0f + 6.0f * std::sin(b)};
    const Point3 q0{p0.x + 0.7f, 12.0f - 3.0f * std::cos(a), 11.0f - 3.0f * std::sin(a)};
    const Point3 q1{p1.x + 0.7f, 12.0f - 3.0f * std::cos(b), 11.0f - 3.0f * std::sin(b)};
    strip.insert(strip.end(), {p0, p1, q1, p0, q1, q0});
  }
  strip[30] = Point3{1e30f, 5.0f, 5.0f};
  strip[61].y = std::numeric_limits<float>::quiet_NaN();
  for (const float thickness : {0.4f, 1.7f}) {
    Grid inOrder(20, 22, 14), shared(20, 22, 14);
    for (size_t i = 0; i < inOrder.values.size(); ++i)
      inOrder.values[i] = shared.values[i] = float(int(i % 7) - 2) * 0.3f;
    inOrder.values[2345] = shared.values[2345] = std::numeric_limits<float>::quiet_NaN();
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    StampTriangleShell(inOrder.View(), strip, thickness);
    omp_set_num_threads(4);
    StampTriangleShell(shared.View(), strip, thickness);
    omp_set_num_threads(threads);
    EXPECT_EQ(0, std::memcmp(inOrder.values.data(), shared.values.data(), inOrder.values.size() * sizeof(float)))
        << "thickness " << thickness;
    EXPECT_GT(inOrder.Count(0.9f), 200) << "the strip should cover cells";
  }
}

}  // namespace
}  // namespace tf
